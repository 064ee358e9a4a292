// The driver talks to the bar only through what crosses a process boundary under Wine: window
// handles, bounded sent messages, posted messages and the profile file.
#include "tests/e2e/bar_driver.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "protocol/sensor_protocol.h"

namespace vorn::e2e {

namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD kPollMs = 5;

bool Expired(Clock::time_point start, DWORD timeoutMs) {
    return Clock::now() - start >= std::chrono::milliseconds(timeoutMs);
}

std::string BaseName(const std::string& path) {
    const auto pos = path.find_last_of("\\/:");
    return pos == std::string::npos ? path : path.substr(pos + 1);
}

bool SameTextNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

std::string NormalPath(std::string path) {
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

std::string Trim(const std::string& s) {
    std::size_t b = 0;
    std::size_t e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) {
        ++b;
    }
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) {
        --e;
    }
    return s.substr(b, e - b);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    std::istringstream in(text);
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return lines;
}

// "[name]" gives true with *name set; the name ends at the first ']' as the profile API reads it.
bool SectionHeader(const std::string& trimmed, std::string* name) {
    if (trimmed.empty() || trimmed[0] != '[') {
        return false;
    }
    const auto close = trimmed.find(']');
    *name = Trim(trimmed.substr(1, close == std::string::npos ? std::string::npos : close - 1));
    return true;
}

std::string ClassNameOf(HWND hwnd) {
    char name[256] = {};
    GetClassNameA(hwnd, name, sizeof name);
    return name;
}

struct EnumQuery {
    DWORD pid;
    const char* className;
    bool visibleOnly;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectTopLevel(HWND hwnd, LPARAM lp) {
    auto* q = reinterpret_cast<EnumQuery*>(lp);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid != q->pid) {
        return TRUE;
    }
    if (q->visibleOnly && !IsWindowVisible(hwnd)) {
        return TRUE;
    }
    if (q->className != nullptr && ClassNameOf(hwnd) != q->className) {
        return TRUE;
    }
    q->found.push_back(hwnd);
    return TRUE;
}

}  // namespace

std::string DirectoryOf(const std::string& path) {
    const auto pos = path.find_last_of("\\/");
    return pos == std::string::npos ? std::string(".") : path.substr(0, pos);
}

bool FileExists(const std::string& path) {
    const DWORD attr = GetFileAttributesA(path.c_str());
    return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::string BarExePath() {
    if (const char* env = std::getenv("VORN_BAR_EXE"); env != nullptr && *env != '\0') {
        return env;
    }
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    return DirectoryOf(self) + "\\VORNBAR.exe";
}

// ---- BarProcess -------------------------------------------------------------------------------

BarProcess::~BarProcess() {
    Kill();
}

bool BarProcess::Start(const std::string& commandTail) {
    if (process_ != nullptr) {
        return false;
    }
    if (exe_.empty()) {
        exe_ = BarExePath();
    }
    // The program sees its own bare name first, as when started from a shortcut.
    std::string cmd = BaseName(exe_);
    if (!commandTail.empty()) {
        cmd += " " + commandTail;
    }
    std::vector<char> cmdBuf(cmd.begin(), cmd.end());
    cmdBuf.push_back('\0');
    const std::string dir = DirectoryOf(exe_);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(exe_.c_str(), cmdBuf.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        dir.c_str(), &si, &pi)) {
        return false;
    }
    CloseHandle(pi.hThread);
    process_ = pi.hProcess;
    pid_ = pi.dwProcessId;
    everShowed_ = false;
    return true;
}

void BarProcess::NoteVisibleWindows() {
    if (!everShowed_ && !TopLevelWindowsOf(pid_, nullptr, true).empty()) {
        everShowed_ = true;
    }
}

