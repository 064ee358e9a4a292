// Start-up, first sight of the bar, and the profile it leaves behind: the real VORNBAR.exe run
// under Wine, read and driven from outside as a user and the profile file see it.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "res/resource.h"
#include "tests/e2e/bar_test.h"

namespace vorn::e2e {
namespace {

constexpr DWORD kEndMs = 5000;  // "ends at once": a few seconds at most under Wine

class BarStartupTest : public BarTest {
protected:
    // Ends the program as a user does, with Escape, and checks that it is gone promptly.
    void EndWithEscape(BarProcess& bar, HWND hwnd) {
        PressKey(hwnd, VK_ESCAPE);
        EXPECT_TRUE(bar.WaitForExit(kEndMs)) << "Escape did not end the program";
    }
};

// ---- What a user sees at start ----------------------------------------------------------------

TEST_F(BarStartupTest, BarIsACaptionlessToolWindowWithItsEighteenControlsInTemplateOrder) {
    WriteProfileText(Section("VORNBAR", {"HostName=" + responder_.HostText()}));
    BarProcess bar;
    HWND hwnd = StartBar(bar);
    ASSERT_NE(hwnd, nullptr);

    const LONG style = Style(hwnd);
    EXPECT_EQ(style & WS_CAPTION, static_cast<LONG>(WS_DLGFRAME)) << std::hex << style;
    EXPECT_EQ(style & WS_SYSMENU, 0) << std::hex << style;
    EXPECT_EQ(style & WS_POPUP, static_cast<LONG>(WS_POPUP)) << std::hex << style;
    const LONG ex = ExStyle(hwnd);
    EXPECT_EQ(ex & WS_EX_TOOLWINDOW, WS_EX_TOOLWINDOW) << std::hex << ex;
    EXPECT_EQ(ex & WS_EX_APPWINDOW, 0) << std::hex << ex;
    EXPECT_TRUE(IsVisible(hwnd));
    EXPECT_EQ(GetParent(hwnd), nullptr);

    const auto kids = Children(hwnd);
    std::vector<int> ids;
    for (const auto& k : kids) {
        ids.push_back(k.id);
    }
    const std::vector<int> want = {IDC_EXIT,   IDC_TOPMOST, IDC_SAVEINI, IDC_INDICATOR, IDC_SLOT00,
                                   IDC_SLOT01, IDC_SLOT02,  IDC_SLOT03,  IDC_SLOT04,    IDC_SLOT05,
                                   IDC_SLOT06, IDC_SLOT07,  IDC_SLOT08,  IDC_SLOT09,    IDC_SLOT10,
                                   IDC_SLOT11, IDC_SLOT12,  IDC_SLOT13};
    ASSERT_EQ(ids, want);
    for (std::size_t i = 0; i < kids.size(); ++i) {
        const bool button = i < 4;
        EXPECT_EQ(kids[i].className, button ? "Button" : "Static") << "control " << kids[i].id;
        EXPECT_EQ(kids[i].style & (WS_CHILD | WS_VISIBLE), WS_CHILD | WS_VISIBLE)
            << "control " << kids[i].id;
    }
    // Low words of the template's styles: push buttons, push-like auto check boxes, and
    // sunken, vertically centred left-aligned texts.
    EXPECT_EQ(kids[0].style & 0xFFFF, 0x0F00) << "IDC_EXIT";
    EXPECT_EQ(kids[1].style & 0xFFFF, 0x1F03) << "IDC_TOPMOST";
    EXPECT_EQ(kids[2].style & 0xFFFF, 0x1F03) << "IDC_SAVEINI";
    EXPECT_EQ(kids[3].style & 0xFFFF, 0x0F00) << "IDC_INDICATOR";
    for (std::size_t i = 4; i < kids.size(); ++i) {
        EXPECT_EQ(kids[i].style & 0xFFFF, 0x1200) << "slot " << kids[i].id;
    }
    // Slots stand left to right in id order, the buttons left of them.
    for (std::size_t i = 5; i < kids.size(); ++i) {
        EXPECT_GT(kids[i].rect.left, kids[i - 1].rect.left) << "slot " << kids[i].id;
    }
    EXPECT_LT(kids[1].rect.left, kids[2].rect.left);
    EXPECT_LT(kids[2].rect.left, kids[3].rect.left);
    EXPECT_LT(kids[3].rect.left, kids[0].rect.left);
    EXPECT_LT(kids[0].rect.left, kids[4].rect.left);

    EndWithEscape(bar, hwnd);
}

TEST_F(BarStartupTest, StatusSlotShowsTheHostAtStart) {
    WriteProfileText(Section("VORNBAR", {"HostName=" + responder_.HostText()}));
    BarProcess bar;
    HWND hwnd = StartBar(bar);
    ASSERT_NE(hwnd, nullptr);
    std::string last;
    EXPECT_TRUE(WaitForControlText(
        hwnd, IDC_SLOT00, [&](const std::string& t) { return t == responder_.HostText(); }, 5000,
        &last))
        << "status slot: \"" << last << "\"";
    EndWithEscape(bar, hwnd);
}

TEST_F(BarStartupTest, EnterEndsTheProgramWhileTheFocusIsOnTopMost) {
    WriteProfileText(Section("VORNBAR", {"HostName=" + responder_.HostText()}));
    BarProcess bar;
    HWND hwnd = StartBar(bar);
    ASSERT_NE(hwnd, nullptr);
    // The initialisation ends by putting the focus on IDC_TOPMOST, a check box and no push
    // button, so Enter goes to the dialog's default OK.
    ASSERT_TRUE(WaitForFocus(hwnd, IDC_TOPMOST, 5000)) << "focus on " << FocusedId(hwnd);
    PressKey(hwnd, VK_RETURN);
    EXPECT_TRUE(bar.WaitForExit(kEndMs)) << "Enter did not end the program";
    // Ending by Enter saves like any other ending.
    const std::string count = ValueOf(SectionEntries(ReadProfileText(), "VORNBAR"), "ErrorCounter");
    EXPECT_TRUE(IsDecimal(count)) << count;
}

TEST_F(BarStartupTest, TitleIsTheProgramNameAndHost) {
    WriteProfileText(Section("VORNBAR", {"HostName=" + responder_.HostText()}));
    BarProcess bar;
    HWND hwnd = StartBar(bar);
    ASSERT_NE(hwnd, nullptr);
    EXPECT_EQ(WindowTitle(hwnd), "TERVALO - " + responder_.HostText());
    EndWithEscape(bar, hwnd);
}

TEST_F(BarStartupTest, TitleHostOnlyMakesTheHostTheWholeTitle) {
    WriteProfileText(Section("VORNBAR", {"HostName=" + responder_.HostText(), "TitleHostOnly=1"}));
    BarProcess bar;
    HWND hwnd = StartBar(bar);
    ASSERT_NE(hwnd, nullptr);
    EXPECT_EQ(WindowTitle(hwnd), responder_.HostText());
    EndWithEscape(bar, hwnd);
    // Read but never written: the hand-made line survives the save untouched.
    const auto after = SectionEntries(ReadProfileText(), "VORNBAR");
    EXPECT_EQ(ValueOf(after, "TitleHostOnly"), "1");
}

TEST_F(BarStartupTest, TopMostFromTheProfileIsAppliedAndShownPressed) {
    WriteProfileText(Section("VORNBAR", {"HostName=" + responder_.HostText(), "TopMost=1"}));
    BarProcess bar;
    HWND hwnd = StartBar(bar);
    ASSERT_NE(hwnd, nullptr);
    // Top-most before it is shown: already so when it first becomes visible.
    EXPECT_EQ(ExStyle(hwnd) & WS_EX_TOPMOST, WS_EX_TOPMOST);
    ASSERT_TRUE(WaitForFocus(hwnd, IDC_TOPMOST, 5000)) << "focus on " << FocusedId(hwnd);
    EXPECT_EQ(CheckState(hwnd, IDC_TOPMOST), BST_CHECKED);
    EXPECT_EQ(CheckState(hwnd, IDC_SAVEINI), BST_CHECKED);
    EndWithEscape(bar, hwnd);
    EXPECT_EQ(ValueOf(SectionEntries(ReadProfileText(), "VORNBAR"), "TopMost"), "1");
}

TEST_F(BarStartupTest, StoredEdgesPlaceTheBarWhateverTheTemplateSize) {
    WriteProfileText(Section("VORNBAR", {"HostName=" + responder_.HostText(), "Left=100", "Top=200",
                                         "Right=1300", "Bottom=218"}));
    BarProcess bar;
    HWND hwnd = StartBar(bar);
    ASSERT_NE(hwnd, nullptr);
    const RECT rc = WindowRect(hwnd);
    EXPECT_EQ(rc.left, 100);
    EXPECT_EQ(rc.top, 200);
    EXPECT_EQ(rc.right, 1300);
    EXPECT_EQ(rc.bottom, 218);
    EndWithEscape(bar, hwnd);
    // A saving exit writes back where the bar stood.
    const auto after = SectionEntries(ReadProfileText(), "VORNBAR");
    EXPECT_EQ(ValueOf(after, "Left"), "100");
    EXPECT_EQ(ValueOf(after, "Top"), "200");
    EXPECT_EQ(ValueOf(after, "Right"), "1300");
    EXPECT_EQ(ValueOf(after, "Bottom"), "218");
}

// ---- The profile a run leaves behind ----------------------------------------------------------

TEST_F(BarStartupTest, FirstExitWithoutProfileWritesFortyKeysInOrder) {
    ASSERT_FALSE(FileExists(ProfilePath()));
    BarProcess bar;
    HWND hwnd = StartBar(bar);
    ASSERT_NE(hwnd, nullptr);
    const std::string title = WindowTitle(hwnd);
    const RECT rc = WindowRect(hwnd);
    EndWithEscape(bar, hwnd);

    ASSERT_TRUE(FileExists(ProfilePath())) << "the first exit must create " << ProfilePath();
    const std::string text = ReadProfileText();
    EXPECT_EQ(SectionNames(text), std::vector<std::string>{"VORNBAR"}) << text;
    const auto entries = SectionEntries(text, "VORNBAR");
    std::vector<std::string> keys;
    for (const auto& e : entries) {
        keys.push_back(e.first);
    }
    ASSERT_EQ(keys, SavedKeyOrder()) << text;
    ASSERT_EQ(keys.size(), 45u);
    EXPECT_EQ(keys[39], "ErrorCounter") << "the forty of old first, in their order";
    // The history window was never opened: no rectangle, the default span (an hour).
    EXPECT_EQ(ValueOf(entries, "HistoryLeft"), "0");
    EXPECT_EQ(ValueOf(entries, "HistoryRight"), "0");
    EXPECT_EQ(ValueOf(entries, "HistorySpan"), "1");

    // The default host is the one the title names.
    const std::string prefix = "TERVALO - ";
    ASSERT_EQ(title.rfind(prefix, 0), 0u) << title;
    EXPECT_FALSE(ValueOf(entries, "HostName").empty());
    EXPECT_EQ(ValueOf(entries, "HostName"), title.substr(prefix.size()));

    const std::map<std::string, std::string> fixed = {
        {"SocketTimer", "2000"},   {"MonitorTimer", "60"},  {"IconTimer", "300"},
        {"StringTCPU", "CPU :"},   {"StringTPWR", "PWR :"}, {"StringTSYS", "SYS :"},
        {"StringFAN1", "FAN1:"},   {"StringFAN2", "FAN2:"}, {"StringFAN3", "FAN3:"},
        {"StringVVID", "VID :"},   {"StringVVTT", "VTT :"}, {"StringV33V", "3.3V:"},
        {"StringVP05", "+5V :"},   {"StringVM05", "-5V :"}, {"StringVP12", "+12V:"},
        {"StringVM12", "-12V:"},   {"Stick", "0"},          {"TopMost", "0"},
        {"DefaultIndicator", "0"}, {"SaveIni", "1"}};
    for (const auto& [key, value] : fixed) {
        EXPECT_EQ(ValueOf(entries, key), value) << key;
    }
    for (int i = 0; i < 14; ++i) {
        char key[16];
        std::snprintf(key, sizeof key, "Indicator%02d", i);
        EXPECT_EQ(ValueOf(entries, key), std::to_string(i)) << key;
    }
    // Never moved: the edges are those the window had.
    EXPECT_EQ(ValueOf(entries, "Left"), std::to_string(rc.left));
    EXPECT_EQ(ValueOf(entries, "Top"), std::to_string(rc.top));
    EXPECT_EQ(ValueOf(entries, "Right"), std::to_string(rc.right));
    EXPECT_EQ(ValueOf(entries, "Bottom"), std::to_string(rc.bottom));
    EXPECT_TRUE(IsDecimal(ValueOf(entries, "ErrorCounter"))) << ValueOf(entries, "ErrorCounter");
}

TEST_F(BarStartupTest, CommandLineSectionIsReadAndWrittenAndDefaultSectionIsLeftAlone) {
    const std::string vornbar = Section(
        "VORNBAR", {"HostName=default-section.invalid", "SocketTimer=999", "Left=7", "Top=8"});
    // Keys already in the section keep their lines; these two come first in the saving order
    // anyway, so the whole section still reads in that order.
    WriteProfileText(vornbar +
                     Section("SERVER2", {"HostName=" + responder_.HostText(), "SocketTimer=1500"}));
    const auto before = SectionEntries(ReadProfileText(), "VORNBAR");

    BarProcess bar;
    HWND hwnd = StartBar(bar, "SERVER2");
    ASSERT_NE(hwnd, nullptr);
    EXPECT_EQ(WindowTitle(hwnd), "TERVALO - " + responder_.HostText());
    // Advancing the status slot once shows the section in force.
    ClickButton(hwnd, IDC_INDICATOR);
    std::string last;
    EXPECT_TRUE(WaitForControlText(
        hwnd, IDC_SLOT00, [](const std::string& t) { return t == "SERVER2"; }, 5000, &last))
        << "status slot: \"" << last << "\"";
    EndWithEscape(bar, hwnd);

    const std::string text = ReadProfileText();
    EXPECT_EQ(SectionEntries(text, "VORNBAR"), before) << text;
    const auto server2 = SectionEntries(text, "SERVER2");
    std::vector<std::string> keys;
    for (const auto& e : server2) {
        keys.push_back(e.first);
    }
    EXPECT_EQ(keys, SavedKeyOrder()) << text;
    EXPECT_EQ(ValueOf(server2, "HostName"), responder_.HostText());
    EXPECT_EQ(ValueOf(server2, "SocketTimer"), "1500");
    EXPECT_EQ(ValueOf(server2, "DefaultIndicator"), "1");
}

TEST_F(BarStartupTest, TwoInstancesWithTwoSectionsKeepSeparateSettings) {
    TestResponder second;
    ASSERT_TRUE(second.Start());
    WriteProfileText(
        Section("ALPHA", {"HostName=" + responder_.HostText(), "SocketTimer=1111",
                          "DefaultIndicator=3", "Left=0", "Top=300", "Right=1000", "Bottom=320"}) +
        Section("BETA", {"HostName=" + second.HostText(), "SocketTimer=2222", "DefaultIndicator=3",
                         "Left=0", "Top=400", "Right=1000", "Bottom=420"}));
    BarProcess alpha;
    BarProcess beta;
    HWND a = StartBar(alpha, "ALPHA");
    HWND b = StartBar(beta, "BETA");
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(WindowTitle(a), "TERVALO - " + responder_.HostText());
    EXPECT_EQ(WindowTitle(b), "TERVALO - " + second.HostText());
    std::string last;
    EXPECT_TRUE(WaitForControlText(
        a, IDC_SLOT00, [](const std::string& t) { return t == "SOCK:   1111"; }, 5000, &last))
        << last;
    EXPECT_TRUE(WaitForControlText(
        b, IDC_SLOT00, [](const std::string& t) { return t == "SOCK:   2222"; }, 5000, &last))
        << last;
    EXPECT_EQ(WindowRect(a).top, 300);
    EXPECT_EQ(WindowRect(b).top, 400);
    EndWithEscape(alpha, a);
    EndWithEscape(beta, b);

    const std::string text = ReadProfileText();
    const auto sa = SectionEntries(text, "ALPHA");
    const auto sb = SectionEntries(text, "BETA");
    EXPECT_EQ(sa.size(), SavedKeyOrder().size()) << text;
    EXPECT_EQ(sb.size(), SavedKeyOrder().size()) << text;
    EXPECT_EQ(ValueOf(sa, "HostName"), responder_.HostText());
    EXPECT_EQ(ValueOf(sb, "HostName"), second.HostText());
    EXPECT_EQ(ValueOf(sa, "SocketTimer"), "1111");
    EXPECT_EQ(ValueOf(sb, "SocketTimer"), "2222");
    EXPECT_EQ(ValueOf(sa, "Top"), "300");
    EXPECT_EQ(ValueOf(sb, "Top"), "400");
    EXPECT_TRUE(SectionEntries(text, "VORNBAR").empty()) << text;
}

TEST_F(BarStartupTest, SaveIniOffShowsUncheckedAndExitWritesOnlySaveIniAndErrorCounter) {
    // DelayTimer keeps the run from polling, so its error count is exactly 0.
    WriteProfileText(
        Section("VORNBAR", {"HostName=" + responder_.HostText(), "SocketTimer=1234", "Left=50",
                            "Top=60", "Right=1050", "Bottom=80",
                            "StringTCPU=Core:", "DelayTimer=600", "SaveIni=0", "ErrorCounter=99"}) +
        Section("OTHER", {"Keep=this"}));
    const std::string beforeText = ReadProfileText();
    BarProcess bar;
    HWND hwnd = StartBar(bar);
    ASSERT_NE(hwnd, nullptr);
    // The check states are set after the bar is shown, and the focus after them.
    ASSERT_TRUE(WaitForFocus(hwnd, IDC_TOPMOST, 5000)) << "focus on " << FocusedId(hwnd);
    EXPECT_EQ(CheckState(hwnd, IDC_SAVEINI), BST_UNCHECKED);
    EXPECT_EQ(CheckState(hwnd, IDC_TOPMOST), BST_UNCHECKED);
    EndWithEscape(bar, hwnd);

    const std::string afterText = ReadProfileText();
    auto before = SectionEntries(beforeText, "VORNBAR");
    const auto after = SectionEntries(afterText, "VORNBAR");
    for (auto& [key, value] : before) {
        if (key == "ErrorCounter") {
            value = "0";
        }
    }
    EXPECT_EQ(after, before) << afterText;
    EXPECT_EQ(SectionEntries(afterText, "OTHER"), SectionEntries(beforeText, "OTHER"));
    EXPECT_EQ(SectionNames(afterText), SectionNames(beforeText));
}

TEST_F(BarStartupTest, UnresolvableHostEndsUnseenAndKeepsStoredEdges) {
    WriteProfileText(Section("VORNBAR", {"HostName=no-such-host.invalid", "Left=100", "Top=200",
                                         "Right=1300", "Bottom=218"}));
    BarProcess bar;
    ASSERT_TRUE(bar.Start());
    ASSERT_TRUE(bar.WaitForExitWatchingWindows(60000)) << "the program did not end by itself";
    EXPECT_FALSE(bar.EverShowedWindow());

    const auto after = SectionEntries(ReadProfileText(), "VORNBAR");
    EXPECT_EQ(ValueOf(after, "HostName"), "no-such-host.invalid");
    EXPECT_EQ(ValueOf(after, "Left"), "100");
    EXPECT_EQ(ValueOf(after, "Top"), "200");
    EXPECT_EQ(ValueOf(after, "Right"), "1300");
    EXPECT_EQ(ValueOf(after, "Bottom"), "218");
}

// ---- The first readings -----------------------------------------------------------------------

// One value line as the bar shows it: label, then the reading in the item's own layout.
std::string Line(const char* format, const char* label, const std::string& reading) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, label, reading.c_str());
    return buf;
}

