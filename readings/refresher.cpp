#include "readings/refresher.h"

#include <algorithm>
#include <exception>

#include "readings/format.h"

namespace vorn::readings {

Snapshot MakeSnapshot(ReadingSet readings, Clock::time_point taken, std::uint16_t alarm_mask) {
    Snapshot s;
    for (int k = 0; k < proto::kFieldCount; ++k)
        s.fields[k] = FormatReading(k, readings[k].value);
    s.status = AnyValue(readings) ? proto::ReplyStatus::kReadings : proto::ReplyStatus::kNoSensors;
    s.alarm_mask =
        s.status == proto::ReplyStatus::kReadings ? proto::MaskForFields(alarm_mask, s.fields) : 0;
    s.readings = std::move(readings);
    s.taken = taken;
    return s;
}

std::shared_ptr<const Snapshot> EmptySnapshot() {
    static const std::shared_ptr<const Snapshot> empty =
        std::make_shared<const Snapshot>(MakeSnapshot(ReadingSet{}, Clock::time_point{}));
    return empty;
}

std::chrono::milliseconds DefaultStaleAfter(std::chrono::milliseconds interval) {
    const std::chrono::milliseconds period = std::max(interval, kMinSamplePeriod);
    return std::max(3 * period, std::chrono::milliseconds(1000));
}

Refresher::Refresher(std::unique_ptr<Source> source, std::chrono::milliseconds interval,
                     std::chrono::milliseconds stale_after, Warnings* warnings,
                     std::shared_ptr<const Snapshot> seed, const AlarmSettings& alarms,
                     SampleObserver* observer)
    : source_(std::move(source)),
      interval_(std::max(interval, kMinSamplePeriod)),
      stale_after_(stale_after),
      warnings_(warnings),
      observer_(observer),
      alarms_(alarms),
      latest_(seed ? std::move(seed) : EmptySnapshot()),
      description_(source_->Describe()),
      thread_([this] { Run(); }) {}

Refresher::~Refresher() {
    Stop();
}

void Refresher::RequestStop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    // A sample in progress (a network request) is cut short, so that the thread ends now
    // rather than at the source's time-out.
    source_->Cancel();
}

void Refresher::Stop() {
    RequestStop();
    if (thread_.joinable())
        thread_.join();
}

std::shared_ptr<const Snapshot> Refresher::Latest() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return latest_;
}

std::shared_ptr<const Snapshot> Refresher::Current(Clock::time_point now) const {
    std::shared_ptr<const Snapshot> latest = Latest();
    if (latest->taken == Clock::time_point{})
        return EmptySnapshot();
    const auto age = std::chrono::duration_cast<std::chrono::milliseconds>(now - latest->taken);
    if (age <= stale_after_)
        return latest;
    // Said once per quiet period of the log, not once per request.
    if (warnings_) {
        warnings_->Warn("stale", "the latest sample is " + std::to_string(age.count()) +
                                     " ms old, past the stale bound of " +
                                     std::to_string(stale_after_.count()) +
                                     " ms: sending no readings until the source answers");
    }
    return EmptySnapshot();
}

bool Refresher::WaitForFirstSample(std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return sampled_ || stop_; }) && sampled_;
}

bool Refresher::WaitFinished(std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return finished_.load(); });
}

RefresherCounters Refresher::counters() const {
    RefresherCounters c;
    c.reads = reads_.load();
    c.errors = errors_.load();
    c.last_sample = Clock::time_point(Clock::duration(last_sample_.load()));
    return c;
}

std::string Refresher::Describe() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return description_;
}

void Refresher::Publish(std::shared_ptr<const Snapshot> snapshot, std::string description) {
    std::shared_ptr<const Snapshot> previous;  // freed after the lock, when it is the last
    {
        std::lock_guard<std::mutex> lock(mutex_);
        previous = std::move(latest_);
        latest_ = std::move(snapshot);
        description_ = std::move(description);
        sampled_ = true;
    }
    changed_.notify_all();
}

void Refresher::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        lock.unlock();
        const Clock::time_point started = Clock::now();
        ReadingSet set;
        bool failed = false;
        try {
            set = source_->Sample();
        } catch (const std::exception& e) {
            // A source must not take the agent down: this sample gives no readings.
            failed = true;
            if (warnings_)
                warnings_->Warn("sample", std::string("reading the source failed: ") + e.what());
        }
        failed = failed || !AnyValue(set);
        const Clock::time_point ended = Clock::now();
        const std::uint16_t mask = alarms_.Update(set);
        auto snapshot = std::make_shared<const Snapshot>(MakeSnapshot(std::move(set), ended, mask));
        ++reads_;
        if (failed)
            ++errors_;
        last_sample_ = ended.time_since_epoch().count();
        if (observer_)
            observer_->OnSample(*snapshot);
        Publish(std::move(snapshot), source_->Describe());
        lock.lock();
        changed_.wait_until(lock, started + interval_, [this] { return stop_; });
    }
    finished_ = true;
    lock.unlock();
    changed_.notify_all();
}

}  // namespace vorn::readings
