// vornagent.exe under Wine: this program plays HWiNFO (a file mapping named as HWiNFO names
// its shared memory, with its mutex) or LibreHardwareMonitor (a /metrics page on loopback),
// starts the real agent, checks its answers over UDP, then the real bar on "localhost" shows
// them. Damaged memory must leave the agent answering.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "protocol/sensor_protocol.h"
#include "readings/hwinfo_memory.h"
#include "res/resource.h"
#include "tests/common/hwinfo_image.h"
#include "tests/e2e/bar_test.h"
#include "tests/windows/tiny_http_server.h"

namespace vorn::e2e {
namespace {

using vorn::testing::BuildHwinfoImage;
using vorn::testing::HwinfoLayout;
namespace L = readings::hwinfo::layout;

constexpr DWORD kAppearMs = 30000;
constexpr DWORD kTextMs = 15000;

std::string AgentPath() {
    return DirectoryOf(BarExePath()) + "\\vornagent.exe";
}

// A free UDP port on 127.0.0.1 (bound and released; the agent takes it a moment later).
unsigned short FreePort() {
    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    int len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    closesocket(s);
    return ntohs(a.sin_port);
}

// HWiNFO's side of the shared memory: the mapping and the mutex, with contents replaced under
// the mutex as HWiNFO does, and the poll time advanced at every poll (four times a second)
// until the test freezes it as HWiNFO's free edition does after 12 hours.
class FakeHwinfo {
public:
    ~FakeHwinfo() { Close(); }

    bool Publish(const std::vector<std::uint8_t>& image, std::size_t mapping_size = 0) {
        Close();
        const std::size_t size = mapping_size ? mapping_size : image.size();
        mutex_ = CreateMutexA(nullptr, FALSE, "Global\\HWiNFO_SM2_MUTEX");
        mapping_ = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                      static_cast<DWORD>(size), "Global\\HWiNFO_SENS_SM2");
        if (!mutex_ || !mapping_)
            return false;
        view_ = static_cast<std::uint8_t*>(MapViewOfFile(mapping_, FILE_MAP_WRITE, 0, 0, 0));
        if (!view_)
            return false;
        size_ = size;
        Write(image);
        stop_ = false;
        poller_ = std::thread([this] {
            while (!stop_.load()) {
                Sleep(250);
                if (!frozen_.load()) {
                    WaitForSingleObject(mutex_, INFINITE);
                    PutPollTime();
                    ReleaseMutex(mutex_);
                }
            }
        });
        return true;
    }

    void Write(const std::vector<std::uint8_t>& image) {
        WaitForSingleObject(mutex_, INFINITE);
        std::memset(view_, 0, size_);
        std::memcpy(view_, image.data(), image.size() < size_ ? image.size() : size_);
        PutPollTime();
        ReleaseMutex(mutex_);
    }

    // HWiNFO's free edition after 12 hours: the memory stays, its poll time stops.
    void Freeze(bool frozen) { frozen_ = frozen; }

    // HWiNFO ending: the mapping goes away.
    void Close() {
        stop_ = true;
        if (poller_.joinable())
            poller_.join();
        if (view_)
            UnmapViewOfFile(view_);
        if (mapping_)
            CloseHandle(mapping_);
        if (mutex_)
            CloseHandle(mutex_);
        view_ = nullptr;
        mapping_ = mutex_ = nullptr;
        frozen_ = false;
    }

private:
    // Called with the mutex held.
    void PutPollTime() {
        if (size_ < L::kHeaderSize || std::memcmp(view_, "HWiS", 4) != 0)
            return;
        ++poll_time_;
        std::memcpy(view_ + L::kPollTime, &poll_time_, sizeof poll_time_);  // little-endian
    }

    HANDLE mapping_ = nullptr;
    HANDLE mutex_ = nullptr;
    std::uint8_t* view_ = nullptr;
    std::size_t size_ = 0;
    std::int64_t poll_time_ = 1700000000;
    std::thread poller_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> frozen_{false};
};

// The real vornagent.exe, its standard error kept in a file for the failure messages.
class AgentProcess {
public:
    ~AgentProcess() {
        Kill();
        if (!log_path_.empty())
            DeleteFileA(log_path_.c_str());
    }

    bool Start(const std::string& arguments) {
        static int started = 0;
        log_path_ = DirectoryOf(BarExePath()) + "\\e2e_winagent_" +
                    std::to_string(GetCurrentProcessId()) + "_" + std::to_string(++started) +
                    ".log";
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        log_ = CreateFileA(log_path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        STARTUPINFOA si{};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        si.hStdOutput = log_;
        si.hStdError = log_;
        std::string command = "\"" + AgentPath() + "\" " + arguments;
        return CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE,
                              CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &si, &pi_) != FALSE;
    }

    // Exit status once it has ended within `ms`, else -1.
    int WaitForExit(DWORD ms) {
        if (!pi_.hProcess || WaitForSingleObject(pi_.hProcess, ms) != WAIT_OBJECT_0)
            return -1;
        DWORD code = 0;
        GetExitCodeProcess(pi_.hProcess, &code);
        return static_cast<int>(code);
    }

    // Runs a command to its end: its exit status (-1 when it did not end in time), its output.
    static int Run(const std::string& arguments, std::string* output, DWORD ms = 30000) {
        AgentProcess p;
        if (!p.Start(arguments))
            return -2;
        const int status = p.WaitForExit(ms);
        p.CloseLog();
        *output = p.Log();
        return status;
    }

    void CloseLog() {
        if (log_) {
            CloseHandle(log_);
            log_ = nullptr;
        }
    }

    void Kill() {
        if (pi_.hProcess) {
            TerminateProcess(pi_.hProcess, 1);
            WaitForSingleObject(pi_.hProcess, 5000);
            CloseHandle(pi_.hProcess);
            CloseHandle(pi_.hThread);
            pi_ = PROCESS_INFORMATION{};
        }
        if (log_) {
            CloseHandle(log_);
            log_ = nullptr;
        }
    }

    DWORD pid() const { return pi_.dwProcessId; }

