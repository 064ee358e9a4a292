// History end to end: the real native agent reads a readings file whose CPU value rises to a
// peak and falls back between two polls of a bar polling once a minute; the bar's history
// window holds the peak in the CSV it copies (asked for with WM_COPY, read from the
// clipboard), after the agent has restarted, and after the bar has restarted too. Run by
// tests/e2e/with_history_agent.sh, which hands over the agent's address (VORN_AGENT_HOST) and
// its folder (VORN_AGENT_DIR: the readings file, and the restart request).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "res/resource.h"
#include "tests/e2e/bar_test.h"

namespace vorn::e2e {
namespace {

constexpr DWORD kAppearMs = 30000;
constexpr DWORD kCsvMs = 30000;
constexpr DWORD kFirstPollMs = 75000;  // longer than a poll's pause of 60 s

std::string AgentDir() {
    const char* dir = std::getenv("VORN_AGENT_DIR");
    if (dir == nullptr)
        return "";
    std::string path = std::string("Z:") + dir;
    for (char& c : path)
        c = c == '/' ? '\\' : c;
    return path;
}

// Replaces the agent's readings file in one step, so the agent never reads half of it.
bool WriteReadings(const std::string& text) {
    const std::string scratch = AgentDir() + "\\readings.new";
    std::FILE* f = std::fopen(scratch.c_str(), "wb");
    if (f == nullptr)
        return false;
    const bool written = std::fputs(text.c_str(), f) >= 0;
    std::fclose(f);
    return written && MoveFileExA(scratch.c_str(), (AgentDir() + "\\readings.txt").c_str(),
                                  MOVEFILE_REPLACE_EXISTING);
}

// Asks the supervisor to restart the agent and waits until it has.
bool RestartAgent() {
    const std::string request = AgentDir() + "\\restart";
    std::FILE* f = std::fopen(request.c_str(), "wb");
    if (f == nullptr)
        return false;
    std::fclose(f);
    for (int i = 0; i < 300; ++i) {
        if (GetFileAttributesA(request.c_str()) == INVALID_FILE_ATTRIBUTES)
            return true;
        Sleep(100);
    }
    return false;
}

// The history window of the bar's process, once it shows.
HWND WaitForHistoryWindow(DWORD pid, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < timeoutMs) {
        const std::vector<HWND> found = TopLevelWindowsOf(pid, "VornbarWindow", true);
        if (!found.empty())
            return found.front();
        Sleep(50);
    }
    return nullptr;
}

// What the window puts on the clipboard when sent WM_COPY.
std::string CopiedCsv(HWND window) {
    Send(window, WM_COPY, 0, 0);
    std::string text;
    for (int i = 0; i < 20 && !OpenClipboard(nullptr); ++i)
        Sleep(20);
    if (HANDLE data = GetClipboardData(CF_TEXT)) {
        if (const char* p = static_cast<const char*>(GlobalLock(data))) {
            text = p;
            GlobalUnlock(data);
        }
    }
    CloseClipboard();
    return text;
}

std::vector<std::string> Split(const std::string& text, const std::string& by) {
    std::vector<std::string> parts;
    std::size_t at = 0;
    for (;;) {
        const std::size_t end = text.find(by, at);
        parts.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
        if (end == std::string::npos)
            return parts;
        at = end + by.size();
    }
}

// True when some line of the CSV has `cpu` in its CPU column (the second).
bool CpuColumnHolds(const std::string& csv, const std::string& cpu) {
    for (const std::string& line : Split(csv, "\r\n")) {
        const std::vector<std::string> fields = Split(line, ",");
        if (fields.size() > 1 && fields[1] == cpu)
            return true;
    }
    return false;
}

// Copies until the CSV holds every value wanted in its CPU column; the last copy in *csv.
bool WaitForCsvHolding(HWND window, const std::vector<std::string>& values, std::string* csv) {
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < kCsvMs) {
        *csv = CopiedCsv(window);
        bool all = true;
        for (const std::string& v : values)
            all = all && CpuColumnHolds(*csv, v);
        if (all)
            return true;
        Sleep(250);
    }
    return false;
}

std::wstring TitleOf(HWND hwnd) {
    wchar_t text[256] = {};
    GetWindowTextW(hwnd, text, 256);
    return text;
}

