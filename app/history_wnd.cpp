#include "app/history_wnd.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "res/resource.h"

namespace {

constexpr UINT_PTR kRefreshTimer = 1;
constexpr int kTopBand = 32;  // the span buttons and the status line
constexpr int kButtonWidth = 64;
constexpr int kButtonHeight = 24;
constexpr int kMinWidth = 480;
constexpr int kMinHeight = 360;
constexpr int kDefaultWidth = 960;
constexpr int kDefaultHeight = 640;

constexpr COLORREF kBackground = RGB(240, 240, 240);
constexpr COLORREF kPlot = RGB(255, 255, 255);
constexpr COLORREF kFrame = RGB(160, 160, 160);
constexpr COLORREF kMarkedFrame = RGB(0, 90, 200);
constexpr COLORREF kAlarmShade = RGB(255, 215, 215);
constexpr COLORREF kLimit = RGB(220, 0, 0);
constexpr COLORREF kBand = RGB(170, 200, 245);
constexpr COLORREF kLine = RGB(0, 70, 170);
constexpr COLORREF kText = RGB(0, 0, 0);
constexpr COLORREF kGrid = RGB(225, 225, 225);
constexpr COLORREF kGridText = RGB(140, 140, 140);

// The agent's seconds since 1970 in this machine's time zone: "2025-12-01 09:00:05".
CString LocalTimeText(long long unixSeconds) {
    ULARGE_INTEGER ticks;
    ticks.QuadPart = static_cast<ULONGLONG>(unixSeconds + 11644473600LL) * 10000000ULL;
    FILETIME utc{ticks.LowPart, ticks.HighPart};
    FILETIME local{};
    SYSTEMTIME st{};
    CString text;
    if (!::FileTimeToLocalFileTime(&utc, &local) || !::FileTimeToSystemTime(&local, &st))
        return text;
    text.Format("%04u-%02u-%02u %02u:%02u:%02u", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute,
                st.wSecond);
    return text;
}

// Seconds this machine's time zone is ahead of UTC at a moment.
long long LocalOffsetSeconds(long long unixSeconds) {
    ULARGE_INTEGER ticks;
    ticks.QuadPart = static_cast<ULONGLONG>(unixSeconds + 11644473600LL) * 10000000ULL;
    FILETIME utc{ticks.LowPart, ticks.HighPart};
    FILETIME local{};
    if (!::FileTimeToLocalFileTime(&utc, &local))
        return 0;
    ULARGE_INTEGER l;
    l.LowPart = local.dwLowDateTime;
    l.HighPart = local.dwHighDateTime;
    return static_cast<long long>(l.QuadPart / 10000000ULL) - 11644473600LL - unixSeconds;
}

// The time grid of a span: a line every `seconds` of local time, labelled by hour and minute
// or, over 30 days, by month and day.
struct TimeGrid {
    long long seconds;
    bool dates;
};
TimeGrid GridOf(long long spanSeconds) {
    if (spanSeconds <= 600)
        return {120, false};
    if (spanSeconds <= 3600)
        return {900, false};
    if (spanSeconds <= 86400)
        return {6 * 3600, false};
    return {7 * 86400, true};
}

CString Loaded(UINT id) {
    CString text;
    text.LoadString(id);
    return text;
}

// A GDI object selected into a device context for a scope, and deleted after if owned.
class Selected {
public:
    Selected(HDC dc, HGDIOBJ object, bool owned)
        : m_dc(dc), m_object(object), m_owned(owned), m_old(::SelectObject(dc, object)) {}
    ~Selected() {
        ::SelectObject(m_dc, m_old);
        if (m_owned)
            ::DeleteObject(m_object);
    }
    Selected(const Selected&) = delete;
    Selected& operator=(const Selected&) = delete;

private:
    HDC m_dc;
    HGDIOBJ m_object;
    bool m_owned;
    HGDIOBJ m_old;
};

void Fill(HDC dc, const RECT& r, COLORREF colour) {
    HBRUSH brush = ::CreateSolidBrush(colour);
    ::FillRect(dc, &r, brush);
    ::DeleteObject(brush);
}

void Frame(HDC dc, const RECT& r, COLORREF colour, int width) {
    Selected pen(dc, ::CreatePen(PS_INSIDEFRAME, width, colour), true);
    Selected brush(dc, ::GetStockObject(NULL_BRUSH), false);
    ::Rectangle(dc, r.left, r.top, r.right, r.bottom);
}

void Text(HDC dc, int x, int y, const char* text) {
    ::TextOutA(dc, x, y, text, static_cast<int>(std::strlen(text)));
}

}  // namespace

