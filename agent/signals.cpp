#include "agent/signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace vorn::agent {

namespace {

// A signal handler can reach nothing but globals; this is the write end of the one pipe.
volatile sig_atomic_t g_write_fd = -1;

void OnSignal(int sig) {
    const int saved = errno;
    const char byte = sig == SIGHUP ? 'H' : 'T';
    if (g_write_fd >= 0) {
        // A full pipe already holds enough bytes to wake the loop.
        [[maybe_unused]] const ssize_t n = write(g_write_fd, &byte, 1);
    }
    errno = saved;
}

constexpr int kSignals[] = {SIGHUP, SIGTERM, SIGINT};

}  // namespace

bool SignalPipe::ok() const {
    return read_fd_ >= 0;
}

net::Wake SignalPipe::fd() const {
    return read_fd_;
}

void RequestStop() {
    OnSignal(SIGTERM);
}

void RequestReload() {
    OnSignal(SIGHUP);
}

SignalPipe::SignalPipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    read_fd_ = fds[0];
    write_fd_ = fds[1];
    g_write_fd = write_fd_;
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : kSignals)
        sigaction(sig, &sa, nullptr);
}

SignalPipe::~SignalPipe() {
    struct sigaction sa {};
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    for (int sig : kSignals)
        sigaction(sig, &sa, nullptr);
    g_write_fd = -1;
    if (read_fd_ >= 0)
        close(read_fd_);
    if (write_fd_ >= 0)
        close(write_fd_);
}

SignalPipe::Pending SignalPipe::Drain() {
    Pending p;
    char buf[64];
    for (;;) {
        const ssize_t n = read(read_fd_, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] == 'H')
                p.reload = true;
            if (buf[i] == 'T')
                p.stop = true;
        }
    }
    return p;
}

}  // namespace vorn::agent
