// The framework's contract as the bar relies on it, run under Wine against the program's own
// About box template: creation order, failed creation, the ways a modal run ends, message-map
// dispatch, style changes, data exchange, the string table and the main-window pointer.
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "framework/afx_win.h"
#include "res/resource.h"

namespace {

// The application object of this test program; no WinMain runs, so the test fills it in.
class TestApp : public CWinApp {
public:
    TestApp() : CWinApp(nullptr) {}
};
TestApp theApp;

constexpr UINT kProbe = WM_APP + 5;      // bound by ON_MESSAGE below
constexpr UINT kUnbound = WM_APP + 6;    // bound nowhere
constexpr UINT kRunScript = WM_APP + 7;  // runs the test's script inside the modal loop
constexpr int kBoundId = 1234;
constexpr int kOtherId = 1235;

// A dialog on the About template that records what the framework calls, and runs a script
// (a function of the test) inside its modal loop.
class ProbeDialog : public CDialog {
public:
    ProbeDialog() : CDialog(IDD_ABOUTBOX, nullptr) {}

    std::function<void(ProbeDialog&)> script;  // runs once, after initialisation
    int createResult = 0;                      // what OnCreate answers

    int creates = 0;
    int childrenAtCreate = -1;
    int initDialogs = 0;
    bool okButtonAtInit = false;
    bool mainWndAtInit = false;
    int destroys = 0;
    int oks = 0;
    int cancels = 0;
    int clicked = 0;
    int probes = 0;
    int styleChanging = 0;
    bool everShown = false;
    CButton button;
    int exchanges = 0;

    int OnCreate(LPCREATESTRUCT) {
        ++creates;
        childrenAtCreate = CountChildren();
        if (Default() == -1)
            return -1;
        return createResult;
    }
    BOOL OnInitDialog() override {
        ++initDialogs;
        okButtonAtInit = ::GetDlgItem(m_hWnd, IDOK) != nullptr;
        mainWndAtInit = AfxGetMainWnd() == this;
        CDialog::OnInitDialog();
        PostMessage(kRunScript);
        return TRUE;
    }
    void OnDestroy() { ++destroys; }
    void OnOK() override {
        ++oks;
        CDialog::OnOK();
    }
    void OnCancel() override {
        ++cancels;
        CDialog::OnCancel();
    }
    void OnClickBound() { ++clicked; }
    LRESULT OnProbe(WPARAM w, LPARAM l) {
        ++probes;
        return static_cast<LRESULT>(w + l);
    }
    LRESULT OnRunScript(WPARAM, LPARAM) {
        if (script)
            script(*this);
        return 0;
    }
    void DoDataExchange(CDataExchange* pDX) override {
        ++exchanges;
        DDX_Control(pDX, IDOK, button);
    }
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
        if (message == WM_SHOWWINDOW && wParam)
            everShown = true;
        if (message == WM_STYLECHANGING)
            ++styleChanging;
        return CDialog::WindowProc(message, wParam, lParam);
    }

    int CountChildren() const {
        int n = 0;
        for (HWND c = ::GetWindow(m_hWnd, GW_CHILD); c != nullptr; c = ::GetWindow(c, GW_HWNDNEXT))
            ++n;
        return n;
    }

    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(ProbeDialog, CDialog)
ON_WM_CREATE()
ON_WM_DESTROY()
ON_BN_CLICKED(kBoundId, OnClickBound)
ON_MESSAGE(kProbe, OnProbe)
ON_MESSAGE(kRunScript, OnRunScript)
END_MESSAGE_MAP()

void PostKey(HWND target, UINT vk) {
    const UINT scan = MapVirtualKeyA(vk, MAPVK_VK_TO_VSC);
    const LPARAM down = 1 | (static_cast<LPARAM>(scan) << 16);
    PostMessageA(target, WM_KEYDOWN, vk, down);
    PostMessageA(target, WM_KEYUP, vk, down | (LPARAM{1} << 30) | (LPARAM{1} << 31));
}

// A guard against a script that fails to end the run: the dialog closes itself after a while
// and the test then fails on the result it sees.
constexpr UINT kGuardMs = 10000;
void CALLBACK GuardTimer(HWND hwnd, UINT, UINT_PTR, DWORD) {
    ::EndDialog(hwnd, 0x5AFE);
}

class FrameworkTest : public ::testing::Test {
protected:
    void SetUp() override {
        theApp.m_hInstance = ::GetModuleHandleA(nullptr);
        theApp.m_pMainWnd = nullptr;
    }
    void TearDown() override { theApp.m_pMainWnd = nullptr; }

