// The refresher: sampling on its own thread, snapshots served at once whatever the source
// does, staleness, counters and stopping. Also run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "readings/refresher.h"

namespace vorn::readings {
namespace {

using std::chrono::milliseconds;

// A source whose samples each wait until the test lets them finish; sample N reports N as
// the CPU temperature. Every wait is bounded so that a fault fails instead of hanging.
class GatedSource : public Source {
public:
    ReadingSet Sample() override {
        std::unique_lock<std::mutex> lock(mutex_);
        const int number = ++entered_;
        changed_.notify_all();
        changed_.wait_for(lock, std::chrono::seconds(20),
                          [&] { return open_ || finishable_ >= number; });
        ReadingSet set;
        set[proto::kCpu].value = number;
        return set;
    }
    std::string Describe() const override { return "gated"; }
    std::vector<ListedInput> List() override { return {}; }

    // Lets samples up to number `n` finish.
    void Allow(int n) {
        std::lock_guard<std::mutex> lock(mutex_);
        finishable_ = n;
        changed_.notify_all();
    }
    // Lets every sample finish from now on.
    void Open() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    // Waits until sample number `n` has begun.
    bool WaitEntered(int n) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return entered_ >= n; });
    }
    int entered() {
        std::lock_guard<std::mutex> lock(mutex_);
        return entered_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int entered_ = 0;
    int finishable_ = 0;
    bool open_ = false;
};

// Keeps the warnings it is given.
class KeptWarnings : public Warnings {
public:
    bool Warn(const std::string&, const std::string& line) override {
        std::lock_guard<std::mutex> lock(mutex_);
        text_ += line + "\n";
        return true;
    }
    std::string text() {
        std::lock_guard<std::mutex> lock(mutex_);
        return text_;
    }

private:
    std::mutex mutex_;
    std::string text_;
};

std::string Cpu(const std::shared_ptr<const Snapshot>& s) {
    return s->fields[proto::kCpu].data();
}

// Waits (bounded) until `refresher` has taken `n` samples.
bool WaitReads(const Refresher& refresher, std::uint64_t n) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (refresher.counters().reads < n) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(milliseconds(1));
    }
    return true;
}

TEST(ReadingsRefresher, SamplesEveryIntervalOnItsOwnThreadAndCountsTheReads) {
    KeptWarnings warnings;
    auto source = std::make_unique<GatedSource>();
    GatedSource* gate = source.get();
    gate->Open();
    Refresher refresher(std::move(source), milliseconds(20), milliseconds(10000), &warnings);
    ASSERT_TRUE(refresher.WaitForFirstSample(milliseconds(10000)));
    ASSERT_TRUE(WaitReads(refresher, 4));
    const RefresherCounters c = refresher.counters();
    EXPECT_GE(c.reads, 4u);
    EXPECT_EQ(c.errors, 0u);
    EXPECT_LE(c.last_sample, Clock::now());
    EXPECT_GT(c.last_sample, Clock::now() - std::chrono::seconds(10));
    const auto latest = refresher.Current(Clock::now());
    EXPECT_EQ(latest->status, proto::ReplyStatus::kReadings);
    EXPECT_GE(std::stod(Cpu(latest)), 4.0);
    EXPECT_EQ(refresher.Describe(), "gated");
    refresher.Stop();
    // Stopped: no more samples.
    const int entered = gate->entered();
    std::this_thread::sleep_for(milliseconds(60));
    EXPECT_EQ(gate->entered(), entered);
    EXPECT_TRUE(refresher.Finished());
}

TEST(ReadingsRefresher, AStaleSnapshotIsServedAsDashesWithNoSensorsStatus) {
    KeptWarnings warnings;
    auto source = std::make_unique<GatedSource>();
    GatedSource* gate = source.get();
    Refresher refresher(std::move(source), milliseconds(10), milliseconds(300), &warnings);
    // Nothing sampled yet: nothing is current.
    ASSERT_TRUE(gate->WaitEntered(1));
    EXPECT_EQ(refresher.Current(Clock::now())->status, proto::ReplyStatus::kNoSensors);
    EXPECT_EQ(Cpu(refresher.Current(Clock::now())), "-");

    gate->Allow(1);
    ASSERT_TRUE(refresher.WaitForFirstSample(milliseconds(10000)));
    const auto first = refresher.Latest();
    EXPECT_EQ(Cpu(first), "1.0");
    // The second sample hangs: the first is served while within the bound, then no longer.
    ASSERT_TRUE(gate->WaitEntered(2));
    EXPECT_EQ(Cpu(refresher.Current(first->taken + milliseconds(300))), "1.0");
    EXPECT_EQ(warnings.text(), "");
    const auto stale = refresher.Current(first->taken + milliseconds(301));
    EXPECT_EQ(stale->status, proto::ReplyStatus::kNoSensors);
    for (const proto::FieldText& f : stale->fields)
        EXPECT_STREQ(f.data(), "-");
    EXPECT_NE(warnings.text().find("301 ms old, past the stale bound of 300 ms"), std::string::npos)
        << warnings.text();
    // And in real time too, while the source still hangs.
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (refresher.Current(Clock::now())->status == proto::ReplyStatus::kReadings &&
           Clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(5));
    EXPECT_EQ(Cpu(refresher.Current(Clock::now())), "-");
    EXPECT_EQ(Cpu(refresher.Latest()), "1.0");  // kept, only no longer current
    gate->Open();
    ASSERT_TRUE(WaitReads(refresher, 2));
    EXPECT_EQ(refresher.Current(Clock::now())->status, proto::ReplyStatus::kReadings);
}

