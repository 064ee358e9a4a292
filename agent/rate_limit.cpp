#include "agent/rate_limit.h"

#include <algorithm>

namespace vorn::agent {

std::size_t RateLimiter::KeyHash::operator()(const SourceKey& key) const {
    // FNV-1a: the table is bounded, so a crafted collision costs a chain of at most its size.
    std::uint64_t h = 14695981039346656037ull;
    for (const std::uint8_t byte : key) {
        h ^= byte;
        h *= 1099511628211ull;
    }
    return static_cast<std::size_t>(h);
}

RateLimiter::RateLimiter(int rate, std::size_t max_sources)
    : rate_(rate < 0 ? 0 : rate), max_sources_(max_sources == 0 ? 1 : max_sources) {}

bool RateLimiter::Take(Bucket& b, Clock::time_point now) const {
    const double burst = rate_;
    if (now > b.last) {
        const double seconds = std::chrono::duration<double>(now - b.last).count();
        b.tokens = std::min(burst, b.tokens + seconds * rate_);
        b.last = now;
    }
    if (b.tokens < 1.0)
        return false;
    b.tokens -= 1.0;
    return true;
}

bool RateLimiter::Admit(const sockaddr* source, Clock::time_point now) {
    if (rate_ == 0)
        return true;
    SourceKey key;
    if (!SourceKeyOf(source, &key))
        return false;
    auto found = table_.find(key);
    if (found != table_.end()) {
        recent_.splice(recent_.begin(), recent_, found->second);
        return Take(*found->second, now);
    }
    const Clock::duration refill = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(1.0));  // a burst of `rate` refills in one second
    if (table_.size() >= max_sources_) {
        // Only a bucket that has refilled may be given to a new source: its owner would find
        // it full anyway, so forgetting it grants no one a fresh burst. The least recently
        // heard bucket is the first to refill; when even it has not, the newcomer shares the
        // overflow bucket with every other source the table has no room for.
        Bucket& oldest = recent_.back();
        if (now - oldest.last < refill) {
            if (!overflow_used_) {
                overflow_.tokens = rate_;
                overflow_.last = now;
                overflow_used_ = true;
            }
            return Take(overflow_, now);
        }
        table_.erase(oldest.key);
        recent_.pop_back();
    }
    recent_.push_front(Bucket{key, static_cast<double>(rate_), now});
    table_.emplace(key, recent_.begin());
    return Take(recent_.front(), now);
}

}  // namespace vorn::agent
