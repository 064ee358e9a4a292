#include "agent/metrics_server.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vorn::agent {

namespace {

// Accepts per listening socket per wake, so that a connection flood cannot hold the loop.
constexpr int kAcceptsPerWake = 32;
constexpr std::size_t kReadChunk = 4096;
constexpr int kBacklog = 64;

std::uint16_t PortOf(const Endpoint& ep) {
    if (ep.addr.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in*>(&ep.addr)->sin_port);
    return ntohs(reinterpret_cast<const sockaddr_in6*>(&ep.addr)->sin6_port);
}

void CloseSocket(int fd) {
    close(fd);
}

bool WouldBlock(int err) {
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

// One non-blocking send of a short response to a connection about to be closed.
void SendOnce(int fd, const std::string& bytes) {
    const ssize_t r = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    (void)r;  // best effort: the connection is closed whatever happens
}

}  // namespace

MetricsServer::~MetricsServer() {
    Close();
}

void MetricsServer::Close() {
    for (Connection& c : connections_)
        CloseSocket(c.fd);
    connections_.clear();
    for (int fd : listeners_)
        CloseSocket(fd);
    listeners_.clear();
}

bool MetricsServer::Listen(const std::vector<Endpoint>& endpoints, std::string* error) {
    Close();
    if (endpoints.size() > kMaxListen) {
        if (error)
            *error = "at most " + std::to_string(kMaxListen) + " metrics addresses";
        return false;
    }
    for (const Endpoint& ep : endpoints) {
        const int family = ep.addr.ss_family;
        const int fd = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        bool ok = fd >= 0;
        if (ok) {
            // A restart binds again at once, even with connections of the last run in TIME_WAIT.
            const int one = 1;
            setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        }
        if (ok && family == AF_INET6) {
            // As for UDP: an IPv6 wildcard also takes IPv4 unless IPv4 has the port too.
            int v6only = 0;
            for (const Endpoint& other : endpoints) {
                if (other.addr.ss_family == AF_INET && PortOf(other) == PortOf(ep))
                    v6only = 1;
            }
            setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
        }
        ok = ok && bind(fd, reinterpret_cast<const sockaddr*>(&ep.addr), ep.len) == 0 &&
             listen(fd, kBacklog) == 0;
        if (!ok) {
            const int err = errno;
            if (fd >= 0)
                CloseSocket(fd);
            Close();
            if (error) {
                *error = "cannot serve metrics on " +
                         FormatEndpoint(reinterpret_cast<const sockaddr*>(&ep.addr)) + ": " +
                         std::strerror(err);
            }
            return false;
        }
        listeners_.push_back(fd);
    }
    return true;
}

std::vector<Endpoint> MetricsServer::Bound() const {
    std::vector<Endpoint> bound;
    for (int fd : listeners_) {
        Endpoint ep;
        ep.len = sizeof ep.addr;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&ep.addr), &ep.len) == 0)
            bound.push_back(ep);
    }
    return bound;
}

std::size_t MetricsServer::AddToPoll(pollfd* fds) const {
    std::size_t n = 0;
    for (int fd : listeners_)
        fds[n++] = pollfd{fd, POLLIN, 0};
    for (const Connection& c : connections_) {
        const short events = c.phase == Phase::kWriting ? POLLOUT : POLLIN;
        fds[n++] = pollfd{c.fd, events, 0};
    }
    return n;
}

int MetricsServer::TimeoutMs(Clock::time_point now) const {
    if (connections_.empty())
        return -1;
    Clock::time_point nearest = connections_.front().deadline;
    for (const Connection& c : connections_)
        nearest = std::min(nearest, c.deadline);
    if (nearest <= now)
        return 0;
    // Rounded up, so that the wake comes after the deadline rather than just before it.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(nearest - now).count();
    return static_cast<int>(std::min<long long>(ms, 60000));
}

