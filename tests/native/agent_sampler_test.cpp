// The interval cache: the source is read at most once per interval.
#include <gtest/gtest.h>

#include "agent/sampler.h"

namespace vorn::agent {
namespace {

using std::chrono::milliseconds;

// Counts its reads and reports the count as the CPU temperature.
class CountingSource : public Source {
public:
    explicit CountingSource(int* reads) : reads_(reads) {}
    Readings Sample() override {
        Readings r;
        r[proto::kCpu] = ++*reads_;
        return r;
    }
    std::string Describe() const override { return "counting"; }

private:
    int* reads_;
};

TEST(AgentSampler, RequestsWithinAnIntervalShareOneRead) {
    int reads = 0;
    Sampler sampler(std::make_unique<CountingSource>(&reads), milliseconds(500));
    const auto t0 = Sampler::Clock::now();
    for (int i = 0; i < 1000; ++i) {
        EXPECT_STREQ(sampler.Current(t0 + milliseconds(i % 500)).fields[proto::kCpu].data(), "1.0");
    }
    EXPECT_EQ(reads, 1);
    EXPECT_STREQ(sampler.Current(t0 + milliseconds(500)).fields[proto::kCpu].data(), "2.0");
    EXPECT_STREQ(sampler.Current(t0 + milliseconds(999)).fields[proto::kCpu].data(), "2.0");
    EXPECT_STREQ(sampler.Current(t0 + milliseconds(1000)).fields[proto::kCpu].data(), "3.0");
    EXPECT_EQ(reads, 3);
    EXPECT_EQ(sampler.reads(), 3u);
}

TEST(AgentSampler, ZeroIntervalReadsForEveryRequest) {
    int reads = 0;
    Sampler sampler(std::make_unique<CountingSource>(&reads), milliseconds(0));
    const auto t0 = Sampler::Clock::now();
    for (int i = 0; i < 5; ++i)
        sampler.Current(t0);
    EXPECT_EQ(reads, 5);
}

TEST(AgentSampler, ReplacingTheSourceReadsAfreshAtOnce) {
    int first = 0;
    int second = 100;
    Sampler sampler(std::make_unique<CountingSource>(&first), milliseconds(500));
    const auto t0 = Sampler::Clock::now();
    sampler.Current(t0);
    sampler.Replace(std::make_unique<CountingSource>(&second), milliseconds(500));
    EXPECT_STREQ(sampler.Current(t0 + milliseconds(1)).fields[proto::kCpu].data(), "101.0");
    EXPECT_EQ(first, 1);
}

TEST(AgentSampler, ClockGoingBackwardsReadsAfresh) {
    int reads = 0;
    Sampler sampler(std::make_unique<CountingSource>(&reads), milliseconds(500));
    const auto t0 = Sampler::Clock::now();
    sampler.Current(t0);
    sampler.Current(t0 - milliseconds(1));
    EXPECT_EQ(reads, 2);
}

}  // namespace
}  // namespace vorn::agent
