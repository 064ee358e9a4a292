// The bar: a captionless strip of four tiny buttons and fourteen text slots. It owns every
// piece of run-time state: the plug-in, the tray icon, the monitor thread, the display
// texts and the settings.
//
// Threads. The user-interface thread runs the dialog and every handler. The monitor thread
// runs the polling cycle (sensor/monitor_loop.h, which also describes how it is stopped)
// through the bar's CBarPoller (app/bar_poller.h): it calls the plug-in's Get, switches the
// tray picture, and writes the value slots with synchronous calls into the user-interface
// thread. The status text and mode are changed on the user-interface thread only: the
// monitor thread asks for its changes with sent messages.
#pragma once

#include "app/bar_poller.h"
#include "app/history_fetcher.h"
#include "app/history_wnd.h"
#include "framework/afx_win.h"
#include "plugin_api/vornplug.h"
#include "res/resource.h"
#include "sensor/monitor_loop.h"
#include "settings/bar_settings.h"
#include "tray/tray_icon.h"

// Asks the user-interface thread to show a status mode (wParam) for the monitor thread.
#define WM_BAR_STATUS (WM_APP + 0x9A)
// Asks the user-interface thread to rewrite the error count if the status slot shows it.
#define WM_BAR_ERRORS (WM_APP + 0x9B)

class CBarDlg : public CDialog, public BarSettings {
public:
    explicit CBarDlg(CWnd* pParent = nullptr);
    ~CBarDlg() override;

    // Shows status mode `mode` (0 to 4) or advances to the next one (STATUS_NEXT), and
    // writes the status text into its slot. Any thread.
    void ShowStatusSlot(BYTE mode);
    // Formats the thirteen value lines from m_data (or "ERROR" lines) and writes them into
    // their slots; the slots of readings the plug-in reports in alarm are drawn white on red
    // (never an "ERROR" line). Monitor thread.
    void FormatReadings(int valid);

    // Reads the profile section into the settings. Needs the window.
    void LoadSettings();
    // Writes the settings back. Needs the window, and the monitor thread ended.
    void SaveSettings();
    // Puts the bar above other windows (1) or not (0); other values change nothing.
    void SetTopMost(int flag);

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    BOOL OnCommand(WPARAM wParam, LPARAM lParam) override;
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

    int OnCreate(LPCREATESTRUCT create);
    void OnDestroy();
    void OnSysCommand(UINT nID, LPARAM lParam);
    void OnPaint();
    HCURSOR OnQueryDragIcon();
    LRESULT OnNcHitTest(CPoint point);
    void OnClickExit();
    void OnClickTopMost();
    void OnClickSaveIni();
    void OnClickIndicator();
    LRESULT OnTrayNotify(WPARAM wParam, LPARAM lParam);
    LRESULT OnBarRefresh(WPARAM wParam, LPARAM lParam);
    LRESULT OnStatusRequest(WPARAM wParam, LPARAM lParam);
    LRESULT OnErrorsChanged(WPARAM wParam, LPARAM lParam);

    DECLARE_MESSAGE_MAP()

private:
    friend class CBarPoller;  // the monitor thread's view of the plug-in, tray and counter

    // Writes `text` into display slot `slot` unless the monitor thread is stopping.
    void WriteSlot(int slot, const char* text);
    // Ends the monitor thread and waits for it, taking sent messages meanwhile.
    void StopMonitorThread();
    // The colours of a slot that shows a reading in alarm; null for any other control.
    HBRUSH AlarmColours(HDC dc, HWND control) const;
    // Flips keep-on-top and applies it; the button's and the menu's command.
    void ToggleTopMost();
    // Sets the check of button `id` to `flag`, passed on as it is.
    void CheckButton(int id, int flag);
    // Asks the bar to bring its controls up to date once the current message is done.
    void PostRefresh();
    // Opens the history window with record field `field` marked (-1: none).
    void OpenHistory(int field);
    // The record field of the value slot under a screen point, or -1.
    int FieldAtScreenPoint(POINT pt) const;
    // Moves a rectangle that lies on no monitor onto the nearest one.
    static BarRect KeepOnScreen(const BarRect& rc);
    bool OnUserInterfaceThread() const;

    CButton m_btnSaveIni;
    CButton m_btnTopMost;
    HICON m_hIcon = nullptr;
    CWinApp* m_pApp = nullptr;
    VORNPLUG m_plugin;
    CTrayIcon m_tray;
    HANDLE m_hThread = nullptr;
    DWORD m_dwThreadId = 0;
    LMDATA m_data;
    int m_nSlotId[BAR_SLOTS];
    CString m_strTitle;
    CString m_strStatus;
    CString m_strLine[BAR_LABELS];

    // Alarms of the last poll (0 after a failed one): the readings, bit k for record field k,
    // are the monitor thread's own; the slots, bit s for slot s, are also read by the
    // user-interface thread when it paints, with atomic builtins.
    unsigned int m_nAlarmMask = 0;
    unsigned int m_nAlarmSlots = 0;
    HBRUSH m_hAlarmBrush = nullptr;  // red, for the slots in alarm; deleted at teardown

    CHistoryFetcher m_historyFetcher;  // started when the history window first opens
    CHistoryWnd m_history{*this, m_historyFetcher};
    CBarPoller m_poller;             // what the monitor thread runs
    StopSignal m_stop;               // raised when the monitor thread must end
    DWORD m_dwUiThreadId = 0;        // the thread that runs the dialog
    bool m_bSettingsLoaded = false;  // LoadSettings ran: the members hold profile values
    bool m_bPlaced = false;          // the bar was moved to its stored rectangle
};
