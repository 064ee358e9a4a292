#include "agent/rate_limit.h"

#include <algorithm>
#include <cstring>

namespace vorn::agent {

namespace {

// The address as 16 bytes: IPv4 in its IPv4-mapped IPv6 form, so both spellings of one
// host meet in one bucket. False for other families.
bool KeyOf(const sockaddr* source, std::array<std::uint8_t, 16>* key) {
    key->fill(0);
    if (source->sa_family == AF_INET) {
        sockaddr_in sa;
        std::memcpy(&sa, source, sizeof sa);
        (*key)[10] = 0xFF;
        (*key)[11] = 0xFF;
        std::memcpy(key->data() + 12, &sa.sin_addr, 4);
        return true;
    }
    if (source->sa_family == AF_INET6) {
        sockaddr_in6 sa;
        std::memcpy(&sa, source, sizeof sa);
        std::memcpy(key->data(), &sa.sin6_addr, 16);
        return true;
    }
    return false;
}

}  // namespace

RateLimiter::RateLimiter(int rate, std::size_t max_sources)
    : rate_(rate < 0 ? 0 : rate), max_sources_(max_sources == 0 ? 1 : max_sources) {}

bool RateLimiter::Admit(const sockaddr* source, Clock::time_point now) {
    if (rate_ == 0)
        return true;
    std::array<std::uint8_t, 16> key;
    if (!KeyOf(source, &key))
        return false;
    const double burst = rate_;
    auto it = std::find_if(buckets_.begin(), buckets_.end(),
                           [&](const Bucket& b) { return b.addr == key; });
    if (it == buckets_.end()) {
        if (buckets_.size() >= max_sources_) {
            // Forgets the source heard from longest ago: a forgotten source starts again with
            // a full bucket, so eviction can only be lenient, never limit a quiet client.
            it = std::min_element(buckets_.begin(), buckets_.end(),
                                  [](const Bucket& a, const Bucket& b) { return a.last < b.last; });
        } else {
            it = buckets_.insert(buckets_.end(), Bucket{});
        }
        it->addr = key;
        it->tokens = burst;
        it->last = now;
    }
    if (now > it->last) {
        const double seconds = std::chrono::duration<double>(now - it->last).count();
        it->tokens = std::min(burst, it->tokens + seconds * rate_);
        it->last = now;
    }
    if (it->tokens < 1.0)
        return false;
    it->tokens -= 1.0;
    return true;
}

}  // namespace vorn::agent
