#include "framework/afx_win.h"

#include <map>
#include <memory>
#include <vector>

#include "framework/command_line.h"

namespace {

CWinApp* g_app = nullptr;

// Wrappers handed out by FromHandle for windows the framework does not own.
thread_local std::map<HWND, std::unique_ptr<CWnd>> t_temporaryWnds;

// The dialog being created on this thread, subclassed as its window appears.
thread_local CDialog* t_creatingDialog = nullptr;
thread_local HHOOK t_creationHook = nullptr;

const char kWndProp[] = "vornbar.CWnd";

CWnd* WndFromHandle(HWND hWnd) {
    return static_cast<CWnd*>(::GetPropA(hWnd, kWndProp));
}

}  // namespace

// ---- CCmdTarget -------------------------------------------------------------------------

const AFX_MSGMAP* CCmdTarget::GetThisMessageMap() {
    static const AFX_MSGMAP_ENTRY entries[] = {{0, 0, 0, nullptr}};
    static const AFX_MSGMAP map = {nullptr, entries};
    return &map;
}

const AFX_MSGMAP_ENTRY* CCmdTarget::FindEntry(UINT message, UINT code, UINT id) const {
    for (const AFX_MSGMAP* map = GetMessageMap(); map != nullptr;
         map = map->pfnGetBaseMap ? map->pfnGetBaseMap() : nullptr) {
        for (const AFX_MSGMAP_ENTRY* e = map->lpEntries; e->pfnThunk != nullptr; ++e) {
            if (e->nMessage == message && e->nCode == code && e->nID == id)
                return e;
        }
    }
    return nullptr;
}

BOOL CCmdTarget::OnCmdMsg(UINT nID, int nCode) {
    const AFX_MSGMAP_ENTRY* e = FindEntry(WM_COMMAND, static_cast<UINT>(nCode), nID);
    if (e == nullptr)
        return FALSE;
    e->pfnThunk(this, 0, 0);
    return TRUE;
}

// ---- CWinApp ----------------------------------------------------------------------------

CWinApp::CWinApp(const char* appName) {
    (void)appName;  // the application is always named after its executable
    g_app = this;
}

CWinApp::~CWinApp() {
    if (g_app == this)
        g_app = nullptr;
}

int CWinApp::Run(HINSTANCE hInstance, int nCmdShow) {
    m_hInstance = hInstance;
    m_nCmdShow = nCmdShow;
    m_lpCmdLine = SkipProgramName(::GetCommandLineA());
    char path[MAX_PATH] = {};
    ::GetModuleFileNameA(hInstance, path, MAX_PATH);
    const std::string profile = ProfileNameForModule(path);
    m_pszProfileName = profile.c_str();
    m_pszExeName = profile.substr(0, profile.size() - 4).c_str();
    // The program runs no message loop of its own: its life is InitInstance (the modal bar),
    // so whether InitInstance succeeds or not, what follows is ExitInstance.
    InitInstance();
    return ExitInstance();
}

UINT CWinApp::GetProfileInt(const char* section, const char* key, int def) {
    return ::GetPrivateProfileIntA(section, key, def, m_pszProfileName);
}

CString CWinApp::GetProfileString(const char* section, const char* key, const char* def) {
    std::vector<char> buffer(PROFILE_STRING_BUFFER);
    ::GetPrivateProfileStringA(section, key, def ? def : "", buffer.data(),
                               static_cast<DWORD>(buffer.size()), m_pszProfileName);
    buffer.back() = '\0';
    return CString(buffer.data());
}

BOOL CWinApp::WriteProfileInt(const char* section, const char* key, int value) {
    char text[16];
    ::wsprintfA(text, "%d", value);
    return ::WritePrivateProfileStringA(section, key, text, m_pszProfileName);
}

BOOL CWinApp::WriteProfileString(const char* section, const char* key, const char* value) {
    return ::WritePrivateProfileStringA(section, key, value, m_pszProfileName);
}

CWinApp* AfxGetApp() {
    return g_app;
}
HINSTANCE AfxGetInstanceHandle() {
    return g_app ? g_app->m_hInstance : ::GetModuleHandleA(nullptr);
}
CWnd* AfxGetMainWnd() {
    return g_app ? g_app->m_pMainWnd : nullptr;
}

// ---- CWnd -------------------------------------------------------------------------------

