#include "app/bar_dlg.h"

#include <algorithm>
#include <cstring>

#include "app/about_dlg.h"
#include "app/display_text.h"
#include "app/integrity.h"

namespace {

// A slot that shows a reading in alarm: white text on red.
constexpr COLORREF kAlarmText = RGB(255, 255, 255);
constexpr COLORREF kAlarmBackground = RGB(255, 0, 0);

}  // namespace

BEGIN_MESSAGE_MAP(CBarDlg, CDialog)
ON_WM_SYSCOMMAND()
ON_WM_PAINT()
ON_WM_QUERYDRAGICON()
ON_BN_CLICKED(IDC_EXIT, OnClickExit)
ON_WM_CREATE()
ON_WM_DESTROY()
ON_BN_CLICKED(IDC_TOPMOST, OnClickTopMost)
ON_BN_CLICKED(IDC_SAVEINI, OnClickSaveIni)
ON_MESSAGE(WM_TRAY_NOTIFY, OnTrayNotify)
ON_MESSAGE(WM_BAR_REFRESH, OnBarRefresh)
ON_BN_CLICKED(IDC_INDICATOR, OnClickIndicator)
ON_WM_NCHITTEST()
ON_MESSAGE(WM_BAR_STATUS, OnStatusRequest)
ON_MESSAGE(WM_BAR_ERRORS, OnErrorsChanged)
END_MESSAGE_MAP()

CBarDlg::CBarDlg(CWnd* pParent) : CDialog(IDD_BAR, pParent), m_poller(*this) {
    m_pApp = AfxGetApp();
    m_hIcon = ::LoadIconA(AfxGetInstanceHandle(), MAKEINTRESOURCEA(IDR_MAINFRAME));
    m_hThread = nullptr;
    m_dwThreadId = 0;
    m_strSection = "VORNBAR";
    m_nErrorCounter = 0;
    for (int s = 0; s < BAR_SLOTS; ++s)
        m_nSlotId[s] = IDC_SLOT00 + s;
    std::memset(&m_data, 0, sizeof m_data);
}

CBarDlg::~CBarDlg() = default;

void CBarDlg::DoDataExchange(CDataExchange* pDX) {
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_SAVEINI, m_btnSaveIni);
    DDX_Control(pDX, IDC_TOPMOST, m_btnTopMost);
}

// ---- Lifecycle --------------------------------------------------------------------------

int CBarDlg::OnCreate(LPCREATESTRUCT) {
    if (Default() == -1)
        return -1;
    m_dwUiThreadId = ::GetCurrentThreadId();
    if (!ExecutableIsIntact())
        return -1;
    if (m_pApp->m_lpCmdLine[0] != '\0')
        m_strSection = m_pApp->m_lpCmdLine;
    LoadSettings();
    if (!m_plugin.Create(m_strHostName))
        return -1;

    m_strTitle = FormatWindowTitle(*this);
    SetWindowText(m_strTitle);

    TRAYICONINFO info{};
    info.hInstance = AfxGetInstanceHandle();
    info.hWnd = m_hWnd;
    info.uID = 0;  // made from the section: the same at every start of this instance
    info.pszInstance = m_strSection;
    m_tray.Create(info, TRAY_SLOTS);
    m_tray.SetCallbackMessage(WM_TRAY_NOTIFY);
    m_tray.SetTip(m_strTitle);
    for (unsigned int slot = 0; slot < TRAY_SLOTS; ++slot)
        m_tray.AddIcon(TraySlotIcon(slot));
    m_hAlarmBrush = ::CreateSolidBrush(kAlarmBackground);

    m_hThread = ::CreateThread(nullptr, 0, &CBarPoller::ThreadProc, &m_poller, 0, &m_dwThreadId);
    if (m_hThread == nullptr)
        return -1;
    return 0;
}

