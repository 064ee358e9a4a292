// The history of the thirteen readings: three rings of fixed size indexed by time slot (unix
// seconds / step): every second of the last hour (the latest sample of that second), every
// minute of the last 48 hours and every quarter hour of the last 35 days, the last two as
// minimum, mean and maximum of every sample in the slot. A slot without a reading is a gap.
// Values are whole numbers in the protocol's fixed units (proto::ToFixed).
//
// Clock jumps: a jump forwards turns the skipped slots into gaps (at most a ring's length of
// work). A sample up to kSlewSeconds older than the newest is dropped (a retired sampler's last
// sample, a clock stepped back a little). A sample older than that means the clock was set
// back: what was recorded at or after its time was stamped by a clock that was ahead, and is
// discarded; nothing older is touched.
//
// Thread-safe: Record on the sampling thread, Query and Serialize on others.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "protocol/history_protocol.h"

namespace vorn::history {

constexpr int kReadings = proto::kFieldCount;
constexpr std::int32_t kGap = proto::kHistoryGap;
constexpr std::int64_t kSlewSeconds = 2;

struct RingShape {
    std::int64_t step;  // seconds per slot
    std::int64_t slots;
    bool aggregate;  // minimum, mean and maximum, else the latest sample
};
constexpr RingShape kRingShapes[proto::kHistoryResolutions] = {
    {1, 3600, false},      // the last hour
    {60, 48 * 60, true},   // the last 48 hours
    {900, 35 * 96, true},  // the last 35 days
};

// One sample: each reading's fixed value (kGap when it had none) and the alarm mask.
struct Sample {
    std::array<std::int32_t, kReadings> values;
    std::uint16_t alarm_mask = 0;
    Sample() { values.fill(kGap); }
};

// Where serialized bytes go and come from; false ends the work (a failed write or read).
using ByteSink = std::function<bool(const std::uint8_t*, std::size_t)>;
using ByteSource = std::function<bool(std::uint8_t*, std::size_t)>;

class Store {
public:
    Store();

    // Records a sample taken at `unix_seconds` (ignored before 1970).
    void Record(std::int64_t unix_seconds, const Sample& sample);

    // Fills `out[0..count)` with reading `reading`'s slots at `resolution` from the slot that
    // starts at `first` (a multiple of the step); slots never recorded, overwritten or newer
    // than the newest sample are gaps.
    void Query(int resolution, int reading, std::int64_t first, std::size_t count,
               proto::HistorySlot* out) const;

    // The time of the newest sample recorded; -1 before the first.
    std::int64_t newest() const;

    // Forgets everything.
    void Clear();

    // The body's size in bytes: fixed, whatever has been recorded.
    static std::size_t SerializedSize();

    // Writes the whole store to `sink`, taken at one instant.
    bool Serialize(const ByteSink& sink) const;

    // Replaces the store with SerializedSize() bytes from `source`; on a read failure or an
    // inconsistent body returns false and leaves the store empty.
    bool Deserialize(const ByteSource& source);

private:
    struct Ring {
        RingShape shape{};
        std::int64_t newest = -1;          // slot number (time / step) of the newest slot, -1: none
        std::vector<std::int32_t> values;  // [slot][reading][1 or 3]
        std::vector<std::uint16_t> alarms;  // [slot]
        // The newest slot's running sums, so its mean stays exact across samples and restarts.
        std::array<std::int64_t, kReadings> sum{};
        std::array<std::uint32_t, kReadings> count{};

        std::size_t Width() const { return shape.aggregate ? 3 : 1; }
        std::size_t Index(std::int64_t slot) const;
        void ClearSlot(std::int64_t slot);
        void MoveTo(std::int64_t slot);
        void DropFrom(std::int64_t slot);
        void Add(std::int64_t slot, const Sample& sample);
        void Reset();
    };

    void ClearLocked();

    mutable std::mutex mutex_;
    std::int64_t newest_time_ = -1;
    std::array<Ring, proto::kHistoryResolutions> rings_;
};

}  // namespace vorn::history