HWND BarProcess::WaitForBar(DWORD timeoutMs) {
    if (process_ == nullptr) {
        return nullptr;
    }
    const auto start = Clock::now();
    for (;;) {
        const auto bars = TopLevelWindowsOf(pid_, "#32770", true);
        if (!bars.empty()) {
            everShowed_ = true;
            return bars.front();
        }
        if (!Running() || Expired(start, timeoutMs)) {
            return nullptr;
        }
        Sleep(kPollMs);
    }
}

bool BarProcess::WaitForExit(DWORD timeoutMs) {
    return process_ != nullptr && WaitForSingleObject(process_, timeoutMs) == WAIT_OBJECT_0;
}

bool BarProcess::WaitForExitWatchingWindows(DWORD timeoutMs) {
    if (process_ == nullptr) {
        return false;
    }
    const auto start = Clock::now();
    for (;;) {
        NoteVisibleWindows();
        if (WaitForSingleObject(process_, 2) == WAIT_OBJECT_0) {
            return true;
        }
        if (Expired(start, timeoutMs)) {
            return false;
        }
    }
}

DWORD BarProcess::ExitCode() const {
    DWORD code = ~DWORD{0};
    if (process_ != nullptr) {
        GetExitCodeProcess(process_, &code);
    }
    return code;
}

bool BarProcess::Running() const {
    return process_ != nullptr && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

void BarProcess::Kill() {
    if (process_ == nullptr) {
        return;
    }
    if (Running()) {
        TerminateProcess(process_, 1);
        WaitForSingleObject(process_, 10000);
    }
    CloseHandle(process_);
    process_ = nullptr;
}

std::vector<HWND> TopLevelWindowsOf(DWORD pid, const char* className, bool visibleOnly) {
    EnumQuery q{pid, className, visibleOnly, {}};
    EnumWindows(CollectTopLevel, reinterpret_cast<LPARAM>(&q));
    return q.found;
}

// ---- Reading the bar --------------------------------------------------------------------------

std::string WindowTitle(HWND hwnd) {
    DWORD_PTR len = 0;
    if (!SendMessageTimeoutA(hwnd, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs,
                             &len)) {
        return {};
    }
    // The text may grow between the two messages (the bar rewrites its slots from another
    // thread): read into room to spare, and again with more room while the buffer came back full.
    std::size_t room = std::max<std::size_t>(len * 2 + 64, 512);
    for (int attempt = 0; attempt < 8; ++attempt, room *= 4) {
        std::vector<char> buf(room, '\0');
        DWORD_PTR got = 0;
        if (!SendMessageTimeoutA(hwnd, WM_GETTEXT, buf.size(), reinterpret_cast<LPARAM>(buf.data()),
                                 SMTO_ABORTIFHUNG, kSendTimeoutMs, &got)) {
            return {};
        }
        if (got + 1 < buf.size())
            return std::string(buf.data(), got);
    }
    return {};
}

std::string ControlText(HWND bar, int id) {
    HWND ctl = GetDlgItem(bar, id);
    return ctl == nullptr ? std::string() : WindowTitle(ctl);
}

LONG Style(HWND hwnd) {
    return static_cast<LONG>(GetWindowLongPtrA(hwnd, GWL_STYLE));
}

LONG ExStyle(HWND hwnd) {
    return static_cast<LONG>(GetWindowLongPtrA(hwnd, GWL_EXSTYLE));
}

RECT WindowRect(HWND hwnd) {
    RECT rc{};
    GetWindowRect(hwnd, &rc);
    return rc;
}

bool IsVisible(HWND hwnd) {
    return IsWindowVisible(hwnd) != FALSE;
}

int CheckState(HWND bar, int id) {
    HWND ctl = GetDlgItem(bar, id);
    DWORD_PTR state = 0;
    if (ctl == nullptr ||
        !SendMessageTimeoutA(ctl, BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &state)) {
        return -1;
    }
    return static_cast<int>(state);
}

HWND FocusedControl(HWND bar) {
    GUITHREADINFO gti{};
    gti.cbSize = sizeof gti;
    const DWORD tid = GetWindowThreadProcessId(bar, nullptr);
    if (tid == 0 || !GetGUIThreadInfo(tid, &gti) || gti.hwndFocus == nullptr) {
        return nullptr;
    }
    return gti.hwndFocus == bar || IsChild(bar, gti.hwndFocus) ? gti.hwndFocus : nullptr;
}

int FocusedId(HWND bar) {
    HWND focus = FocusedControl(bar);
    return focus == nullptr || focus == bar ? 0 : GetDlgCtrlID(focus);
}

bool WaitForFocus(HWND bar, int id, DWORD timeoutMs) {
    const auto start = Clock::now();
    while (FocusedId(bar) != id) {
        if (Expired(start, timeoutMs) || !IsWindow(bar)) {
            return false;
        }
        Sleep(kPollMs);
    }
    return true;
}

std::vector<ChildInfo> Children(HWND bar) {
    std::vector<ChildInfo> out;
    // Bounded: a dialog of ours never has more than a few dozen controls.
    for (HWND c = GetWindow(bar, GW_CHILD); c != nullptr && out.size() < 256;
         c = GetWindow(c, GW_HWNDNEXT)) {
        ChildInfo info;
        info.id = GetDlgCtrlID(c);
        info.className = ClassNameOf(c);
        info.style = Style(c);
        info.exStyle = ExStyle(c);
        info.rect = WindowRect(c);
        info.text = WindowTitle(c);
        out.push_back(std::move(info));
    }
    return out;
}

bool WaitForControlText(HWND bar, int id, std::function<bool(const std::string&)> pred,
                        DWORD timeoutMs, std::string* last) {
    const auto start = Clock::now();
    for (;;) {
        const std::string text = ControlText(bar, id);
        if (last != nullptr) {
            *last = text;
        }
        if (pred(text)) {
            return true;
        }
        if (Expired(start, timeoutMs) || !IsWindow(bar)) {
            return false;
        }
        Sleep(20);
    }
}

// ---- Driving the bar --------------------------------------------------------------------------

void Post(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    PostMessageA(hwnd, msg, wp, lp);
}

LRESULT Send(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(hwnd, msg, wp, lp, SMTO_ABORTIFHUNG, kSendTimeoutMs, &result)) {
        return 0;
    }
    return static_cast<LRESULT>(result);
}

