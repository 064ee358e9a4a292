// The history window's worker: reads the thirteen readings' history over a span from the
// plug-in on a thread of its own, so that neither the window nor the bar ever waits for the
// network, and tells the window with a posted message when a set is ready.
#pragma once

#include <windows.h>

#include <memory>

#include "app/history_view.h"
#include "plugin_api/vornplug.h"

class CHistoryFetcher {
public:
    CHistoryFetcher();
    ~CHistoryFetcher();
    CHistoryFetcher(const CHistoryFetcher&) = delete;
    CHistoryFetcher& operator=(const CHistoryFetcher&) = delete;

    // Starts the thread on `plugin`, which must stay created until Stop has returned.
    bool Start(const VORNPLUG* plugin);
    // Ends the thread and waits for it. A read in progress ends promptly only once the
    // plug-in has been cancelled (the bar does that first at exit); otherwise at its next
    // reading.
    void Stop();

    // Asks for `span`; `notify` gets `message` once the set is ready. A request that has
    // not begun is replaced.
    void Request(HWND notify, UINT message, int span);
    // Forgets `notify` (its window is closing): nothing more is posted to it.
    void Forget(HWND notify);
    // Moves the newest finished set to *out; false when there is none.
    bool Take(HistorySet* out);

private:
    static DWORD WINAPI ThreadProc(LPVOID param);
    void Run();
    // Reads every reading over `span`; stops early on an agent without history or a stop.
    void Fetch(int span, HistorySet* set);

    const VORNPLUG* m_plugin = nullptr;
    CRITICAL_SECTION m_lock;
    HANDLE m_hWake = nullptr;  // auto-reset: a request or the stop
    HANDLE m_hThread = nullptr;
    // Guarded by m_lock.
    bool m_bStop = false;
    bool m_bPending = false;
    int m_nSpan = 1;
    HWND m_hNotify = nullptr;
    UINT m_nMessage = 0;
    std::unique_ptr<HistorySet> m_result;
};
