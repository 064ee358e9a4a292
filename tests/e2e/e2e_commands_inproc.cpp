// The bar's commands, seen from inside its own process: the tray menu's items and marks, the
// menu handles that each pop-up leaves behind, the moment the About box opens, and every call
// that the tray icon makes to the shell. The bar dialog runs on a thread of this program.
#include <windows.h>

#include <shellapi.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "res/resource.h"
#include "tests/common/time_bounds.h"
#include "tests/e2e/bar_test.h"
#include "tests/e2e/inproc/inproc_bar.h"
#include "tests/windows/icon_pixels.h"
#include "tray/tray_icon.h"

namespace vorn::e2e {
namespace {

using inproc::InProcBar;
using inproc::MenuItem;
using inproc::ShellCall;
using inproc::ShellRecorder;

constexpr DWORD kAppearMs = 20000;
constexpr DWORD kMenuMs = 5000;
constexpr DWORD kEndMs = 5000;

// Which of the three tray pictures an icon is, by its colours: bright red for idle, bright
// green for ok, magenta for error; -1 for anything else or a dead handle.
int PictureOf(HICON icon) {
    const int red = test::PixelsOfColour(icon, RGB(255, 0, 0));
    const int green = test::PixelsOfColour(icon, RGB(0, 255, 0));
    const int magenta = test::PixelsOfColour(icon, RGB(255, 0, 255));
    if (red > 0 && green == 0 && magenta == 0)
        return 0;
    if (green > 0 && red == 0 && magenta == 0)
        return 1;
    if (magenta > 0 && red == 0 && green == 0)
        return 2;
    return -1;
}

// A window of another thread that takes the foreground as it appears, pumping its own messages.
class OtherWindow {
public:
    OtherWindow() {
        thread_ = std::thread([this] {
            threadId_ = GetCurrentThreadId();
            hwnd_ = CreateWindowExA(0, "STATIC", "other", WS_POPUP | WS_VISIBLE, 10, 600, 200, 50,
                                    nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
            SetForegroundWindow(hwnd_);
            ready_ = true;
            MSG msg;
            const DWORD start = GetTickCount();
            bool quit = false;
            while (!quit && GetTickCount() - start < 60000) {
                MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
                while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
                    quit = quit || msg.message == WM_QUIT;
                    DispatchMessageA(&msg);
                }
            }
            DestroyWindow(hwnd_);
        });
        for (int i = 0; i < 500 && !ready_; ++i)
            Sleep(10);
    }
    ~OtherWindow() {
        PostThreadMessageA(threadId_, WM_QUIT, 0, 0);
        thread_.join();
    }
    HWND Hwnd() const { return hwnd_; }
    // True once the window holds the foreground.
    bool TakeForeground() {
        // Under load the first request can lose against the bar's own activation: ask again.
        for (int i = 0; i < 300 && GetForegroundWindow() != hwnd_; ++i) {
            if (i % 20 == 0)
                SetForegroundWindow(hwnd_);
            Sleep(10);
        }
        return hwnd_ != nullptr && GetForegroundWindow() == hwnd_;
    }

private:
    std::thread thread_;
    std::atomic<bool> ready_{false};
    std::atomic<DWORD> threadId_{0};
    HWND hwnd_ = nullptr;
};

// What the CBT hook on the bar's thread saw when a dialog other than the bar was created.
struct AboutCreation {
    std::atomic<int> dialogs{0};
    std::atomic<bool> menuWindowShown{false};
    std::atomic<bool> menuAlive{false};
    HMENU menu = nullptr;
    HWND bar = nullptr;
    DWORD thread = 0;
};
AboutCreation g_about;
HHOOK g_hook = nullptr;

LRESULT CALLBACK WatchCreations(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_CREATEWND) {
        HWND created = reinterpret_cast<HWND>(wParam);
        char cls[32] = {};
        GetClassNameA(created, cls, sizeof cls);
        if (std::string(cls) == "#32770" && created != g_about.bar) {
            ++g_about.dialogs;
            g_about.menuWindowShown = inproc::OpenPopupMenu(g_about.thread) != nullptr;
            g_about.menuAlive = IsMenu(g_about.menu) != FALSE;
        }
    }
    return CallNextHookEx(g_hook, code, wParam, lParam);
}

class InProcCommandsTest : public ::testing::Test {
protected:
    void SetUp() override {
        CleanStart();
        ASSERT_TRUE(responder_.Start());
    }
    void TearDown() override {
        if (hwnd_ != nullptr && !bar_.WaitForExit(0)) {
            PostMessageA(hwnd_, WM_CLOSE, 0, 0);
            bar_.WaitForExit(kEndMs);
        }
        responder_.Stop();
        RemoveProfile();
    }