TEST_F(BarStartupTest, ReadingsFromTheAgentFillTheSlotsInDisplayOrder) {
    const std::array<std::string, 13> readings = {"45.0", "38.5", "30.0",  "1.35",  "1.10",
                                                  "3.31", "5.02", "-5.04", "12.03", "-12.05",
                                                  "2812", "1500", "0"};
    responder_.SetReadings(readings);
    WriteProfileText(Section(
        "VORNBAR", {"HostName=" + responder_.HostText(), "DelayTimer=0", "MonitorTimer=1"}));
    BarProcess bar;
    HWND hwnd = StartBar(bar);
    ASSERT_NE(hwnd, nullptr);

    // Display order: temperatures, fans, voltages; readings index in record order.
    struct Item {
        int slot;
        const char* label;
        const char* format;
        int field;
    };
    const Item items[] = {
        {IDC_SLOT01, "CPU :", "%5s  %5s", 0},  {IDC_SLOT02, "PWR :", "%5s  %5s", 1},
        {IDC_SLOT03, "SYS :", "%5s  %5s", 2},  {IDC_SLOT04, "FAN1:", "%5s  %5s", 10},
        {IDC_SLOT05, "FAN2:", "%5s  %5s", 11}, {IDC_SLOT06, "FAN3:", "%5s  %5s", 12},
        {IDC_SLOT07, "VID :", "%5s  %5s", 3},  {IDC_SLOT08, "VTT :", "%5s  %5s", 4},
        {IDC_SLOT09, "3.3V:", "%5s  %5s", 5},  {IDC_SLOT10, "+5V :", "%5s  +%4s", 6},
        {IDC_SLOT11, "-5V :", "%5s  %5s", 7},  {IDC_SLOT12, "+12V:", "%5s +%5s", 8},
        {IDC_SLOT13, "-12V:", "%5s %6s", 9}};
    for (const Item& it : items) {
        const std::string want = Line(it.format, it.label, readings[it.field]);
        std::string last;
        EXPECT_TRUE(WaitForControlText(
            hwnd, it.slot, [&](const std::string& t) { return t == want; }, 15000, &last))
            << "slot " << it.slot << ": \"" << last << "\", want \"" << want << "\"";
    }
    EXPECT_GE(responder_.Requests(), 1);
    EndWithEscape(bar, hwnd);
}

TEST_F(BarStartupTest, AgentWithoutSensorsGivesErrorLines) {
    responder_.SetMode(TestResponder::kNoSensors);
    WriteProfileText(Section(
        "VORNBAR", {"HostName=" + responder_.HostText(), "DelayTimer=1", "DefaultIndicator=4"}));
    BarProcess bar;
    HWND hwnd = StartBar(bar);
    ASSERT_NE(hwnd, nullptr);
    std::string last;
    EXPECT_TRUE(WaitForControlText(
        hwnd, IDC_SLOT01, [](const std::string& t) { return t == "CPU :  ERROR"; }, 15000, &last))
        << last;
    EXPECT_TRUE(WaitForControlText(
        hwnd, IDC_SLOT10, [](const std::string& t) { return t == "+5V :  ERROR"; }, 5000, &last))
        << last;
    EXPECT_TRUE(WaitForControlText(
        hwnd, IDC_SLOT00, [](const std::string& t) { return t == "ERR :      1"; }, 5000, &last))
        << last;
    EndWithEscape(bar, hwnd);
    EXPECT_EQ(ValueOf(SectionEntries(ReadProfileText(), "VORNBAR"), "ErrorCounter"), "1");
}

}  // namespace
}  // namespace vorn::e2e