void PressKey(HWND bar, UINT vk) {
    // A modal dialog's loop hands every queued message to IsDialogMessage, which turns Escape
    // into IDCANCEL and Enter into the default id. Posting to the focused control puts the keys
    // into that loop exactly as the keyboard would; the bar itself is the fallback target.
    HWND target = FocusedControl(bar);
    if (target == nullptr) {
        target = bar;
    }
    const UINT scan = MapVirtualKeyA(vk, MAPVK_VK_TO_VSC);
    const LPARAM down = 1 | (static_cast<LPARAM>(scan) << 16);
    const LPARAM up = down | (LPARAM{1} << 30) | (LPARAM{1} << 31);
    PostMessageA(target, WM_KEYDOWN, vk, down);
    PostMessageA(target, WM_KEYUP, vk, up);
}

void ClickButton(HWND bar, int id) {
    HWND ctl = GetDlgItem(bar, id);
    if (ctl != nullptr) {
        PostMessageA(ctl, BM_CLICK, 0, 0);
    }
}

// ---- The profile ------------------------------------------------------------------------------

std::string ProfilePath(const char* name) {
    char dir[MAX_PATH] = {};
    GetWindowsDirectoryA(dir, MAX_PATH);
    return std::string(dir) + "\\" + name;
}

void RemoveProfile(const char* name) {
    // Drop our own process's cached copy too, or a later read through the API could see it.
    WritePrivateProfileStringA(nullptr, nullptr, nullptr, name);
    DeleteFileA(ProfilePath(name).c_str());
}

void WriteProfileText(const std::string& content, const char* name) {
    WritePrivateProfileStringA(nullptr, nullptr, nullptr, name);
    std::ofstream out(ProfilePath(name), std::ios::binary | std::ios::trunc);
    out << content;
}