void MetricsServer::Handle(const pollfd* fds, std::size_t count, Clock::time_point now,
                           const AllowList& allow, const Render& render) {
    const std::size_t listeners = std::min(count, listeners_.size());
    const std::size_t polled = std::min(count - listeners, connections_.size());
    // Connections first, in the order they were polled, kept ones moved to the front in
    // place; new ones are appended after them.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < connections_.size(); ++i) {
        Connection& c = connections_[i];
        const short revents = i < polled ? fds[listeners + i].revents : 0;
        bool keep = true;
        if (revents & (POLLIN | POLLOUT | POLLERR | POLLHUP)) {
            if (c.phase == Phase::kReading)
                keep = Read(c, now, render);
            else if (c.phase == Phase::kWriting)
                keep = Write(c, now);
            else
                keep = Drain(c);
        }
        if (keep && c.deadline <= now) {
            if (c.phase == Phase::kReading) {
                // Time is up for the request: say so, then close as after any response.
                ++counters_.timed_out;
                keep = Respond(c, RequestVerdict::kIncomplete, now, render);
            } else {
                keep = false;
            }
        }
        if (!keep) {
            CloseSocket(c.fd);
            continue;
        }
        if (kept != i)
            connections_[kept] = std::move(c);
        ++kept;
    }
    connections_.resize(kept);
    for (std::size_t i = 0; i < listeners; ++i) {
        if (fds[i].revents & POLLIN)
            Accept(fds[i].fd, now, allow);
    }
}

void MetricsServer::Accept(int listener, Clock::time_point now, const AllowList& allow) {
    for (int i = 0; i < kAcceptsPerWake; ++i) {
        sockaddr_storage from{};
        socklen_t len = sizeof from;
        const int fd = accept4(listener, reinterpret_cast<sockaddr*>(&from), &len,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;  // nothing more waiting (or a connection that went away before accept)
        if (len == 0 || len > sizeof from || !allow.Admits(reinterpret_cast<sockaddr*>(&from))) {
            ++counters_.refused;
            CloseSocket(fd);
            continue;
        }
        if (connections_.size() >= kMaxConnections) {
            ++counters_.busy;
            SendOnce(fd, HttpResponse(HttpStatus::kServiceUnavailable));
            CloseSocket(fd);
            continue;
        }
        Connection c;
        c.fd = fd;
        c.deadline = now + kRequestTime;
        connections_.push_back(std::move(c));
    }
}

bool MetricsServer::Read(Connection& c, Clock::time_point now, const Render& render) {
    char buf[kReadChunk];
    const ssize_t got = recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
    if (got < 0 && WouldBlock(errno))
        return true;
    if (got <= 0) {
        // Closed or failed before a whole request arrived: nobody is left to answer.
        ++counters_.malformed;
        return false;
    }
    const RequestVerdict verdict = c.reader.Feed(std::string_view(buf, std::size_t(got)));
    if (verdict == RequestVerdict::kIncomplete)
        return true;
    Count(verdict);
    return Respond(c, verdict, now, render);
}

void MetricsServer::Count(RequestVerdict verdict) {
    switch (verdict) {
        case RequestVerdict::kMetrics:
            ++counters_.served;
            break;
        case RequestVerdict::kNotFound:
            ++counters_.not_found;
            break;
        case RequestVerdict::kMethodNotAllowed:
            ++counters_.method_not_allowed;
            break;
        case RequestVerdict::kMalformed:
            ++counters_.malformed;
            break;
        case RequestVerdict::kTooLarge:
            ++counters_.too_large;
            break;
        case RequestVerdict::kIncomplete:
            break;
    }
}

bool MetricsServer::Respond(Connection& c, RequestVerdict verdict, Clock::time_point now,
                            const Render& render) {
    const HttpStatus status = StatusFor(verdict);
    c.response =
        status == HttpStatus::kOk && render ? HttpResponse(status, render()) : HttpResponse(status);
    c.sent = 0;
    c.phase = Phase::kWriting;
    c.deadline = now + kResponseTime;
    // Most responses fit the socket's buffer, so the first write usually finishes them.
    return Write(c, now);
}

bool MetricsServer::Write(Connection& c, Clock::time_point now) {
    const ssize_t r = send(c.fd, c.response.data() + c.sent, c.response.size() - c.sent,
                           MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r < 0)
        return WouldBlock(errno);
    c.sent += std::size_t(r);
    if (c.sent < c.response.size())
        return true;
    c.response = std::string();
    shutdown(c.fd, SHUT_WR);
    c.phase = Phase::kClosing;
    c.deadline = now + kCloseTime;
    return true;
}

bool MetricsServer::Drain(Connection& c) {
    char buf[kReadChunk];
    const ssize_t got = recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
    if (got < 0)
        return WouldBlock(errno);
    return got > 0;  // the peer's close (0) ends it
}

}  // namespace vorn::agent