    // Runs the dialog modally with `script` run once inside its loop.
    static INT_PTR Run(ProbeDialog& dlg, std::function<void(ProbeDialog&)> script) {
        dlg.script = [script](ProbeDialog& d) {
            ::SetTimer(d.m_hWnd, 1, kGuardMs, &GuardTimer);
            script(d);
        };
        return dlg.DoModal();
    }
};

// ---- Creation -------------------------------------------------------------------------------

TEST_F(FrameworkTest, OnCreateSeesNoControlsAndOnInitDialogSeesThem) {
    ProbeDialog dlg;
    const INT_PTR result = Run(dlg, [](ProbeDialog& d) { d.EndDialog(IDOK); });
    EXPECT_EQ(result, IDOK);
    EXPECT_EQ(dlg.creates, 1);
    EXPECT_EQ(dlg.childrenAtCreate, 0);
    EXPECT_EQ(dlg.initDialogs, 1);
    EXPECT_TRUE(dlg.okButtonAtInit);
    EXPECT_EQ(dlg.destroys, 1);
    EXPECT_EQ(dlg.m_hWnd, nullptr);
}

TEST_F(FrameworkTest, FailedCreateEndsTheRunWithoutAWindowAndTearsDownOnce) {
    ProbeDialog dlg;
    dlg.createResult = -1;
    bool scriptRan = false;
    const INT_PTR result = Run(dlg, [&](ProbeDialog&) { scriptRan = true; });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(dlg.creates, 1);
    EXPECT_EQ(dlg.initDialogs, 0);
    EXPECT_FALSE(scriptRan);
    EXPECT_FALSE(dlg.everShown);
    EXPECT_EQ(dlg.destroys, 1);
}

// ---- Ending the modal run -------------------------------------------------------------------

TEST_F(FrameworkTest, CloseEndsTheRunThroughOnCancel) {
    ProbeDialog dlg;
    const INT_PTR result = Run(dlg, [](ProbeDialog& d) { d.PostMessage(WM_CLOSE); });
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_EQ(dlg.cancels, 1);
    EXPECT_EQ(dlg.oks, 0);
    EXPECT_EQ(dlg.destroys, 1);
}

TEST_F(FrameworkTest, EscapeEndsTheRunThroughOnCancel) {
    ProbeDialog dlg;
    const INT_PTR result =
        Run(dlg, [](ProbeDialog& d) { PostKey(::GetDlgItem(d.m_hWnd, IDOK), VK_ESCAPE); });
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_EQ(dlg.cancels, 1);
    EXPECT_EQ(dlg.oks, 0);
}

TEST_F(FrameworkTest, EnterEndsTheRunThroughOnOK) {
    ProbeDialog dlg;
    int exchangesBefore = -1;
    const INT_PTR result = Run(dlg, [&](ProbeDialog& d) {
        exchangesBefore = d.exchanges;
        PostKey(::GetDlgItem(d.m_hWnd, IDOK), VK_RETURN);
    });
    EXPECT_EQ(result, IDOK);
    EXPECT_EQ(dlg.oks, 1);
    EXPECT_EQ(dlg.cancels, 0);
    // OnOK exchanges the data once more before it ends the run.
    EXPECT_EQ(dlg.exchanges, exchangesBefore + 1);
}

// ---- Message maps ---------------------------------------------------------------------------

TEST_F(FrameworkTest, ClickedNotificationsReachTheHandlerBoundToTheirId) {
    ProbeDialog dlg;
    int afterBound = -1, afterOther = -1, afterOtherCode = -1;
    Run(dlg, [&](ProbeDialog& d) {
        d.SendMessage(WM_COMMAND, MAKEWPARAM(kBoundId, BN_CLICKED), 0);
        afterBound = d.clicked;
        d.SendMessage(WM_COMMAND, MAKEWPARAM(kOtherId, BN_CLICKED), 0);
        afterOther = d.clicked;
        d.SendMessage(WM_COMMAND, MAKEWPARAM(kBoundId, BN_DOUBLECLICKED), 0);
        afterOtherCode = d.clicked;
        d.EndDialog(IDOK);
    });
    EXPECT_EQ(afterBound, 1);
    EXPECT_EQ(afterOther, 1);
    EXPECT_EQ(afterOtherCode, 1);
    EXPECT_EQ(dlg.oks + dlg.cancels, 0) << "no other handler ran";
}

TEST_F(FrameworkTest, BoundMessagesReturnTheHandlersResultAndOthersGoToTheDefault) {
    ProbeDialog dlg;
    LRESULT probe = 0, unbound = -1;
    std::string text;
    Run(dlg, [&](ProbeDialog& d) {
        probe = d.SendMessage(kProbe, 40, 2);
        unbound = d.SendMessage(kUnbound, 40, 2);
        d.SetWindowText("probe title");
        char buf[64] = {};
        d.SendMessage(WM_GETTEXT, sizeof buf, reinterpret_cast<LPARAM>(buf));
        text = buf;
        d.EndDialog(IDOK);
    });
    EXPECT_EQ(probe, 42);
    EXPECT_EQ(dlg.probes, 1);
    EXPECT_EQ(unbound, 0);
    EXPECT_EQ(text, "probe title");
}

// ---- Styles and data exchange ---------------------------------------------------------------

TEST_F(FrameworkTest, ModifyStyleWritesOnlyWhenTheValueChanges) {
    ProbeDialog dlg;
    int directSame = -1, unchanged = -1, changed = -1, exUnchanged = -1, exChanged = -1;
    BOOL rUnchanged = TRUE, rChanged = FALSE, rExUnchanged = TRUE, rExChanged = FALSE;
    LONG styleAfter = 0, exAfter = 0;
    Run(dlg, [&](ProbeDialog& d) {
        // The control: writing the same value still reaches the window as a style change.
        int before = d.styleChanging;
        ::SetWindowLongA(d.m_hWnd, GWL_STYLE, ::GetWindowLongA(d.m_hWnd, GWL_STYLE));
        directSame = d.styleChanging - before;

        before = d.styleChanging;
        rUnchanged = d.ModifyStyle(0, WS_CAPTION);  // already there
        unchanged = d.styleChanging - before;
        before = d.styleChanging;
        rChanged = d.ModifyStyle(WS_SYSMENU, 0);
        changed = d.styleChanging - before;
        styleAfter = ::GetWindowLongA(d.m_hWnd, GWL_STYLE);

        before = d.styleChanging;
        rExUnchanged = d.ModifyStyleEx(WS_EX_TOOLWINDOW, 0);  // not there
        exUnchanged = d.styleChanging - before;
        before = d.styleChanging;
        rExChanged = d.ModifyStyleEx(0, WS_EX_TOOLWINDOW);
        exChanged = d.styleChanging - before;
        exAfter = ::GetWindowLongA(d.m_hWnd, GWL_EXSTYLE);
        d.EndDialog(IDOK);
    });
    ASSERT_EQ(directSame, 1) << "this platform reports no style writes; the test cannot tell";
    EXPECT_FALSE(rUnchanged);
    EXPECT_EQ(unchanged, 0);
    EXPECT_TRUE(rChanged);
    EXPECT_EQ(changed, 1);
    EXPECT_EQ(styleAfter & WS_SYSMENU, 0);
    EXPECT_EQ(styleAfter & WS_CAPTION, static_cast<LONG>(WS_CAPTION));
    EXPECT_FALSE(rExUnchanged);
    EXPECT_EQ(exUnchanged, 0);
    EXPECT_TRUE(rExChanged);
    EXPECT_EQ(exChanged, 1);
    EXPECT_EQ(exAfter & WS_EX_TOOLWINDOW, WS_EX_TOOLWINDOW);
}

TEST_F(FrameworkTest, DataExchangeBindsAControlOnce) {
    ProbeDialog dlg;
    HWND ok = nullptr, boundAtInit = nullptr, boundLater = nullptr;
    Run(dlg, [&](ProbeDialog& d) {
        ok = ::GetDlgItem(d.m_hWnd, IDOK);
        boundAtInit = d.button.m_hWnd;
        d.UpdateData(TRUE);
        d.UpdateData(FALSE);
        // A second binding to another control leaves the first in place.
        CDataExchange dx(&d, FALSE);
        DDX_Control(&dx, IDCANCEL, d.button);
        HWND other = ::GetWindow(d.m_hWnd, GW_CHILD);  // the icon, not the OK button
        if (other != ok)
            DDX_Control(&dx, ::GetDlgCtrlID(other), d.button);
        boundLater = d.button.m_hWnd;
        d.EndDialog(IDOK);
    });
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(boundAtInit, ok);
    EXPECT_EQ(boundLater, ok);
}

// ---- Strings and the main window ------------------------------------------------------------

TEST(FrameworkStrings, LoadStringKeepsTheJapaneseTextIntact) {
    theApp.m_hInstance = ::GetModuleHandleA(nullptr);
    const std::wstring expected = L"\uFF8A\uFF9E\uFF70\uFF7C\uFF9E\uFF6E\uFF9D\u60C5\u5831(&A)...";
    CString s;
    ASSERT_TRUE(s.LoadString(IDS_ABOUTBOX));
    // The bytes are the text in the program's code page, and they convert back unchanged.
    const int n =
        ::WideCharToMultiByte(CP_ACP, 0, expected.c_str(), static_cast<int>(expected.size()),
                              nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, expected.c_str(), static_cast<int>(expected.size()), &bytes[0],
                          n, nullptr, nullptr);
    EXPECT_EQ(std::string(s.GetString(), static_cast<size_t>(s.GetLength())), bytes);
    std::wstring back(static_cast<size_t>(s.GetLength()), L'\0');
    const int w = ::MultiByteToWideChar(CP_ACP, 0, s.GetString(), s.GetLength(), &back[0],
                                        static_cast<int>(back.size()));
    back.resize(static_cast<size_t>(w > 0 ? w : 0));
    EXPECT_EQ(back, expected) << "code page " << ::GetACP();
}

TEST_F(FrameworkTest, MainWindowPointerIsClearedWhenTheMainWindowIsDestroyed) {
    ProbeDialog dlg;
    theApp.m_pMainWnd = &dlg;
    CWnd* during = nullptr;
    Run(dlg, [&](ProbeDialog& d) {
        during = AfxGetMainWnd();
        d.PostMessage(WM_CLOSE);
    });
    EXPECT_TRUE(dlg.mainWndAtInit);
    EXPECT_EQ(during, &dlg);
    EXPECT_EQ(AfxGetMainWnd(), nullptr);
}

}  // namespace
