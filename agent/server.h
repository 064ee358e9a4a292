// The UDP side of the agent: one non-blocking socket per listening address, answered from
// one thread. A request is answered only when it comes from an admitted source, decodes as a
// valid request and is within its source's rate; the reply is as long as the request, so the agent
// never amplifies. Replies carry the refresher's current snapshot: answering never waits for
// the sensors.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "agent/address.h"
#include "agent/allow_list.h"
#include "agent/log.h"
#include "agent/rate_limit.h"
#include "agent/socket.h"
#include "protocol/history_protocol.h"
#include "readings/refresher.h"

namespace vorn::agent {

class HistoryPages;
class MetricsServer;

class Server {
public:
    static constexpr std::size_t kMaxListen = 16;
    // The longest datagram read and the longest reply written (a history page).
    static constexpr std::size_t kReplyCapacity = proto::kHistoryMaxDatagram;

    struct Counters {
        std::uint64_t answered = 0;
        std::uint64_t malformed = 0;         // dropped: not a valid request
        std::uint64_t refused = 0;           // dropped: source not admitted
        std::uint64_t limited = 0;           // dropped: source over its rate
        std::uint64_t history_pages = 0;     // version 3: pages sent
        std::uint64_t history_refusals = 0;  // version 3: refusals sent
        std::uint64_t history_limited = 0;   // version 3: dropped over the history budget
    };

    Server() = default;
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Opens and binds one socket per endpoint (port 0 takes a free port); on failure
    // closes what it opened and says which address failed.
    bool Listen(const std::vector<Endpoint>& endpoints, std::string* error);

    // The bound addresses, with the ports the system gave.
    std::vector<Endpoint> Bound() const;

    // Waits up to `timeout_ms` (-1: no limit) for datagrams or for `wake` (a readable
    // descriptor on POSIX, a signalled event on Windows; -1 or nullptr for none), and answers
    // what has arrived from `refresher`'s current snapshot, within `limiter`'s rates when
    // given. With `metrics` (POSIX only for now), its connections are served from the same
    // wait, after the datagrams, `render` writing the exposition. Returns false when `wake`
    // is set.
    bool ServeOnce(int timeout_ms, net::Wake wake, const readings::Refresher& refresher,
                   const AllowList& allow, RateLimiter* limiter = nullptr,
                   MetricsServer* metrics = nullptr,
                   const std::function<std::string()>& render = {});

    const Counters& counters() const { return counters_; }

    // Answers version 3 requests from `pages` (not owned; null: they are dropped like any
    // unknown version).
    void SetHistory(HistoryPages* pages) { history_ = pages; }

private:
    // How one datagram is handled: dropped (and counted) or answered.
    enum class Verdict { kAnswer, kDrop };

    // Decides on one received datagram; on kAnswer `reply` (kReplyCapacity bytes) holds
    // *reply_size bytes to send. The snapshot is taken from `refresher` only once a valid
    // request is in hand (then kept in `snapshot` for the rest of the batch), so refused or
    // malformed floods cost nothing more.
    Verdict Decide(const sockaddr* from, socklen_t from_len, const std::uint8_t* data,
                   std::size_t size, bool truncated, const readings::Refresher& refresher,
                   const AllowList& allow, RateLimiter* limiter,
                   std::shared_ptr<const readings::Snapshot>* snapshot, std::uint8_t* reply,
                   std::size_t* reply_size);
    // The same for a version 3 datagram (history), on its own budget.
    Verdict DecideHistory(const sockaddr* from, const std::uint8_t* data, std::size_t size,
                          const readings::Refresher& refresher, std::uint8_t* reply,
                          std::size_t* reply_size);
    void Drain(net::Socket fd, const readings::Refresher& refresher, const AllowList& allow,
               RateLimiter* limiter);
    // Prepares a bound socket for the platform's wait; false on failure.
    bool Watch(net::Socket fd);
    void Close();

    HistoryPages* history_ = nullptr;
    std::vector<std::uint8_t> io_;  // POSIX: the batch's datagrams in and out
    std::vector<net::Socket> fds_;
#ifdef _WIN32
    std::vector<HANDLE> events_;  // one per socket, set while datagrams wait
#endif
    Counters counters_;
};

}  // namespace vorn::agent