BEGIN_MESSAGE_MAP(CHistoryWnd, CWnd)
ON_MESSAGE(WM_CREATE, OnCreate)
ON_MESSAGE(WM_DESTROY, OnDestroy)
ON_MESSAGE(WM_PAINT, OnPaint)
ON_MESSAGE(WM_ERASEBKGND, OnEraseBackground)
ON_MESSAGE(WM_SIZE, OnSize)
ON_MESSAGE(WM_TIMER, OnTimer)
ON_MESSAGE(WM_KEYDOWN, OnKeyDown)
ON_MESSAGE(WM_COPY, OnCopy)
ON_MESSAGE(WM_HISTORY_FETCHED, OnFetched)
ON_MESSAGE(WM_GETMINMAXINFO, OnMinMaxInfo)
ON_MESSAGE(WM_LBUTTONDOWN, OnLeftButtonDown)
ON_MESSAGE(WM_CTLCOLORSTATIC, OnStaticColour)
ON_BN_CLICKED(IDC_HISTORY_SPAN0, OnSpan0)
ON_BN_CLICKED(IDC_HISTORY_SPAN1, OnSpan1)
ON_BN_CLICKED(IDC_HISTORY_SPAN2, OnSpan2)
ON_BN_CLICKED(IDC_HISTORY_SPAN3, OnSpan3)
END_MESSAGE_MAP()

CHistoryWnd::CHistoryWnd(BarSettings& settings, CHistoryFetcher& fetcher)
    : m_settings(settings), m_fetcher(fetcher) {}

void CHistoryWnd::Open(int field, HICON icon) {
    m_nMarked = field >= 0 && field < LMDATA_FIELDS ? field : -1;
    if (m_hWnd != nullptr) {
        if (IsIconic())
            ShowWindow(SW_RESTORE);
        SetForegroundWindow();
        ::InvalidateRect(m_hWnd, nullptr, FALSE);
        return;
    }
    m_nSpan = ClampHistorySpan(m_settings.m_nHistorySpan);
    // The stored rectangle when it is one and lies on a monitor; else centred on the
    // primary monitor's work area.
    const BarRect& stored = m_settings.m_rcHistory;
    RECT rect{stored.left, stored.top, stored.right, stored.bottom};
    const bool usable = rect.right - rect.left >= kMinWidth &&
                        rect.bottom - rect.top >= kMinHeight &&
                        ::MonitorFromRect(&rect, MONITOR_DEFAULTTONULL) != nullptr;
    if (!usable) {
        RECT work{0, 0, kDefaultWidth, kDefaultHeight};
        ::SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
        const int width = std::min<int>(kDefaultWidth, work.right - work.left);
        const int height = std::min<int>(kDefaultHeight, work.bottom - work.top);
        rect.left = work.left + (work.right - work.left - width) / 2;
        rect.top = work.top + (work.bottom - work.top - height) / 2;
        rect.right = rect.left + width;
        rect.bottom = rect.top + height;
    }
    CString title = Loaded(IDS_HISTORY_TITLE);
    title += m_settings.m_strHostName;
    if (!CreateTopLevel(0, title, WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, rect, nullptr, icon))
        return;
    ShowWindow(SW_SHOWNORMAL);
    ::UpdateWindow(m_hWnd);
    SetForegroundWindow();
}

void CHistoryWnd::StoreSettings() {
    if (m_hWnd == nullptr)
        return;
    WINDOWPLACEMENT wp{};
    if (GetWindowPlacement(&wp)) {
        const RECT& r = wp.rcNormalPosition;
        m_settings.m_rcHistory = BarRect{r.left, r.top, r.right, r.bottom};
    }
    m_settings.m_nHistorySpan = m_nSpan;
}