BOOL CBarDlg::OnInitDialog() {
    CDialog::OnInitDialog();

    if (HMENU sysMenu = GetSystemMenu(FALSE)) {
        CString about;
        about.LoadString(IDS_ABOUTBOX);
        if (!about.IsEmpty()) {
            ::AppendMenuA(sysMenu, MF_SEPARATOR, 0, nullptr);
            ::AppendMenuA(sysMenu, MF_STRING, IDM_ABOUTBOX, about);
        }
    }
    SendMessage(WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    ShowWindow(SW_HIDE);
    ModifyStyleEx(WS_EX_APPWINDOW, WS_EX_TOOLWINDOW, 0);
    ModifyStyle(WS_CAPTION | WS_SYSMENU, WS_DLGFRAME, 0);
    const BarRect rc = KeepOnScreen(m_rcWindow);
    MoveWindow(rc.left, rc.top, rc.right - rc.left, rc.bottom - rc.top, TRUE);
    m_bPlaced = true;
    SetTopMost(m_bTopMost);
    ShowStatusSlot(static_cast<BYTE>(m_nStatusMode & 0xFF));
    if (IsIconic())
        ::OpenIcon(m_hWnd);
    ShowWindow(SW_SHOW);
    m_tray.Add();
    ::SendMessageA(m_btnTopMost.m_hWnd, BM_SETCHECK, static_cast<WPARAM>(m_bTopMost), 0);
    ::SendMessageA(m_btnSaveIni.m_hWnd, BM_SETCHECK, static_cast<WPARAM>(m_bSaveIni), 0);
    GetDlgItem(IDC_TOPMOST)->SetFocus();
    return FALSE;
}

void CBarDlg::OnDestroy() {
    Default();
    StopMonitorThread();
    // With the plug-in cancelled (again, should the monitor thread never have started), a
    // history read in progress ends at once; the window keeps its rectangle and span in the
    // settings as it closes.
    m_plugin.Cancel();
    if (m_history.m_hWnd != nullptr)
        m_history.DestroyWindow();
    m_historyFetcher.Stop();
    m_plugin.Destroy();
    m_tray.Delete();
    m_tray.Destroy();
    if (m_hAlarmBrush != nullptr) {
        ::DeleteObject(m_hAlarmBrush);
        m_hAlarmBrush = nullptr;
    }
    SaveSettings();
}

void CBarDlg::StopMonitorThread() {
    if (m_hThread == nullptr)
        return;
    m_stop.Raise();
    m_plugin.Cancel();
    // The thread may be inside a slot write, which waits for this thread: keep taking sent
    // messages until it has ended.
    for (;;) {
        const DWORD r = ::MsgWaitForMultipleObjects(1, &m_hThread, FALSE, INFINITE, QS_SENDMESSAGE);
        if (r != WAIT_OBJECT_0 + 1)
            break;
        MSG msg;
        ::PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
    ::CloseHandle(m_hThread);
    m_hThread = nullptr;
    m_dwThreadId = 0;
}

bool CBarDlg::OnUserInterfaceThread() const {
    return ::GetCurrentThreadId() == m_dwUiThreadId;
}

// ---- Settings ---------------------------------------------------------------------------

void CBarDlg::LoadSettings() {
    RECT rc{};
    GetWindowRect(&rc);
    LoadBarSettings(*this, *m_pApp, BarRect{rc.left, rc.top, rc.right, rc.bottom});
    m_bSettingsLoaded = true;
}

void CBarDlg::SaveSettings() {
    // A creation that failed before loading leaves nothing worth writing.
    if (!m_bSettingsLoaded)
        return;
    m_history.StoreSettings();
    if (!m_bPlaced) {
        // The bar was never moved to its stored rectangle: keep the stored edges.
        SaveBarSettings(*this, *m_pApp, nullptr);
        return;
    }
    WINDOWPLACEMENT wp{};
    GetWindowPlacement(&wp);
    const RECT& r = wp.rcNormalPosition;
    const BarRect placement{r.left, r.top, r.right, r.bottom};
    SaveBarSettings(*this, *m_pApp, &placement);
}

// ---- Display ----------------------------------------------------------------------------

void CBarDlg::WriteSlot(int slot, const char* text) {
    if (slot < 0 || slot >= BAR_SLOTS)
        return;
    if (!OnUserInterfaceThread() && m_stop.Raised())
        return;
    SetDlgItemText(m_nSlotId[slot], text);
}

void CBarDlg::FormatReadings(int valid) {
    // The colours first, so that each slot is painted once with its new text and colour.
    m_nAlarmMask = valid ? m_plugin.GetAlarmMask() : 0;
    const unsigned int slots = SlotsInAlarm(m_nIndicator, m_nAlarmMask);
    const unsigned int before = __atomic_exchange_n(&m_nAlarmSlots, slots, __ATOMIC_ACQ_REL);
    for (int item = 1; item <= BAR_LABELS; ++item) {
        const CString& label = m_strLabel[item - 1];
        m_strLine[item - 1] = valid ? FormatValueLine(item, label, m_data.szText[FieldOfItem(item)])
                                    : FormatErrorLine(label);
    }
    for (int item = 1; item <= BAR_LABELS; ++item) {
        WriteSlot(SlotOfItem(m_nIndicator, item), m_strLine[item - 1]);
    }
    // A slot whose colour changed while its text did not is repainted too.
    const unsigned int changed = before ^ slots;
    for (int slot = 0; slot < BAR_SLOTS; ++slot) {
        if ((changed & (1u << slot)) && !m_stop.Raised())
            ::InvalidateRect(::GetDlgItem(m_hWnd, m_nSlotId[slot]), nullptr, TRUE);
    }
}

HBRUSH CBarDlg::AlarmColours(HDC dc, HWND control) const {
    const unsigned int slots = __atomic_load_n(&m_nAlarmSlots, __ATOMIC_ACQUIRE);
    if (slots == 0 || m_hAlarmBrush == nullptr)
        return nullptr;
    const int id = ::GetDlgCtrlID(control);
    for (int slot = 0; slot < BAR_SLOTS; ++slot) {
        if (m_nSlotId[slot] == id && (slots & (1u << slot))) {
            ::SetTextColor(dc, kAlarmText);
            ::SetBkColor(dc, kAlarmBackground);
            return m_hAlarmBrush;
        }
    }
    return nullptr;
}

void CBarDlg::ShowStatusSlot(BYTE mode) {
    if (!OnUserInterfaceThread()) {
        // The status belongs to the user-interface thread; the request waits for it there.
        if (!m_stop.Raised())
            ::SendMessageA(m_hWnd, WM_BAR_STATUS, mode, 0);
        return;
    }
    if (mode <= STATUS_ERRORS) {
        m_strStatus =
            FormatStatusText(mode, *this, __atomic_load_n(&m_nErrorCounter, __ATOMIC_ACQUIRE));
        m_nStatusMode = mode;
    } else if (mode == STATUS_NEXT) {
        const int next = NextStatusMode(m_nStatusMode);
        if (next >= 0) {
            ShowStatusSlot(static_cast<BYTE>(next));
            return;
        }
    }
    WriteSlot(SlotOfItem(m_nIndicator, 0), m_strStatus);
}

LRESULT CBarDlg::OnStatusRequest(WPARAM wParam, LPARAM) {
    ShowStatusSlot(static_cast<BYTE>(wParam));
    return 0;
}

LRESULT CBarDlg::OnErrorsChanged(WPARAM, LPARAM) {
    if (m_nStatusMode == STATUS_ERRORS)
        ShowStatusSlot(STATUS_ERRORS);
    return 0;
}

// ---- Commands and window behaviour ------------------------------------------------------

LRESULT CBarDlg::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    // The shell forgets every icon when it restarts; it then tells each top-level window.
    static const UINT taskbarCreated = ::RegisterWindowMessageA("TaskbarCreated");
    if (message == taskbarCreated && taskbarCreated != 0) {
        m_tray.Restore();
        return 0;
    }
    // A double-click on a value slot opens the history on that reading. The slots let mouse
    // messages through to the bar, which takes them as its caption unless it is stuck.
    if (message == WM_NCLBUTTONDBLCLK || message == WM_LBUTTONDBLCLK) {
        POINT pt{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
        if (message == WM_LBUTTONDBLCLK)
            ::ClientToScreen(m_hWnd, &pt);
        const int field = FieldAtScreenPoint(pt);
        if (field >= 0) {
            OpenHistory(field);
            return 0;
        }
    }
    if (message == WM_CTLCOLORSTATIC) {
        if (HBRUSH brush =
                AlarmColours(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam)))
            return reinterpret_cast<LRESULT>(brush);
    }
    return CDialog::WindowProc(message, wParam, lParam);
}

LRESULT CBarDlg::OnTrayNotify(WPARAM, LPARAM lParam) {
    if (lParam == WM_LBUTTONDOWN) {
        SetForegroundWindow();
        SetFocus();
    }
    if (lParam == WM_RBUTTONDOWN) {
        POINT pt{};
        ::GetCursorPos(&pt);
        SetForegroundWindow();
        SetFocus();
        if (HMENU menu = ::LoadMenuA(AfxGetInstanceHandle(), MAKEINTRESOURCEA(IDR_TRAYMENU))) {
            HMENU popup = ::GetSubMenu(menu, 0);
            if (m_bTopMost)
                ::CheckMenuItem(popup, ID_MENU_TOPMOST, MF_CHECKED);
            if (m_bStick)
                ::CheckMenuItem(popup, ID_MENU_STICK, MF_CHECKED);
            if (m_bSaveIni)
                ::CheckMenuItem(popup, ID_MENU_SAVEINI, MF_CHECKED);
            ::TrackPopupMenu(popup, TPM_RIGHTBUTTON, pt.x, pt.y, 0, m_hWnd, nullptr);
            ::DestroyMenu(menu);  // a fresh copy is loaded for every pop-up
        }
        // A pop-up menu of a notification icon is only dismissed properly by a click elsewhere
        // if its window gets a message after TrackPopupMenu returns: without this harmless
        // one, the next right-click on the icon may open the menu and close it at once.
        PostMessage(WM_NULL, 0, 0);
    }
    return 0;
}

// The tray menu: each item that has a button runs that button's handler, or the same toggle;
// a toggle from the menu also puts the button's check right, which a click does by itself.
BOOL CBarDlg::OnCommand(WPARAM wParam, LPARAM lParam) {
    switch (wParam) {
        case ID_MENU_TOPMOST:
            ToggleTopMost();
            CheckButton(IDC_TOPMOST, m_bTopMost);
            PostRefresh();
            break;
        case ID_MENU_STICK:
            m_bStick ^= 1;
            break;
        case ID_MENU_SAVEINI:
            m_bSaveIni ^= 1;
            CheckButton(IDC_SAVEINI, m_bSaveIni);
            PostRefresh();
            break;
        case ID_MENU_INDICATOR:
            OnClickIndicator();
            break;
        case ID_MENU_HISTORY:
            OpenHistory(-1);
            break;
        case ID_MENU_ABOUT:
            AfxGetMainWnd()->PostMessage(WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
            break;
        case ID_MENU_EXIT:
            OnClickExit();
            break;
        default:
            break;
    }
    return CDialog::OnCommand(wParam, lParam);
}

void CBarDlg::OpenHistory(int field) {
    if (!m_historyFetcher.Start(&m_plugin))
        return;
    m_history.Open(field, m_hIcon);
}

int CBarDlg::FieldAtScreenPoint(POINT pt) const {
    for (int item = 1; item <= BAR_LABELS; ++item) {
        const int slot = SlotOfItem(m_nIndicator, item);
        if (slot < 0)
            continue;
        RECT rc{};
        HWND control = ::GetDlgItem(m_hWnd, m_nSlotId[slot]);
        if (control != nullptr && ::GetWindowRect(control, &rc) && ::PtInRect(&rc, pt))
            return FieldOfItem(item);
    }
    return -1;
}

void CBarDlg::SetTopMost(int flag) {
    if (flag == 0) {
        ::SetWindowPos(m_hWnd, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    } else if (flag == 1) {
        ::SetWindowPos(m_hWnd, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    }
}

void CBarDlg::ToggleTopMost() {
    m_bTopMost ^= 1;
    SetTopMost(m_bTopMost);
}

void CBarDlg::CheckButton(int id, int flag) {
    ::SendMessageA(GetDlgItem(id)->m_hWnd, BM_SETCHECK, static_cast<WPARAM>(flag), 0);
}

void CBarDlg::PostRefresh() {
    AfxGetMainWnd()->PostMessage(WM_BAR_REFRESH, 0, 0);
}

void CBarDlg::OnClickTopMost() {
    ToggleTopMost();
    UpdateData(TRUE);
}

void CBarDlg::OnClickSaveIni() {
    m_bSaveIni = static_cast<int>(::SendMessageA(m_btnSaveIni.m_hWnd, BM_GETCHECK, 0, 0));
    UpdateData(TRUE);
}

void CBarDlg::OnClickIndicator() {
    ShowStatusSlot(STATUS_NEXT);
    PostRefresh();
}

void CBarDlg::OnClickExit() {
    AfxGetMainWnd()->PostMessage(WM_CLOSE, 0, 0);
}

LRESULT CBarDlg::OnBarRefresh(WPARAM, LPARAM) {
    UpdateData(FALSE);
    return 0;
}

LRESULT CBarDlg::OnNcHitTest(CPoint) {
    const LRESULT hit = Default();
    return m_bStick == 0 ? HTCAPTION : hit;
}

void CBarDlg::OnSysCommand(UINT nID, LPARAM) {
    if ((nID & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutDlg about;
        about.DoModal();
    } else {
        Default();
    }
}

void CBarDlg::OnPaint() {
    if (!IsIconic()) {
        Default();
        return;
    }
    CPaintDC dc(this);
    SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.GetSafeHdc()), 0);
    const int cxIcon = ::GetSystemMetrics(SM_CXICON);
    const int cyIcon = ::GetSystemMetrics(SM_CYICON);
    RECT rect{};
    GetClientRect(&rect);
    const int x = (rect.right - rect.left - cxIcon + 1) / 2;
    const int y = (rect.bottom - rect.top - cyIcon + 1) / 2;
    dc.DrawIcon(x, y, m_hIcon);
}

HCURSOR CBarDlg::OnQueryDragIcon() {
    return static_cast<HCURSOR>(m_hIcon);
}

BarRect CBarDlg::KeepOnScreen(const BarRect& rc) {
    const RECT r{rc.left, rc.top, rc.right, rc.bottom};
    if (::MonitorFromRect(&r, MONITOR_DEFAULTTONULL) != nullptr)
        return rc;
    MONITORINFO mi{};
    mi.cbSize = sizeof mi;
    if (!::GetMonitorInfoA(::MonitorFromRect(&r, MONITOR_DEFAULTTONEAREST), &mi))
        return rc;
    const RECT& work = mi.rcWork;
    const int width = rc.right - rc.left;
    const int height = rc.bottom - rc.top;
    const auto clamp = [](int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); };
    BarRect moved = rc;
    moved.left = clamp(rc.left, work.left, std::max<int>(work.left, work.right - width));
    moved.top = clamp(rc.top, work.top, std::max<int>(work.top, work.bottom - height));
    moved.right = moved.left + width;
    moved.bottom = moved.top + height;
    return moved;
}
