// The budget of history pages: a token bucket per source address (IPv4-mapped IPv6 sources
// share their IPv4 address's), apart from the poll rate limit, and one bucket for all sources
// together, so that however many sources ask, paging costs the serving thread a bounded share.
// A source may take `burst` pages at once (every reading's 24 hours is 195 pages of 1232
// bytes) and then `rate` a second. The table of sources has a bounded size: when it is full, a
// bucket that has been idle long enough to be full again is reused (which changes nothing for
// its source); failing that, new sources share one overflow bucket. Serving thread only.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "agent/socket.h"

namespace vorn::agent {

class HistoryBudget {
public:
    using Clock = std::chrono::steady_clock;

    struct Limits {
        double source_burst = 1024;  // pages
        double source_rate = 256;    // pages a second
        double total_burst = 4096;
        double total_rate = 4096;
        std::size_t max_sources = 256;
        // Over-budget refusals sent to one source at most this often; the rest are dropped.
        Clock::duration refusal_every = std::chrono::milliseconds(100);
    };

    enum class Verdict { kTake, kRefuse, kDrop };

    HistoryBudget();
    explicit HistoryBudget(const Limits& limits);

    // Takes one page's token for `source` at `now`: kTake when there was one; otherwise
    // kRefuse (answer "over budget") or kDrop (that source was told within refusal_every).
    // *retry_ms is how long until the source has a token again.
    Verdict Take(const sockaddr* source, Clock::time_point now, std::uint32_t* retry_ms);

    std::size_t sources() const { return buckets_.size(); }

private:
    struct Bucket {
        std::uint8_t addr[16] = {};
        double tokens = 0;
        Clock::time_point last{};
        Clock::time_point next_refusal{};
    };

    Bucket* Find(const std::uint8_t* key, Clock::time_point now);
    static void Refill(Bucket* b, double burst, double rate, Clock::time_point now);

    Limits limits_;
    std::vector<Bucket> buckets_;
    Bucket overflow_;
    Bucket total_;
};

}  // namespace vorn::agent