    // Starts the bar with these profile lines (after the host), and waits for its start-up.
    HWND Start(const std::vector<std::string>& lines) {
        WriteProfileText(HostSection(responder_.HostText(), lines));
        EXPECT_TRUE(bar_.Start());
        hwnd_ = bar_.WaitForBar(kAppearMs);
        EXPECT_NE(hwnd_, nullptr) << "the bar did not start in this process";
        return hwnd_;
    }

    // A right press on the tray icon; the open pop-up menu window, or null.
    HWND OpenMenu() {
        PostMessageA(hwnd_, WM_TRAY_NOTIFY, 0, WM_RBUTTONDOWN);
        return inproc::WaitForPopupMenu(bar_.ThreadId(), kMenuMs);
    }

    // Closes the menu with Escape and waits until the handler has returned.
    bool CloseMenu(HWND popup) {
        inproc::PressMenuKey(popup, VK_ESCAPE);
        const bool closed = inproc::WaitForNoPopupMenu(bar_.ThreadId(), kMenuMs);
        return closed && Sync() && !inproc::OpenPopupMenu(bar_.ThreadId());
    }

    // The menu's items, read while it is open; it is closed again afterwards.
    std::vector<MenuItem> MenuShown() {
        HWND popup = OpenMenu();
        EXPECT_NE(popup, nullptr) << "no pop-up menu opened";
        if (popup == nullptr)
            return {};
        auto items = inproc::ReadMenu(inproc::MenuOfPopup(popup));
        EXPECT_TRUE(CloseMenu(popup));
        return items;
    }

    static bool Checked(const std::vector<MenuItem>& items, size_t index) {
        return index < items.size() && (items[index].state & MFS_CHECKED) != 0;
    }

    bool Exit() {
        PostMessageA(hwnd_, WM_CLOSE, 0, 0);
        return bar_.WaitForExit(kEndMs);
    }

    // Waits until the bar has handled everything posted to it so far: a marker posted behind
    // those messages (the pushed look of the exit button) is seen, then undone.
    bool Sync() {
        HWND marker = GetDlgItem(hwnd_, IDC_EXIT);
        PostMessageA(marker, BM_SETSTATE, TRUE, 0);
        for (int i = 0; i < 1000; ++i) {
            if (SendMessageA(marker, BM_GETSTATE, 0, 0) & BST_PUSHED) {
                SendMessageA(marker, BM_SETSTATE, FALSE, 0);
                return true;
            }
            Sleep(5);
        }
        return false;
    }

