// A small application framework over Win32: the application object, windows with message
// maps, modal dialogs from templates, buttons, paint contexts and data exchange. It holds
// no application logic; the program's classes derive from it.
#pragma once

#include <windows.h>

#include "framework/afx_profile.h"
#include "framework/afx_string.h"

class CWnd;
class CDataExchange;

// One entry of a message map: a message (and for WM_COMMAND a notification code and
// control id) bound to a thunk that calls the member handler.
struct AFX_MSGMAP_ENTRY {
    UINT nMessage;
    UINT nCode;
    UINT nID;
    LRESULT (*pfnThunk)(void* self, WPARAM wParam, LPARAM lParam);
};

struct AFX_MSGMAP {
    const AFX_MSGMAP* (*pfnGetBaseMap)();
    const AFX_MSGMAP_ENTRY* lpEntries;
};

// Classes that take commands: windows and the application object.
class CCmdTarget {
public:
    virtual ~CCmdTarget() = default;
    // Calls the handler that the message maps bind to a command; false when there is none.
    virtual BOOL OnCmdMsg(UINT nID, int nCode);
    virtual const AFX_MSGMAP* GetMessageMap() const { return GetThisMessageMap(); }
    static const AFX_MSGMAP* GetThisMessageMap();

protected:
    // The first entry of the map chain for the message, or null.
    const AFX_MSGMAP_ENTRY* FindEntry(UINT message, UINT code, UINT id) const;
};

#define DECLARE_MESSAGE_MAP()                         \
protected:                                            \
    static const AFX_MSGMAP* GetThisMessageMap();     \
    const AFX_MSGMAP* GetMessageMap() const override; \
                                                      \
public:                                               \
    static const AFX_MSGMAP* BaseMessageMapOf();

#define BEGIN_MESSAGE_MAP(theClass, baseClass)          \
    const AFX_MSGMAP* theClass::GetMessageMap() const { \
        return GetThisMessageMap();                     \
    }                                                   \
    const AFX_MSGMAP* theClass::BaseMessageMapOf() {    \
        return baseClass::GetThisMessageMap();          \
    }                                                   \
    const AFX_MSGMAP* theClass::GetThisMessageMap() {   \
        using ThisClass = theClass;                     \
        static const AFX_MSGMAP_ENTRY entries[] = {
#define END_MESSAGE_MAP()                                                  \
    { 0, 0, 0, nullptr }                                                   \
    }                                                                      \
    ;                                                                      \
    static const AFX_MSGMAP map = {&ThisClass::BaseMessageMapOf, entries}; \
    return &map;                                                           \
    }

#define AFX_THIS(self) static_cast<ThisClass*>(static_cast<CCmdTarget*>(self))

#define ON_COMMAND(id, memberFn)                                   \
    {WM_COMMAND, 0, (id), [](void* s, WPARAM, LPARAM) -> LRESULT { \
         AFX_THIS(s)->memberFn();                                  \
         return 0;                                                 \
     }},
#define ON_BN_CLICKED(id, memberFn)                                         \
    {WM_COMMAND, BN_CLICKED, (id), [](void* s, WPARAM, LPARAM) -> LRESULT { \
         AFX_THIS(s)->memberFn();                                           \
         return 0;                                                          \
     }},
#define ON_MESSAGE(message, memberFn) \
    {(message), 0, 0,                 \
     [](void* s, WPARAM w, LPARAM l) -> LRESULT { return AFX_THIS(s)->memberFn(w, l); }},
#define ON_WM_CREATE()                                                      \
    {WM_CREATE, 0, 0, [](void* s, WPARAM, LPARAM l) -> LRESULT {            \
         return AFX_THIS(s)->OnCreate(reinterpret_cast<LPCREATESTRUCT>(l)); \
     }},
#define ON_WM_DESTROY()                                         \
    {WM_DESTROY, 0, 0, [](void* s, WPARAM, LPARAM) -> LRESULT { \
         AFX_THIS(s)->OnDestroy();                              \
         return 0;                                              \
     }},
#define ON_WM_PAINT()                                         \
    {WM_PAINT, 0, 0, [](void* s, WPARAM, LPARAM) -> LRESULT { \
         AFX_THIS(s)->OnPaint();                              \
         return 0;                                            \
     }},