    std::string Log() const {
        std::string text;
        if (std::FILE* f = std::fopen(log_path_.c_str(), "rb")) {
            char buf[4096];
            std::size_t n;
            while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
                text.append(buf, n);
            std::fclose(f);
        }
        return text;
    }

private:
    PROCESS_INFORMATION pi_{};
    HANDLE log_ = nullptr;
    std::string log_path_;
};

struct Answer {
    bool ok = false;
    proto::ReplyStatus status = proto::ReplyStatus::kNoSensors;
    std::vector<std::string> texts;
};

// One request to the agent on 127.0.0.1:`port`, waiting up to `ms` for its reply.
Answer Ask(unsigned short port, DWORD ms = 1000) {
    static std::atomic<std::uint32_t> next_id{1000};
    Answer answer;
    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::uint32_t id = next_id++;
    const proto::Datagram request = proto::EncodeRequest(id);
    sendto(s, reinterpret_cast<const char*>(request.data()), static_cast<int>(request.size()), 0,
           reinterpret_cast<sockaddr*>(&to), sizeof to);
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval tv{static_cast<long>(ms / 1000), static_cast<long>(ms % 1000) * 1000};
    if (select(0, &readable, nullptr, nullptr, &tv) == 1) {
        std::uint8_t reply[512];
        const int n = recv(s, reinterpret_cast<char*>(reply), sizeof reply, 0);
        proto::Fields fields{};
        if (n > 0 &&
            proto::DecodeReply(reply, static_cast<std::size_t>(n), id, &answer.status, &fields)) {
            answer.ok = true;
            for (const proto::FieldText& f : fields)
                answer.texts.emplace_back(reinterpret_cast<const char*>(f.data()));
        }
    }
    closesocket(s);
    return answer;
}

// Asks until `pred` holds for an answer, `ms` at most; the last answer in `last`.
template <typename Pred>
bool AskUntil(unsigned short port, Pred pred, DWORD ms, Answer* last) {
    const DWORD start = GetTickCount();
    do {
        *last = Ask(port, 300);
        if (last->ok && pred(*last))
            return true;
        Sleep(100);
    } while (GetTickCount() - start < ms);
    return false;
}

std::string Joined(const Answer& a) {
    std::string s = a.ok ? "status " + std::to_string(static_cast<int>(a.status)) + ":" : "none";
    for (const std::string& t : a.texts)
        s += " " + t;
    return s;
}

// The sample machine's readings as the agent's automatic mapping reports them, record order.
const std::vector<std::string> kSampleTexts = {"45.0", "38.0", "33.0",  "1.14",  "1.05",
                                               "3.34", "5.04", "-5.02", "12.10", "-11.90",
                                               "1205", "812",  "0"};

// LibreHardwareMonitor 0.9.6's /metrics page of an AMD PC.
std::string LibreHardwareMonitorPage() {
    std::string text;
    if (std::FILE* f = std::fopen(VORN_LHM_FIXTURE, "rb")) {
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            text.append(buf, n);
        std::fclose(f);
    }
    return text;
}

// Its readings as the automatic mapping picks them (no -5 V or -12 V rail there).
const std::vector<std::string> kLhmTexts = {"57.5", "49.0",  "36.0", "1.41", "1.03", "3.38", "5.08",
                                            "-",    "12.19", "-",    "1125", "902",  "876"};

// HWiNFO's Gadget reporting, played with reg.exe into this prefix's registry as a user would
// see it done: string values under HKCU\Software\HWiNFO64\VSB, and one value rewritten every
// second while "running", as HWiNFO rewrites them at every poll.
class FakeGadget {
public:
    ~FakeGadget() { Stop(); }

    // Runs reg.exe with `arguments` (UTF-8) to its end; true when it succeeded.
    static bool Reg(const std::string& arguments) {
        const std::string command = "reg.exe " + arguments;
        std::wstring wide(command.size() + 1, L'\0');
        const int n = MultiByteToWideChar(CP_UTF8, 0, command.c_str(), -1, &wide[0],
                                          static_cast<int>(wide.size()));
        if (n <= 0)
            return false;
        STARTUPINFOW si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        if (!CreateProcessW(nullptr, &wide[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                            nullptr, &si, &pi))
            return false;
        const bool ended = WaitForSingleObject(pi.hProcess, 30000) == WAIT_OBJECT_0;
        DWORD code = 1;
        GetExitCodeProcess(pi.hProcess, &code);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
        return ended && code == 0;
    }

    static bool Add(const std::string& name, const std::string& text) {
        return Reg("add \"HKCU\\Software\\HWiNFO64\\VSB\" /v " + name + " /t REG_SZ /d \"" + text +
                   "\" /f");
    }

    static void Clear() { Reg("delete \"HKCU\\Software\\HWiNFO64\" /f"); }

    // One reading, N as HWiNFO numbers them; no ValueRaw when `raw` is null.
    static bool Entry(int n, const std::string& sensor, const std::string& label,
                      const std::string& value, const char* raw) {
        const std::string k = std::to_string(n);
        return Add("Sensor" + k, sensor) && Add("Label" + k, label) && Add("Value" + k, value) &&
               (!raw || Add("ValueRaw" + k, raw)) && Add("Color" + k, "#00FF00");
    }

    // Rewrites Color0 every second until Stop.
    void Run() {
        Stop();
        stop_ = false;
        ticker_ = std::thread([this] {
            for (unsigned tick = 0; !stop_.load(); ++tick) {
                Add("Color0", tick % 2 ? "#00FF00" : "#00FF01");
                for (int i = 0; i < 10 && !stop_.load(); ++i)
                    Sleep(100);
            }
        });
    }

    void Stop() {
        stop_ = true;
        if (ticker_.joinable())
            ticker_.join();
    }

private:
    std::thread ticker_;
    std::atomic<bool> stop_{false};
};

// A PC whose user ticked these readings for Gadget reporting: N = 5 unticked since (a gap),
// 7 without its ValueRaw, 8 with a ValueRaw that is no number.
bool WriteGadgetPc() {
    const std::string cpu = "CPU [#0]: AMD Ryzen 7 5800X: Enhanced";
    const std::string board = "ASUS ROG STRIX B550-F GAMING (WI-FI) (Nuvoton NCT6798D)";
    const std::string degrees =
        "\xC2\xB0"
        "C";
    FakeGadget::Clear();
    return FakeGadget::Entry(0, cpu, "CPU (Tctl/Tdie)", "61.3 " + degrees, "61.3") &&
           FakeGadget::Entry(1, board, "CPU Termination", "1.056 V", "1.056") &&
           FakeGadget::Entry(2, board, "System 1", "33 " + degrees, "33") &&
           FakeGadget::Entry(3, board, "+12V", "12.096 V", "12.096") &&
           FakeGadget::Entry(4, board, "CPU", "1205 RPM", "1205") &&
           FakeGadget::Entry(6, board, "Chassis1", "812 RPM", "812") &&
           FakeGadget::Entry(7, board, "+3.3V", "3.344 V", nullptr) &&
           FakeGadget::Entry(8, board, "+5V", "5.04 V", "abc");
}

// Its readings as automatic mapping picks them, record order.
const std::vector<std::string> kGadgetTexts = {"61.3", "-",     "33.0", "-",    "1.06", "3.34", "-",
                                               "-",    "12.10", "-",    "1205", "812",  "-"};

class WinAgentTest : public BarTest {
protected:
    WinAgentTest() : BarTest(false) {}