    ShellRecorder shell_;
    TestResponder responder_;
    InProcBar bar_;
    HWND hwnd_ = nullptr;
};

// ---- The tray menu ------------------------------------------------------------------------------

TEST_F(InProcCommandsTest, RightPressOpensTheMenuWithMarksOnTopMostAndSaveIniOnly) {
    ASSERT_NE(Start({"TopMost=1", "Stick=0", "SaveIni=1"}), nullptr);
    HWND popup = OpenMenu();
    ASSERT_NE(popup, nullptr);
    const auto items = inproc::ReadMenu(inproc::MenuOfPopup(popup));
    ASSERT_TRUE(CloseMenu(popup));

    struct Want {
        UINT id;
        const wchar_t* text;  // null: separator
        bool checked;
    };
    const Want want[] = {
        {ID_MENU_TOPMOST, L"常に手前に表示", true},
        {ID_MENU_STICK, L"ウィンドウを固定", false},
        {ID_MENU_SAVEINI, L"終了時に設定保存", true},
        {0, nullptr, false},
        {ID_MENU_INDICATOR, L"インジケータ切替", false},
        {ID_MENU_HISTORY, L"履歴グラフ", false},
        {ID_MENU_ABOUT, L"バージョン情報", false},
        {0, nullptr, false},
        {ID_MENU_EXIT, L"プログラムの終了", false},
    };
    ASSERT_EQ(items.size(), std::size(want));
    for (size_t i = 0; i < items.size(); ++i) {
        SCOPED_TRACE("item " + std::to_string(i + 1));
        if (want[i].text == nullptr) {
            EXPECT_NE(items[i].type & MFT_SEPARATOR, 0u);
            continue;
        }
        EXPECT_EQ(items[i].type & MFT_SEPARATOR, 0u);
        EXPECT_EQ(items[i].id, want[i].id);
        EXPECT_EQ(items[i].text, want[i].text);
        EXPECT_EQ(Checked(items, i), want[i].checked);
    }
    EXPECT_TRUE(Exit());
}

TEST_F(InProcCommandsTest, StickAloneIsMarkedWhenTheOtherTwoFlagsAreOff) {
    ASSERT_NE(Start({"TopMost=0", "Stick=1", "SaveIni=0"}), nullptr);
    const auto items = MenuShown();
    ASSERT_EQ(items.size(), 9u);
    for (size_t i = 0; i < items.size(); ++i)
        EXPECT_EQ(Checked(items, i), i == 1) << "item " << i + 1;
    EXPECT_TRUE(Exit());
}

TEST_F(InProcCommandsTest, LeftPressBringsTheBarForwardAndOpensNoMenu) {
    ASSERT_NE(Start({}), nullptr);
    OtherWindow other;
    ASSERT_TRUE(other.TakeForeground()) << "the test could not move the foreground away";
    PostMessageA(hwnd_, WM_TRAY_NOTIFY, 0, WM_LBUTTONDOWN);
    ASSERT_TRUE(Sync());
    for (int i = 0; i < 300 && GetForegroundWindow() != hwnd_; ++i)
        Sleep(10);
    EXPECT_EQ(GetForegroundWindow(), hwnd_);
    EXPECT_EQ(inproc::WaitForPopupMenu(bar_.ThreadId(), 300), nullptr);
    EXPECT_TRUE(Exit());
}

TEST_F(InProcCommandsTest, ReleasesDoubleClicksMovesAndTheMiddleButtonDoNothing) {
    ASSERT_NE(Start({"TopMost=0"}), nullptr);
    OtherWindow other;
    ASSERT_TRUE(other.TakeForeground());
    const auto before = shell_.Calls().size();
    for (UINT mouse : {WM_LBUTTONUP, WM_RBUTTONUP, WM_LBUTTONDBLCLK, WM_RBUTTONDBLCLK, WM_MOUSEMOVE,
                       WM_MBUTTONDOWN, WM_MBUTTONUP, WM_MBUTTONDBLCLK}) {
        PostMessageA(hwnd_, WM_TRAY_NOTIFY, 0, mouse);
    }
    ASSERT_TRUE(Sync());
    EXPECT_EQ(inproc::WaitForPopupMenu(bar_.ThreadId(), 300), nullptr);
    // Wine may hand the foreground on by itself meanwhile; what matters is that the bar did
    // not take it.
    EXPECT_NE(GetForegroundWindow(), hwnd_);
    EXPECT_EQ(ExStyle(hwnd_) & WS_EX_TOPMOST, 0);
    EXPECT_EQ(shell_.Calls().size(), before) << "no tray call either";
    EXPECT_TRUE(Exit());
}

TEST_F(InProcCommandsTest, TopMostButtonAndTheMenuMarkAgree) {
    ASSERT_NE(Start({"TopMost=0"}), nullptr);
    EXPECT_FALSE(Checked(MenuShown(), 0));
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE("click " + std::to_string(round));
        SendMessageA(GetDlgItem(hwnd_, IDC_TOPMOST), BM_CLICK, 0, 0);
        const bool on = round % 2 == 1;
        EXPECT_EQ(CheckState(hwnd_, IDC_TOPMOST), on ? BST_CHECKED : BST_UNCHECKED);
        EXPECT_EQ((ExStyle(hwnd_) & WS_EX_TOPMOST) != 0, on);
        EXPECT_EQ(Checked(MenuShown(), 0), on);
    }
    EXPECT_TRUE(Exit());
    EXPECT_EQ(ValueOf(ReadProfileText(), "TopMost"), "0");
}