// ---- Messages ---------------------------------------------------------------------------

LRESULT CHistoryWnd::OnCreate(WPARAM, LPARAM) {
    NONCLIENTMETRICSA metrics{};
    metrics.cbSize = sizeof metrics;
    if (::SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
        m_hFont = ::CreateFontIndirectA(&metrics.lfMessageFont);
        metrics.lfMessageFont.lfWeight = FW_BOLD;
        m_hBold = ::CreateFontIndirectA(&metrics.lfMessageFont);
    }
    for (int i = 0; i < HISTORY_SPANS; ++i) {
        const CString label = Loaded(IDS_HISTORY_SPAN0 + i);
        m_hButton[i] = ::CreateWindowExA(
            0, "BUTTON", label, WS_CHILD | WS_VISIBLE | BS_AUTORADIOBUTTON | BS_PUSHLIKE, 0, 0,
            kButtonWidth, kButtonHeight, m_hWnd,
            reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_HISTORY_SPAN0 + i)),
            AfxGetInstanceHandle(), nullptr);
        if (m_hFont != nullptr)
            ::SendMessageA(m_hButton[i], WM_SETFONT, reinterpret_cast<WPARAM>(m_hFont), FALSE);
    }
    m_hBackground = ::CreateSolidBrush(kBackground);
    m_hStatus = ::CreateWindowExA(0, "STATIC", "", WS_CHILD | WS_VISIBLE | SS_LEFTNOWORDWRAP, 0, 0,
                                  10, kButtonHeight, m_hWnd,
                                  reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_HISTORY_STATUS)),
                                  AfxGetInstanceHandle(), nullptr);
    if (m_hFont != nullptr)
        ::SendMessageA(m_hStatus, WM_SETFONT, reinterpret_cast<WPARAM>(m_hFont), FALSE);
    LayoutButtons();
    ::SendMessageA(m_hButton[m_nSpan], BM_SETCHECK, BST_CHECKED, 0);
    ShowStatus();
    Fetch();
    ::SetTimer(m_hWnd, kRefreshTimer, SpanInfo(m_nSpan).refreshMs, nullptr);
    return 0;
}

LRESULT CHistoryWnd::OnDestroy(WPARAM, LPARAM) {
    StoreSettings();
    ::KillTimer(m_hWnd, kRefreshTimer);
    m_fetcher.Forget(m_hWnd);
    m_bFetching = false;
    m_bHaveSet = false;
    m_set = HistorySet{};
    const LRESULT result = Default();
    // The controls are gone with the window's children; their font and brush after them.
    for (HGDIOBJ* object :
         {reinterpret_cast<HGDIOBJ*>(&m_hFont), reinterpret_cast<HGDIOBJ*>(&m_hBold),
          reinterpret_cast<HGDIOBJ*>(&m_hBackground)}) {
        if (*object != nullptr)
            ::DeleteObject(*object);
        *object = nullptr;
    }
    m_hStatus = nullptr;
    for (HWND& button : m_hButton)
        button = nullptr;
    return result;
}

LRESULT CHistoryWnd::OnEraseBackground(WPARAM, LPARAM) {
    return 1;  // the paint fills everything, off screen first
}

LRESULT CHistoryWnd::OnPaint(WPARAM, LPARAM) {
    PAINTSTRUCT ps;
    HDC dc = ::BeginPaint(m_hWnd, &ps);
    RECT client{};
    GetClientRect(&client);
    const int width = std::max<int>(1, client.right);
    const int height = std::max<int>(1, client.bottom);
    HDC memory = ::CreateCompatibleDC(dc);
    HBITMAP bitmap = ::CreateCompatibleBitmap(dc, width, height);
    if (memory != nullptr && bitmap != nullptr) {
        HGDIOBJ old = ::SelectObject(memory, bitmap);
        Draw(memory, client);
        ::BitBlt(dc, 0, 0, width, height, memory, 0, 0, SRCCOPY);
        ::SelectObject(memory, old);
    } else {
        Draw(dc, client);
    }
    if (bitmap != nullptr)
        ::DeleteObject(bitmap);
    if (memory != nullptr)
        ::DeleteDC(memory);
    ::EndPaint(m_hWnd, &ps);
    return 0;
}

