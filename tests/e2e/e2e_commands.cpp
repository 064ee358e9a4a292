// The bar's commands and window behaviour, driven from outside as a user would: menu commands
// and button clicks, the top-most and pinned modes, dragging, the status indicator, the About
// box, the four ways out, and what each leaves in the profile.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "res/resource.h"
#include "tests/e2e/bar_test.h"

namespace vorn::e2e {
namespace {

constexpr DWORD kEndMs = 5000;
constexpr DWORD kWaitMs = 5000;

// Centre of a control in screen pixels, packed as mouse messages carry it.
POINT CentreOf(HWND bar, int id) {
    const RECT rc = WindowRect(GetDlgItem(bar, id));
    return POINT{(rc.left + rc.right) / 2, (rc.top + rc.bottom) / 2};
}

LPARAM Packed(POINT pt) {
    return MAKELPARAM(static_cast<WORD>(pt.x), static_cast<WORD>(pt.y));
}

// A menu pick as the menu delivers it: WM_COMMAND with the id and notification code 0.
void Pick(HWND bar, UINT id) {
    Post(bar, WM_COMMAND, id, 0);
}

// The visible dialogs of the bar's process other than the bar.
std::vector<HWND> OtherDialogs(const BarProcess& process, HWND bar) {
    std::vector<HWND> others;
    for (HWND w : TopLevelWindowsOf(process.Pid(), "#32770", true))
        if (w != bar)
            others.push_back(w);
    return others;
}

HWND WaitForAbout(const BarProcess& process, HWND bar, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        const auto others = OtherDialogs(process, bar);
        if (!others.empty())
            return others.front();
        if (GetTickCount() - start >= timeoutMs)
            return nullptr;
        Sleep(10);
    }
}

bool WaitGone(HWND hwnd, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    while (IsWindow(hwnd)) {
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(10);
    }
    return true;
}

// Mouse input through the system, as a hand on the mouse gives it.
void MouseTo(POINT pt) {
    INPUT in{};
    in.type = INPUT_MOUSE;
    in.mi.dx =
        (pt.x * 65535 + GetSystemMetrics(SM_CXSCREEN) / 2) / (GetSystemMetrics(SM_CXSCREEN) - 1);
    in.mi.dy =
        (pt.y * 65535 + GetSystemMetrics(SM_CYSCREEN) / 2) / (GetSystemMetrics(SM_CYSCREEN) - 1);
    in.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    SendInput(1, &in, sizeof in);
}

void MouseButton(bool down) {
    INPUT in{};
    in.type = INPUT_MOUSE;
    in.mi.dwFlags = down ? MOUSEEVENTF_LEFTDOWN : MOUSEEVENTF_LEFTUP;
    SendInput(1, &in, sizeof in);
}

// Presses the left button on `from`, moves by (dx, dy) in steps, releases.
void Drag(POINT from, int dx, int dy) {
    MouseTo(from);
    Sleep(50);
    MouseButton(true);
    Sleep(150);
    constexpr int kSteps = 10;
    for (int i = 1; i <= kSteps; ++i) {
        MouseTo(POINT{from.x + dx * i / kSteps, from.y + dy * i / kSteps});
        Sleep(20);
    }
    Sleep(50);
    MouseButton(false);
    Sleep(100);
}

// Icon windows in the tray window that Wine's X11 driver shows where the desktop has no tray,
// in this prefix.
std::vector<HWND> WineTrayIcons() {
    std::vector<HWND> icons;
    HWND tray = FindWindowA("__winex11_standalone_tray", nullptr);
    if (tray == nullptr)
        return icons;
    for (HWND c = GetWindow(tray, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT)) {
        char cls[64] = {};
        GetClassNameA(c, cls, sizeof cls);
        if (IsWindowVisible(c) && std::string(cls) == "__winex11_tray_icon")
            icons.push_back(c);
    }
    return icons;
}

class BarCommandsTest : public BarTest {
protected:
    HWND Start(BarProcess& bar, const std::vector<std::string>& lines) {
        return BarTest::Start(bar, lines, kWaitMs);
    }

    bool EndWithEscape(BarProcess& bar, HWND hwnd) {
        PressKey(hwnd, VK_ESCAPE);
        return bar.WaitForExit(kEndMs);
    }

