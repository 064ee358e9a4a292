// Holds the reply texts of the current interval: the source is read at most once per
// interval and every request in that interval gets the same texts. Serving thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include "agent/source.h"

namespace vorn::agent {

struct Sample {
    proto::ReplyStatus status = proto::ReplyStatus::kNoSensors;
    proto::Fields fields{};
    Readings readings{};  // the values the texts were made from
};

// Formats readings: status kNoSensors when not one reading is present.
Sample MakeSample(const Readings& readings);

class Sampler {
public:
    using Clock = std::chrono::steady_clock;

    // Takes ownership of the source.
    Sampler(std::unique_ptr<Source> source, std::chrono::milliseconds interval)
        : source_(std::move(source)), interval_(interval) {}

    // The texts for a request arriving at `now`, read afresh when the last read is an
    // interval old (or there was none).
    const Sample& Current(Clock::time_point now);

    // Swaps in a new source and interval; the next request reads afresh.
    void Replace(std::unique_ptr<Source> source, std::chrono::milliseconds interval);

    // How many times the source has been read.
    std::uint64_t reads() const { return reads_; }

    const Source& source() const { return *source_; }

    // When the current texts were read, if they were.
    std::optional<Clock::time_point> taken() const {
        return valid_ ? std::optional<Clock::time_point>(taken_) : std::nullopt;
    }

private:
    std::unique_ptr<Source> source_;
    std::chrono::milliseconds interval_;
    bool valid_ = false;
    Clock::time_point taken_{};
    Sample current_;
    std::uint64_t reads_ = 0;
};

}  // namespace vorn::agent
