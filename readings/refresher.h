// Samples a source on a thread of its own, once per interval, and keeps the latest snapshot,
// so that answering a request never waits for the source: a request takes the latest
// snapshot at once (a mutex held only to copy a pointer). A snapshot older than the stale
// bound is not current: requests then get no readings ("-" everywhere, status no sensors).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "readings/alarms.h"
#include "readings/source.h"
#include "readings/warnings.h"

namespace vorn::readings {

using Clock = std::chrono::steady_clock;

struct Snapshot {
    ReadingSet readings;
    proto::ReplyStatus status = proto::ReplyStatus::kNoSensors;  // kNoSensors: no value
    proto::Fields fields{};        // the reply texts, formatted once per sample
    std::uint16_t alarm_mask = 0;  // bit k: reading k in alarm; never set for a "-" field
    Clock::time_point taken{};
};

// Formats a sample: status kNoSensors when not one reading has a value. `alarm_mask` loses the
// bits of readings whose text is "-".
Snapshot MakeSnapshot(ReadingSet readings, Clock::time_point taken, std::uint16_t alarm_mask = 0);

// A snapshot with no readings: every field "-", status kNoSensors.
std::shared_ptr<const Snapshot> EmptySnapshot();

// What the refresher has done, for the agent's metrics.
struct RefresherCounters {
    std::uint64_t reads = 0;          // samples taken
    std::uint64_t errors = 0;         // samples that gave no reading at all, or failed
    Clock::time_point last_sample{};  // when the last sample ended; epoch before the first
};

// Hears of every sample as it is taken, on the refresher's thread (the history keeps them).
class SampleObserver {
public:
    virtual ~SampleObserver() = default;
    virtual void OnSample(const Snapshot& snapshot) = 0;
};

// The shortest period between samples: an interval of 0 samples back to back, this often.
constexpr std::chrono::milliseconds kMinSamplePeriod{10};

// The default stale bound for `interval`: three sample periods, and at least a second, so
// that a scheduling hiccup on a short interval does not blank the bar.
std::chrono::milliseconds DefaultStaleAfter(std::chrono::milliseconds interval);

class Refresher {
public:
    // Takes the source and starts sampling at once. `seed`, when given, is served until the
    // first sample is in (a reload keeps the running texts meanwhile). `warnings` (not owned,
    // may be null) hears of a source that throws and of a snapshot gone stale. `alarms` gives
    // the limits beyond the source's own and the hysteresis; every sample is evaluated against
    // them, keeping each reading's alarm state. `observer` (not owned, may be null; it must
    // outlive the thread) is told of every sample.
    Refresher(std::unique_ptr<Source> source, std::chrono::milliseconds interval,
              std::chrono::milliseconds stale_after, Warnings* warnings,
              std::shared_ptr<const Snapshot> seed = nullptr,
              const AlarmSettings& alarms = AlarmSettings{}, SampleObserver* observer = nullptr);
    // Stops and joins the thread (see Stop).
    ~Refresher();
    Refresher(const Refresher&) = delete;
    Refresher& operator=(const Refresher&) = delete;

    // The snapshot to serve at `now`: the latest one while it is younger than the stale bound,
    // else EmptySnapshot() (and a warning). Never waits for the source.
    std::shared_ptr<const Snapshot> Current(Clock::time_point now) const;

    // The latest snapshot whatever its age; EmptySnapshot() before the first sample.
    std::shared_ptr<const Snapshot> Latest() const;

    // Waits up to `timeout` for the first sample of this refresher; true when it is in.
    bool WaitForFirstSample(std::chrono::milliseconds timeout) const;

    // Asks the thread to stop without waiting for it, cancelling a sample in progress
    // (Source::Cancel); Finished() says when it has.
    void RequestStop();
    // True once the thread has left its loop, so that joining it (Stop) is immediate.
    bool Finished() const { return finished_.load(); }
    // Waits up to `timeout` for the thread to leave its loop (after RequestStop); true if it has.
    bool WaitFinished(std::chrono::milliseconds timeout) const;
    // Stops and joins the thread. A sample in progress is cancelled and waited for: a sysfs or
    // file read returns at once, a network source as soon as its request is cut short.
    void Stop();

    RefresherCounters counters() const;
    // The source's own description (Source::Describe), as of its latest sample: the source is
    // only ever called on the refresher's thread.
    std::string Describe() const;
    std::chrono::milliseconds interval() const { return interval_; }
    std::chrono::milliseconds stale_after() const { return stale_after_; }

private:
    void Run();
    void Publish(std::shared_ptr<const Snapshot> snapshot, std::string description);

    const std::unique_ptr<Source> source_;
    const std::chrono::milliseconds interval_;
    const std::chrono::milliseconds stale_after_;
    Warnings* const warnings_;
    SampleObserver* const observer_;
    AlarmState alarms_;  // the refresher thread's own

    mutable std::mutex mutex_;  // guards latest_, description_, sampled_ and stop_
    mutable std::condition_variable changed_;
    std::shared_ptr<const Snapshot> latest_;
    std::string description_;
    bool sampled_ = false;
    bool stop_ = false;

    std::atomic<std::uint64_t> reads_{0};
    std::atomic<std::uint64_t> errors_{0};
    std::atomic<Clock::rep> last_sample_{0};
    std::atomic<bool> finished_{false};
    std::thread thread_;  // last: starts once every member above is ready
};

}  // namespace vorn::readings
