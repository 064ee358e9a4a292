// Per-source rate limiting: a token bucket per source (an IPv4 address, an IPv6 /64), in a
// table of bounded size. A source may send `burst` requests at once and then `rate` a second;
// a source that stays within that is never refused while the table has room for it. Sources
// past the table's size share one overflow bucket, so that rotating through many addresses
// never buys fresh bursts. Serving thread only.
#pragma once

#include "agent/address.h"
#include "agent/socket.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <unordered_map>

namespace vorn::agent {

class RateLimiter {
public:
    using Clock = std::chrono::steady_clock;

    // Default table size: enough for every bar of a site.
    static constexpr std::size_t kDefaultSources = 1024;

    // `rate` requests a second per source, with a burst of as many (0: no limit).
    explicit RateLimiter(int rate = 0, std::size_t max_sources = kDefaultSources);
    RateLimiter(const RateLimiter&) = delete;
    RateLimiter& operator=(const RateLimiter&) = delete;
    RateLimiter(RateLimiter&&) = default;
    RateLimiter& operator=(RateLimiter&&) = default;

    // True when a request from `source` at `now` may be answered; takes one token if so.
    // The key is SourceKeyOf's: the port is ignored, an IPv6 /64 is one source.
    bool Admit(const sockaddr* source, Clock::time_point now);

    // Sources with a bucket of their own now (the overflow bucket not counted).
    std::size_t sources() const { return table_.size(); }

    int rate() const { return rate_; }

private:
    struct Bucket {
        SourceKey key{};
        double tokens = 0;
        Clock::time_point last{};
    };
    struct KeyHash {
        std::size_t operator()(const SourceKey& key) const;
    };
    // Takes a token from `b` after refilling it for the time since its last request.
    bool Take(Bucket& b, Clock::time_point now) const;

    int rate_;
    std::size_t max_sources_;
    std::list<Bucket> recent_;  // most recently heard first
    std::unordered_map<SourceKey, std::list<Bucket>::iterator, KeyHash> table_;
    Bucket overflow_;  // shared by every source the table has no room for
    bool overflow_used_ = false;
};

}  // namespace vorn::agent
