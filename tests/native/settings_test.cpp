#include <climits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "settings/bar_settings.h"
#include "tests/native/memory_profile.h"

namespace {

const BarRect kWindow{10, 20, 1220, 42};

const std::vector<std::string> kHistoryKeys = {"HistoryLeft", "HistoryTop", "HistoryRight",
                                               "HistoryBottom", "HistorySpan"};

// The forty keys that every version writes, in their order.
std::vector<std::string> ExampleSaveOrder() {
    std::vector<std::string> keys = {"HostName", "SocketTimer", "MonitorTimer", "IconTimer"};
    for (int k = 0; k < 14; ++k)
        keys.push_back((k < 10 ? "Indicator0" : "Indicator1") + std::to_string(k % 10));
    for (const char* k : {"StringTCPU", "StringTPWR", "StringTSYS", "StringFAN1", "StringFAN2",
                          "StringFAN3", "StringVVID", "StringVVTT", "StringV33V", "StringVP05",
                          "StringVM05", "StringVP12", "StringVM12"}) {
        keys.push_back(k);
    }
    for (const char* k : {"Top", "Left", "Right", "Bottom", "Stick", "TopMost", "DefaultIndicator",
                          "SaveIni", "ErrorCounter"}) {
        keys.push_back(k);
    }
    return keys;
}

TEST(SettingsFirstRun, EveryKeyTakesItsDefault) {
    MemoryProfile profile;
    BarSettings s;
    LoadBarSettings(s, profile, kWindow);
    EXPECT_EQ(s.m_strHostName, "localhost");
    EXPECT_EQ(s.m_nSocketTimer, 2000);
    EXPECT_EQ(s.m_nMonitorTimer, 60);
    EXPECT_EQ(s.m_nIconTimer, 300);
    EXPECT_EQ(s.m_nDelayTimer, 3);
    for (int k = 0; k < BAR_ITEMS; ++k)
        EXPECT_EQ(s.m_nIndicator[k], k);
    EXPECT_EQ(s.m_strLabel[0], "CPU :");
    EXPECT_EQ(s.m_strLabel[3], "FAN1:");
    EXPECT_EQ(s.m_strLabel[9], "+5V :");
    EXPECT_EQ(s.m_strLabel[12], "-12V:");
    EXPECT_EQ(s.m_rcWindow.left, 10);
    EXPECT_EQ(s.m_rcWindow.top, 20);
    EXPECT_EQ(s.m_rcWindow.right, 1220);
    EXPECT_EQ(s.m_rcWindow.bottom, 42);
    EXPECT_EQ(s.m_bStick, 0);
    EXPECT_EQ(s.m_bTopMost, 0);
    EXPECT_EQ(s.m_bTitleHostOnly, 0);
    EXPECT_EQ(s.m_bSaveIni, 1);
    EXPECT_EQ(s.m_nStatusMode, 0);
}

TEST(SettingsFirstRun, FirstExitWritesFortyKeysInOrder) {
    MemoryProfile profile;
    BarSettings s;
    LoadBarSettings(s, profile, kWindow);
    profile.calls.clear();
    SaveBarSettings(s, profile, nullptr);
    // The forty of old in their order, then the history window's keys.
    std::vector<std::string> expected = ExampleSaveOrder();
    expected.insert(expected.end(), kHistoryKeys.begin(), kHistoryKeys.end());
    EXPECT_EQ(profile.Keys("write"), expected);
    ASSERT_EQ(profile.sections.size(), 1u);
    const auto& lines = profile.sections.at("VORNBAR");
    ASSERT_EQ(lines.size(), 45u);
    EXPECT_EQ(lines[40].second, "0");  // HistoryLeft: never placed
    EXPECT_EQ(lines[44].second, "1");  // HistorySpan: an hour
    EXPECT_EQ(lines[1].second, "2000");
    EXPECT_EQ(lines[19].second, "PWR :");
    EXPECT_EQ(lines[31].second, "20");  // Top
    EXPECT_EQ(lines[32].second, "10");  // Left
    EXPECT_EQ(lines[39].second, "0");   // ErrorCounter
    for (const auto& kv : lines) {
        EXPECT_NE(kv.first, "DelayTimer");
        EXPECT_NE(kv.first, "TitleHostOnly");
    }
}

TEST(SettingsOrder, LoadReadsKeysInLoadOrder) {
    MemoryProfile profile;
    BarSettings s;
    LoadBarSettings(s, profile, kWindow);
    std::vector<std::string> expected = {"HostName", "SocketTimer", "MonitorTimer", "IconTimer",
                                         "DelayTimer"};
    const std::vector<std::string> save = ExampleSaveOrder();
    expected.insert(expected.end(), save.begin() + 4, save.begin() + 31);  // indicators, labels
    for (const char* k : {"Top", "Left", "Right", "Bottom", "Stick", "TopMost", "TitleHostOnly",
                          "SaveIni", "DefaultIndicator"}) {
        expected.push_back(k);
    }
    expected.insert(expected.end(), kHistoryKeys.begin(), kHistoryKeys.end());
    EXPECT_EQ(profile.Keys("get"), expected);
    for (const auto& c : profile.calls)
        EXPECT_EQ(c.section, "VORNBAR");
}

TEST(SettingsSection, NamedSectionIsTheOnlyOneReadAndWritten) {
    MemoryProfile profile;
    profile.Set("VORNBAR", "HostName", "first");
    profile.Set("SERVER2", "HostName", "second");
    BarSettings s;
    s.m_strSection = "SERVER2";
    LoadBarSettings(s, profile, kWindow);
    EXPECT_EQ(s.m_strHostName, "second");
    SaveBarSettings(s, profile, nullptr);
    for (const auto& c : profile.calls)
        EXPECT_EQ(c.section, "SERVER2");
    EXPECT_EQ(profile.sections.at("VORNBAR").size(), 1u);
}

TEST(SettingsSave, SavingOffWritesOnlySaveIniAndErrorCounter) {
    MemoryProfile profile;
    profile.Set("VORNBAR", "SaveIni", "0");
    profile.Set("VORNBAR", "Top", "555");
    BarSettings s;
    LoadBarSettings(s, profile, kWindow);
    s.m_nErrorCounter = 7;
    profile.calls.clear();
    const BarRect moved{1, 2, 3, 4};
    SaveBarSettings(s, profile, &moved);
    EXPECT_EQ(profile.Keys("write"), (std::vector<std::string>{"SaveIni", "ErrorCounter"}));
    EXPECT_EQ(*profile.Find("VORNBAR", "SaveIni"), "0");
    EXPECT_EQ(*profile.Find("VORNBAR", "ErrorCounter"), "7");
    EXPECT_EQ(*profile.Find("VORNBAR", "Top"), "555");
    EXPECT_EQ(s.m_rcWindow.top, 555);  // the placement is not taken when nothing is saved
}

TEST(SettingsSave, PlacementReplacesTheStoredRectangle) {
    MemoryProfile profile;
    BarSettings s;
    LoadBarSettings(s, profile, kWindow);
    const BarRect moved{-300, -20, 900, 2};
    SaveBarSettings(s, profile, &moved);
    EXPECT_EQ(*profile.Find("VORNBAR", "Left"), "-300");
    EXPECT_EQ(*profile.Find("VORNBAR", "Top"), "-20");
    EXPECT_EQ(*profile.Find("VORNBAR", "Right"), "900");
    EXPECT_EQ(*profile.Find("VORNBAR", "Bottom"), "2");
}

TEST(SettingsSave, HandEditedKeysSurviveAndStatusModeIsSaved) {
    MemoryProfile profile;
    profile.Set("VORNBAR", "DelayTimer", "0");
    profile.Set("VORNBAR", "TitleHostOnly", "1");
    BarSettings s;
    LoadBarSettings(s, profile, kWindow);
    EXPECT_EQ(s.m_nDelayTimer, 0);
    EXPECT_EQ(s.m_bTitleHostOnly, 1);
    s.m_nStatusMode = 4;
    SaveBarSettings(s, profile, nullptr);
    EXPECT_EQ(*profile.Find("VORNBAR", "DelayTimer"), "0");
    EXPECT_EQ(*profile.Find("VORNBAR", "TitleHostOnly"), "1");
    EXPECT_EQ(*profile.Find("VORNBAR", "DefaultIndicator"), "4");
}

TEST(SettingsSave, ValuesAreWrittenBackAsRead) {
    MemoryProfile profile;
    profile.Set("VORNBAR", "MonitorTimer", "-5");
    profile.Set("VORNBAR", "Indicator03", "99");
    profile.Set("VORNBAR", "StringTCPU", std::string(5000, 'x'));
    BarSettings s;
    LoadBarSettings(s, profile, kWindow);
    // A label longer than the profile's text buffer is read cut to the buffer.
    EXPECT_EQ(std::string(s.m_strLabel[0]), std::string(PROFILE_STRING_BUFFER - 1, 'x'));
    SaveBarSettings(s, profile, nullptr);
    EXPECT_EQ(*profile.Find("VORNBAR", "MonitorTimer"), "-5");
    EXPECT_EQ(*profile.Find("VORNBAR", "Indicator03"), "99");
    EXPECT_EQ(*profile.Find("VORNBAR", "StringTCPU"), std::string(PROFILE_STRING_BUFFER - 1, 'x'));
}

TEST(SettingsHistory, WindowRectangleAndSpanRoundTripAndABadSpanIsTheDefault) {
    MemoryProfile profile;
    profile.Set("VORNBAR", "HistoryLeft", "-40");
    profile.Set("VORNBAR", "HistoryTop", "30");
    profile.Set("VORNBAR", "HistoryRight", "900");
    profile.Set("VORNBAR", "HistoryBottom", "700");
    profile.Set("VORNBAR", "HistorySpan", "3");
    BarSettings s;
    LoadBarSettings(s, profile, kWindow);
    EXPECT_EQ(s.m_rcHistory.left, -40);
    EXPECT_EQ(s.m_rcHistory.bottom, 700);
    EXPECT_EQ(s.m_nHistorySpan, 3);
    s.m_rcHistory = BarRect{5, 6, 705, 506};
    s.m_nHistorySpan = 0;
    SaveBarSettings(s, profile, nullptr);
    EXPECT_EQ(*profile.Find("VORNBAR", "HistoryLeft"), "5");
    EXPECT_EQ(*profile.Find("VORNBAR", "HistoryBottom"), "506");
    EXPECT_EQ(*profile.Find("VORNBAR", "HistorySpan"), "0");
    for (const char* bad : {"4", "-1", "99999"}) {
        profile.Set("VORNBAR", "HistorySpan", bad);
        LoadBarSettings(s, profile, kWindow);
        EXPECT_EQ(s.m_nHistorySpan, 1) << bad;
    }
}

TEST(SettingsPauses, NegativeAndHugeValuesAreClamped) {
    EXPECT_EQ(SecondsToPauseMs(60), 60000u);
    EXPECT_EQ(SecondsToPauseMs(0), 0u);
    EXPECT_EQ(SecondsToPauseMs(-1), 0u);
    EXPECT_EQ(SecondsToPauseMs(INT_MIN), 0u);
    EXPECT_EQ(SecondsToPauseMs(2147483), 2147483000u);
    EXPECT_EQ(SecondsToPauseMs(2147484), 2147483000u);
    EXPECT_EQ(SecondsToPauseMs(INT_MAX), 2147483000u);
    EXPECT_EQ(MillisecondsToPauseMs(300), 300u);
    EXPECT_EQ(MillisecondsToPauseMs(-300), 0u);
    EXPECT_EQ(MillisecondsToPauseMs(INT_MAX), static_cast<unsigned>(INT_MAX));
}

}  // namespace