std::string ReadProfileText(const char* name) {
    std::ifstream in(ProfilePath(name), std::ios::binary);
    if (!in) {
        return {};
    }
    std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The profile API may keep a file as UTF-16 (with a byte-order mark); give the text as ANSI.
    if (raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFF &&
        static_cast<unsigned char>(raw[1]) == 0xFE) {
        std::wstring wide((raw.size() - 2) / 2, L'\0');
        for (std::size_t i = 0; i < wide.size(); ++i) {
            wide[i] = static_cast<wchar_t>(static_cast<unsigned char>(raw[2 + 2 * i]) |
                                           (static_cast<unsigned char>(raw[3 + 2 * i]) << 8));
        }
        const int n = WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()),
                                          nullptr, 0, nullptr, nullptr);
        std::string narrow(static_cast<std::size_t>(n), '\0');
        WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), narrow.data(), n,
                            nullptr, nullptr);
        return narrow;
    }
    if (raw.size() >= 3 && raw.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        raw.erase(0, 3);
    }
    return raw;
}

std::vector<std::pair<std::string, std::string>> SectionEntries(const std::string& text,
                                                                const std::string& section) {
    // Every line of every section of that name, so a duplicate section or key shows up in a
    // test instead of being hidden the way the profile API would hide it.
    std::vector<std::pair<std::string, std::string>> entries;
    bool inside = false;
    for (const std::string& raw : Lines(text)) {
        const std::string line = Trim(raw);
        std::string name;
        if (SectionHeader(line, &name)) {
            inside = SameTextNoCase(name, section);
            continue;
        }
        if (!inside || line.empty() || line[0] == ';') {
            continue;
        }
        const auto eq = line.find('=');
        if (eq == std::string::npos) {
            entries.emplace_back(line, std::string());
        } else {
            entries.emplace_back(Trim(line.substr(0, eq)), Trim(line.substr(eq + 1)));
        }
    }
    return entries;
}

std::vector<std::string> SectionNames(const std::string& text) {
    std::vector<std::string> names;
    for (const std::string& raw : Lines(text)) {
        std::string name;
        if (SectionHeader(Trim(raw), &name)) {
            names.push_back(name);
        }
    }
    return names;
}

int KillLeftoverBars(const std::string& exePath) {
    const std::string want = NormalPath(exePath);
    const std::string base = BaseName(want);
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) {
        return 0;
    }
    int killed = 0;
    PROCESSENTRY32 pe{};
    pe.dwSize = sizeof pe;
    for (BOOL ok = Process32First(snap, &pe); ok; ok = Process32Next(snap, &pe)) {
        if (pe.th32ProcessID == GetCurrentProcessId() ||
            !SameTextNoCase(BaseName(pe.szExeFile), base)) {
            continue;
        }
        HANDLE h = OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE,
                               FALSE, pe.th32ProcessID);
        if (h == nullptr) {
            continue;
        }
        // Only our own build's program: a bar of another build tree is none of our business.
        char image[MAX_PATH] = {};
        DWORD size = MAX_PATH;
        if (QueryFullProcessImageNameA(h, 0, image, &size) &&
            SameTextNoCase(NormalPath(image), want)) {
            TerminateProcess(h, 1);
            WaitForSingleObject(h, 5000);
            ++killed;
        }
        CloseHandle(h);
    }
    CloseHandle(snap);
    return killed;
}

void CleanStart() {
    KillLeftoverBars();
    RemoveProfile();
}

// ---- TestResponder ----------------------------------------------------------------------------

namespace {

// Bounds of the serving loop: far above what any test needs, so a runaway test still ends.
constexpr int kMaxDatagrams = 100000;
constexpr auto kMaxServeTime = std::chrono::minutes(10);
constexpr auto kMaxHold = std::chrono::seconds(10);

}  // namespace