    void SetUp() override {
        BarTest::SetUp();
        if (IsSkipped())
            return;
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        ASSERT_TRUE(FileExists(AgentPath())) << "vornagent.exe is not built: " << AgentPath();
        port_ = FreePort();
    }

    void TearDown() override {
        agent_.Kill();
        hwinfo_.Close();
        gadget_.Stop();
        if (gadget_written_)
            FakeGadget::Clear();
        BarTest::TearDown();
    }

    void StartAgent(const std::string& source) {
        ASSERT_TRUE(agent_.Start("--console --listen 127.0.0.1:" + std::to_string(port_) +
                                 " --source " + source + " --interval 100 --rate 0"));
    }

    // The bar on "localhost" shows the sample machine's readings.
    void ExpectBarShowsSample() {
        ExpectBarShows({{IDC_SLOT01, "CPU :   45.0"},
                        {IDC_SLOT02, "PWR :   38.0"},
                        {IDC_SLOT03, "SYS :   33.0"},
                        {IDC_SLOT04, "FAN1:   1205"},
                        {IDC_SLOT05, "FAN2:    812"},
                        {IDC_SLOT06, "FAN3:      0"},
                        {IDC_SLOT07, "VID :   1.14"},
                        {IDC_SLOT08, "VTT :   1.05"},
                        {IDC_SLOT09, "3.3V:   3.34"},
                        {IDC_SLOT10, "+5V :  +5.04"},
                        {IDC_SLOT11, "-5V :  -5.02"},
                        {IDC_SLOT12, "+12V: +12.10"},
                        {IDC_SLOT13, "-12V: -11.90"}});
    }

    void ExpectBarShows(const std::vector<std::pair<int, std::string>>& want) {
        CleanStart();
        WriteProfileText(HostSection("localhost:" + std::to_string(port_),
                                     {"DelayTimer=0", "MonitorTimer=1", "IconTimer=0"}));
        BarProcess bar;
        ASSERT_TRUE(bar.Start());
        HWND hwnd = bar.WaitForBar(kAppearMs);
        ASSERT_NE(hwnd, nullptr);
        for (const auto& [id, text] : want) {
            std::string last;
            EXPECT_TRUE(WaitForControlText(
                hwnd, id, [&](const std::string& t) { return t == text; }, kTextMs, &last))
                << "slot " << id << ": \"" << last << "\", want \"" << text << "\"\n"
                << agent_.Log();
        }
        Post(hwnd, WM_CLOSE, 0, 0);
        ASSERT_TRUE(bar.WaitForExit(5000));
        EXPECT_EQ(Saved("ErrorCounter"), "0");
        RemoveProfile();
    }