// The window's status line (a static control beside the span buttons).
std::wstring StatusOf(HWND history) {
    HWND status = GetDlgItem(history, IDC_HISTORY_STATUS);
    return status != nullptr ? TitleOf(status) : L"<no status line>";
}

bool EndsWith(const std::wstring& text, const std::wstring& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Double-clicks the middle of a value slot of the bar, where the bar takes the mouse as its
// caption (it is not stuck).
void DoubleClickSlot(HWND bar, int id) {
    RECT rc{};
    GetWindowRect(GetDlgItem(bar, id), &rc);
    const LPARAM at = MAKELPARAM((rc.left + rc.right) / 2, (rc.top + rc.bottom) / 2);
    Post(bar, WM_NCLBUTTONDBLCLK, HTCAPTION, at);
}

class HistoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* host = std::getenv("VORN_AGENT_HOST");
        ASSERT_TRUE(host != nullptr && !AgentDir().empty())
            << "run this program through tests/e2e/with_history_agent.sh";
        host_ = host;
        exe_ = BarExePath();
        ASSERT_TRUE(FileExists(exe_)) << "VORNBAR.exe is not built yet";
    }

    // Starts the bar, waits for its first poll to show CPU as `cpu` (a second after the start:
    // a poll that ends before the bar's controls exist shows nothing), then opens its history
    // window from the tray menu's command, or by a double-click on the CPU slot.
    HWND StartWithHistory(BarProcess& bar, const std::string& cpu, bool byDoubleClick = false) {
        if (!bar.Start())
            return nullptr;
        HWND hwnd = bar.WaitForBar(kAppearMs);
        if (hwnd == nullptr || !WaitForFocus(hwnd, IDC_TOPMOST, kAppearMs))
            return nullptr;
        bar_ = hwnd;
        std::string shown;
        if (!WaitForControlText(
                hwnd, IDC_SLOT01,
                [&](const std::string& t) { return t.find(cpu) != std::string::npos; },
                kFirstPollMs, &shown)) {
            ADD_FAILURE() << "the first poll did not show " << cpu << ": \"" << shown << "\"";
            return nullptr;
        }
        if (byDoubleClick)
            DoubleClickSlot(hwnd, IDC_SLOT01);
        else
            Post(hwnd, WM_COMMAND, ID_MENU_HISTORY, 0);
        return WaitForHistoryWindow(bar.Pid(), kAppearMs);
    }

    std::string host_;
    std::string exe_;
    HWND bar_ = nullptr;
};

