// Turns SIGHUP, SIGTERM and SIGINT into bytes on a pipe that the serving loop polls, so
// that nothing but a write(2) happens inside a signal handler.
#pragma once

namespace vorn::agent {

class SignalPipe {
public:
    struct Pending {
        bool reload = false;  // SIGHUP
        bool stop = false;    // SIGTERM or SIGINT
    };

    // Installs the handlers; there is at most one SignalPipe per process.
    SignalPipe();
    // Restores the default actions and closes the pipe.
    ~SignalPipe();
    SignalPipe(const SignalPipe&) = delete;
    SignalPipe& operator=(const SignalPipe&) = delete;

    // True when the pipe and the handlers are in place.
    bool ok() const { return read_fd_ >= 0; }

    // Readable when a signal has arrived.
    int fd() const { return read_fd_; }

    // Reads every byte waiting and says which signals they stand for.
    Pending Drain();

private:
    int read_fd_ = -1;
    int write_fd_ = -1;
};

}  // namespace vorn::agent