#define ON_WM_QUERYDRAGICON()                                              \
    {WM_QUERYDRAGICON, 0, 0, [](void* s, WPARAM, LPARAM) -> LRESULT {      \
         return reinterpret_cast<LRESULT>(AFX_THIS(s)->OnQueryDragIcon()); \
     }},
#define ON_WM_SYSCOMMAND()                                             \
    {WM_SYSCOMMAND, 0, 0, [](void* s, WPARAM w, LPARAM l) -> LRESULT { \
         AFX_THIS(s)->OnSysCommand(static_cast<UINT>(w), l);           \
         return 0;                                                     \
     }},
#define ON_WM_NCHITTEST() \
    {WM_NCHITTEST, 0, 0,  \
     [](void* s, WPARAM, LPARAM l) -> LRESULT { return AFX_THIS(s)->OnNcHitTest(CPoint(l)); }},

// A point in screen coordinates, as mouse messages carry it.
struct CPoint : POINT {
    CPoint() : POINT{0, 0} {}
    explicit CPoint(LPARAM lParam)
        : POINT{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))} {}
};

class CWinApp : public CCmdTarget, public CProfileServices {
public:
    explicit CWinApp(const char* appName = nullptr);
    ~CWinApp() override;

    // Runs once after the framework's start-up; FALSE ends the program at once.
    virtual BOOL InitInstance() { return FALSE; }
    virtual int ExitInstance() { return 0; }

    // Nothing to do on today's Windows; kept for the start-up sequence.
    BOOL Enable3dControlsStatic() { return TRUE; }

    UINT GetProfileInt(const char* section, const char* key, int def) override;
    CString GetProfileString(const char* section, const char* key, const char* def) override;
    BOOL WriteProfileInt(const char* section, const char* key, int value) override;
    BOOL WriteProfileString(const char* section, const char* key, const char* value) override;

    void OnHelp() {}  // the program has no help file

    HINSTANCE m_hInstance = nullptr;
    const char* m_lpCmdLine = "";
    int m_nCmdShow = SW_SHOWNORMAL;
    CString m_pszProfileName;
    CString m_pszExeName;
    CWnd* m_pMainWnd = nullptr;

    // Framework start-up: records the instance, command line and names, runs InitInstance.
    int Run(HINSTANCE hInstance, int nCmdShow);
};

CWinApp* AfxGetApp();
HINSTANCE AfxGetInstanceHandle();
// The application's main window; from any thread.
CWnd* AfxGetMainWnd();

class CWnd : public CCmdTarget {
public:
    CWnd() = default;
    ~CWnd() override;
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;

    HWND m_hWnd = nullptr;
    HWND GetSafeHwnd() const { return m_hWnd; }
    operator HWND() const { return m_hWnd; }  // NOLINT

    // A wrapper for a window this framework does not own; valid until the thread ends.
    static CWnd* FromHandle(HWND hWnd);
    void Attach(HWND hWnd) { m_hWnd = hWnd; }
    HWND Detach();