TEST_F(HistoryTest, APeakBetweenPollsIsInTheCsvAcrossAgentAndBarRestarts) {
    CleanStart();
    WriteProfileText(HostSection(host_, {"DelayTimer=1", "MonitorTimer=60", "IconTimer=0"}));
    ASSERT_TRUE(WriteReadings("TCPU=40\n"));
    BarProcess bar;
    HWND history = StartWithHistory(bar, "40.0");
    ASSERT_NE(history, nullptr) << "no history window";
    EXPECT_EQ(TitleOf(history), L"\u5c65\u6b74 - " + std::wstring(host_.begin(), host_.end()))
        << "履歴 - and the host";

    // The peak: held for two seconds, so that whole seconds of samples carry it, then gone.
    ASSERT_TRUE(WriteReadings("TCPU=91.5\n"));
    Sleep(2000);
    ASSERT_TRUE(WriteReadings("TCPU=40\n"));
    Sleep(500);
    EXPECT_NE(ControlText(bar_, IDC_SLOT01).find("40.0"), std::string::npos)
        << "the bar itself never polled the peak";

    // The last ten minutes by the second (key 1), one column a reading.
    Post(history, WM_KEYDOWN, '1', 0);
    std::string csv;
    ASSERT_TRUE(WaitForCsvHolding(history, {"91.5", "40.0"}, &csv)) << csv.substr(0, 400);
    EXPECT_EQ(Split(csv, "\r\n").front(),
              "time,CPU,PWR,SYS,FAN1,FAN2,FAN3,VID,VTT,3.3V,+5V,-5V,+12V,-12V");
    EXPECT_EQ(Split(csv, "\r\n").size(), 600u + 2u) << "ten minutes of seconds, a header, and "
                                                       "the empty tail after the last CR LF";
    EXPECT_TRUE(EndsWith(StatusOf(history), L" \u6642\u70b9")) << "when it was read: ... 時点";

    // The agent restarted: a value it reads only now shows the window fetched again, and the
    // peak is still there.
    ASSERT_TRUE(RestartAgent());
    ASSERT_TRUE(WriteReadings("TCPU=41.5\n"));
    ASSERT_TRUE(WaitForCsvHolding(history, {"91.5", "41.5"}, &csv)) << csv.substr(0, 400);

    // The bar restarted: the window comes back on the span it showed, with the peak.
    PressKey(bar_, VK_ESCAPE);
    ASSERT_TRUE(bar.WaitForExit(kAppearMs));
    EXPECT_EQ(Saved("HistorySpan"), "0");
    EXPECT_TRUE(IsDecimal(Saved("HistoryRight"))) << "the window's rectangle is kept";
    BarProcess again;
    HWND reopened = StartWithHistory(again, "41.5", true);
    ASSERT_NE(reopened, nullptr);
    ASSERT_TRUE(WaitForCsvHolding(reopened, {"91.5", "41.5"}, &csv)) << csv.substr(0, 400);
    EXPECT_EQ(Split(csv, "\r\n").size(), 602u) << "still ten minutes by the second";

    // The span by the minute (key 3) has minimum, mean and maximum columns; the peak is a
    // minute's maximum.
    Post(reopened, WM_KEYDOWN, '3', 0);
    const DWORD start = GetTickCount();
    bool peak = false;
    while (!peak && GetTickCount() - start < kCsvMs) {
        csv = CopiedCsv(reopened);
        const std::vector<std::string> lines = Split(csv, "\r\n");
        if (lines.front().rfind("time,CPU_min,CPU_mean,CPU_max,", 0) == 0) {
            for (const std::string& line : lines) {
                const std::vector<std::string> f = Split(line, ",");
                peak = peak || (f.size() == 40 && f[3] == "91.5");
            }
        }
        if (!peak)
            Sleep(250);
    }
    EXPECT_TRUE(peak) << csv.substr(0, 400);
    PressKey(bar_, VK_ESCAPE);
    EXPECT_TRUE(again.WaitForExit(kAppearMs));
}

TEST_F(HistoryTest, AnAgentWithoutVersion3IsSaidInOneLineAndTheBarPollsOn) {
    TestResponder old;  // speaks versions 1 and 2 only
    ASSERT_TRUE(old.Start());
    CleanStart();
    WriteProfileText(
        HostSection(old.HostText(), {"DelayTimer=0", "MonitorTimer=1", "IconTimer=0"}));
    BarProcess bar;
    HWND history = StartWithHistory(bar, ".");
    ASSERT_NE(history, nullptr);
    const std::wstring unsupported =
        L"\u3053\u306e\u76e3\u8996\u5148\u306e\u30a8\u30fc\u30b8\u30a7\u30f3\u30c8\u306f"
        L"\u5c65\u6b74\u306b\u5bfe\u5fdc\u3057\u3066\u3044\u307e\u305b\u3093 "
        L"(\u30d7\u30ed\u30c8\u30b3\u30eb 3 \u306a\u3057)";
    std::wstring status;
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < kCsvMs && (status = StatusOf(history)) != unsupported)
        Sleep(100);
    EXPECT_EQ(status, unsupported) << "この監視先のエージェントは履歴に対応していません";
    // The polls go on as before, and none failed.
    const int before = old.Requests();
    const DWORD wait = GetTickCount();
    while (GetTickCount() - wait < kCsvMs && old.Requests() < before + 2)
        Sleep(100);
    EXPECT_GE(old.Requests(), before + 2);
    EXPECT_EQ(CopiedCsv(history),
              "time,CPU,PWR,SYS,FAN1,FAN2,FAN3,VID,VTT,3.3V,+5V,-5V,+12V,-12V\r\n")
        << "nothing but the header to copy";
    PressKey(bar_, VK_ESCAPE);
    ASSERT_TRUE(bar.WaitForExit(kAppearMs));
    EXPECT_EQ(Saved("ErrorCounter"), "0");
}

}  // namespace
}  // namespace vorn::e2e