    unsigned short port_ = 0;
    FakeHwinfo hwinfo_;
    FakeGadget gadget_;
    bool gadget_written_ = false;
    AgentProcess agent_;
};

TEST_F(WinAgentTest, ServesHwinfoMemoryOfBothLayoutsToUdpAndTheBar) {
    for (HwinfoLayout layout : {HwinfoLayout::kPlain, HwinfoLayout::kUtf8}) {
        SCOPED_TRACE(layout == HwinfoLayout::kPlain ? "plain layout" : "UTF-8 layout");
        ASSERT_TRUE(hwinfo_.Publish(BuildHwinfoImage(vorn::testing::SampleSensors(),
                                                     vorn::testing::SampleReadings(), layout)));
        StartAgent("hwinfo");
        Answer last;
        EXPECT_TRUE(AskUntil(
            port_, [](const Answer& a) { return a.texts == kSampleTexts; }, 20000, &last))
            << Joined(last) << "\n"
            << agent_.Log();
        EXPECT_EQ(last.status, proto::ReplyStatus::kReadings);
        if (layout == HwinfoLayout::kUtf8)
            ExpectBarShowsSample();
        agent_.Kill();
        hwinfo_.Close();
    }
}

TEST_F(WinAgentTest, HwinfoMemoryThatStopsUpdatingIsNotServedUntilItMovesAgain) {
    ASSERT_TRUE(hwinfo_.Publish(BuildHwinfoImage(
        vorn::testing::SampleSensors(), vorn::testing::SampleReadings(), HwinfoLayout::kUtf8)));
    StartAgent("hwinfo");
    Answer last;
    ASSERT_TRUE(AskUntil(
        port_, [](const Answer& a) { return a.texts == kSampleTexts; }, 20000, &last))
        << Joined(last) << "\n"
        << agent_.Log();
    hwinfo_.Freeze(true);
    EXPECT_TRUE(AskUntil(
        port_, [](const Answer& a) { return a.status == proto::ReplyStatus::kNoSensors; }, 30000,
        &last))
        << Joined(last) << "\n"
        << agent_.Log();
    Sleep(500);  // more samples of the frozen memory
    hwinfo_.Freeze(false);
    EXPECT_TRUE(AskUntil(
        port_, [](const Answer& a) { return a.texts == kSampleTexts; }, 5000, &last))
        << Joined(last) << "\n"
        << agent_.Log();
    const std::string log = agent_.Log();
    const std::size_t first = log.find("HWiNFO stopped updating its shared memory");
    EXPECT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find("HWiNFO stopped updating", first + 1), std::string::npos) << log;
}

TEST_F(WinAgentTest, DamagedOrVanishingMemoryLeavesTheAgentAnswering) {
    const auto good = BuildHwinfoImage(vorn::testing::SampleSensors(),
                                       vorn::testing::SampleReadings(), HwinfoLayout::kUtf8);
    ASSERT_TRUE(hwinfo_.Publish(good));
    StartAgent("hwinfo");
    Answer last;
    ASSERT_TRUE(AskUntil(
        port_, [](const Answer& a) { return a.texts == kSampleTexts; }, 20000, &last))
        << Joined(last) << "\n"
        << agent_.Log();

    auto all_missing = [](const Answer& a) { return a.status == proto::ReplyStatus::kNoSensors; };
    struct Damage {
        const char* what;
        std::size_t field;
        std::uint32_t value;
    };
    const Damage damages[] = {
        {"reading count far past the mapping", L::kReadingCount, 0x7fffffffu},
        {"reading offset past the mapping", L::kReadingOffset, 0xfffffff0u},
        {"reading element size 0", L::kReadingSize, 0},
        {"reading element smaller than its fields", L::kReadingSize, 100},
        {"sensor count 0", L::kSensorCount, 0},
    };
    for (const Damage& d : damages) {
        SCOPED_TRACE(d.what);
        auto image = good;
        vorn::testing::PokeU32(&image, d.field, d.value);
        hwinfo_.Write(image);
        if (d.field == L::kReadingCount) {
            // Every reading that fits is still read.
            EXPECT_TRUE(AskUntil(
                port_, [](const Answer& a) { return a.texts == kSampleTexts; }, 5000, &last))
                << Joined(last);
        } else {
            EXPECT_TRUE(AskUntil(port_, all_missing, 5000, &last)) << Joined(last);
        }
        hwinfo_.Write(good);
        EXPECT_TRUE(AskUntil(
            port_, [](const Answer& a) { return a.texts == kSampleTexts; }, 5000, &last))
            << Joined(last);
    }

    // "DEAD", then a value that is not a number, then unterminated names.
    auto image = good;
    std::memcpy(image.data(), "DEAD", 4);
    hwinfo_.Write(image);
    EXPECT_TRUE(AskUntil(port_, all_missing, 5000, &last)) << Joined(last);
    image = good;
    const std::size_t r_off = L::kHeaderSize + 8 + 2 * L::kSensorElementSizeUtf8;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::memcpy(&image[r_off + L::kReadingValue], &nan, sizeof nan);  // CPU Package
    const double huge = 1e300;
    std::memcpy(&image[r_off + 8 * L::kReadingElementSizeUtf8 + L::kReadingValue], &huge,
                sizeof huge);  // +3.3V
    std::memset(&image[r_off + 13 * L::kReadingElementSizeUtf8 + L::kReadingUtf8UserLabel], 'x',
                L::kNameLength);  // the CPU fan
    hwinfo_.Write(image);
    EXPECT_TRUE(AskUntil(
        port_,
        [](const Answer& a) {
            return a.texts[0] != "45.0" && a.texts[10] != "1205" && a.texts[5] == "-" &&
                   a.texts[2] == "33.0";
        },
        5000, &last))
        << Joined(last);

    // The mapping shrinks to less than its header says, then vanishes, then comes back.
    ASSERT_TRUE(hwinfo_.Publish(good, 4096));
    EXPECT_TRUE(AskUntil(
        port_, [](const Answer& a) { return a.ok; }, 5000, &last));
    hwinfo_.Close();
    EXPECT_TRUE(AskUntil(port_, all_missing, 5000, &last)) << Joined(last);
    ASSERT_TRUE(hwinfo_.Publish(good));
    EXPECT_TRUE(AskUntil(
        port_, [](const Answer& a) { return a.texts == kSampleTexts; }, 5000, &last))
        << Joined(last) << "\n"
        << agent_.Log();
}

TEST_F(WinAgentTest, AutoReadsLibreHardwareMonitorWithoutHwinfoAndHwinfoWhenItStarts) {
    // The automatic source looks at LibreHardwareMonitor's own port.
    vorn::testing::TinyHttpServer lhm;
    if (!lhm.Start(8085))
        GTEST_SKIP() << "127.0.0.1:8085 is taken here; the automatic source needs that port";
    const std::string page = LibreHardwareMonitorPage();
    ASSERT_FALSE(page.empty()) << VORN_LHM_FIXTURE;
    lhm.SetResponse({200, "text/plain; version=0.0.4", page, 0});
    StartAgent("auto");
    Answer last;
    EXPECT_TRUE(AskUntil(
        port_, [](const Answer& a) { return a.texts == kLhmTexts; }, 20000, &last))
        << Joined(last) << "\n"
        << agent_.Log();
    ExpectBarShows({{IDC_SLOT01, "CPU :   57.5"},
                    {IDC_SLOT03, "SYS :   36.0"},
                    {IDC_SLOT04, "FAN1:   1125"},
                    {IDC_SLOT08, "VTT :   1.03"},
                    {IDC_SLOT12, "+12V: +12.19"},
                    {IDC_SLOT13, "-12V:      -"}});

    // HWiNFO starts: its memory wins; it ends: LibreHardwareMonitor again; that ends too: none.
    ASSERT_TRUE(hwinfo_.Publish(BuildHwinfoImage(
        vorn::testing::SampleSensors(), vorn::testing::SampleReadings(), HwinfoLayout::kUtf8)));
    EXPECT_TRUE(AskUntil(
        port_, [](const Answer& a) { return a.texts == kSampleTexts; }, 5000, &last))
        << Joined(last);
    hwinfo_.Close();
    EXPECT_TRUE(AskUntil(
        port_, [](const Answer& a) { return a.texts == kLhmTexts; }, 5000, &last))
        << Joined(last);
    lhm.Stop();
    EXPECT_TRUE(AskUntil(
        port_, [](const Answer& a) { return a.status == proto::ReplyStatus::kNoSensors; }, 5000,
        &last))
        << Joined(last);
    Sleep(500);
    const std::string log = agent_.Log();
    const std::string reason =
        "no sensor program found: start HWiNFO with shared memory support or Gadget reporting, "
        "or LibreHardwareMonitor's remote web server";
    const std::size_t first = log.find(reason);
    EXPECT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find(reason, first + 1), std::string::npos) << "logged more than once:\n" << log;
}