TEST(ReadingsRefresher, AHangingSourceNeverDelaysCurrentAndStopWaitsOnlyForTheSampleInHand) {
    auto source = std::make_unique<GatedSource>();
    GatedSource* gate = source.get();
    gate->Allow(1);
    // An hour between samples: Stop must cut the wait short, not sit it out.
    auto refresher = std::make_unique<Refresher>(std::move(source), std::chrono::hours(1),
                                                 std::chrono::hours(3), nullptr);
    ASSERT_TRUE(refresher->WaitForFirstSample(milliseconds(10000)));
    const auto t0 = Clock::now();
    refresher->Stop();
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(5));
    EXPECT_EQ(gate->entered(), 1);

    // A sample that hangs: Current answers at once (it would never return if it waited for
    // the source, which is held until this test lets go) with the latest texts.
    auto held = std::make_unique<GatedSource>();
    gate = held.get();
    gate->Allow(1);
    refresher = std::make_unique<Refresher>(std::move(held), milliseconds(10),
                                            std::chrono::hours(1), nullptr);
    ASSERT_TRUE(gate->WaitEntered(2));
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(Cpu(refresher->Current(Clock::now())), "1.0");
    // Stop during the hanging sample: asked to stop, the thread finishes once the sample
    // returns, and takes no further one.
    refresher->RequestStop();
    EXPECT_FALSE(refresher->WaitFinished(milliseconds(20)));
    EXPECT_FALSE(refresher->Finished());
    std::thread release([gate] {
        std::this_thread::sleep_for(milliseconds(50));
        gate->Open();
    });
    EXPECT_TRUE(refresher->WaitFinished(milliseconds(10000)));
    refresher->Stop();
    release.join();
    EXPECT_TRUE(refresher->Finished());
    EXPECT_EQ(gate->entered(), 2);
    EXPECT_EQ(refresher->counters().reads, 2u);
}

// Gives no reading, then throws, then reads.
class FaultySource : public Source {
public:
    ReadingSet Sample() override {
        const int n = calls_++;
        if (n == 1)
            throw std::runtime_error("bus gone");
        ReadingSet set;
        if (n >= 2)
            set[proto::kFan1].value = 1200;
        return set;
    }
    std::string Describe() const override { return "faulty"; }
    std::vector<ListedInput> List() override { return {}; }

private:
    int calls_ = 0;
};

TEST(ReadingsRefresher, SamplesWithNoReadingOrAThrowAreCountedAsErrors) {
    KeptWarnings warnings;
    Refresher refresher(std::make_unique<FaultySource>(), milliseconds(10), milliseconds(10000),
                        &warnings);
    ASSERT_TRUE(WaitReads(refresher, 3));
    refresher.Stop();
    const RefresherCounters c = refresher.counters();
    EXPECT_EQ(c.errors, 2u);
    EXPECT_GE(c.reads, 3u);
    EXPECT_STREQ(refresher.Latest()->fields[proto::kFan1].data(), "1200");
    EXPECT_NE(warnings.text().find("bus gone"), std::string::npos) << warnings.text();
}

TEST(ReadingsRefresher, ASeedIsServedUntilTheFirstSampleAndKeepsItsAge) {
    auto source = std::make_unique<GatedSource>();
    GatedSource* gate = source.get();
    ReadingSet old;
    old[proto::kCpu].value = 77;
    const Clock::time_point taken = Clock::now();
    auto seed = std::make_shared<const Snapshot>(MakeSnapshot(old, taken));
    Refresher refresher(std::move(source), milliseconds(10), milliseconds(1000), nullptr, seed);
    ASSERT_TRUE(gate->WaitEntered(1));
    EXPECT_EQ(Cpu(refresher.Current(taken + milliseconds(10))), "77.0");
    EXPECT_EQ(Cpu(refresher.Current(taken + milliseconds(1001))), "-");
    EXPECT_FALSE(refresher.WaitForFirstSample(milliseconds(1)));
    gate->Open();
    ASSERT_TRUE(refresher.WaitForFirstSample(milliseconds(10000)));
    EXPECT_EQ(Cpu(refresher.Latest()), "1.0");
}

TEST(ReadingsRefresher, ReadersTakeSnapshotsWhileTheSourceIsSampled) {
    auto source = std::make_unique<GatedSource>();
    source->Open();
    Refresher refresher(std::move(source), milliseconds(0), milliseconds(10000), nullptr);
    std::atomic<bool> done{false};
    std::atomic<int> seen{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r) {
        readers.emplace_back([&] {
            double last = 0;
            while (!done) {
                const auto s = refresher.Current(Clock::now());
                if (s->status == proto::ReplyStatus::kReadings) {
                    const double v = *s->readings[proto::kCpu].value;
                    EXPECT_GE(v, last);  // snapshots never go back in time
                    EXPECT_EQ(std::stod(s->fields[proto::kCpu].data()), v);
                    last = v;
                    ++seen;
                }
            }
        });
    }
    ASSERT_TRUE(WaitReads(refresher, 8));
    done = true;
    for (std::thread& t : readers)
        t.join();
    refresher.Stop();
    EXPECT_GT(seen.load(), 0);
}

TEST(ReadingsRefresher, DefaultStaleBoundIsThreeIntervalsAndAtLeastASecond) {
    EXPECT_EQ(DefaultStaleAfter(milliseconds(500)).count(), 1500);
    EXPECT_EQ(DefaultStaleAfter(milliseconds(5000)).count(), 15000);
    EXPECT_EQ(DefaultStaleAfter(milliseconds(100)).count(), 1000);
    EXPECT_EQ(DefaultStaleAfter(milliseconds(0)).count(), 1000);
}

}  // namespace
}  // namespace vorn::readings
