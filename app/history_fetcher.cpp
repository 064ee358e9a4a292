#include "app/history_fetcher.h"

#include <utility>

namespace {

// The wait for each page; the plug-in tries each page three times.
constexpr unsigned int kPageTimeoutMs = 1000;

// Holds a critical section for a scope.
class Locked {
public:
    explicit Locked(CRITICAL_SECTION& cs) : m_cs(cs) { ::EnterCriticalSection(&m_cs); }
    ~Locked() { ::LeaveCriticalSection(&m_cs); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    CRITICAL_SECTION& m_cs;
};

}  // namespace

CHistoryFetcher::CHistoryFetcher() {
    ::InitializeCriticalSection(&m_lock);
}

CHistoryFetcher::~CHistoryFetcher() {
    Stop();
    ::DeleteCriticalSection(&m_lock);
}

bool CHistoryFetcher::Start(const VORNPLUG* plugin) {
    if (m_hThread != nullptr)
        return true;
    m_plugin = plugin;
    m_bStop = false;
    if (m_hWake == nullptr)
        m_hWake = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (m_hWake == nullptr)
        return false;
    m_hThread = ::CreateThread(nullptr, 0, &CHistoryFetcher::ThreadProc, this, 0, nullptr);
    return m_hThread != nullptr;
}

void CHistoryFetcher::Stop() {
    if (m_hThread != nullptr) {
        {
            Locked lock(m_lock);
            m_bStop = true;
            m_hNotify = nullptr;
        }
        ::SetEvent(m_hWake);
        ::WaitForSingleObject(m_hThread, INFINITE);
        ::CloseHandle(m_hThread);
        m_hThread = nullptr;
    }
    if (m_hWake != nullptr) {
        ::CloseHandle(m_hWake);
        m_hWake = nullptr;
    }
}

void CHistoryFetcher::Request(HWND notify, UINT message, int span) {
    {
        Locked lock(m_lock);
        m_hNotify = notify;
        m_nMessage = message;
        m_nSpan = span;
        m_bPending = true;
    }
    if (m_hWake != nullptr)
        ::SetEvent(m_hWake);
}

void CHistoryFetcher::Forget(HWND notify) {
    Locked lock(m_lock);
    if (m_hNotify == notify) {
        m_hNotify = nullptr;
        m_bPending = false;
    }
    m_result.reset();
}

bool CHistoryFetcher::Take(HistorySet* out) {
    Locked lock(m_lock);
    if (!m_result)
        return false;
    *out = std::move(*m_result);
    m_result.reset();
    return true;
}

DWORD WINAPI CHistoryFetcher::ThreadProc(LPVOID param) {
    static_cast<CHistoryFetcher*>(param)->Run();
    return 0;
}

void CHistoryFetcher::Run() {
    for (;;) {
        ::WaitForSingleObject(m_hWake, INFINITE);
        int span = 1;
        {
            Locked lock(m_lock);
            if (m_bStop)
                return;
            if (!m_bPending)
                continue;
            m_bPending = false;
            span = m_nSpan;
        }
        auto set = std::make_unique<HistorySet>();
        Fetch(span, set.get());
        Locked lock(m_lock);
        if (m_bStop)
            return;
        // Posted under the lock, so a window that Forget has let go gets nothing more.
        if (m_hNotify != nullptr) {
            m_result = std::move(set);
            ::PostMessageA(m_hNotify, m_nMessage, 0, 0);
        }
    }
}

void CHistoryFetcher::Fetch(int span, HistorySet* set) {
    const HistorySpanInfo& info = SpanInfo(span);
    const unsigned int slots = SlotsOfSpan(span);
    const long long step = info.seconds / slots;
    set->span = span;
    int stopAt = -1;  // every later reading gets this result without asking
    for (int field = 0; field < LMDATA_FIELDS; ++field) {
        HistorySeries& series = set->series[field];
        if (stopAt >= 0) {
            series.result = stopAt;
            continue;
        }
        {
            Locked lock(m_lock);
            if (m_bStop || m_hNotify == nullptr) {
                stopAt = VORNHIST_FAILED;
                series.result = stopAt;
                continue;
            }
        }
        series.slots.resize(slots);
        series.result =
            m_plugin->GetHistory(field, info.resolution, -(info.seconds - step), 0, series.info,
                                 series.slots.data(), slots, kPageTimeoutMs);
        if (series.result == VORNHIST_OK) {
            series.slots.resize(series.info.nSlots);
        } else {
            series.slots.clear();
            // Asking the other readings would only take as long again for the same answer.
            if (series.result != VORNHIST_FAILED)
                stopAt = series.result;
        }
    }
}
