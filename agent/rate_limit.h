// Per-source rate limiting: a small token bucket per source address, in a table of bounded
// size. A source may send `burst` requests at once and then `rate` a second; a source that
// stays within that is never refused. Serving thread only.
#pragma once

#include "agent/socket.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vorn::agent {

class RateLimiter {
public:
    using Clock = std::chrono::steady_clock;

    // Default table size: enough for every bar of a site, small enough to scan.
    static constexpr std::size_t kDefaultSources = 1024;

    // `rate` requests a second per source, with a burst of as many (0: no limit).
    explicit RateLimiter(int rate = 0, std::size_t max_sources = kDefaultSources);

    // True when a request from `source` at `now` may be answered; takes one token if so.
    // IPv4-mapped IPv6 sources share the bucket of their IPv4 address; the port is ignored.
    bool Admit(const sockaddr* source, Clock::time_point now);

    // Sources with a bucket now.
    std::size_t sources() const { return buckets_.size(); }

    int rate() const { return rate_; }

private:
    struct Bucket {
        std::array<std::uint8_t, 16> addr{};
        double tokens = 0;
        Clock::time_point last{};
    };

    int rate_;
    std::size_t max_sources_;
    std::vector<Bucket> buckets_;
};

}  // namespace vorn::agent
