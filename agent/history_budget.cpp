#include "agent/history_budget.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace vorn::agent {

namespace {

// The address as 16 bytes, IPv4 in its IPv4-mapped form; false for other families.
bool KeyOf(const sockaddr* source, std::uint8_t* key) {
    std::memset(key, 0, 16);
    if (source->sa_family == AF_INET) {
        sockaddr_in sa;
        std::memcpy(&sa, source, sizeof sa);
        key[10] = key[11] = 0xFF;
        std::memcpy(key + 12, &sa.sin_addr, 4);
        return true;
    }
    if (source->sa_family == AF_INET6) {
        sockaddr_in6 sa;
        std::memcpy(&sa, source, sizeof sa);
        std::memcpy(key, &sa.sin6_addr, 16);
        return true;
    }
    return false;
}

std::uint32_t MillisecondsFor(double missing, double rate) {
    return static_cast<std::uint32_t>(std::ceil(std::max(missing, 0.0) / rate * 1000.0));
}

}  // namespace

HistoryBudget::HistoryBudget() : HistoryBudget(Limits{}) {}

HistoryBudget::HistoryBudget(const Limits& limits) : limits_(limits) {
    limits_.max_sources = std::max<std::size_t>(limits_.max_sources, 1);
    overflow_.tokens = limits_.source_burst;
    total_.tokens = limits_.total_burst;
}

void HistoryBudget::Refill(Bucket* b, double burst, double rate, Clock::time_point now) {
    if (now > b->last) {
        b->tokens = std::min(
            burst, b->tokens + std::chrono::duration<double>(now - b->last).count() * rate);
        b->last = now;
    }
}

HistoryBudget::Bucket* HistoryBudget::Find(const std::uint8_t* key, Clock::time_point now) {
    for (Bucket& b : buckets_) {
        if (std::memcmp(b.addr, key, 16) == 0)
            return &b;
    }
    Bucket* slot = nullptr;
    if (buckets_.size() < limits_.max_sources) {
        buckets_.emplace_back();
        slot = &buckets_.back();
    } else {
        // A bucket idle long enough to have refilled is as good as a new one.
        const auto idle = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(limits_.source_burst / limits_.source_rate));
        auto oldest =
            std::min_element(buckets_.begin(), buckets_.end(),
                             [](const Bucket& a, const Bucket& b) { return a.last < b.last; });
        if (now - oldest->last < idle)
            return &overflow_;
        slot = &*oldest;
        *slot = Bucket{};
    }
    std::memcpy(slot->addr, key, 16);
    slot->tokens = limits_.source_burst;
    slot->last = now;
    return slot;
}

HistoryBudget::Verdict HistoryBudget::Take(const sockaddr* source, Clock::time_point now,
                                           std::uint32_t* retry_ms) {
    std::uint8_t key[16];
    if (!KeyOf(source, key))
        return Verdict::kDrop;
    Bucket* b = Find(key, now);
    Refill(b, limits_.source_burst, limits_.source_rate, now);
    Refill(&total_, limits_.total_burst, limits_.total_rate, now);
    if (b->tokens >= 1.0 && total_.tokens >= 1.0) {
        b->tokens -= 1.0;
        total_.tokens -= 1.0;
        return Verdict::kTake;
    }
    *retry_ms = std::max(MillisecondsFor(1.0 - b->tokens, limits_.source_rate),
                         MillisecondsFor(1.0 - total_.tokens, limits_.total_rate));
    if (now < b->next_refusal)
        return Verdict::kDrop;
    b->next_refusal = now + limits_.refusal_every;
    return Verdict::kRefuse;
}

}  // namespace vorn::agent
