#include "tests/e2e/inproc/inproc_bar.h"

#include <mutex>

#include "app/bar_dlg.h"
#include "framework/afx_win.h"
#include "tray/tray_icon.h"

namespace vorn::e2e::inproc {

namespace {

using Clock = std::chrono::steady_clock;

bool Expired(Clock::time_point start, DWORD timeoutMs) {
    return Clock::now() - start >= std::chrono::milliseconds(timeoutMs);
}

// The application object of the test program, filled in as the framework's start-up would.
class HarnessApp : public CWinApp {
public:
    HarnessApp() : CWinApp(nullptr) {}
};

HarnessApp& App() {
    static HarnessApp app;
    return app;
}

std::mutex g_callsMutex;
std::vector<ShellCall> g_calls;

BOOL WINAPI RecordShellCall(DWORD message, PNOTIFYICONDATAA data) {
    ShellCall call;
    call.message = message;
    call.cbSize = data->cbSize;
    call.hWnd = data->hWnd;
    call.uID = data->uID;
    call.uFlags = data->uFlags;
    call.uCallbackMessage = data->uCallbackMessage;
    call.hIcon = data->hIcon;
    call.tip.assign(data->szTip, strnlen(data->szTip, sizeof data->szTip));
    call.threadId = GetCurrentThreadId();
    call.at = Clock::now();
    std::lock_guard<std::mutex> lock(g_callsMutex);
    g_calls.push_back(call);
    return TRUE;
}

std::string ClassOf(HWND hwnd) {
    char name[64] = {};
    GetClassNameA(hwnd, name, sizeof name);
    return name;
}

struct ThreadQuery {
    const char* className;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectThreadWindow(HWND hwnd, LPARAM lp) {
    auto* q = reinterpret_cast<ThreadQuery*>(lp);
    if (IsWindowVisible(hwnd) && (q->className == nullptr || ClassOf(hwnd) == q->className))
        q->found.push_back(hwnd);
    return TRUE;
}

}  // namespace

// ---- ShellRecorder ------------------------------------------------------------------------------

ShellRecorder::ShellRecorder() {
    {
        std::lock_guard<std::mutex> lock(g_callsMutex);
        g_calls.clear();
    }
    CTrayIcon::SetShellNotifyForTest(&RecordShellCall);
}

ShellRecorder::~ShellRecorder() {
    CTrayIcon::SetShellNotifyForTest(nullptr);
}

std::vector<ShellCall> ShellRecorder::Calls() const {
    std::lock_guard<std::mutex> lock(g_callsMutex);
    return g_calls;
}

bool ShellRecorder::WaitForCalls(size_t count, DWORD timeoutMs) const {
    const auto start = Clock::now();
    while (Calls().size() < count) {
        if (Expired(start, timeoutMs))
            return false;
        Sleep(5);
    }
    return true;
}

// ---- InProcBar ----------------------------------------------------------------------------------

InProcBar::~InProcBar() {
    if (thread_ == nullptr)
        return;
    if (WaitForSingleObject(thread_, 0) != WAIT_OBJECT_0 && hwnd_ != nullptr)
        PostMessageA(hwnd_, WM_CLOSE, 0, 0);
    WaitForExit(10000);
    if (thread_ != nullptr)
        CloseHandle(thread_);
}

bool InProcBar::Start(const std::string& commandTail) {
    if (thread_ != nullptr)
        return false;
    commandTail_ = commandTail;
    HarnessApp& app = App();
    app.m_hInstance = GetModuleHandleA(nullptr);
    app.m_lpCmdLine = commandTail_.c_str();
    app.m_pszProfileName = kProfileName;
    app.m_pszExeName = "VORNBAR";
    thread_ = CreateThread(nullptr, 0, &ThreadProc, this, 0, &threadId_);
    return thread_ != nullptr;
}

DWORD WINAPI InProcBar::ThreadProc(LPVOID param) {
    auto* self = static_cast<InProcBar*>(param);
    CBarDlg dlg(nullptr);
    App().m_pMainWnd = &dlg;
    self->result_ = dlg.DoModal();
    App().m_pMainWnd = nullptr;
    return 0;
}

HWND InProcBar::WaitForBar(DWORD timeoutMs) {
    const auto start = Clock::now();
    for (;;) {
        for (HWND w : ThreadWindows(threadId_, "#32770")) {
            // The initialisation ends by giving the top-most button the focus.
            GUITHREADINFO gti{};
            gti.cbSize = sizeof gti;
            if (GetGUIThreadInfo(threadId_, &gti) && gti.hwndFocus != nullptr &&
                GetDlgCtrlID(gti.hwndFocus) == IDC_TOPMOST && GetParent(gti.hwndFocus) == w) {
                hwnd_ = w;
                return w;
            }
        }
        if (WaitForSingleObject(thread_, 0) == WAIT_OBJECT_0 || Expired(start, timeoutMs))
            return nullptr;
        Sleep(5);
    }
}

bool InProcBar::WaitForExit(DWORD timeoutMs) {
    if (thread_ == nullptr)
        return true;
    return WaitForSingleObject(thread_, timeoutMs) == WAIT_OBJECT_0;
}

// ---- Menus --------------------------------------------------------------------------------------

std::vector<HWND> ThreadWindows(DWORD threadId, const char* className) {
    ThreadQuery q{className, {}};
    // Pop-up menus are top-level windows of the thread that tracks them.
    EnumThreadWindows(threadId, &CollectThreadWindow, reinterpret_cast<LPARAM>(&q));
    return q.found;
}

HWND OpenPopupMenu(DWORD threadId) {
    const auto menus = ThreadWindows(threadId, "#32768");
    return menus.empty() ? nullptr : menus.front();
}

HWND WaitForPopupMenu(DWORD threadId, DWORD timeoutMs) {
    const auto start = Clock::now();
    for (;;) {
        if (HWND menu = OpenPopupMenu(threadId))
            return menu;
        if (Expired(start, timeoutMs))
            return nullptr;
        Sleep(2);
    }
}

bool WaitForNoPopupMenu(DWORD threadId, DWORD timeoutMs) {
    const auto start = Clock::now();
    while (OpenPopupMenu(threadId) != nullptr) {
        if (Expired(start, timeoutMs))
            return false;
        Sleep(2);
    }
    return true;
}

HMENU MenuOfPopup(HWND popup) {
    return reinterpret_cast<HMENU>(SendMessageW(popup, MN_GETHMENU, 0, 0));
}

std::vector<MenuItem> ReadMenu(HMENU menu) {
    std::vector<MenuItem> items;
    const int count = GetMenuItemCount(menu);
    for (int i = 0; i < count; ++i) {
        wchar_t text[128] = {};
        MENUITEMINFOW mii{};
        mii.cbSize = sizeof mii;
        mii.fMask = MIIM_ID | MIIM_FTYPE | MIIM_STATE | MIIM_STRING;
        mii.dwTypeData = text;
        mii.cch = 127;
        if (!GetMenuItemInfoW(menu, static_cast<UINT>(i), TRUE, &mii))
            break;
        MenuItem item;
        item.id = mii.wID;
        item.type = mii.fType;
        item.state = mii.fState;
        item.text.assign(text, mii.cch < 127 ? mii.cch : 127);
        items.push_back(item);
    }
    return items;
}

void PressMenuKey(HWND popup, UINT vk) {
    const UINT scan = MapVirtualKeyA(vk, MAPVK_VK_TO_VSC);
    const LPARAM down = 1 | (static_cast<LPARAM>(scan) << 16);
    PostMessageA(popup, WM_KEYDOWN, vk, down);
    PostMessageA(popup, WM_KEYUP, vk, down | (LPARAM{1} << 30) | (LPARAM{1} << 31));
}

int LiveMenus() {
    // User handles are small numbers; a handle without its generation names whatever object
    // holds that slot now.
    int live = 0;
    for (UINT_PTR h = 0x20; h < 0x10000; h += 2) {
        if (IsMenu(reinterpret_cast<HMENU>(h)))
            ++live;
    }
    return live;
}

}  // namespace vorn::e2e::inproc
