// The TCP side of the metrics endpoint: listening sockets and at most kMaxConnections
// non-blocking connections, driven by the agent's one poll loop so that a slow or hostile HTTP
// client never holds up a UDP answer. Each connection gets one request read, one response and
// is closed: the request head within kRequestTime, the response within kResponseTime, then a
// short wait for the peer's close so that an unread byte cannot turn the close into a reset
// that loses the response. Refused sources are closed at once. A source (an IPv4 address, an
// IPv6 /64) holds at most kMaxPerSource of the slots, so one client cannot starve a scraper;
// a connection past its source's share or past every slot gets a 503, closed the same careful
// way (up to kMaxRefusals of them at once; past that they are closed at once). Serving thread
// only.
//
// metrics_server.cpp holds every socket call of the endpoint, for POSIX and Winsock alike
// (readiness comes as pollfd entries on both: poll, or WSAPoll after the wait on event()).
#pragma once

#ifndef _WIN32
#include <poll.h>
#endif

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "agent/address.h"
#include "agent/allow_list.h"
#include "agent/metrics_http.h"
#include "agent/metrics_text.h"
#include "agent/socket.h"

namespace vorn::agent {

class MetricsServer {
public:
    using Clock = std::chrono::steady_clock;
    // Writes the exposition at the moment a request has been read.
    using Render = std::function<std::string()>;

    static constexpr std::size_t kMaxListen = 16;
    static constexpr std::size_t kMaxConnections = 16;
    static constexpr std::size_t kMaxPerSource = 4;
    static constexpr std::size_t kMaxRefusals = 16;
    static constexpr std::chrono::milliseconds kRequestTime{5000};
    static constexpr std::chrono::milliseconds kResponseTime{5000};
    static constexpr std::chrono::milliseconds kCloseTime{1000};
    // The most descriptors AddToPoll adds.
    static constexpr std::size_t kMaxPollFds = kMaxListen + kMaxConnections + kMaxRefusals;

    MetricsServer() = default;
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // Opens one listening socket per endpoint (port 0 takes a free port); none is allowed and
    // leaves the endpoint off. On failure closes what it opened and says which address failed.
    bool Listen(const std::vector<Endpoint>& endpoints, std::string* error);

    // The bound addresses, with the ports the system gave.
    std::vector<Endpoint> Bound() const;

    // Appends the descriptors to wait for, with their events; returns how many it added.
    std::size_t AddToPoll(pollfd* fds) const;

    // Milliseconds until the nearest connection deadline (0 when one has passed), -1 for none.
    int TimeoutMs(Clock::time_point now) const;

    // Acts on what poll reported for the `count` entries AddToPoll wrote at `fds` (unchanged
    // since), then ends connections whose time is up. Bounded work per call: one read or one
    // write per connection and a bounded number of accepts per listening socket.
    void Handle(const pollfd* fds, std::size_t count, Clock::time_point now, const AllowList& allow,
                const Render& render);

#ifdef _WIN32
    // Set when a listening socket or a connection may be ready (every one is selected into
    // it); the serving loop waits on it with the datagrams' events, resets it, then asks
    // WSAPoll which ones are. nullptr while nothing listens.
    HANDLE event() const {
        return event_;
    }
#endif

    // Connections open now, refusals being closed included.
    std::size_t open_connections() const {
        return connections_.size();
    }

    const MetricsConnectionCounters& counters() const {
        return counters_;
    }

private:
    enum class Phase { kReading, kWriting, kClosing };
    struct Connection {
        net::Socket fd = net::kNoSocket;
        Phase phase = Phase::kReading;
        Clock::time_point deadline;
        RequestReader reader;
        std::string response;
        std::size_t sent = 0;
        SourceKey source{};
        bool refusal = false;  // a 503 being delivered; holds no slot
    };

    void Accept(net::Socket listener, Clock::time_point now, const AllowList& allow);
    // Each returns false when the connection is to be closed now.
    bool Read(Connection& c, Clock::time_point now, const Render& render);
    bool Write(Connection& c, Clock::time_point now);
    bool Drain(Connection& c);
    bool Respond(Connection& c, RequestVerdict verdict, Clock::time_point now,
                 const Render& render);
    void Count(RequestVerdict verdict);
    void Close();

    // Prepares a new socket for the platform's wait; false on failure.
    bool Watch(net::Socket fd, long events);

    std::vector<net::Socket> listeners_;
#ifdef _WIN32
    HANDLE event_ = nullptr;
#endif
    std::vector<Connection> connections_;
    MetricsConnectionCounters counters_;
};

}  // namespace vorn::agent