TEST_F(WinAgentTest, GadgetValuesInTheRegistryServeThisPcAndTheBar) {
    gadget_written_ = true;
    ASSERT_TRUE(WriteGadgetPc());
    gadget_.Run();
    StartAgent("hwinfo-gadget");
    Answer last;
    EXPECT_TRUE(AskUntil(
        port_, [](const Answer& a) { return a.texts == kGadgetTexts; }, 20000, &last))
        << Joined(last) << "\n"
        << agent_.Log();
    ExpectBarShows({{IDC_SLOT01, "CPU :   61.3"},
                    {IDC_SLOT03, "SYS :   33.0"},
                    {IDC_SLOT04, "FAN1:   1205"},
                    {IDC_SLOT08, "VTT :   1.06"},
                    {IDC_SLOT09, "3.3V:   3.34"},
                    {IDC_SLOT10, "+5V :  +   -"}});
    agent_.Kill();

    // Configured lines name SENSOR / LABEL as for the shared memory; --list prints them.
    std::string output;
    ASSERT_EQ(AgentProcess::Run("--list --source hwinfo-gadget", &output), 0) << output;
    for (const char* line :
         {"SENSOR / LABEL",
          "VVTT = ASUS ROG STRIX B550-F GAMING (WI-FI) (Nuvoton NCT6798D) / CPU Termination",
          "TSYS = ASUS ROG STRIX B550-F GAMING (WI-FI) (Nuvoton NCT6798D) / System 1"}) {
        EXPECT_NE(output.find(line), std::string::npos) << line << " in:\n" << output;
    }
    const std::string config = DirectoryOf(BarExePath()) + "\\e2e_winagent_gadget.conf";
    std::FILE* f = std::fopen(config.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fprintf(f,
                 "source = hwinfo-gadget\ninterval = 100\nrate = 0\nlisten = 127.0.0.1:%u\n"
                 "TPWR = ASUS ROG STRIX B550-F GAMING (WI-FI) (Nuvoton NCT6798D) / System 1\n"
                 "FAN3 = ASUS ROG STRIX B550-F GAMING (WI-FI) (Nuvoton NCT6798D) / Chassis1\n",
                 port_);
    std::fclose(f);
    ASSERT_TRUE(agent_.Start("--config \"" + config + "\""));
    EXPECT_TRUE(AskUntil(
        port_,
        [](const Answer& a) {
            return a.texts[1] == "33.0" && a.texts[12] == "812" && a.texts[0] == "-";
        },
        20000, &last))
        << Joined(last) << "\n"
        << agent_.Log();
    DeleteFileA(config.c_str());
}

TEST_F(WinAgentTest, AutoTurnsToGadgetValuesWhenTheSharedMemoryStopsAndBack) {
    gadget_written_ = true;
    ASSERT_TRUE(WriteGadgetPc());
    gadget_.Run();
    ASSERT_TRUE(hwinfo_.Publish(BuildHwinfoImage(
        vorn::testing::SampleSensors(), vorn::testing::SampleReadings(), HwinfoLayout::kUtf8)));
    StartAgent("auto");
    Answer last;
    EXPECT_TRUE(AskUntil(
        port_, [](const Answer& a) { return a.texts == kSampleTexts; }, 20000, &last))
        << Joined(last) << "\n"
        << agent_.Log();
    hwinfo_.Freeze(true);  // the free edition's 12 hours are up
    EXPECT_TRUE(AskUntil(
        port_, [](const Answer& a) { return a.texts == kGadgetTexts; }, 30000, &last))
        << Joined(last) << "\n"
        << agent_.Log();
    hwinfo_.Freeze(false);  // shared memory support turned on again
    EXPECT_TRUE(AskUntil(
        port_, [](const Answer& a) { return a.texts == kSampleTexts; }, 5000, &last))
        << Joined(last) << "\n"
        << agent_.Log();
    // Each change told once, with its reason: the log's lines that begin so.
    const std::string log = agent_.Log();
    auto count = [&log](const std::string& start) {
        int n = 0;
        for (std::size_t at = 0; at < log.size();) {
            std::size_t end = log.find('\n', at);
            if (end == std::string::npos)
                end = log.size();
            std::string line = log.substr(at, end - at);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            n += line == start || line.rfind(start + " (", 0) == 0;
            at = end + 1;
        }
        return n;
    };
    EXPECT_EQ(count("vornagent: warning: using HWiNFO's shared memory"), 1) << log;
    EXPECT_EQ(count("vornagent: warning: using HWiNFO's Gadget values instead of HWiNFO's shared "
                    "memory"),
              1)
        << log;
    EXPECT_EQ(count("vornagent: warning: using HWiNFO's shared memory, preferred to HWiNFO's "
                    "Gadget values"),
              1)
        << log;
}

TEST_F(WinAgentTest, PrometheusSourceReadsAPageOverWinHttp) {
    vorn::testing::TinyHttpServer lhm;
    ASSERT_TRUE(lhm.Start());
    lhm.SetResponse({200, "text/plain; version=0.0.4", LibreHardwareMonitorPage(), 0});
    StartAgent("prometheus:" + lhm.Url());
    Answer last;
    EXPECT_TRUE(AskUntil(
        port_, [](const Answer& a) { return a.texts == kLhmTexts; }, 20000, &last))
        << Joined(last) << "\n"
        << agent_.Log();
    lhm.SetResponse({500, "text/plain", "broken", 0});
    EXPECT_TRUE(AskUntil(
        port_, [](const Answer& a) { return a.status == proto::ReplyStatus::kNoSensors; }, 5000,
        &last))
        << Joined(last);
    EXPECT_NE(agent_.Log().find("HTTP status 500"), std::string::npos) << agent_.Log();
}

TEST_F(WinAgentTest, NoSensorProgramGivesStatusOneAndTheReasonOnce) {
    StartAgent("auto");
    Answer last;
    EXPECT_TRUE(AskUntil(
        port_, [](const Answer& a) { return a.status == proto::ReplyStatus::kNoSensors; }, 20000,
        &last))
        << Joined(last) << "\n"
        << agent_.Log();
    EXPECT_EQ(last.texts, std::vector<std::string>(13, ""));
    Sleep(1000);  // ten more samples
    const std::string log = agent_.Log();
    EXPECT_EQ(log.find("no sensor program found"), log.rfind("no sensor program found")) << log;
    EXPECT_NE(log.find("no sensor program found"), std::string::npos) << log;
}

TEST_F(WinAgentTest, HostileDatagramsGetNoAnswerAndTheAgentAnswersOn) {
    ASSERT_TRUE(hwinfo_.Publish(BuildHwinfoImage(
        vorn::testing::SampleSensors(), vorn::testing::SampleReadings(), HwinfoLayout::kPlain)));
    StartAgent("hwinfo");
    Answer last;
    ASSERT_TRUE(AskUntil(
        port_, [](const Answer& a) { return a.ok; }, 20000, &last))
        << agent_.Log();

    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port_);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const proto::Datagram good = proto::EncodeRequest(77);
    std::vector<std::vector<char>> hostile = {
        std::vector<char>(good.begin(), good.end()),  // then made longer, shorter, wrong
        std::vector<char>(good.begin(), good.end() - 1),
        std::vector<char>(4000, 'x'),
        std::vector<char>(),
        std::vector<char>(good.size(), '\xff'),
    };
    hostile[0].push_back(0);  // 129 bytes: longer than any request
    for (int round = 0; round < 50; ++round) {
        for (const auto& d : hostile) {
            sendto(s, d.data(), static_cast<int>(d.size()), 0, reinterpret_cast<sockaddr*>(&to),
                   sizeof to);
        }
    }
    // Not one answer to any of them.
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval tv{0, 500000};
    EXPECT_EQ(select(0, &readable, nullptr, nullptr, &tv), 0);
    closesocket(s);
    EXPECT_TRUE(AskUntil(
        port_, [](const Answer& a) { return a.texts == kSampleTexts; }, 5000, &last))
        << Joined(last) << "\n"
        << agent_.Log();
}