LRESULT CHistoryWnd::OnSize(WPARAM, LPARAM) {
    LayoutButtons();
    ::InvalidateRect(m_hWnd, nullptr, FALSE);
    return 0;
}

LRESULT CHistoryWnd::OnTimer(WPARAM wParam, LPARAM) {
    if (wParam == kRefreshTimer)
        Fetch();
    return 0;
}

LRESULT CHistoryWnd::OnKeyDown(WPARAM wParam, LPARAM) {
    if (wParam >= '1' && wParam <= '4') {
        SetSpan(static_cast<int>(wParam - '1'));
    } else if (wParam >= VK_NUMPAD1 && wParam <= VK_NUMPAD4) {
        SetSpan(static_cast<int>(wParam - VK_NUMPAD1));
    } else if (wParam == 'C' && (::GetKeyState(VK_CONTROL) & 0x8000) != 0) {
        CopyCsv();
    } else {
        return Default();
    }
    return 0;
}

LRESULT CHistoryWnd::OnCopy(WPARAM, LPARAM) {
    return CopyCsv() ? TRUE : FALSE;
}

LRESULT CHistoryWnd::OnFetched(WPARAM, LPARAM) {
    HistorySet set;
    if (!m_fetcher.Take(&set))
        return 0;
    if (set.span != m_nSpan)
        return 0;  // a span no longer shown; the request for the new one is on its way
    m_bFetching = false;
    m_nResult = SetResult(set);
    unsigned int next = SpanInfo(m_nSpan).refreshMs;
    if (m_nResult == VORNHIST_OK) {
        m_set = std::move(set);
        m_bHaveSet = true;
    } else if (m_nResult == VORNHIST_BUSY) {
        for (const HistorySeries& s : set.series)
            next = std::max(next, s.info.nRetryMs);
    } else if (m_nResult != VORNHIST_FAILED) {
        m_bHaveSet = false;  // no history from this agent: the line says so
        m_set = HistorySet{};
    }
    ::SetTimer(m_hWnd, kRefreshTimer, next, nullptr);
    ShowStatus();
    ::InvalidateRect(m_hWnd, nullptr, FALSE);
    return 0;
}

LRESULT CHistoryWnd::OnStaticColour(WPARAM wParam, LPARAM) {
    HDC dc = reinterpret_cast<HDC>(wParam);
    ::SetBkColor(dc, kBackground);
    ::SetTextColor(dc, kText);
    return reinterpret_cast<LRESULT>(m_hBackground);
}

LRESULT CHistoryWnd::OnMinMaxInfo(WPARAM, LPARAM lParam) {
    auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
    info->ptMinTrackSize.x = kMinWidth;
    info->ptMinTrackSize.y = kMinHeight;
    return 0;
}