TestResponder::TestResponder() : socket_(INVALID_SOCKET) {
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    texts_ = {"45.0",  "38.5",  "30.0",   "1.35", "1.10", "3.31", "5.02",
              "-5.04", "12.03", "-12.05", "2812", "1500", "0"};
}

TestResponder::~TestResponder() {
    Stop();
    WSACleanup();
}

bool TestResponder::Start() {
    if (socket_ != INVALID_SOCKET) {
        return false;
    }
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) {
        return false;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    int len = sizeof addr;
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        closesocket(s);
        return false;
    }
    socket_ = s;
    port_ = ntohs(addr.sin_port);
    stop_ = false;
    thread_ = std::thread([this] { Serve(); });
    return true;
}

void TestResponder::Stop() {
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
    if (socket_ != INVALID_SOCKET) {
        closesocket(static_cast<SOCKET>(socket_));
        socket_ = INVALID_SOCKET;
    }
}

std::string TestResponder::HostText() const {
    return "127.0.0.1:" + std::to_string(port_);
}

void TestResponder::SetMode(Mode mode) {
    std::lock_guard<std::mutex> lock(mutex_);
    mode_ = mode;
}

void TestResponder::HoldPollsFrom(int n) {
    std::lock_guard<std::mutex> lock(mutex_);
    hold_from_ = n;
}

void TestResponder::ReleasePolls() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        hold_from_ = 0;
    }
    released_.notify_all();
}

void TestResponder::WaitWhileHeld(int n) {
    const auto until = Clock::now() + kMaxHold;
    std::unique_lock<std::mutex> lock(mutex_);
    while (hold_from_ > 0 && n >= hold_from_ && !stop_ && Clock::now() < until) {
        released_.wait_for(lock, std::chrono::milliseconds(50));
    }
}

void TestResponder::SetReadings(const std::array<std::string, 13>& texts) {
    std::lock_guard<std::mutex> lock(mutex_);
    texts_ = texts;
}

void TestResponder::Serve() {
    const SOCKET s = static_cast<SOCKET>(socket_);
    const auto start = Clock::now();
    int datagrams = 0;
    std::uint8_t previous = 0;  // the version of the last well-formed request
    while (!stop_ && datagrams < kMaxDatagrams && Clock::now() - start < kMaxServeTime) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(s, &readable);
        timeval tv{0, 50 * 1000};
        if (select(0, &readable, nullptr, nullptr, &tv) <= 0) {
            continue;
        }
        std::uint8_t buf[512];
        sockaddr_in from{};
        int fromLen = sizeof from;
        const int n = recvfrom(s, reinterpret_cast<char*>(buf), sizeof buf, 0,
                               reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (n < 0) {
            continue;  // e.g. WSAECONNRESET after a reply to a port that has gone
        }
        ++datagrams;
        std::uint32_t id = 0;
        std::uint8_t version = 0;
        if (!proto::DecodeRequest(buf, static_cast<std::size_t>(n), &id, &version)) {
            ++malformed_;
            continue;
        }
        const bool fallback = version == proto::kVersion1 && previous == proto::kVersion2;
        previous = version;
        if (fallback) {
            ++fallbacks_;
        } else {
            WaitWhileHeld(++requests_);
        }
        Mode mode;
        proto::Fields fields{};
        {
            std::lock_guard<std::mutex> lock(mutex_);
            mode = mode_;
            for (int i = 0; i < proto::kFieldCount; ++i) {
                fields[static_cast<std::size_t>(i)] =
                    proto::MakeField(texts_[static_cast<std::size_t>(i)].c_str());
            }
        }
        if (mode == kSilent) {
            continue;
        }
        const auto status =
            mode == kNoSensors ? proto::ReplyStatus::kNoSensors : proto::ReplyStatus::kReadings;
        const proto::Datagram reply = proto::EncodeReply(id, version, status, fields, 0);
        sendto(s, reinterpret_cast<const char*>(reply.data()), static_cast<int>(reply.size()), 0,
               reinterpret_cast<sockaddr*>(&from), fromLen);
    }
}

}  // namespace vorn::e2e