TEST_F(InProcCommandsTest, TopMostTwoIsShownMarkedTogglesToThreeAndLeavesTheZOrderAlone) {
    ASSERT_NE(Start({"TopMost=2"}), nullptr);
    EXPECT_EQ(ExStyle(hwnd_) & WS_EX_TOPMOST, 0);
    EXPECT_TRUE(Checked(MenuShown(), 0));
    PostMessageA(hwnd_, WM_COMMAND, ID_MENU_TOPMOST, 0);
    ASSERT_TRUE(Sync());
    EXPECT_EQ(ExStyle(hwnd_) & WS_EX_TOPMOST, 0);
    EXPECT_TRUE(Checked(MenuShown(), 0)) << "3 is still on";
    EXPECT_TRUE(Exit());
    EXPECT_EQ(ValueOf(ReadProfileText(), "TopMost"), "3");
}

TEST_F(InProcCommandsTest, EveryClosedPopUpMenuIsDestroyedAndLiveMenusDoNotGrow) {
    ASSERT_NE(Start({}), nullptr);
    // One round first, so that whatever the system keeps for menus once exists already.
    HWND popup = OpenMenu();
    ASSERT_NE(popup, nullptr);
    ASSERT_TRUE(CloseMenu(popup));
    const int before = inproc::LiveMenus();
    {
        // The count sees a menu that this test makes.
        HMENU probe = CreatePopupMenu();
        ASSERT_EQ(inproc::LiveMenus(), before + 1);
        DestroyMenu(probe);
    }
    constexpr int kRounds = 1000;
    int destroyed = 0;
    for (int i = 0; i < kRounds; ++i) {
        popup = OpenMenu();
        ASSERT_NE(popup, nullptr) << "round " << i;
        HMENU menu = inproc::MenuOfPopup(popup);
        ASSERT_TRUE(IsMenu(menu)) << "round " << i;
        ASSERT_TRUE(CloseMenu(popup)) << "round " << i;
        destroyed += IsMenu(menu) ? 0 : 1;
    }
    const int after = inproc::LiveMenus();
    EXPECT_EQ(destroyed, kRounds);
    EXPECT_LE(after, before);
    EXPECT_TRUE(Exit());
}

TEST_F(InProcCommandsTest, AboutOpensOnlyAfterTheMenuHasClosed) {
    ASSERT_NE(Start({}), nullptr);
    HWND popup = OpenMenu();
    ASSERT_NE(popup, nullptr);
    g_about.dialogs = 0;
    g_about.menu = inproc::MenuOfPopup(popup);
    g_about.bar = hwnd_;
    g_about.thread = bar_.ThreadId();
    g_hook = SetWindowsHookExA(WH_CBT, &WatchCreations, nullptr, bar_.ThreadId());
    ASSERT_NE(g_hook, nullptr);
    // Down to the seventh item (the separators are skipped), then Enter.
    for (int i = 0; i < 6; ++i)
        inproc::PressMenuKey(popup, VK_DOWN);
    inproc::PressMenuKey(popup, VK_RETURN);
    HWND about = nullptr;
    for (int i = 0; i < 500 && about == nullptr; ++i) {
        for (HWND w : inproc::ThreadWindows(bar_.ThreadId(), "#32770"))
            if (w != hwnd_)
                about = w;
        Sleep(10);
    }
    UnhookWindowsHookEx(g_hook);
    ASSERT_NE(about, nullptr) << "the About box did not open";
    EXPECT_EQ(g_about.dialogs.load(), 1);
    EXPECT_FALSE(g_about.menuWindowShown) << "the menu was still on view";
    EXPECT_FALSE(g_about.menuAlive) << "the menu still existed";
    EXPECT_EQ(GetWindow(about, GW_OWNER), hwnd_);
    EXPECT_FALSE(IsWindowEnabled(hwnd_)) << "the bar takes no input under the About box";
    PostMessageA(about, WM_COMMAND, IDOK, 0);
    for (int i = 0; i < 200 && IsWindow(about); ++i)
        Sleep(10);
    EXPECT_FALSE(IsWindow(about));
    EXPECT_TRUE(IsWindowEnabled(hwnd_));
    EXPECT_TRUE(Exit());
}