    // Waits until the bar has handled everything posted to it so far: a marker posted behind
    // those messages (the pushed look of the exit button) is seen, then undone.
    static bool Settle(HWND hwnd) {
        HWND marker = GetDlgItem(hwnd, IDC_EXIT);
        Post(marker, BM_SETSTATE, TRUE, 0);
        const DWORD start = GetTickCount();
        while ((Send(marker, BM_GETSTATE, 0, 0) & BST_PUSHED) == 0) {
            if (!IsWindow(hwnd) || GetTickCount() - start >= kWaitMs)
                return false;
            Sleep(5);
        }
        Send(marker, BM_SETSTATE, FALSE, 0);
        return true;
    }
};

// ---- Top-most ---------------------------------------------------------------------------------

TEST_F(BarCommandsTest, TopMostCommandTwiceReturnsTheZOrderAndTheButtonFollowsTheFlag) {
    for (int start : {0, 1}) {
        SCOPED_TRACE("TopMost=" + std::to_string(start));
        CleanStart();
        BarProcess bar;
        HWND hwnd = Start(bar, {"TopMost=" + std::to_string(start)});
        ASSERT_NE(hwnd, nullptr);
        const LONG initial = ExStyle(hwnd) & WS_EX_TOPMOST;
        EXPECT_EQ(initial != 0, start == 1);
        Pick(hwnd, ID_MENU_TOPMOST);
        ASSERT_TRUE(Settle(hwnd));
        EXPECT_EQ(ExStyle(hwnd) & WS_EX_TOPMOST, initial ? 0 : WS_EX_TOPMOST);
        EXPECT_EQ(CheckState(hwnd, IDC_TOPMOST), start == 1 ? BST_UNCHECKED : BST_CHECKED);
        Pick(hwnd, ID_MENU_TOPMOST);
        ASSERT_TRUE(Settle(hwnd));
        EXPECT_EQ(ExStyle(hwnd) & WS_EX_TOPMOST, initial);
        EXPECT_EQ(CheckState(hwnd, IDC_TOPMOST), start == 1 ? BST_CHECKED : BST_UNCHECKED);
        EXPECT_TRUE(EndWithEscape(bar, hwnd));
        EXPECT_EQ(Saved("TopMost"), std::to_string(start));
    }
}

TEST_F(BarCommandsTest, CommandsWithANotificationCodeAreNotMenuPicks) {
    BarProcess bar;
    HWND hwnd = Start(bar, {"TopMost=0"});
    ASSERT_NE(hwnd, nullptr);
    Post(hwnd, WM_COMMAND, MAKEWPARAM(ID_MENU_TOPMOST, 1), 0);
    Post(hwnd, WM_COMMAND, MAKEWPARAM(ID_MENU_EXIT, 1), 0);
    ASSERT_TRUE(Settle(hwnd));
    EXPECT_EQ(ExStyle(hwnd) & WS_EX_TOPMOST, 0);
    EXPECT_TRUE(bar.Running());
    EXPECT_TRUE(EndWithEscape(bar, hwnd));
}

// ---- Pinning and dragging ---------------------------------------------------------------------

TEST_F(BarCommandsTest, HitTestOnASlotIsCaptionUnpinnedAndTheDefaultPinned) {
    BarProcess bar;
    HWND hwnd = Start(bar, {"Stick=0"});
    ASSERT_NE(hwnd, nullptr);
    const LPARAM slot = Packed(CentreOf(hwnd, IDC_SLOT05));
    EXPECT_EQ(Send(hwnd, WM_NCHITTEST, 0, slot), HTCAPTION);
    Pick(hwnd, ID_MENU_STICK);
    ASSERT_TRUE(Settle(hwnd));
    EXPECT_EQ(Send(hwnd, WM_NCHITTEST, 0, slot), HTCLIENT);
    Pick(hwnd, ID_MENU_STICK);
    ASSERT_TRUE(Settle(hwnd));
    EXPECT_EQ(Send(hwnd, WM_NCHITTEST, 0, slot), HTCAPTION);
    EXPECT_TRUE(EndWithEscape(bar, hwnd));
    EXPECT_EQ(Saved("Stick"), "0");
}

TEST_F(BarCommandsTest, UnpinnedBarFollowsADragOnASlotPinnedItStaysAndTheMoveIsSaved) {
    BarProcess bar;
    HWND hwnd = Start(bar, {"Stick=0", "Left=100", "Top=200", "Right=1300", "Bottom=218"});
    ASSERT_NE(hwnd, nullptr);
    const RECT start = WindowRect(hwnd);
    ASSERT_EQ(start.left, 100);
    // Input injected without a real pointer now and then reaches the system's move loop too
    // late; a few tries tell a bar that cannot be dragged from a lost press.
    RECT moved = start;
    for (int attempt = 0; attempt < 4 && moved.left == start.left; ++attempt) {
        Drag(CentreOf(hwnd, IDC_SLOT05), 150, 80);
        Send(hwnd, WM_NULL, 0, 0);
        moved = WindowRect(hwnd);
    }
    EXPECT_EQ(moved.left, start.left + 150) << "the unpinned bar did not follow the drag";
    EXPECT_EQ(moved.top, start.top + 80);
    EXPECT_EQ(moved.right - moved.left, start.right - start.left);
    EXPECT_EQ(moved.bottom - moved.top, start.bottom - start.top);

    Pick(hwnd, ID_MENU_STICK);
    ASSERT_TRUE(Settle(hwnd));
    for (int attempt = 0; attempt < 2; ++attempt) {
        Drag(CentreOf(hwnd, IDC_SLOT05), 150, 80);
        Send(hwnd, WM_NULL, 0, 0);
        const RECT rc = WindowRect(hwnd);
        EXPECT_EQ(rc.left, moved.left) << "a pinned bar moved";
        EXPECT_EQ(rc.top, moved.top);
    }
    EXPECT_TRUE(EndWithEscape(bar, hwnd));
    EXPECT_EQ(Saved("Left"), std::to_string(moved.left));
    EXPECT_EQ(Saved("Top"), std::to_string(moved.top));
    EXPECT_EQ(Saved("Right"), std::to_string(moved.right));
    EXPECT_EQ(Saved("Bottom"), std::to_string(moved.bottom));
    EXPECT_EQ(Saved("Stick"), "1");
}

TEST_F(BarCommandsTest, PositionGivenByTheSystemIsSavedAtExit) {
    BarProcess bar;
    HWND hwnd = Start(bar, {"Left=100", "Top=200", "Right=1300", "Bottom=218"});
    ASSERT_NE(hwnd, nullptr);
    SetWindowPos(hwnd, nullptr, 321, 456, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    ASSERT_TRUE(Settle(hwnd));
    EXPECT_TRUE(EndWithEscape(bar, hwnd));
    EXPECT_EQ(Saved("Left"), "321");
    EXPECT_EQ(Saved("Top"), "456");
    EXPECT_EQ(Saved("Right"), "1521");
    EXPECT_EQ(Saved("Bottom"), "474");
}

// ---- The status indicator ---------------------------------------------------------------------

TEST_F(BarCommandsTest, FiveIndicatorCommandsOrClicksReturnToTheFirstMode) {
    BarProcess bar;
    HWND hwnd = Start(bar, {"DefaultIndicator=2", "MonitorTimer=60", "SocketTimer=2000"});
    ASSERT_NE(hwnd, nullptr);
    const std::vector<std::string> cycle = {"MON :     60", "SOCK:   2000", "ERR :      0",
                                            responder_.HostText(), "VORNBAR"};
    std::string last;
    ASSERT_TRUE(WaitForControlText(
        hwnd, IDC_SLOT00, [&](const std::string& t) { return t == cycle[0]; }, kWaitMs, &last))
        << last;
    for (int round = 0; round < 2; ++round) {
        for (int step = 1; step <= 5; ++step) {
            if (round == 0) {
                Pick(hwnd, ID_MENU_INDICATOR);
            } else {
                ClickButton(hwnd, IDC_INDICATOR);
            }
            const std::string& want = cycle[static_cast<size_t>(step % 5)];
            EXPECT_TRUE(WaitForControlText(
                hwnd, IDC_SLOT00, [&](const std::string& t) { return t == want; }, kWaitMs, &last))
                << (round == 0 ? "command " : "click ") << step << ": \"" << last << "\"";
        }
    }
    EXPECT_TRUE(EndWithEscape(bar, hwnd));
    EXPECT_EQ(Saved("DefaultIndicator"), "2");
}

// ---- The About box ----------------------------------------------------------------------------

TEST_F(BarCommandsTest, SystemCommandsTenToOneFOpenTheAboutBoxAndOthersDoNot) {
    BarProcess bar;
    HWND hwnd = Start(bar, {});
    ASSERT_NE(hwnd, nullptr);
    for (UINT cmd = 0x10; cmd <= 0x1F; ++cmd) {
        SCOPED_TRACE("system command " + std::to_string(cmd));
        Post(hwnd, WM_SYSCOMMAND, cmd, 0);
        HWND about = WaitForAbout(bar, hwnd, kWaitMs);
        ASSERT_NE(about, nullptr);
        EXPECT_EQ(GetWindow(about, GW_OWNER), hwnd);
        EXPECT_FALSE(IsWindowEnabled(hwnd));
        PressKey(about, cmd % 2 ? VK_ESCAPE : VK_RETURN);
        ASSERT_TRUE(WaitGone(about, kWaitMs));
        EXPECT_TRUE(IsWindowEnabled(hwnd));
    }
    for (UINT cmd : {0x0FU, 0x20U, 0x30U}) {
        Post(hwnd, WM_SYSCOMMAND, cmd, 0);
        ASSERT_TRUE(Settle(hwnd));
        EXPECT_EQ(WaitForAbout(bar, hwnd, 200), nullptr) << "system command " << cmd;
    }
    EXPECT_TRUE(EndWithEscape(bar, hwnd));
}

TEST_F(BarCommandsTest, AboutCommandOpensTheBoxAndTheSlotsKeepUpdatingUnderIt) {
    BarProcess bar;
    HWND hwnd = Start(bar, {"DelayTimer=0", "MonitorTimer=1"});
    ASSERT_NE(hwnd, nullptr);
    std::string last;
    ASSERT_TRUE(WaitForControlText(
        hwnd, IDC_SLOT01, [](const std::string& t) { return t.find("45.0") != std::string::npos; },
        kWaitMs, &last))
        << last;
    Pick(hwnd, ID_MENU_ABOUT);
    HWND about = WaitForAbout(bar, hwnd, kWaitMs);
    ASSERT_NE(about, nullptr);
    EXPECT_FALSE(IsWindowEnabled(hwnd));
    responder_.SetReadings({"77.5", "38.5", "30.0", "1.35", "1.10", "3.31", "5.02", "-5.04",
                            "12.03", "-12.05", "2812", "1500", "0"});
    EXPECT_TRUE(WaitForControlText(
        hwnd, IDC_SLOT01, [](const std::string& t) { return t.find("77.5") != std::string::npos; },
        kWaitMs, &last))
        << "the CPU slot under the About box: \"" << last << "\"";
    EXPECT_TRUE(IsWindow(about));
    Post(about, WM_CLOSE, 0, 0);
    ASSERT_TRUE(WaitGone(about, kWaitMs));
    EXPECT_TRUE(EndWithEscape(bar, hwnd));
}

// ---- Ending -----------------------------------------------------------------------------------

TEST_F(BarCommandsTest, ExitCommandExitButtonEscapeAndEnterEndTheProgramTheSameWay) {
    struct Way {
        const char* name;
        void (*end)(HWND);
    };
    const Way ways[] = {
        {"ID_MENU_EXIT", [](HWND h) { Pick(h, ID_MENU_EXIT); }},
        {"IDC_EXIT", [](HWND h) { ClickButton(h, IDC_EXIT); }},
        {"Escape", [](HWND h) { PressKey(h, VK_ESCAPE); }},
        {"Enter", [](HWND h) { PressKey(h, VK_RETURN); }},
    };
    const std::vector<std::string> profile = {"TopMost=1", "Stick=1", "DefaultIndicator=3",
                                              "Left=10",   "Top=20",  "Right=1210",
                                              "Bottom=38"};
    std::string first;
    for (const Way& way : ways) {
        SCOPED_TRACE(way.name);
        CleanStart();
        BarProcess bar;
        HWND hwnd = Start(bar, profile);
        ASSERT_NE(hwnd, nullptr);
        ASSERT_EQ(FocusedId(hwnd), IDC_TOPMOST);
        way.end(hwnd);
        ASSERT_TRUE(bar.WaitForExit(kEndMs)) << "still running";
        EXPECT_EQ(bar.ExitCode(), 0u);
        EXPECT_TRUE(TopLevelWindowsOf(bar.Pid(), nullptr, false).empty());
        const std::string text = ReadProfileText();
        // The teardown saved the settings, the same whichever way was taken.
        EXPECT_EQ(ValueOf(SectionEntries(text, "VORNBAR"), "ErrorCounter"), "0") << text;
        EXPECT_EQ(ValueOf(SectionEntries(text, "VORNBAR"), "DefaultIndicator"), "3") << text;
        if (first.empty()) {
            first = text;
        } else {
            EXPECT_EQ(text, first);
        }
    }
}

TEST_F(BarCommandsTest, WithSavingOffOnlySaveIniAndErrorCounterAreWritten) {
    const std::vector<std::string> lines = {"SaveIni=0",          "TopMost=0", "Stick=0",
                                            "DefaultIndicator=0", "Left=100",  "Top=200",
                                            "Right=1300",         "Bottom=218"};
    BarProcess bar;
    HWND hwnd = Start(bar, lines);
    ASSERT_NE(hwnd, nullptr);
    const Entries before = SectionEntries(ReadProfileText(), "VORNBAR");
    // Change everything that a save would write.
    Pick(hwnd, ID_MENU_TOPMOST);
    Pick(hwnd, ID_MENU_STICK);
    Pick(hwnd, ID_MENU_INDICATOR);
    ASSERT_TRUE(Settle(hwnd));
    SetWindowPos(hwnd, nullptr, 300, 400, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    ASSERT_TRUE(Settle(hwnd));
    EXPECT_TRUE(EndWithEscape(bar, hwnd));

    Entries expected = before;
    expected.emplace_back("ErrorCounter", "0");
    EXPECT_EQ(SectionEntries(ReadProfileText(), "VORNBAR"), expected) << ReadProfileText();
}

TEST_F(BarCommandsTest, SavingTurnedOffByTheMenuWritesOnlySaveIniAndErrorCounter) {
    BarProcess bar;
    HWND hwnd = Start(bar, {"SaveIni=1", "TopMost=0"});
    ASSERT_NE(hwnd, nullptr);
    EXPECT_EQ(CheckState(hwnd, IDC_SAVEINI), BST_CHECKED);
    const Entries before = SectionEntries(ReadProfileText(), "VORNBAR");
    Pick(hwnd, ID_MENU_SAVEINI);
    Pick(hwnd, ID_MENU_TOPMOST);
    ASSERT_TRUE(Settle(hwnd));
    EXPECT_EQ(CheckState(hwnd, IDC_SAVEINI), BST_UNCHECKED);
    EXPECT_TRUE(EndWithEscape(bar, hwnd));
    Entries expected = before;
    expected[1].second = "0";  // SaveIni
    expected.emplace_back("ErrorCounter", "0");
    EXPECT_EQ(SectionEntries(ReadProfileText(), "VORNBAR"), expected) << ReadProfileText();
}

TEST_F(BarCommandsTest, SaveButtonCopiesItsStateIntoTheFlag) {
    BarProcess bar;
    HWND hwnd = Start(bar, {"SaveIni=1", "TopMost=1"});
    ASSERT_NE(hwnd, nullptr);
    ClickButton(hwnd, IDC_SAVEINI);
    ASSERT_TRUE(Settle(hwnd));
    EXPECT_EQ(CheckState(hwnd, IDC_SAVEINI), BST_UNCHECKED);
    Pick(hwnd, ID_MENU_TOPMOST);  // not saved, saving is off
    ASSERT_TRUE(Settle(hwnd));
    EXPECT_TRUE(EndWithEscape(bar, hwnd));
    EXPECT_EQ(Saved("SaveIni"), "0");
    EXPECT_EQ(Saved("TopMost"), "1");
}

// ---- Placement --------------------------------------------------------------------------------

TEST_F(BarCommandsTest, RectangleOnNoMonitorIsMovedOntoTheNearestOne) {
    BarProcess bar;
    HWND hwnd = Start(bar, {"Left=5000", "Top=5000", "Right=6200", "Bottom=5018"});
    ASSERT_NE(hwnd, nullptr);
    const RECT rc = WindowRect(hwnd);
    MONITORINFO mi{};
    mi.cbSize = sizeof mi;
    ASSERT_TRUE(GetMonitorInfoA(MonitorFromWindow(hwnd, MONITOR_DEFAULTTONULL), &mi))
        << "the bar is on no monitor: " << rc.left << "," << rc.top;
    EXPECT_EQ(rc.right - rc.left, 1200);
    EXPECT_EQ(rc.bottom - rc.top, 18);
    // The nearest place: the bottom-right corner of the work area.
    EXPECT_EQ(rc.right, mi.rcWork.right);
    EXPECT_EQ(rc.bottom, mi.rcWork.bottom);
    EXPECT_TRUE(EndWithEscape(bar, hwnd));
    EXPECT_EQ(Saved("Left"), std::to_string(rc.left));
}

TEST_F(BarCommandsTest, RectanglePartlyOnScreenIsKeptAsStored) {
    const int width = GetSystemMetrics(SM_CXSCREEN);
    struct Case {
        int left, top, right, bottom;
    };
    const Case cases[] = {
        {width - 200, 100, width + 1000, 118},  // past the right edge
        {-300, -5, 900, 13},                    // negative edges, partly visible
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.left) + "," + std::to_string(c.top));
        CleanStart();
        BarProcess bar;
        HWND hwnd =
            Start(bar, {"Left=" + std::to_string(c.left), "Top=" + std::to_string(c.top),
                        "Right=" + std::to_string(c.right), "Bottom=" + std::to_string(c.bottom)});
        ASSERT_NE(hwnd, nullptr);
        const RECT rc = WindowRect(hwnd);
        EXPECT_EQ(rc.left, c.left);
        EXPECT_EQ(rc.top, c.top);
        EXPECT_EQ(rc.right, c.right);
        EXPECT_EQ(rc.bottom, c.bottom);
        EXPECT_TRUE(EndWithEscape(bar, hwnd));
    }
}

// ---- The tray icon in Wine's own tray -----------------------------------------------------------

TEST_F(BarCommandsTest, IconInWinesTrayOpensTheMenuOnARightPressAndLeavesAtExit) {
    BarProcess bar;
    HWND hwnd = Start(bar, {"DelayTimer=60"});
    ASSERT_NE(hwnd, nullptr);
    std::vector<HWND> icons;
    for (int i = 0; i < 100 && icons.empty(); ++i) {
        icons = WineTrayIcons();
        Sleep(50);
    }
    if (icons.empty()) {
        EndWithEscape(bar, hwnd);
        GTEST_SKIP() << "no icon in a tray window of Wine's on this display";
    }
    ASSERT_EQ(icons.size(), 1u);
    HWND icon = icons.front();
    RECT rc{};
    GetClientRect(icon, &rc);
    const LPARAM inside = MAKELPARAM(rc.right / 2, rc.bottom / 2);

    // A left press brings the bar forward and opens nothing.
    Post(icon, WM_LBUTTONDOWN, MK_LBUTTON, inside);
    Post(icon, WM_LBUTTONUP, 0, inside);
    ASSERT_TRUE(Settle(hwnd));
    Sleep(200);
    EXPECT_TRUE(TopLevelWindowsOf(bar.Pid(), "#32768", true).empty());

    // A right press reaches the bar through the shell's callback and opens its menu.
    Post(icon, WM_RBUTTONDOWN, MK_RBUTTON, inside);
    std::vector<HWND> menus;
    for (int i = 0; i < 100 && menus.empty(); ++i) {
        Sleep(50);
        menus = TopLevelWindowsOf(bar.Pid(), "#32768", true);
    }
    ASSERT_EQ(menus.size(), 1u) << "no menu opened by the tray icon";
    Post(menus.front(), WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    for (int i = 0; i < 100 && !TopLevelWindowsOf(bar.Pid(), "#32768", true).empty(); ++i)
        Sleep(20);
    EXPECT_TRUE(TopLevelWindowsOf(bar.Pid(), "#32768", true).empty());
    Post(icon, WM_RBUTTONUP, 0, inside);

    EXPECT_TRUE(EndWithEscape(bar, hwnd));
    for (int i = 0; i < 100 && !WineTrayIcons().empty(); ++i)
        Sleep(50);
    EXPECT_TRUE(WineTrayIcons().empty()) << "the icon stayed after the exit";
}

}  // namespace
}  // namespace vorn::e2e
