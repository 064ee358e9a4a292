// Stop and reload requests on Windows. Every source of a request (the console's control
// handler, the service manager's handler, the thread that waits for the reload command's
// named event) sets a flag and then one manual-reset event that the serving loop waits on.
#include <atomic>

#include "agent/win/reload.h"
#include "agent/signals.h"

namespace vorn::agent {

namespace {

// Handlers run on threads of the system's choosing and can reach nothing but globals.
std::atomic<HANDLE> g_wake{nullptr};
std::atomic<bool> g_stop{false};
std::atomic<bool> g_reload{false};
HANDLE g_quit_listener = nullptr;  // ends the reload listener
HANDLE g_finished = nullptr;       // set once the loop has ended, for the console's close

void Wake() {
    const HANDLE wake = g_wake.load();
    if (wake)
        SetEvent(wake);
}

BOOL WINAPI OnConsoleControl(DWORD type) {
    switch (type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            RequestStop();
            return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            // The process ends when this handler returns: give the loop a moment to finish
            // (the system allows about five seconds).
            RequestStop();
            if (g_finished)
                WaitForSingleObject(g_finished, 4000);
            return TRUE;
        default:
            return FALSE;  // log-off: a service carries on; a console agent ends with its user
    }
}

DWORD WINAPI ListenForReload(void* event) {
    HANDLE handles[2] = {static_cast<HANDLE>(event), g_quit_listener};
    for (;;) {
        const DWORD which = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
        if (which != WAIT_OBJECT_0)
            break;
        RequestReload();
    }
    CloseHandle(static_cast<HANDLE>(event));
    return 0;
}

}  // namespace

void RequestStop() {
    g_stop = true;
    Wake();
}

void RequestReload() {
    g_reload = true;
    Wake();
}

SignalPipe::SignalPipe() {
    const HANDLE wake = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_quit_listener = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!wake || !g_finished || !g_quit_listener)
        return;
    g_stop = false;
    g_reload = false;
    g_wake = wake;
    // Ctrl+C reaches the handler even when a launcher started the agent in a process group of
    // its own (where Ctrl+C is otherwise ignored).
    SetConsoleCtrlHandler(nullptr, FALSE);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    // Every console agent of this session answers the reload command; without the event
    // (another program holds the name) reloading is left to the service manager.
    const HANDLE reload = CreateEventW(nullptr, FALSE, FALSE, win::kReloadEventName);
    if (reload) {
        reload_listener_ = CreateThread(nullptr, 0, ListenForReload, reload, 0, nullptr);
        if (!reload_listener_)
            CloseHandle(reload);
    }
}

SignalPipe::~SignalPipe() {
    if (g_finished)
        SetEvent(g_finished);
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    if (reload_listener_) {
        SetEvent(g_quit_listener);
        WaitForSingleObject(reload_listener_, INFINITE);
        CloseHandle(reload_listener_);
    }
    const HANDLE wake = g_wake.exchange(nullptr);
    if (wake)
        CloseHandle(wake);
    // g_finished stays open: a close handler may still be waiting on it as the process ends.
    if (g_quit_listener)
        CloseHandle(g_quit_listener);
    g_quit_listener = nullptr;
}

bool SignalPipe::ok() const {
    return g_wake.load() != nullptr;
}

net::Wake SignalPipe::fd() const {
    return g_wake.load();
}

SignalPipe::Pending SignalPipe::Drain() {
    const HANDLE wake = g_wake.load();
    if (wake)
        ResetEvent(wake);
    Pending p;
    p.stop = g_stop.exchange(false);
    p.reload = g_reload.exchange(false);
    return p;
}

}  // namespace vorn::agent