    // Hands the current message to the window's original procedure.
    LRESULT Default();
    // Dispatches one message through the message maps; unbound messages go to Default.
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    // Routes a command through the message maps, then to the application.
    virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);
    virtual void DoDataExchange(CDataExchange*) {}
    // Binds or exchanges control data; TRUE moves controls to members.
    BOOL UpdateData(BOOL bSaveAndValidate = TRUE);

    void SetWindowText(const char* text) { ::SetWindowTextA(m_hWnd, text); }
    void SetDlgItemText(int id, const char* text) { ::SetDlgItemTextA(m_hWnd, id, text); }
    CWnd* GetDlgItem(int id) const { return FromHandle(::GetDlgItem(m_hWnd, id)); }
    BOOL ShowWindow(int nCmdShow) { return ::ShowWindow(m_hWnd, nCmdShow); }
    BOOL ModifyStyle(DWORD remove, DWORD add, UINT flags = 0);
    BOOL ModifyStyleEx(DWORD remove, DWORD add, UINT flags = 0);
    void MoveWindow(int x, int y, int width, int height, BOOL repaint = TRUE) {
        ::MoveWindow(m_hWnd, x, y, width, height, repaint);
    }
    CWnd* SetFocus() { return FromHandle(::SetFocus(m_hWnd)); }
    BOOL IsIconic() const { return ::IsIconic(m_hWnd); }
    BOOL GetWindowPlacement(WINDOWPLACEMENT* placement) const;
    void GetWindowRect(RECT* rect) const { ::GetWindowRect(m_hWnd, rect); }
    void GetClientRect(RECT* rect) const { ::GetClientRect(m_hWnd, rect); }
    HMENU GetSystemMenu(BOOL revert) const { return ::GetSystemMenu(m_hWnd, revert); }
    BOOL SetForegroundWindow() { return ::SetForegroundWindow(m_hWnd); }
    // Creates a top-level window of the framework's own class (double-clicks, redrawn
    // whole on resizing, no background: its owner paints everything) whose messages reach
    // this object's message maps from WM_NCCREATE on. FALSE when it could not be created.
    BOOL CreateTopLevel(DWORD exStyle, const char* title, DWORD style, const RECT& rect, HWND owner,
                        HICON icon);
    BOOL DestroyWindow() { return ::DestroyWindow(m_hWnd); }
    LRESULT SendMessage(UINT msg, WPARAM w = 0, LPARAM l = 0) {
        return ::SendMessageA(m_hWnd, msg, w, l);
    }
    BOOL PostMessage(UINT msg, WPARAM w = 0, LPARAM l = 0) {
        return ::PostMessageA(m_hWnd, msg, w, l);
    }

protected:
    void OnDestroy() {}
    // Subclasses `hWnd` so that its messages reach this object's message maps.
    void SubclassWindow(HWND hWnd);
    friend LRESULT CALLBACK AfxWndProc(HWND, UINT, WPARAM, LPARAM);

    WNDPROC m_pfnSuper = nullptr;
    UINT m_nMsg = 0;
    WPARAM m_wParam = 0;
    LPARAM m_lParam = 0;
    bool m_bDestroyDispatched = false;
};

class CButton : public CWnd {
public:
    int GetCheck() const { return static_cast<int>(::SendMessageA(m_hWnd, BM_GETCHECK, 0, 0)); }
    void SetCheck(int state) { ::SendMessageA(m_hWnd, BM_SETCHECK, state, 0); }
};

class CPaintDC {
public:
    explicit CPaintDC(CWnd* wnd) : m_hWndOwner(wnd->m_hWnd) {
        m_hDC = ::BeginPaint(m_hWndOwner, &m_ps);
    }
    ~CPaintDC() { ::EndPaint(m_hWndOwner, &m_ps); }
    CPaintDC(const CPaintDC&) = delete;
    CPaintDC& operator=(const CPaintDC&) = delete;
    HDC GetSafeHdc() const { return m_hDC; }
    BOOL DrawIcon(int x, int y, HICON icon) { return ::DrawIcon(m_hDC, x, y, icon); }

    HDC m_hDC = nullptr;
    PAINTSTRUCT m_ps{};

private:
    HWND m_hWndOwner;
};

class CDataExchange {
public:
    CDataExchange(CWnd* dlg, BOOL save) : m_pDlgWnd(dlg), m_bSaveAndValidate(save) {}
    CWnd* m_pDlgWnd;
    BOOL m_bSaveAndValidate;
};

// Binds a wrapper to dialog control `id`; a bound wrapper stays as it is.
void DDX_Control(CDataExchange* pDX, int id, CWnd& control);

class CDialog : public CWnd {
public:
    explicit CDialog(UINT templateId, CWnd* parent = nullptr)
        : m_nIDTemplate(templateId), m_pParentWnd(parent) {}

    // Creates the dialog from its template and runs it; -1 when the creation failed.
    virtual INT_PTR DoModal();
    virtual BOOL OnInitDialog();
    virtual void OnOK();
    virtual void OnCancel();
    void EndDialog(int result) { ::EndDialog(m_hWnd, result); }

    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
    // Called as the dialog's window is created, before WM_CREATE.
    void SubclassDialog(HWND hWnd);

protected:
    UINT m_nIDTemplate;
    CWnd* m_pParentWnd;

    DECLARE_MESSAGE_MAP()
};