TEST_F(InProcCommandsTest, FourWaysOutEndTheModalRunThroughTheSameTeardown) {
    struct Way {
        const char* name;
        void (*end)(HWND);
        INT_PTR result;
    };
    const Way ways[] = {
        {"ID_MENU_EXIT", [](HWND h) { PostMessageA(h, WM_COMMAND, ID_MENU_EXIT, 0); }, IDCANCEL},
        {"IDC_EXIT", [](HWND h) { ClickButton(h, IDC_EXIT); }, IDCANCEL},
        {"Escape", [](HWND h) { PressKey(h, VK_ESCAPE); }, IDCANCEL},
        {"Enter", [](HWND h) { PressKey(h, VK_RETURN); }, IDOK},
    };
    for (const Way& way : ways) {
        SCOPED_TRACE(way.name);
        RemoveProfile();
        WriteProfileText(Section({"HostName=" + responder_.HostText(), "DelayTimer=60"}));
        const size_t before = shell_.Calls().size();
        InProcBar bar;
        ASSERT_TRUE(bar.Start());
        HWND hwnd = bar.WaitForBar(kAppearMs);
        ASSERT_NE(hwnd, nullptr);
        way.end(hwnd);
        ASSERT_TRUE(bar.WaitForExit(kEndMs));
        EXPECT_EQ(bar.Result(), way.result);
        EXPECT_FALSE(IsWindow(hwnd));
        const auto calls = shell_.Calls();
        ASSERT_GT(calls.size(), before + 1);
        EXPECT_EQ(calls[before].message, static_cast<DWORD>(NIM_ADD));
        EXPECT_EQ(calls.back().message, static_cast<DWORD>(NIM_DELETE));
        EXPECT_EQ(ValueOf(ReadProfileText(), "ErrorCounter"), "0");
        EXPECT_EQ(ValueOf(ReadProfileText(), "SaveIni"), "1");
    }
}

TEST_F(InProcCommandsTest, OtherSystemCommandsTakeTheDefaultAndTheMinimisedBarDragsItsIcon) {
    ASSERT_NE(Start({}), nullptr);
    SendMessageA(hwnd_, WM_SYSCOMMAND, SC_MINIMIZE, 0);
    EXPECT_TRUE(IsIconic(hwnd_));
    EXPECT_EQ(inproc::ThreadWindows(bar_.ThreadId(), "#32770").size(), 1u) << "no About box";
    // The cursor shown while the minimised bar is dragged: the application icon.
    const LRESULT dragIcon = SendMessageA(hwnd_, WM_QUERYDRAGICON, 0, 0);
    EXPECT_EQ(reinterpret_cast<HICON>(dragIcon),
              LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDR_MAINFRAME)));
    RedrawWindow(hwnd_, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    SendMessageA(hwnd_, WM_SYSCOMMAND, SC_RESTORE, 0);
    EXPECT_FALSE(IsIconic(hwnd_));
    EXPECT_TRUE(Exit());
}

// ---- The tray icon ------------------------------------------------------------------------------

TEST_F(InProcCommandsTest, StartAddsTheIdlePictureWithCallbackAndTheTitleAsTip) {
    ASSERT_NE(Start({"DelayTimer=60"}), nullptr);
    const auto calls = shell_.Calls();
    ASSERT_EQ(calls.size(), 1u) << "one call before the first poll";
    const ShellCall& add = calls[0];
    EXPECT_EQ(add.message, static_cast<DWORD>(NIM_ADD));
    EXPECT_EQ(add.hWnd, hwnd_);
    EXPECT_EQ(add.uFlags, static_cast<UINT>(NIF_ICON | NIF_MESSAGE | NIF_TIP));
    EXPECT_EQ(add.uCallbackMessage, static_cast<UINT>(WM_TRAY_NOTIFY));
    EXPECT_EQ(add.cbSize, static_cast<DWORD>(NOTIFYICONDATAA_V1_SIZE));
    EXPECT_EQ(PictureOf(add.hIcon), 0) << "idle picture";
    EXPECT_EQ(add.tip, WindowTitle(hwnd_));
    EXPECT_EQ(add.tip, "TERVALO - " + responder_.HostText());
    EXPECT_EQ(add.threadId, bar_.ThreadId());
    // The identifier is the profile section's own, so that Windows keeps the user's choice
    // for the icon from one start to the next.
    EXPECT_EQ(add.uID, CTrayIcon::PreferredId("VORNBAR"));
    EXPECT_TRUE(Exit());
}