LRESULT CALLBACK AfxWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    CWnd* wnd = WndFromHandle(hWnd);
    if (wnd == nullptr)
        return ::DefWindowProcA(hWnd, message, wParam, lParam);
    const UINT savedMsg = wnd->m_nMsg;
    const WPARAM savedW = wnd->m_wParam;
    const LPARAM savedL = wnd->m_lParam;
    wnd->m_nMsg = message;
    wnd->m_wParam = wParam;
    wnd->m_lParam = lParam;
    LRESULT result;
    if (message == WM_DESTROY && wnd->m_bDestroyDispatched) {
        result = wnd->Default();  // the teardown already ran after a failed creation
    } else {
        if (message == WM_DESTROY)
            wnd->m_bDestroyDispatched = true;
        result = wnd->WindowProc(message, wParam, lParam);
    }
    if (message == WM_CREATE && result == -1 && !wnd->m_bDestroyDispatched) {
        // A window whose creation fails is destroyed at once, and its teardown must run
        // exactly once whether or not the platform then delivers WM_DESTROY.
        wnd->m_bDestroyDispatched = true;
        wnd->m_nMsg = WM_DESTROY;
        wnd->m_wParam = 0;
        wnd->m_lParam = 0;
        wnd->WindowProc(WM_DESTROY, 0, 0);
    }
    wnd->m_nMsg = savedMsg;
    wnd->m_wParam = savedW;
    wnd->m_lParam = savedL;
    if (message == WM_NCDESTROY) {
        const WNDPROC super = wnd->m_pfnSuper;
        ::RemovePropA(hWnd, kWndProp);
        // A window of the framework's own class has no procedure beneath to put back.
        if (super != nullptr)
            ::SetWindowLongPtrA(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(super));
        wnd->m_hWnd = nullptr;
        if (g_app != nullptr && g_app->m_pMainWnd == wnd)
            g_app->m_pMainWnd = nullptr;
    }
    return result;
}

CWnd::~CWnd() {
    if (m_hWnd != nullptr && WndFromHandle(m_hWnd) == this)
        ::DestroyWindow(m_hWnd);
}

CWnd* CWnd::FromHandle(HWND hWnd) {
    if (hWnd == nullptr)
        return nullptr;
    if (CWnd* wnd = WndFromHandle(hWnd))
        return wnd;
    std::unique_ptr<CWnd>& slot = t_temporaryWnds[hWnd];
    if (!slot)
        slot = std::make_unique<CWnd>();
    slot->m_hWnd = hWnd;
    return slot.get();
}

HWND CWnd::Detach() {
    HWND hWnd = m_hWnd;
    m_hWnd = nullptr;
    return hWnd;
}

void CWnd::SubclassWindow(HWND hWnd) {
    m_hWnd = hWnd;
    ::SetPropA(hWnd, kWndProp, this);
    m_pfnSuper = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrA(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&AfxWndProc)));
}

namespace {

const char kTopLevelClass[] = "VornbarWindow";

// The procedure of the framework's own class: binds the object handed to CreateWindowEx at
// WM_NCCREATE, then hands every message to the message maps.
LRESULT CALLBACK TopLevelProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE && WndFromHandle(hWnd) == nullptr) {
        const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
        if (auto* wnd = static_cast<CWnd*>(create->lpCreateParams)) {
            wnd->m_hWnd = hWnd;
            ::SetPropA(hWnd, kWndProp, wnd);
        }
    }
    return AfxWndProc(hWnd, message, wParam, lParam);
}

}  // namespace

BOOL CWnd::CreateTopLevel(DWORD exStyle, const char* title, DWORD style, const RECT& rect,
                          HWND owner, HICON icon) {
    const HINSTANCE instance = AfxGetInstanceHandle();
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    if (!::GetClassInfoExA(instance, kTopLevelClass, &wc)) {
        wc = WNDCLASSEXA{};
        wc.cbSize = sizeof wc;
        wc.style = CS_DBLCLKS | CS_HREDRAW | CS_VREDRAW;
        wc.lpfnWndProc = &TopLevelProc;
        wc.hInstance = instance;
        wc.hCursor = ::LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
        wc.lpszClassName = kTopLevelClass;
        if (!::RegisterClassExA(&wc))
            return FALSE;
    }
    HWND hWnd = ::CreateWindowExA(exStyle, kTopLevelClass, title, style, rect.left, rect.top,
                                  rect.right - rect.left, rect.bottom - rect.top, owner, nullptr,
                                  instance, this);
    if (hWnd == nullptr) {
        m_hWnd = nullptr;
        return FALSE;
    }
    if (icon != nullptr) {
        ::SendMessageA(hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
        ::SendMessageA(hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
    }
    return TRUE;
}

LRESULT CWnd::Default() {
    if (m_pfnSuper == nullptr)
        return ::DefWindowProcA(m_hWnd, m_nMsg, m_wParam, m_lParam);
    return ::CallWindowProcA(m_pfnSuper, m_hWnd, m_nMsg, m_wParam, m_lParam);
}

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COMMAND) {
        if (OnCommand(wParam, lParam))
            return 0;
        return Default();
    }
    if (const AFX_MSGMAP_ENTRY* e = FindEntry(message, 0, 0)) {
        return e->pfnThunk(static_cast<CCmdTarget*>(this), wParam, lParam);
    }
    return Default();
}

