// The serving loop's I/O on Windows: one event per socket (WSAEventSelect) waited on together
// with the wake event, and datagrams taken one at a time until the socket has no more.
#include "agent/metrics_server.h"
#include "agent/server.h"

namespace vorn::agent {

namespace {

// Datagrams taken from one socket before looking at the others and at the wake event.
constexpr int kPerWake = 1024;
// Larger than the longest request, so that a longer datagram is told apart (WSAEMSGSIZE).
constexpr int kReceiveSize = static_cast<int>(Server::kReplyCapacity) + 1;

}  // namespace

bool Server::Watch(net::Socket fd) {
    const HANDLE event = WSACreateEvent();
    if (event == WSA_INVALID_EVENT)
        return false;
    if (WSAEventSelect(fd, event, FD_READ) != 0) {
        WSACloseEvent(event);
        return false;
    }
    events_.push_back(event);
    return true;
}

void Server::Close() {
    for (net::Socket fd : fds_)
        net::CloseSocket(fd);
    for (HANDLE event : events_)
        WSACloseEvent(event);
    fds_.clear();
    events_.clear();
}

bool Server::ServeOnce(int timeout_ms, net::Wake wake, const readings::Refresher& refresher,
                       const AllowList& allow, RateLimiter* limiter, MetricsServer* metrics,
                       const std::function<std::string()>& render) {
    HANDLE handles[kMaxListen + 2];
    const std::size_t n = fds_.size();
    for (std::size_t i = 0; i < n; ++i)
        handles[i] = events_[i];
    DWORD count = static_cast<DWORD>(n);
    const HANDLE metrics_event = metrics ? metrics->event() : nullptr;
    if (metrics_event)
        handles[count++] = metrics_event;
    if (wake)
        handles[count++] = wake;
    if (metrics) {
        // An HTTP connection's deadline wakes the loop, however long the caller would wait.
        const int due = metrics->TimeoutMs(MetricsServer::Clock::now());
        if (due >= 0 && (timeout_ms < 0 || due < timeout_ms))
            timeout_ms = due;
    }
    const DWORD ready = WSAWaitForMultipleEvents(
        count, handles, FALSE, timeout_ms < 0 ? WSA_INFINITE : static_cast<DWORD>(timeout_ms),
        FALSE);
    if (ready == WSA_WAIT_FAILED)
        return true;
    // Serve every socket with datagrams waiting, not just the first one signalled.
    for (std::size_t i = 0; ready != WSA_WAIT_TIMEOUT && i < n; ++i) {
        WSANETWORKEVENTS happened{};
        if (WSAEnumNetworkEvents(fds_[i], events_[i], &happened) == 0 &&
            (happened.lNetworkEvents & FD_READ)) {
            Drain(fds_[i], refresher, allow, limiter);
        }
    }
    // Datagrams first. The metrics sockets share one event: reset it, then ask WSAPoll which
    // of them are ready; what arrives after the reset sets the event again.
    if (metrics) {
        if (metrics_event)
            WSAResetEvent(metrics_event);
        pollfd pfds[MetricsServer::kMaxPollFds];
        const std::size_t m = metrics->AddToPoll(pfds);
        if (m > 0 && WSAPoll(pfds, static_cast<ULONG>(m), 0) < 0) {
            for (std::size_t i = 0; i < m; ++i)
                pfds[i].revents = 0;
        }
        metrics->Handle(pfds, m, MetricsServer::Clock::now(), allow, render);
    }
    return !(wake && WaitForSingleObject(wake, 0) == WAIT_OBJECT_0);
}

void Server::Drain(net::Socket fd, const readings::Refresher& refresher, const AllowList& allow,
                   RateLimiter* limiter) {
    char in[kReceiveSize];
    std::shared_ptr<const readings::Snapshot> snapshot;
    for (int taken = 0; taken < kPerWake; ++taken) {
        sockaddr_storage from{};
        int from_len = sizeof from;
        const int got =
            recvfrom(fd, in, kReceiveSize, 0, reinterpret_cast<sockaddr*>(&from), &from_len);
        bool truncated = false;
        if (got < 0) {
            const int error = WSAGetLastError();
            if (error == WSAEMSGSIZE) {
                truncated = true;
            } else if (error == WSAECONNRESET) {
                continue;  // an ICMP report about an earlier reply, not a datagram
            } else {
                return;  // WSAEWOULDBLOCK: nothing more waits
            }
        }
        std::uint8_t reply[kReplyCapacity];
        std::size_t size = 0;
        if (Decide(reinterpret_cast<const sockaddr*>(&from), from_len,
                   reinterpret_cast<const std::uint8_t*>(in),
                   static_cast<std::size_t>(got > 0 ? got : 0), truncated, refresher, allow,
                   limiter, &snapshot, reply, &size) != Verdict::kAnswer) {
            continue;
        }
        // A full send buffer or an unreachable peer loses this reply; the client asks again.
        sendto(fd, reinterpret_cast<const char*>(reply), static_cast<int>(size), 0,
               reinterpret_cast<const sockaddr*>(&from), from_len);
        ++counters_.answered;
    }
}

}  // namespace vorn::agent