TEST_F(WinAgentTest, ListAndCheckSpeakHwinfosNames) {
    ASSERT_TRUE(hwinfo_.Publish(BuildHwinfoImage(
        vorn::testing::SampleSensors(), vorn::testing::SampleReadings(), HwinfoLayout::kUtf8)));
    std::string output;
    ASSERT_EQ(AgentProcess::Run("--list --source hwinfo", &output), 0) << output;
    for (const char* line :
         {"SENSOR / LABEL", "TCPU = CPU [#0]: Intel Core i7-4770K / CPU Package",
          "FAN1 = Mainboard / CPU", "VM12 = Mainboard / -12V", "TPWR = Mainboard / Power Supply"}) {
        EXPECT_NE(output.find(line), std::string::npos) << line << " in:\n" << output;
    }
    EXPECT_EQ(output.find("Total CPU Usage"), std::string::npos) << output;

    const std::string config = DirectoryOf(BarExePath()) + "\\e2e_winagent_check.conf";
    std::FILE* f = std::fopen(config.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("source = hwinfo\nTCPU = Mainboard/CPU\n", f);
    std::fclose(f);
    EXPECT_EQ(AgentProcess::Run("--check \"" + config + "\"", &output), 1) << output;
    EXPECT_NE(output.find("SENSOR / LABEL"), std::string::npos) << output;

    // With HWiNFO running, a line that names nothing in its memory fails, with its line;
    // a line that does passes and says what it reads.
    f = std::fopen(config.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("TCPU = CPU [#0]: Intel Core i7-4770K / CPU Package\nTSYS = bogus\n", f);
    std::fclose(f);
    EXPECT_EQ(AgentProcess::Run("--check \"" + config + "\"", &output), 1) << output;
    EXPECT_NE(output.find(":2: TSYS: not a HWiNFO SENSOR / LABEL"), std::string::npos) << output;
    EXPECT_NE(output.find(":1: TCPU: reads CPU [#0]: Intel Core i7-4770K / CPU Package"),
              std::string::npos)
        << output;
    f = std::fopen(config.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("source = hwinfo\nFAN3 = Mainboard / Fan 9\n", f);
    std::fclose(f);
    EXPECT_EQ(AgentProcess::Run("--check \"" + config + "\"", &output), 1) << output;
    EXPECT_NE(output.find(":2: FAN3: matches nothing: HWiNFO shows no fan named"),
              std::string::npos)
        << output;
    DeleteFileA(config.c_str());
}

TEST_F(WinAgentTest, AskPrintsTheReadingsOfAnAgentOrWhyThereAreNone) {
    ASSERT_TRUE(hwinfo_.Publish(BuildHwinfoImage(
        vorn::testing::SampleSensors(), vorn::testing::SampleReadings(), HwinfoLayout::kUtf8)));
    StartAgent("hwinfo");
    Answer last;
    ASSERT_TRUE(AskUntil(
        port_, [](const Answer& a) { return a.texts == kSampleTexts; }, 20000, &last))
        << agent_.Log();
    std::string output;
    EXPECT_EQ(AgentProcess::Run("--ask 127.0.0.1:" + std::to_string(port_), &output), 0) << output;
    for (const char* line :
         {"(protocol version 2)", "TCPU  CPU temperature", "45.0 C", "VM12  -12 V rail", "-11.90 V",
          "FAN1  fan 1", "1205 RPM", "alarm mask 0x"}) {
        EXPECT_NE(output.find(line), std::string::npos) << line << " in:\n" << output;
    }
    agent_.Kill();
    // Nothing listens there now: refused at once where Windows reports it, else a time-out.
    EXPECT_EQ(AgentProcess::Run("--ask 127.0.0.1:" + std::to_string(port_), &output), 1) << output;
    EXPECT_TRUE(output.find("refused") != std::string::npos ||
                output.find("time-out") != std::string::npos)
        << output;
}

TEST_F(WinAgentTest, ReadsVornagentConfNextToTheExecutableWithoutConfig) {
    ASSERT_TRUE(hwinfo_.Publish(BuildHwinfoImage(
        vorn::testing::SampleSensors(), vorn::testing::SampleReadings(), HwinfoLayout::kPlain)));
    const std::string config = DirectoryOf(AgentPath()) + "\\vornagent.conf";
    ASSERT_FALSE(FileExists(config)) << "a leftover " << config;
    struct Remove {
        std::string path;
        ~Remove() { DeleteFileA(path.c_str()); }
    } remove{config};
    std::FILE* f = std::fopen(config.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fprintf(f,
                 "source = hwinfo\nlisten = 127.0.0.1:%u\ninterval = 100\nrate = 0\n"
                 "FAN3 = Mainboard / System 1\n",
                 port_);
    std::fclose(f);
    ASSERT_TRUE(agent_.Start(""));
    Answer last;
    EXPECT_TRUE(AskUntil(
        port_, [](const Answer& a) { return a.texts[12] == "812" && a.texts[0] == "-"; }, 20000,
        &last))
        << Joined(last) << "\n"
        << agent_.Log();
}

TEST_F(WinAgentTest, CtrlBreakStopsTheConsoleAgentCleanly) {
    // The agent must share a console with this program to be sent its Ctrl+Break.
    if (!GetConsoleWindow())
        AllocConsole();
    ASSERT_TRUE(hwinfo_.Publish(BuildHwinfoImage(
        vorn::testing::SampleSensors(), vorn::testing::SampleReadings(), HwinfoLayout::kPlain)));
    StartAgent("hwinfo");
    Answer last;
    ASSERT_TRUE(AskUntil(
        port_, [](const Answer& a) { return a.ok; }, 20000, &last))
        << agent_.Log();
    if (!GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, agent_.pid())) {
        // Wine 8 refuses console control events here (error 12, even Ctrl+C to the whole
        // console); the stop path behind the handler is the one the service test drives.
        GTEST_SKIP() << "no console control event can be sent here (error " << GetLastError()
                     << ")";
    }
    EXPECT_EQ(agent_.WaitForExit(10000), 0) << agent_.Log();
    EXPECT_NE(agent_.Log().find("stopping; answered"), std::string::npos) << agent_.Log();
}

TEST_F(WinAgentTest, ReloadCommandMakesTheRunningAgentReadItsConfigurationAgain) {
    ASSERT_TRUE(hwinfo_.Publish(BuildHwinfoImage(
        vorn::testing::SampleSensors(), vorn::testing::SampleReadings(), HwinfoLayout::kUtf8)));
    const std::string config = DirectoryOf(BarExePath()) + "\\e2e_winagent_reload.conf";
    auto write_config = [&](const std::string& mapping) {
        std::FILE* f = std::fopen(config.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fprintf(f, "source = hwinfo\ninterval = 100\nrate = 0\nlisten = 127.0.0.1:%u\n%s\n",
                     port_, mapping.c_str());
        std::fclose(f);
    };
    write_config("TCPU = Mainboard / CPU");
    ASSERT_TRUE(agent_.Start("--config \"" + config + "\""));
    Answer last;
    EXPECT_TRUE(AskUntil(
        port_, [](const Answer& a) { return a.texts[0] == "41.0" && a.texts[2] == "-"; }, 20000,
        &last))
        << Joined(last) << "\n"
        << agent_.Log();

    write_config("TCPU = CPU [#0]: Intel Core i7-4770K / CPU Package\nTSYS = Mainboard / System");
    std::string output;
    EXPECT_EQ(AgentProcess::Run("--reload", &output), 0) << output;
    EXPECT_NE(output.find("asked the agent running in this session to reload"), std::string::npos)
        << output;
    EXPECT_TRUE(AskUntil(
        port_, [](const Answer& a) { return a.texts[0] == "45.0" && a.texts[2] == "33.0"; }, 5000,
        &last))
        << Joined(last) << "\n"
        << agent_.Log();
    DeleteFileA(config.c_str());
}

TEST_F(WinAgentTest, ServiceInstallsStartsServesAndIsRemoved) {
    ASSERT_TRUE(hwinfo_.Publish(BuildHwinfoImage(
        vorn::testing::SampleSensors(), vorn::testing::SampleReadings(), HwinfoLayout::kUtf8)));
    std::string output;
    AgentProcess::Run("--uninstall", &output);  // a leftover of an earlier run
    // A configuration named relative to this folder: the service, started elsewhere, must
    // still find it.
    const std::string config_name = "e2e_winagent_service.conf";
    struct Remove {
        std::string path;
        ~Remove() { DeleteFileA(path.c_str()); }
    } remove{config_name};
    std::FILE* f = std::fopen(config_name.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("source = hwinfo\ninterval = 100\n", f);
    std::fclose(f);
    const std::string options =
        "--listen 127.0.0.1:" + std::to_string(port_) + " --config " + config_name + " --rate 0";
    ASSERT_EQ(AgentProcess::Run("--install " + options, &output), 0) << output;
    EXPECT_NE(output.find("installed and started the vornagent service"), std::string::npos)
        << output;
    const std::size_t named = output.find(config_name);
    ASSERT_NE(named, std::string::npos) << output;
    EXPECT_EQ(output[named - 1], '\\') << "not kept as a full path: " << output;
    Answer last;
    EXPECT_TRUE(AskUntil(
        port_, [](const Answer& a) { return a.texts == kSampleTexts; }, 20000, &last))
        << Joined(last);

    EXPECT_EQ(AgentProcess::Run("--install " + options, &output), 3) << output;
    EXPECT_NE(output.find("already installed"), std::string::npos) << output;
    EXPECT_EQ(AgentProcess::Run("--reload", &output), 0) << output;
    EXPECT_NE(output.find("asked the vornagent service to reload"), std::string::npos) << output;
    EXPECT_TRUE(AskUntil(
        port_, [](const Answer& a) { return a.ok; }, 5000, &last));

    ASSERT_EQ(AgentProcess::Run("--uninstall", &output), 0) << output;
    EXPECT_NE(output.find("stopped and removed the vornagent service"), std::string::npos)
        << output;
    EXPECT_FALSE(Ask(port_, 500).ok) << "still answering after --uninstall";
    EXPECT_EQ(AgentProcess::Run("--uninstall", &output), 3) << output;
    EXPECT_NE(output.find("not installed"), std::string::npos) << output;

    // The service logged next to the executable.
    const std::string log_path = DirectoryOf(AgentPath()) + "\\vornagent.log";
    std::string log;
    if (std::FILE* f = std::fopen(log_path.c_str(), "rb")) {
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            log.append(buf, n);
        std::fclose(f);
    }
    EXPECT_NE(log.find("listening on 127.0.0.1:" + std::to_string(port_)), std::string::npos)
        << log;
    EXPECT_NE(log.find("reloaded"), std::string::npos) << log;
    EXPECT_NE(log.find("stopping; answered"), std::string::npos) << log;
    DeleteFileA(log_path.c_str());
}

// A stop while the prometheus source waits on an endpoint that takes far longer than the
// agent's stop allowance (60 s against 5 s) to answer: the GET in flight is cancelled, so the
// service ends through its normal path instead of leaving the hanging read behind.
TEST_F(WinAgentTest, ServiceStopCancelsAPrometheusReadThatHangs) {
    vorn::testing::TinyHttpServer hanging;
    ASSERT_TRUE(hanging.Start());
    hanging.SetResponse({200, "text/plain; version=0.0.4", LibreHardwareMonitorPage(), 60000});
    std::string output;
    AgentProcess::Run("--uninstall", &output);  // a leftover of an earlier run
    const std::string log_path = DirectoryOf(AgentPath()) + "\\vornagent.log";
    DeleteFileA(log_path.c_str());
    const std::string config_name = "e2e_winagent_hanging.conf";
    struct Remove {
        std::string path;
        ~Remove() { DeleteFileA(path.c_str()); }
    } remove{config_name};
    std::FILE* f = std::fopen(config_name.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fprintf(f, "source = prometheus:%s\nprometheus.timeout = 60000\ninterval = 100\n",
                 hanging.Url().c_str());
    std::fclose(f);
    ASSERT_EQ(AgentProcess::Run("--install --listen 127.0.0.1:" + std::to_string(port_) +
                                    " --config " + config_name + " --rate 0",
                                &output),
              0)
        << output;
    // The service's first sample is under way: its GET has reached the endpoint.
    const DWORD start = GetTickCount();
    while (hanging.Requests() == 0 && GetTickCount() - start < 20000)
        Sleep(50);
    ASSERT_EQ(hanging.Requests(), 1) << "the service never asked the endpoint";

    EXPECT_EQ(AgentProcess::Run("--uninstall", &output), 0) << output;
    EXPECT_NE(output.find("stopped and removed the vornagent service"), std::string::npos)
        << output;
    EXPECT_EQ(output.find("did not stop"), std::string::npos) << output;
    EXPECT_FALSE(Ask(port_, 500).ok) << "still answering after --uninstall";
    std::string log;
    if (std::FILE* in = std::fopen(log_path.c_str(), "rb")) {
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, in)) > 0)
            log.append(buf, n);
        std::fclose(in);
    }
    EXPECT_NE(log.find("stopping; answered"), std::string::npos) << log;
    EXPECT_EQ(log.find("still hangs"), std::string::npos) << log;
    // The cancelled GET is not reported as a failure of the endpoint.
    EXPECT_EQ(log.find("no complete answer"), std::string::npos) << log;
    EXPECT_EQ(hanging.Requests(), 1);
    DeleteFileA(log_path.c_str());
}

TEST_F(WinAgentTest, ServiceReadsTheSignedInUsersGadgetValues) {
    gadget_written_ = true;
    ASSERT_TRUE(WriteGadgetPc());
    gadget_.Run();
    std::string output;
    AgentProcess::Run("--uninstall", &output);  // a leftover of an earlier run
    const std::string options =
        "--listen 127.0.0.1:" + std::to_string(port_) + " --source auto --interval 100 --rate 0";
    ASSERT_EQ(AgentProcess::Run("--install " + options, &output), 0) << output;
    Answer last;
    EXPECT_TRUE(AskUntil(
        port_, [](const Answer& a) { return a.texts == kGadgetTexts; }, 20000, &last))
        << Joined(last) << "\n"
        << output;
    EXPECT_EQ(AgentProcess::Run("--uninstall", &output), 0) << output;
    // The service found the console user's key under HKEY_USERS.
    const std::string log_path = DirectoryOf(AgentPath()) + "\\vornagent.log";
    std::string log;
    if (std::FILE* f = std::fopen(log_path.c_str(), "rb")) {
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            log.append(buf, n);
        std::fclose(f);
    }
    EXPECT_NE(log.find("using HWiNFO's Gadget values"), std::string::npos) << log;
    DeleteFileA(log_path.c_str());
}

// One HTTP exchange with the agent's metrics endpoint on 127.0.0.1:`port`: sends `request`
// and reads until the agent closes (at most `ms`). Empty when no connection was made.
std::string HttpExchange(unsigned short port, const std::string& request, DWORD ms = 5000) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string got;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
    if (connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
        send(s, request.data(), static_cast<int>(request.size()), 0);
        char buf[4096];
        int n = 0;
        while ((n = recv(s, buf, sizeof buf, 0)) > 0)
            got.append(buf, static_cast<std::size_t>(n));
    }
    closesocket(s);
    return got;
}

std::string Scrape(unsigned short port) {
    return HttpExchange(port, "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
}

TEST_F(WinAgentTest, MetricsEndpointServesTheReadingsAndTurnsAwaySlowClients) {
    ASSERT_TRUE(hwinfo_.Publish(BuildHwinfoImage(
        vorn::testing::SampleSensors(), vorn::testing::SampleReadings(), HwinfoLayout::kUtf8)));
    const unsigned short metrics = FreePort();
    ASSERT_TRUE(agent_.Start("--console --listen 127.0.0.1:" + std::to_string(port_) +
                             " --metrics 127.0.0.1:" + std::to_string(metrics) +
                             " --source hwinfo --interval 100 --rate 0"));
    Answer last;
    ASSERT_TRUE(AskUntil(
        port_, [](const Answer& a) { return a.texts == kSampleTexts; }, 20000, &last))
        << Joined(last) << "\n"
        << agent_.Log();
    const std::string page = Scrape(metrics);
    EXPECT_EQ(page.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << page << agent_.Log();
    EXPECT_NE(page.find("\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"),
              std::string::npos);
    EXPECT_NE(page.find("\nvornagent_temperature_celsius{reading=\"TCPU\",sensor=\""),
              std::string::npos)
        << page;
    EXPECT_NE(page.find("\"} 45\n"), std::string::npos) << page;
    EXPECT_EQ(HttpExchange(metrics, "GET /x HTTP/1.1\r\nHost: a\r\n\r\n").substr(0, 12),
              "HTTP/1.1 404");

    // Sixteen slow clients, from sixteen loopback addresses, hold every slot: a seventeenth
    // is turned away, UDP is still answered, and after five seconds each slow one is told it
    // took too long.
    std::vector<SOCKET> slow;
    for (int i = 0; i < 16; ++i) {
        SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_addr.s_addr = htonl(INADDR_LOOPBACK + 1 + static_cast<unsigned>(i));
        ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(metrics);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
        send(s, "GET /met", 8, 0);
        slow.push_back(s);
    }
    // Connections are queued and accepted in the order made: the seventeenth always finds the
    // slots taken.
    EXPECT_EQ(Scrape(metrics).substr(0, 12), "HTTP/1.1 503");
    for (int i = 0; i < 20; ++i)
        EXPECT_TRUE(Ask(port_, 1000).ok);
    for (SOCKET s : slow) {
        const DWORD ms = 8000;
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
        char buf[64] = {};
        const int n = recv(s, buf, sizeof buf - 1, 0);
        EXPECT_EQ(std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0).substr(0, 12),
                  "HTTP/1.1 408");
        closesocket(s);
    }
    std::string after;
    for (int i = 0; i < 30 && after.rfind("HTTP/1.1 200", 0) != 0; ++i) {
        Sleep(100);
        after = Scrape(metrics);
    }
    EXPECT_NE(after.find("vornagent_metrics_connections_total{result=\"timed_out\"} 16\n"),
              std::string::npos)
        << after;
    EXPECT_NE(after.find("vornagent_metrics_connections_total{result=\"busy\"} 1\n"),
              std::string::npos);
}

}  // namespace
}  // namespace vorn::e2e
