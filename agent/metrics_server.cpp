#include "agent/metrics_server.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vorn::agent {

namespace {

// Accepts per listening socket per wake, so that a connection flood cannot hold the loop.
constexpr int kAcceptsPerWake = 32;
constexpr std::size_t kReadChunk = 4096;
constexpr int kBacklog = 64;

// The few calls that are spelt differently under Winsock.
#ifdef _WIN32
constexpr int kReceiveFlags = 0;
constexpr int kSendFlags = 0;  // Winsock raises no signal on a closed peer
constexpr int kShutWrite = SD_SEND;

net::Socket OpenStream(int family) {
    const net::Socket s =
        WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET)
        return s;
    u_long nonblocking = 1;
    ioctlsocket(s, FIONBIO, &nonblocking);
    // Windows' SO_REUSEADDR would let another program take the port; this forbids it.
    const BOOL exclusive = TRUE;
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
               sizeof exclusive);
    return s;
}

net::Socket AcceptFrom(net::Socket listener, sockaddr_storage* from, socklen_t* len) {
    // The accepted socket shares the listener's event selection, and so is non-blocking.
    return accept(listener, reinterpret_cast<sockaddr*>(from), len);
}

bool WouldBlock() {
    const int e = WSAGetLastError();
    return e == WSAEWOULDBLOCK || e == WSAEINTR || e == WSAEINPROGRESS;
}
#else
constexpr int kReceiveFlags = MSG_DONTWAIT;
constexpr int kSendFlags = MSG_NOSIGNAL | MSG_DONTWAIT;
constexpr int kShutWrite = SHUT_WR;

net::Socket OpenStream(int family) {
    const net::Socket s = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s >= 0) {
        // A restart binds again at once, even with connections of the last run in TIME_WAIT.
        const int one = 1;
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    }
    return s;
}

net::Socket AcceptFrom(net::Socket listener, sockaddr_storage* from, socklen_t* len) {
    return accept4(listener, reinterpret_cast<sockaddr*>(from), len, SOCK_NONBLOCK | SOCK_CLOEXEC);
}

bool WouldBlock() {
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}
#endif

long Receive(net::Socket fd, char* buf, std::size_t size) {
    return recv(fd, buf, static_cast<int>(size), kReceiveFlags);
}

long SendSome(net::Socket fd, const char* data, std::size_t size) {
    return send(fd, data, static_cast<int>(size), kSendFlags);
}

#ifdef _WIN32
constexpr long kListenEvents = FD_ACCEPT;
constexpr long kConnectionEvents = FD_READ | FD_WRITE | FD_CLOSE;
#else
constexpr long kListenEvents = 0;
constexpr long kConnectionEvents = 0;
#endif

}  // namespace

MetricsServer::~MetricsServer() {
    Close();
}

void MetricsServer::Close() {
    for (Connection& c : connections_)
        net::CloseSocket(c.fd);
    connections_.clear();
    for (net::Socket fd : listeners_)
        net::CloseSocket(fd);
    listeners_.clear();
#ifdef _WIN32
    if (event_)
        WSACloseEvent(event_);
    event_ = nullptr;
#endif
}

bool MetricsServer::Watch(net::Socket fd, long events) {
#ifdef _WIN32
    if (!event_)
        event_ = WSACreateEvent();
    return event_ != WSA_INVALID_EVENT && WSAEventSelect(fd, event_, events) == 0;
#else
    (void)fd;
    (void)events;
    return true;
#endif
}

bool MetricsServer::Listen(const std::vector<Endpoint>& endpoints, std::string* error) {
    Close();
    if (endpoints.size() > kMaxListen) {
        if (error)
            *error = "at most " + std::to_string(kMaxListen) + " metrics addresses";
        return false;
    }
    if (!endpoints.empty() && !net::StartSockets(error))
        return false;
    for (const Endpoint& ep : endpoints) {
        const int family = ep.addr.ss_family;
        const net::Socket fd = OpenStream(family);
        const bool ok = fd != net::kNoSocket && BindListed(fd, ep, endpoints) &&
                        listen(fd, kBacklog) == 0 && Watch(fd, kListenEvents);
        if (!ok) {
            const std::string why = net::LastErrorText();
            if (fd != net::kNoSocket)
                net::CloseSocket(fd);
            Close();
            if (error) {
                *error = "cannot serve metrics on " +
                         FormatEndpoint(reinterpret_cast<const sockaddr*>(&ep.addr)) + ": " + why;
            }
            return false;
        }
        listeners_.push_back(fd);
    }
    return true;
}