TEST_F(InProcCommandsTest, EachStartOfASectionGivesTheIconTheSameIdentifier) {
    const std::string host = responder_.HostText();
    WriteProfileText(HostSection(host, {"DelayTimer=60"}) +
                     Section("SERVER2", {"HostName=" + host, "DelayTimer=60"}));
    // Runs one bar to its exit; the identifiers of its add and of its removal.
    const auto run = [this](const std::string& tail) {
        std::vector<UINT> ids;
        const size_t before = shell_.Calls().size();
        InProcBar bar;
        EXPECT_TRUE(bar.Start(tail));
        HWND hwnd = bar.WaitForBar(kAppearMs);
        EXPECT_NE(hwnd, nullptr) << "the bar did not start on section '" << tail << "'";
        if (hwnd == nullptr)
            return ids;
        PostMessageA(hwnd, WM_CLOSE, 0, 0);
        EXPECT_TRUE(bar.WaitForExit(kEndMs));
        const auto calls = shell_.Calls();
        for (size_t i = before; i < calls.size(); ++i)
            if (calls[i].message == NIM_ADD || calls[i].message == NIM_DELETE)
                ids.push_back(calls[i].uID);
        return ids;
    };
    const std::vector<UINT> first = run("");
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(run(""), first) << "the next start of the default section";
    EXPECT_EQ(run("vornbar"), first) << "the section named in other letters";
    const std::vector<UINT> other = run("SERVER2");
    ASSERT_FALSE(other.empty());
    EXPECT_NE(other.front(), first.front());
    EXPECT_EQ(run("SERVER2"), other);
}

TEST_F(InProcCommandsTest, AHundredCharacterHostGivesASixtyThreeCharacterTipAndAWholeTitle) {
    // Leading zeros of an octal part still name the loopback address: a long host that resolves.
    const std::string port = ":" + std::to_string(responder_.Port());
    const std::string tail = "177.0.0.1" + port;
    const std::string host = std::string(100 - tail.size(), '0') + tail;
    ASSERT_EQ(host.size(), 100u);
    WriteProfileText(Section({"HostName=" + host, "DelayTimer=60"}));
    ASSERT_TRUE(bar_.Start());
    hwnd_ = bar_.WaitForBar(kAppearMs);
    ASSERT_NE(hwnd_, nullptr) << "the bar did not start on the long host";
    const std::string title = WindowTitle(hwnd_);
    EXPECT_EQ(title, "TERVALO - " + host);
    const auto calls = shell_.Calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls[0].tip, title.substr(0, 63));
    EXPECT_TRUE(Exit());
}

TEST_F(InProcCommandsTest, EachPollShowsOkOrErrorThenIdleAfterTheIconTime) {
    constexpr int kIconMs = 250;
    ASSERT_NE(Start({"DelayTimer=1", "MonitorTimer=1", "SocketTimer=300",
                     "IconTimer=" + std::to_string(kIconMs)}),
              nullptr);
    // ADD, then MODIFY ok and MODIFY idle for the first poll.
    ASSERT_TRUE(shell_.WaitForCalls(3, 10000));
    responder_.SetMode(TestResponder::kSilent);
    // The next poll goes unanswered: error, then idle.
    const auto start = std::chrono::steady_clock::now();
    std::vector<ShellCall> calls;
    bool sawError = false;
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(10)) {
        calls = shell_.Calls();
        for (size_t i = 3; i + 1 < calls.size(); ++i)
            sawError = sawError || PictureOf(calls[i].hIcon) == 2;
        if (sawError && PictureOf(calls.back().hIcon) == 0)
            break;
        Sleep(20);
    }
    ASSERT_TRUE(sawError) << "no error picture after the responder fell silent";
    // The pictures are told apart while they are alive; the exit releases them.
    std::vector<int> pictures;
    for (const ShellCall& call : calls)
        pictures.push_back(PictureOf(call.hIcon));
    EXPECT_TRUE(Exit());
    const auto all = shell_.Calls();

    ASSERT_GE(calls.size(), 5u);
    EXPECT_EQ(calls[0].message, static_cast<DWORD>(NIM_ADD));
    // After the add: pairs of (ok or error, idle), each on the monitor thread, with every flag.
    int oks = 0, errors = 0;
    for (size_t i = 1; i + 1 < calls.size(); i += 2) {
        SCOPED_TRACE("modify " + std::to_string(i));
        EXPECT_EQ(calls[i].message, static_cast<DWORD>(NIM_MODIFY));
        EXPECT_TRUE(pictures[i] == 1 || pictures[i] == 2) << pictures[i];
        oks += pictures[i] == 1;
        errors += pictures[i] == 2;
        ASSERT_EQ(calls[i + 1].message, static_cast<DWORD>(NIM_MODIFY));
        EXPECT_EQ(pictures[i + 1], 0);
        const auto held =
            std::chrono::duration_cast<std::chrono::milliseconds>(calls[i + 1].at - calls[i].at)
                .count();
        EXPECT_GE(held, kIconMs - 20);
        EXPECT_LT(held, kIconMs + vorn::test_time::Generous(1000));
        EXPECT_EQ(calls[i].uFlags, static_cast<UINT>(NIF_ICON | NIF_MESSAGE | NIF_TIP));
        EXPECT_NE(calls[i].threadId, bar_.ThreadId());
    }
    EXPECT_GE(oks, 1);
    EXPECT_GE(errors, 1);
    // The exit ends with the removal, and nothing comes after it.
    ASSERT_GT(all.size(), calls.size());
    EXPECT_EQ(all.back().message, static_cast<DWORD>(NIM_DELETE));
    EXPECT_EQ(all.back().hIcon, nullptr);
}