LRESULT CHistoryWnd::OnLeftButtonDown(WPARAM, LPARAM lParam) {
    // A click on a graph marks it; the keys then reach this window, not a button.
    SetFocus();
    RECT client{};
    GetClientRect(&client);
    const POINT pt{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
    for (int column = 0; column < LMDATA_FIELDS; ++column) {
        const RECT cell = CellRect(column, client);
        if (::PtInRect(&cell, pt)) {
            m_nMarked = FieldOfColumn(column);
            ::InvalidateRect(m_hWnd, nullptr, FALSE);
            break;
        }
    }
    return 0;
}

// ---- Fetching and copying ---------------------------------------------------------------

void CHistoryWnd::SetSpan(int span) {
    span = ClampHistorySpan(span);
    for (int i = 0; i < HISTORY_SPANS; ++i)
        ::SendMessageA(m_hButton[i], BM_SETCHECK, i == span ? BST_CHECKED : BST_UNCHECKED, 0);
    SetFocus();
    if (span == m_nSpan)
        return;
    m_nSpan = span;
    m_bHaveSet = false;
    m_bFetching = false;
    m_nResult = VORNHIST_OK;
    m_set = HistorySet{};
    Fetch();
    ::SetTimer(m_hWnd, kRefreshTimer, SpanInfo(m_nSpan).refreshMs, nullptr);
    ShowStatus();
    ::InvalidateRect(m_hWnd, nullptr, FALSE);
}

void CHistoryWnd::Fetch() {
    if (m_bFetching || m_hWnd == nullptr)
        return;
    m_bFetching = true;
    m_fetcher.Request(m_hWnd, WM_HISTORY_FETCHED, m_nSpan);
}

bool CHistoryWnd::CopyCsv() {
    HistorySet empty;
    empty.span = m_nSpan;
    const std::string csv = FormatHistoryCsv(m_bHaveSet ? m_set : empty);
    HGLOBAL memory = ::GlobalAlloc(GMEM_MOVEABLE, csv.size() + 1);
    if (memory == nullptr)
        return false;
    if (void* p = ::GlobalLock(memory)) {
        std::memcpy(p, csv.c_str(), csv.size() + 1);
        ::GlobalUnlock(memory);
    }
    // Another program may hold the clipboard for a moment.
    bool opened = false;
    for (int i = 0; i < 10 && !opened; ++i) {
        opened = ::OpenClipboard(m_hWnd) != 0;
        if (!opened)
            ::Sleep(10);
    }
    if (!opened) {
        ::GlobalFree(memory);
        return false;
    }
    ::EmptyClipboard();
    const bool set = ::SetClipboardData(CF_TEXT, memory) != nullptr;
    ::CloseClipboard();
    if (!set)
        ::GlobalFree(memory);
    return set;
}

// ---- Drawing ----------------------------------------------------------------------------

void CHistoryWnd::LayoutButtons() {
    for (int i = 0; i < HISTORY_SPANS; ++i) {
        if (m_hButton[i] != nullptr)
            ::MoveWindow(m_hButton[i], 6 + i * (kButtonWidth + 4), 4, kButtonWidth, kButtonHeight,
                         TRUE);
    }
    if (m_hStatus != nullptr) {
        RECT client{};
        GetClientRect(&client);
        const int left = 6 + HISTORY_SPANS * (kButtonWidth + 4) + 8;
        ::MoveWindow(m_hStatus, left, 9, std::max<int>(10, client.right - left - 6),
                     kButtonHeight - 6, TRUE);
    }
}

void CHistoryWnd::ShowStatus() {
    if (m_hStatus == nullptr)
        return;
    const CString line = StatusLine();
    char shown[512] = {};
    ::GetWindowTextA(m_hStatus, shown, sizeof shown);
    if (line != shown)
        ::SetWindowTextA(m_hStatus, line);
}

RECT CHistoryWnd::CellRect(int column, const RECT& client) const {
    const int width = std::max<int>(1, client.right - client.left);
    const int height = std::max<int>(1, client.bottom - kTopBand);
    const int columns = std::max(1, std::min(4, width / 300));
    const int rows = (LMDATA_FIELDS + columns - 1) / columns;
    const int cw = width / columns;
    const int ch = height / rows;
    const int x = client.left + (column % columns) * cw;
    const int y = kTopBand + (column / columns) * ch;
    return RECT{x + 3, y + 3, x + cw - 3, y + ch - 3};
}

CString CHistoryWnd::StatusLine() const {
    switch (m_nResult) {
        case VORNHIST_UNSUPPORTED:
            return Loaded(IDS_HISTORY_UNSUPPORTED);
        case VORNHIST_OFF:
            return Loaded(IDS_HISTORY_OFF);
        case VORNHIST_BUSY:
            return Loaded(IDS_HISTORY_BUSY);
        case VORNHIST_FAILED:
            return Loaded(IDS_HISTORY_FAILED);
        default:
            break;
    }
    if (!m_bHaveSet)
        return Loaded(IDS_HISTORY_LOADING);
    long long now = 0;
    for (const HistorySeries& s : m_set.series)
        now = std::max(now, s.info.llNow);
    CString line;
    line.Format(Loaded(IDS_HISTORY_UPDATED), LocalTimeText(now).GetString());
    return line;
}

void CHistoryWnd::Draw(HDC dc, const RECT& client) {
    Fill(dc, client, kBackground);
    ::SetBkMode(dc, TRANSPARENT);
    ::SetTextColor(dc, kText);
    Selected font(dc, m_hFont != nullptr ? m_hFont : ::GetStockObject(DEFAULT_GUI_FONT), false);
    if (!m_bHaveSet)
        return;
    for (int column = 0; column < LMDATA_FIELDS; ++column)
        DrawCell(dc, column, CellRect(column, client));
}

void CHistoryWnd::DrawCell(HDC dc, int column, const RECT& cell) {
    const int field = FieldOfColumn(column);
    const HistorySeries& series = m_set.series[field];
    const SeriesFigures figures = FiguresOf(series);
    Fill(dc, cell, kBackground);
    const bool marked = field == m_nMarked;
    Frame(dc, cell, marked ? kMarkedFrame : kFrame, marked ? 2 : 1);

    // The label as the bar shows it (display order), the current value, then the figures.
    TEXTMETRICA tm{};
    ::GetTextMetricsA(dc, &tm);
    const int line = tm.tmHeight + 1;
    {
        Selected bold(dc, m_hBold != nullptr ? m_hBold : ::GetStockObject(DEFAULT_GUI_FONT), false);
        CString head = m_settings.m_strLabel[column];
        head += " ";
        if (figures.any) {
            head += FormatFixed(field, figures.current).c_str();
            head += " ";
            head += UnitOfField(field);
        } else {
            head += "-";
        }
        Text(dc, cell.left + 5, cell.top + 3, head);
    }
    if (figures.any) {
        CString text;
        text.Format(Loaded(IDS_HISTORY_FIGURES), FormatFixed(field, figures.min).c_str(),
                    FormatFixed(field, figures.mean).c_str(),
                    FormatFixed(field, figures.max).c_str());
        Text(dc, cell.left + 5, cell.top + 3 + line, text);
    }
    const RECT plot{cell.left + 5, cell.top + 5 + 2 * line, cell.right - 5, cell.bottom - 5};
    if (plot.right - plot.left < 8 || plot.bottom - plot.top < 8)
        return;
    Fill(dc, plot, kPlot);
    Frame(dc, plot, kFrame, 1);
    if (!figures.any)
        return;

    // Vertical range: the values and the limits, with a little room.
    const int low = series.info.nLow;
    const int high = series.info.nHigh;
    double lo = figures.min;
    double hi = figures.max;
    if (low != VORNHIST_GAP)
        lo = std::min<double>(lo, low);
    if (high != VORNHIST_GAP)
        hi = std::max<double>(hi, high);
    const double pad = std::max((hi - lo) * 0.08, 1.0);
    lo -= pad;
    hi += pad;
    const int pw = plot.right - plot.left - 2;
    const int ph = plot.bottom - plot.top - 2;
    const auto yOf = [&](double v) {
        return plot.bottom - 1 - static_cast<int>((v - lo) / (hi - lo) * ph);
    };
    const HistorySpanInfo& span = SpanInfo(m_set.span);
    const long long step = series.info.nStep != 0 ? series.info.nStep : 1;
    const long long end = series.info.llNow - series.info.llNow % step + step;
    const long long start = end - span.seconds;
    const auto xOf = [&](long long t) {
        const long long dx = (t - start) * pw / span.seconds;
        return plot.left + 1 +
               static_cast<int>(std::max<long long>(0, std::min<long long>(pw, dx)));
    };

    // Alarm periods, under everything else.
    for (const auto& run : AlarmRuns(series)) {
        const long long t0 = series.info.llFirst + static_cast<long long>(run.first) * step;
        const long long t1 = series.info.llFirst + static_cast<long long>(run.second + 1) * step;
        RECT shade{xOf(t0), plot.top + 1, std::max(xOf(t1), xOf(t0) + 1), plot.bottom - 1};
        Fill(dc, shade, kAlarmShade);
    }
    // The time grid, in this machine's time zone.
    {
        const TimeGrid grid = GridOf(span.seconds);
        const long long offset = LocalOffsetSeconds(end);
        Selected pen(dc, ::CreatePen(PS_SOLID, 1, kGrid), true);
        const COLORREF oldColour = ::SetTextColor(dc, kGridText);
        long long t = (start + offset) / grid.seconds * grid.seconds - offset;
        for (int n = 0; n < 16 && t <= end; ++n, t += grid.seconds) {
            if (t <= start)
                continue;
            const int x = xOf(t);
            ::MoveToEx(dc, x, plot.top + 1, nullptr);
            ::LineTo(dc, x, plot.bottom - 1);
            const long long local = t + offset;
            const long long days = local / 86400;
            CString label;
            if (grid.dates) {
                // Civil date from days since 1970 (proleptic Gregorian).
                long long z = days + 719468;
                const long long era = z / 146097;
                const long long doe = z - era * 146097;
                const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
                const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
                const long long mp = (5 * doy + 2) / 153;
                const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
                const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
                label.Format("%d/%d", month, day);
            } else {
                const long long inDay = local - days * 86400;
                label.Format("%02d:%02d", static_cast<int>(inDay / 3600),
                             static_cast<int>(inDay / 60 % 60));
            }
            Text(dc, x + 2, plot.bottom - 1 - line, label);
        }
        ::SetTextColor(dc, oldColour);
    }
    // Limits.
    {
        Selected pen(dc, ::CreatePen(PS_DOT, 1, kLimit), true);
        for (int limit : {low, high}) {
            if (limit == VORNHIST_GAP)
                continue;
            ::MoveToEx(dc, plot.left + 1, yOf(limit), nullptr);
            ::LineTo(dc, plot.right - 1, yOf(limit));
        }
    }
    // The slots by pixel column: the band from the lowest minimum to the highest maximum,
    // and a line through the last mean, broken where a column has no value.
    struct ColumnValues {
        bool any = false;
        int min = 0;
        int max = 0;
        int mean = 0;
    };
    std::vector<ColumnValues> columns(static_cast<std::size_t>(pw) + 1);
    for (unsigned int i = 0; i < series.info.nSlots; ++i) {
        const VORNHISTSLOT& s = series.slots[i];
        if (s.nMean == VORNHIST_GAP)
            continue;
        const int x = xOf(series.info.llFirst + static_cast<long long>(i) * step) - plot.left - 1;
        ColumnValues& c = columns[static_cast<std::size_t>(std::max(0, std::min(pw, x)))];
        c.min = c.any ? std::min(c.min, s.nMin) : s.nMin;
        c.max = c.any ? std::max(c.max, s.nMax) : s.nMax;
        c.mean = s.nMean;
        c.any = true;
    }
    {
        Selected pen(dc, ::CreatePen(PS_SOLID, 1, kBand), true);
        for (int x = 0; x <= pw; ++x) {
            const ColumnValues& c = columns[static_cast<std::size_t>(x)];
            if (!c.any || c.min == c.max)
                continue;
            ::MoveToEx(dc, plot.left + 1 + x, yOf(c.max), nullptr);
            ::LineTo(dc, plot.left + 1 + x, yOf(c.min) + 1);
        }
    }
    Selected pen(dc, ::CreatePen(PS_SOLID, 1, kLine), true);
    // Neighbouring columns are joined, across one empty column too (slots sparser than pixels).
    constexpr int kBridge = 2;
    int lastX = -1000;
    for (int x = 0; x <= pw; ++x) {
        const ColumnValues& c = columns[static_cast<std::size_t>(x)];
        if (!c.any)
            continue;
        const int px = plot.left + 1 + x;
        if (x - lastX <= kBridge)
            ::LineTo(dc, px, yOf(c.mean));
        else
            ::MoveToEx(dc, px, yOf(c.mean), nullptr);
        ::SetPixel(dc, px, yOf(c.mean), kLine);
        lastX = x;
    }
}