std::vector<Endpoint> MetricsServer::Bound() const {
    std::vector<Endpoint> bound;
    for (net::Socket fd : listeners_) {
        Endpoint ep;
        ep.len = sizeof ep.addr;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&ep.addr), &ep.len) == 0)
            bound.push_back(ep);
    }
    return bound;
}

std::size_t MetricsServer::AddToPoll(pollfd* fds) const {
    std::size_t n = 0;
    for (net::Socket fd : listeners_)
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
            net::CloseSocket(c.fd);
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

void MetricsServer::Accept(net::Socket listener, Clock::time_point now, const AllowList& allow) {
    for (int i = 0; i < kAcceptsPerWake; ++i) {
        sockaddr_storage from{};
        socklen_t len = sizeof from;
        const net::Socket fd = AcceptFrom(listener, &from, &len);
        if (fd == net::kNoSocket)
            return;  // nothing more waiting (or a connection that went away before accept)
        SourceKey source{};
        if (len <= 0 || static_cast<std::size_t>(len) > sizeof from ||
            !allow.Admits(reinterpret_cast<sockaddr*>(&from)) ||
            !SourceKeyOf(reinterpret_cast<sockaddr*>(&from), &source)) {
            ++counters_.refused;
            net::CloseSocket(fd);
            continue;
        }
        std::size_t serving = 0, of_source = 0, refusals = 0;
        for (const Connection& c : connections_) {
            if (c.refusal) {
                ++refusals;
                continue;
            }
            ++serving;
            of_source += c.source == source ? 1 : 0;
        }
        const bool busy = serving >= kMaxConnections || of_source >= kMaxPerSource;
        if (busy)
            ++counters_.busy;
        if ((busy && refusals >= kMaxRefusals) || !Watch(fd, kConnectionEvents)) {
            net::CloseSocket(fd);
            continue;
        }
        Connection c;
        c.fd = fd;
        c.source = source;
        c.deadline = now + kRequestTime;
        if (busy) {
            // The 503 is written, the sending side shut and the request drained until the
            // client closes: closing with its request unread would reset the connection, and
            // the reset can overtake the 503.
            c.refusal = true;
            c.response = HttpResponse(HttpStatus::kServiceUnavailable);
            c.phase = Phase::kWriting;
            c.deadline = now + kCloseTime;
            if (!Write(c, now)) {
                net::CloseSocket(fd);
                continue;
            }
        }
        connections_.push_back(std::move(c));
    }
}

bool MetricsServer::Read(Connection& c, Clock::time_point now, const Render& render) {
    char buf[kReadChunk];
    const long got = Receive(c.fd, buf, sizeof buf);
    if (got < 0 && WouldBlock())
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
    const bool head = c.reader.head();
    c.response = status == HttpStatus::kOk && render ? HttpResponse(status, render(), head)
                                                     : HttpResponse(status, {}, head);
    c.sent = 0;
    c.phase = Phase::kWriting;
    c.deadline = now + kResponseTime;
    // Most responses fit the socket's buffer, so the first write usually finishes them.
    return Write(c, now);
}

bool MetricsServer::Write(Connection& c, Clock::time_point now) {
    const long r = SendSome(c.fd, c.response.data() + c.sent, c.response.size() - c.sent);
    if (r < 0)
        return WouldBlock();
    c.sent += std::size_t(r);
    if (c.sent < c.response.size())
        return true;
    c.response = std::string();
    shutdown(c.fd, kShutWrite);
    c.phase = Phase::kClosing;
    c.deadline = now + kCloseTime;
    return true;
}

bool MetricsServer::Drain(Connection& c) {
    char buf[kReadChunk];
    const long got = Receive(c.fd, buf, sizeof buf);
    if (got < 0)
        return WouldBlock();
    return got > 0;  // the peer's close (0) ends it
}

}  // namespace vorn::agent
