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

    // Starts the bar and opens its history window from the tray menu's command.
    HWND StartWithHistory(BarProcess& bar) {
        if (!bar.Start())
            return nullptr;
        HWND hwnd = bar.WaitForBar(kAppearMs);
        if (hwnd == nullptr || !WaitForFocus(hwnd, IDC_TOPMOST, kAppearMs))
            return nullptr;
        bar_ = hwnd;
        Post(hwnd, WM_COMMAND, ID_MENU_HISTORY, 0);
        return WaitForHistoryWindow(bar.Pid(), kAppearMs);
    }

    std::string host_;
    std::string exe_;
    HWND bar_ = nullptr;
};

TEST_F(HistoryTest, APeakBetweenPollsIsInTheCsvAcrossAgentAndBarRestarts) {
    CleanStart();
    WriteProfileText(HostSection(host_, {"DelayTimer=0", "MonitorTimer=60", "IconTimer=0"}));
    ASSERT_TRUE(WriteReadings("TCPU=40\n"));
    BarProcess bar;
    HWND history = StartWithHistory(bar);
    ASSERT_NE(history, nullptr) << "no history window";
    // The first poll shows 40.0; the next is a minute away.
    ASSERT_TRUE(WaitForControlText(
        bar_, IDC_SLOT01, [](const std::string& t) { return t.find("40.0") != std::string::npos; },
        kAppearMs));
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
    HWND reopened = StartWithHistory(again);
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

}  // namespace
}  // namespace vorn::e2e
