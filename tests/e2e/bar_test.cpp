#include "tests/e2e/bar_test.h"

#include <cstdio>

#include "res/resource.h"

namespace vorn::e2e {
namespace {

constexpr DWORD kAppearMs = 30000;  // the first program start in a fresh prefix is slow

}  // namespace

std::vector<std::string> SavedKeyOrder() {
    std::vector<std::string> keys = {"HostName", "SocketTimer", "MonitorTimer", "IconTimer"};
    for (int i = 0; i < 14; ++i) {
        char key[16];
        std::snprintf(key, sizeof key, "Indicator%02d", i);
        keys.push_back(key);
    }
    for (const char* k :
         {"StringTCPU", "StringTPWR",  "StringTSYS", "StringFAN1", "StringFAN2",
          "StringFAN3", "StringVVID",  "StringVVTT", "StringV33V", "StringVP05",
          "StringVM05", "StringVP12",  "StringVM12", "Top",        "Left",
          "Right",      "Bottom",      "Stick",      "TopMost",    "DefaultIndicator",
          "SaveIni",    "ErrorCounter"}) {
        keys.push_back(k);
    }
    // The history window's keys, after the forty that older versions wrote.
    for (const char* k :
         {"HistoryLeft", "HistoryTop", "HistoryRight", "HistoryBottom", "HistorySpan"}) {
        keys.push_back(k);
    }
    return keys;
}

std::string Lines(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) {
        text += line + "\r\n";
    }
    return text;
}

std::string Section(const std::string& name, const std::vector<std::string>& lines) {
    return "[" + name + "]\r\n" + Lines(lines);
}

std::string Section(const std::vector<std::string>& lines) {
    return Section("VORNBAR", lines);
}

std::string HostSection(const std::string& host, const std::vector<std::string>& lines) {
    std::vector<std::string> all = {"HostName=" + host};
    all.insert(all.end(), lines.begin(), lines.end());
    return Section(all);
}

std::string ValueOf(const Entries& entries, const std::string& key) {
    for (const auto& [k, v] : entries) {
        if (_stricmp(k.c_str(), key.c_str()) == 0) {
            return v;
        }
    }
    return "<absent>";
}

std::string ValueOf(const std::string& profile, const std::string& key) {
    return ValueOf(SectionEntries(profile, "VORNBAR"), key);
}

std::string Saved(const std::string& key) {
    return ValueOf(ReadProfileText(), key);
}

bool IsDecimal(const std::string& s) {
    if (s.empty()) {
        return false;
    }
    for (char c : s) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

void BarTest::SetUp() {
    exe_ = BarExePath();
    if (!FileExists(exe_)) {
        GTEST_SKIP() << "VORNBAR.exe is not built yet (looked for " << exe_
                     << "); build the VORNBAR target to run the end-to-end tests";
    }
    ASSERT_TRUE(FileExists(DirectoryOf(exe_) + "\\VORNPLUG.dll"))
        << "VORNPLUG.dll must sit next to " << exe_;
    CleanStart();
    if (use_responder_) {
        ASSERT_TRUE(responder_.Start());
    }
}

void BarTest::TearDown() {
    if (use_responder_) {
        responder_.Stop();
    }
    if (!exe_.empty() && FileExists(exe_)) {
        KillLeftoverBars(exe_);
        RemoveProfile();
    }
}

HWND BarTest::StartBar(BarProcess& bar, const std::string& tail) {
    EXPECT_TRUE(bar.Start(tail)) << "CreateProcess failed for " << exe_;
    HWND hwnd = bar.WaitForBar(kAppearMs);
    EXPECT_NE(hwnd, nullptr) << "no bar appeared; process "
                             << (bar.Running() ? "still running" : "ended with code ")
                             << (bar.Running() ? 0 : bar.ExitCode());
    return hwnd;
}

HWND BarTest::Start(BarProcess& bar, const std::vector<std::string>& lines, DWORD focusMs) {
    WriteProfileText(HostSection(responder_.HostText(), lines));
    HWND hwnd = StartBar(bar);
    if (hwnd != nullptr) {
        EXPECT_TRUE(WaitForFocus(hwnd, IDC_TOPMOST, focusMs)) << "initialisation not ended";
    }
    return hwnd;
}

}  // namespace vorn::e2e