BOOL CWnd::OnCommand(WPARAM wParam, LPARAM) {
    const UINT id = LOWORD(wParam);
    const int code = HIWORD(wParam);
    if (OnCmdMsg(id, code))
        return TRUE;
    // Menu and accelerator commands that the window does not take go to the application.
    if (code == 0 && g_app != nullptr && g_app->OnCmdMsg(id, code))
        return TRUE;
    return FALSE;
}

BOOL CWnd::UpdateData(BOOL bSaveAndValidate) {
    CDataExchange dx(this, bSaveAndValidate);
    DoDataExchange(&dx);
    return TRUE;
}

static BOOL ChangeStyle(HWND hWnd, int index, DWORD remove, DWORD add, UINT flags) {
    const DWORD old = static_cast<DWORD>(::GetWindowLongA(hWnd, index));
    const DWORD changed = (old & ~remove) | add;
    if (changed == old)
        return FALSE;
    ::SetWindowLongA(hWnd, index, static_cast<LONG>(changed));
    if (flags != 0) {
        ::SetWindowPos(hWnd, nullptr, 0, 0, 0, 0,
                       SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE | flags);
    }
    return TRUE;
}

BOOL CWnd::ModifyStyle(DWORD remove, DWORD add, UINT flags) {
    return ChangeStyle(m_hWnd, GWL_STYLE, remove, add, flags);
}

BOOL CWnd::ModifyStyleEx(DWORD remove, DWORD add, UINT flags) {
    return ChangeStyle(m_hWnd, GWL_EXSTYLE, remove, add, flags);
}

BOOL CWnd::GetWindowPlacement(WINDOWPLACEMENT* placement) const {
    placement->length = sizeof(WINDOWPLACEMENT);
    return ::GetWindowPlacement(m_hWnd, placement);
}

void DDX_Control(CDataExchange* pDX, int id, CWnd& control) {
    if (control.m_hWnd != nullptr)
        return;
    control.Attach(::GetDlgItem(pDX->m_pDlgWnd->m_hWnd, id));
}

// ---- CDialog ----------------------------------------------------------------------------

BEGIN_MESSAGE_MAP(CDialog, CWnd)
ON_COMMAND(IDOK, OnOK)
ON_COMMAND(IDCANCEL, OnCancel)
END_MESSAGE_MAP()

namespace {

LRESULT CALLBACK CreationHook(int code, WPARAM wParam, LPARAM lParam) {
    HHOOK hook = t_creationHook;
    if (code == HCBT_CREATEWND && t_creatingDialog != nullptr) {
        // The dialog's own window is the first one created after the hook is set; its
        // controls come later, once WM_CREATE has been handled.
        CDialog* dialog = t_creatingDialog;
        t_creatingDialog = nullptr;
        ::UnhookWindowsHookEx(hook);
        t_creationHook = nullptr;
        dialog->SubclassDialog(reinterpret_cast<HWND>(wParam));
    }
    return ::CallNextHookEx(hook, code, wParam, lParam);
}

INT_PTR CALLBACK DialogProc(HWND, UINT, WPARAM, LPARAM) {
    return FALSE;  // every message is handled by the subclassed window procedure
}

}  // namespace

void CDialog::SubclassDialog(HWND hWnd) {
    SubclassWindow(hWnd);
}

INT_PTR CDialog::DoModal() {
    // Without a parent of its own a dialog is owned by the main window, which it disables
    // while it runs; the main window itself has no owner.
    HWND parent = m_pParentWnd ? m_pParentWnd->m_hWnd : nullptr;
    if (parent == nullptr && AfxGetMainWnd() != nullptr && AfxGetMainWnd() != this) {
        parent = AfxGetMainWnd()->m_hWnd;
    }
    t_creatingDialog = this;
    t_creationHook = ::SetWindowsHookExA(WH_CBT, &CreationHook, nullptr, ::GetCurrentThreadId());
    const INT_PTR result = ::DialogBoxParamA(
        AfxGetInstanceHandle(), MAKEINTRESOURCEA(m_nIDTemplate), parent, &DialogProc, 0);
    if (t_creationHook != nullptr) {  // no window was created at all
        ::UnhookWindowsHookEx(t_creationHook);
        t_creationHook = nullptr;
        t_creatingDialog = nullptr;
    }
    m_hWnd = nullptr;
    return result;
}

LRESULT CDialog::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    // The dialog manager reads the focus decision from this message's result.
    if (message == WM_INITDIALOG)
        return OnInitDialog();
    return CWnd::WindowProc(message, wParam, lParam);
}

BOOL CDialog::OnInitDialog() {
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::OnOK() {
    if (!UpdateData(TRUE))
        return;
    EndDialog(IDOK);
}

void CDialog::OnCancel() {
    EndDialog(IDCANCEL);
}
