// The history window: the thirteen readings as small graphs over a span of 10 minutes,
// 1 hour, 24 hours or 30 days, each with its label, current value, and minimum, mean and
// maximum over the span, its limits drawn as lines and its alarm periods shaded. It fetches
// through the bar's CHistoryFetcher (never on its own thread), again while it stays open.
// Ctrl+C and WM_COPY put the span on the clipboard as CSV text.
#pragma once

#include <windows.h>

#include "app/history_fetcher.h"
#include "app/history_view.h"
#include "framework/afx_win.h"
#include "settings/bar_settings.h"

// Posted by the fetcher when a set is ready.
#define WM_HISTORY_FETCHED (WM_APP + 0x9C)

class CHistoryWnd : public CWnd {
public:
    // The window reads and writes `settings` (host, labels, its rectangle and span) and asks
    // `fetcher`; both outlive it.
    CHistoryWnd(BarSettings& settings, CHistoryFetcher& fetcher);

    // Opens the window, or brings it forward, with `field` (record order; -1 for none)
    // marked.
    void Open(int field, HICON icon);
    // Shows `span` (0 to 3) and fetches it.
    void SetSpan(int span);
    // Writes the window's rectangle and span into the settings (done at closing too).
    void StoreSettings();

protected:
    LRESULT OnCreate(WPARAM wParam, LPARAM lParam);
    LRESULT OnDestroy(WPARAM wParam, LPARAM lParam);
    LRESULT OnPaint(WPARAM wParam, LPARAM lParam);
    LRESULT OnEraseBackground(WPARAM wParam, LPARAM lParam);
    LRESULT OnSize(WPARAM wParam, LPARAM lParam);
    LRESULT OnTimer(WPARAM wParam, LPARAM lParam);
    LRESULT OnKeyDown(WPARAM wParam, LPARAM lParam);
    LRESULT OnCopy(WPARAM wParam, LPARAM lParam);
    LRESULT OnFetched(WPARAM wParam, LPARAM lParam);
    LRESULT OnMinMaxInfo(WPARAM wParam, LPARAM lParam);
    LRESULT OnLeftButtonDown(WPARAM wParam, LPARAM lParam);
    LRESULT OnStaticColour(WPARAM wParam, LPARAM lParam);
    void OnSpan0() { SetSpan(0); }
    void OnSpan1() { SetSpan(1); }
    void OnSpan2() { SetSpan(2); }
    void OnSpan3() { SetSpan(3); }

    DECLARE_MESSAGE_MAP()

private:
    // Puts the CSV text of the span shown on the clipboard; false when it could not.
    bool CopyCsv();
    // Asks the fetcher for the span now, unless a fetch is under way.
    void Fetch();
    void LayoutButtons();
    // The rectangle of graph `column` (display order) in the client area.
    RECT CellRect(int column, const RECT& client) const;
    void Draw(HDC dc, const RECT& client);
    void DrawCell(HDC dc, int column, const RECT& cell);
    CString StatusLine() const;
    // Writes the status line into its control when it changed.
    void ShowStatus();

    BarSettings& m_settings;
    CHistoryFetcher& m_fetcher;
    HistorySet m_set;         // the newest set fetched for m_nSpan
    bool m_bHaveSet = false;  // m_set holds a fetch of the span shown
    bool m_bFetching = false;
    int m_nResult = VORNHIST_OK;  // of the newest fetch
    int m_nSpan = 1;
    int m_nMarked = -1;  // the record field opened on, or -1
    HWND m_hButton[HISTORY_SPANS] = {};
    HWND m_hStatus = nullptr;  // the status line: a static control, readable from outside
    HBRUSH m_hBackground = nullptr;
    HFONT m_hFont = nullptr;
    HFONT m_hBold = nullptr;
};