TEST_F(InProcCommandsTest, TaskbarCreatedReAddsTheIconWithThePictureOnView) {
    ASSERT_NE(Start({"DelayTimer=1", "MonitorTimer=60", "IconTimer=5000"}), nullptr);
    // The first poll shows ok for five seconds.
    ASSERT_TRUE(shell_.WaitForCalls(2, 10000));
    ASSERT_EQ(PictureOf(shell_.Calls()[1].hIcon), 1);
    const UINT taskbarCreated = RegisterWindowMessageA("TaskbarCreated");
    ASSERT_NE(taskbarCreated, 0u);
    PostMessageA(HWND_BROADCAST, taskbarCreated, 0, 0);
    ASSERT_TRUE(shell_.WaitForCalls(3, 5000)) << "no call after the shell's restart";
    auto calls = shell_.Calls();
    EXPECT_EQ(calls[2].message, static_cast<DWORD>(NIM_ADD));
    EXPECT_EQ(PictureOf(calls[2].hIcon), 1) << "the picture on view";
    EXPECT_EQ(calls[2].uID, calls[0].uID);
    EXPECT_EQ(calls[2].tip, calls[0].tip);
    EXPECT_EQ(calls[2].uFlags, calls[0].uFlags);
    // Once it is idle again, a restart brings back the idle picture.
    ASSERT_TRUE(shell_.WaitForCalls(4, 8000));
    SendMessageA(hwnd_, taskbarCreated, 0, 0);
    calls = shell_.Calls();
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_EQ(calls[4].message, static_cast<DWORD>(NIM_ADD));
    EXPECT_EQ(PictureOf(calls[4].hIcon), 0);
    EXPECT_TRUE(Exit());
}

TEST_F(InProcCommandsTest, ExitDeletesTheIconAndReleasesEveryPicture) {
    ASSERT_NE(Start({"DelayTimer=1", "MonitorTimer=60", "IconTimer=50"}), nullptr);
    ASSERT_TRUE(shell_.WaitForCalls(3, 10000));
    auto calls = shell_.Calls();
    const HICON idle = calls[0].hIcon;
    const HICON ok = calls[1].hIcon;
    ASSERT_EQ(PictureOf(idle), 0);
    ASSERT_EQ(PictureOf(ok), 1);
    ASSERT_TRUE(Exit());
    calls = shell_.Calls();
    ASSERT_GE(calls.size(), 4u);
    EXPECT_EQ(calls[3].message, static_cast<DWORD>(NIM_DELETE));
    EXPECT_EQ(calls[3].uID, calls[0].uID);
    EXPECT_EQ(calls[3].hWnd, calls[0].hWnd);
    for (size_t i = 3; i < calls.size(); ++i)
        EXPECT_EQ(calls[i].message, static_cast<DWORD>(NIM_DELETE));
    ICONINFO ii{};
    EXPECT_FALSE(GetIconInfo(idle, &ii)) << "idle picture still alive";
    EXPECT_FALSE(GetIconInfo(ok, &ii)) << "ok picture still alive";
}

}  // namespace
}  // namespace vorn::e2e
