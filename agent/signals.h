// The requests to stop or reload that reach the agent from outside its serving loop, turned
// into one thing the loop waits on. POSIX: SIGHUP, SIGTERM and SIGINT become bytes on a pipe,
// so that nothing but a write(2) happens inside a signal handler. Windows: Ctrl+C, Ctrl+Break
// and closing the console stop, and so does the service manager; the reload command
// (`vornagent --reload`) or the service's "paramchange" reloads; each sets an event.
#pragma once

#include "agent/socket.h"

namespace vorn::agent {

class SignalPipe {
public:
    struct Pending {
        bool reload = false;  // SIGHUP, or the reload command
        bool stop = false;    // SIGTERM or SIGINT, or a console or service stop
    };

    // Installs the handlers; there is at most one SignalPipe per process.
    SignalPipe();
    // Restores the default actions and closes the pipe.
    ~SignalPipe();
    SignalPipe(const SignalPipe&) = delete;
    SignalPipe& operator=(const SignalPipe&) = delete;

    // True when the pipe and the handlers are in place.
    bool ok() const;

    // Readable (POSIX) or signalled (Windows) when a request has arrived.
    net::Wake fd() const;

    // Takes every request waiting and says what they ask for.
    Pending Drain();

private:
#ifdef _WIN32
    HANDLE reload_listener_ = nullptr;  // thread waiting on the named reload event
#else
    int read_fd_ = -1;
    int write_fd_ = -1;
#endif
};

// Asks the running SignalPipe's loop to stop or to reload; callable from any thread (the
// service manager's handler). Does nothing while no SignalPipe exists.
void RequestStop();
void RequestReload();

}  // namespace vorn::agent
