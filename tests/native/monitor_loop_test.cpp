#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "sensor/monitor_loop.h"
#include "tests/common/time_bounds.h"

namespace {

using Clock = std::chrono::steady_clock;

// What "ends at once" allows: far below the minute that every wait cut short here would last.
constexpr long kEndsAtOnceMs = static_cast<long>(vorn::test_time::Generous(500));

long MsSince(Clock::time_point t) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// A bar that records what the cycle does to it. Get can be made to fail, or to block until
// the test cancels it, as the plug-in's cancel does; a slot write can be made to block.
class FakeBar : public PollTarget {
public:
    int GetReadings() override {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_events.push_back("get");
        ++m_gets;
        m_changed.notify_all();
        if (m_blockGet) {
            m_changed.wait_for(lock, std::chrono::seconds(60), [this] { return m_cancelled; });
            return 0;
        }
        return m_failing ? 0 : 1;
    }
    void ShowPicture(unsigned int slot) override { Record("picture" + std::to_string(slot)); }
    void FormatReadings(int valid) override {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_events.push_back(valid ? "format-ok" : "format-error");
        m_inWrite = true;
        m_changed.notify_all();
        if (m_blockWrite) {
            m_changed.wait_for(lock, std::chrono::seconds(10), [this] { return m_writeReleased; });
        }
        m_inWrite = false;
    }
    void CountFailure() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back("count");
        ++m_failures;
    }
    unsigned int RestingPicture() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_alarmAfterGet && m_gets > 0 ? TRAY_SLOT_ALARM : TRAY_SLOT_IDLE;
    }
    void RefreshErrorStatus() override { Record("status"); }
    void PostRefresh() override { Record("refresh"); }
    unsigned int InitialDelayMs() override { return m_delayMs; }
    unsigned int IconPauseMs() override { return m_iconMs; }
    unsigned int PollPauseMs() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_pauseMs;
    }

    void Record(const std::string& e) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back(e);
        m_changed.notify_all();
    }
    std::vector<std::string> Events() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_events;
    }
    int Gets() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_gets;
    }
    int Failures() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_failures;
    }
    // Waits until `pred` holds (bounded).
    template <typename P>
    bool WaitUntil(P pred) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(5), pred);
    }
    void Cancel() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_cancelled = true;
        m_changed.notify_all();
    }
    void ReleaseWrite() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_writeReleased = true;
        m_changed.notify_all();
    }
    void SetPause(unsigned int ms) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pauseMs = ms;
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_events;
    int m_gets = 0;
    int m_failures = 0;
    bool m_failing = false;
    bool m_alarmAfterGet = false;  // the resting picture is the alarm once a Get has run
    bool m_blockGet = false;
    bool m_cancelled = false;
    bool m_blockWrite = false;
    bool m_writeReleased = false;
    bool m_inWrite = false;
    unsigned int m_delayMs = 0;
    unsigned int m_iconMs = 0;
    unsigned int m_pauseMs = 0;
};

// A bar whose slots and tray icon already exist.
class ReadyDisplay : public StopSignal {
public:
    ReadyDisplay() { Raise(); }
};

TEST(PollCycle, SuccessShowsOkThenIdleAroundTheDisplay) {
    FakeBar bar;
    bar.m_iconMs = 30;
    StopSignal stop;
    const auto start = Clock::now();
    PollOnce(bar, stop);
    EXPECT_GE(MsSince(start), 30);
    EXPECT_EQ(bar.Events(), (std::vector<std::string>{"get", "picture1", "format-ok", "picture0",
                                                      "status", "refresh"}));
}

TEST(PollCycle, FailureShowsErrorFormatsErrorAndCounts) {
    FakeBar bar;
    bar.m_failing = true;
    StopSignal stop;
    PollOnce(bar, stop);
    EXPECT_EQ(bar.Events(), (std::vector<std::string>{"get", "picture2", "format-error", "count",
                                                      "picture0", "status", "refresh"}));
    EXPECT_EQ(bar.Failures(), 1);
}

TEST(PollCycle, AnAlarmKeepsTheOkFlashAndThenRestsOnTheAlarmPicture) {
    FakeBar bar;
    bar.m_alarmAfterGet = true;
    StopSignal stop;
    PollOnce(bar, stop);
    EXPECT_EQ(bar.Events(), (std::vector<std::string>{"get", "picture1", "format-ok", "picture3",
                                                      "status", "refresh"}));
}

TEST(PollCycle, FailuresAreCountedAndNeverStopThePolling) {
    FakeBar bar;
    bar.m_failing = true;
    StopSignal stop;
    const ReadyDisplay displayReady;
    std::thread monitor([&] { RunMonitor(bar, stop, displayReady); });
    EXPECT_TRUE(bar.WaitUntil([&] { return bar.m_failures >= 25; }));
    stop.Raise();
    monitor.join();
    // Every failed Get is counted, but for one that the stop met on its return.
    const bool last_cut_short = bar.Events().back() == "get";
    EXPECT_EQ(bar.Failures(), bar.Gets() - (last_cut_short ? 1 : 0));
    EXPECT_GE(bar.Gets(), 25);
}

TEST(PollCycle, ZeroPausesPollBackToBackWithIdleAtOnce) {
    FakeBar bar;  // MonitorTimer 0, IconTimer 0
    StopSignal stop;
    const ReadyDisplay displayReady;
    std::thread monitor([&] { RunMonitor(bar, stop, displayReady); });
    EXPECT_TRUE(bar.WaitUntil([&] { return bar.m_gets >= 3; }));
    stop.Raise();
    monitor.join();
    const auto events = bar.Events();
    for (std::size_t i = 0; i + 2 < events.size(); ++i) {
        if (events[i] == "format-ok") {
            EXPECT_EQ(events[i + 1], "picture0");
        }
    }
}

TEST(PollCycle, PausePickedUpAfresh) {
    FakeBar bar;
    bar.m_pauseMs = 0;
    StopSignal stop;
    const ReadyDisplay displayReady;
    std::thread monitor([&] { RunMonitor(bar, stop, displayReady); });
    EXPECT_TRUE(bar.WaitUntil([&] { return bar.m_gets >= 2; }));
    bar.SetPause(60000);  // the next pause is a long one
    const int gets = bar.Gets();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_LE(bar.Gets(), gets + 1);
    stop.Raise();
    monitor.join();
}

TEST(Stopping, DuringTheInitialDelayNoPollIsMade) {
    FakeBar bar;
    bar.m_delayMs = 60000;
    StopSignal stop;
    const ReadyDisplay displayReady;
    std::thread monitor([&] { RunMonitor(bar, stop, displayReady); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto start = Clock::now();
    stop.Raise();
    monitor.join();
    EXPECT_LT(MsSince(start), kEndsAtOnceMs);
    EXPECT_EQ(bar.Gets(), 0);
}

TEST(Stopping, DuringAPauseEndsAtOnce) {
    FakeBar bar;
    bar.m_pauseMs = 60000;
    StopSignal stop;
    const ReadyDisplay displayReady;
    std::thread monitor([&] { RunMonitor(bar, stop, displayReady); });
    ASSERT_TRUE(
        bar.WaitUntil([&] { return !bar.m_events.empty() && bar.m_events.back() == "refresh"; }));
    const auto start = Clock::now();
    stop.Raise();
    monitor.join();
    EXPECT_LT(MsSince(start), kEndsAtOnceMs);
    EXPECT_EQ(bar.Gets(), 1);
}

TEST(Stopping, DuringTheIconPauseSkipsTheRestOfTheCycle) {
    FakeBar bar;
    bar.m_iconMs = 60000;
    StopSignal stop;
    const ReadyDisplay displayReady;
    std::thread monitor([&] { RunMonitor(bar, stop, displayReady); });
    ASSERT_TRUE(
        bar.WaitUntil([&] { return !bar.m_events.empty() && bar.m_events.back() == "format-ok"; }));
    const auto start = Clock::now();
    stop.Raise();
    monitor.join();
    EXPECT_LT(MsSince(start), kEndsAtOnceMs);
    EXPECT_EQ(bar.Events(), (std::vector<std::string>{"get", "picture1", "format-ok"}));
}

TEST(Stopping, DuringABlockedGetTheCancelledGetChangesNothing) {
    FakeBar bar;
    bar.m_blockGet = true;  // would wait 60 s
    StopSignal stop;
    const ReadyDisplay displayReady;
    std::thread monitor([&] { RunMonitor(bar, stop, displayReady); });
    ASSERT_TRUE(bar.WaitUntil([&] { return bar.m_gets == 1; }));
    const auto start = Clock::now();
    stop.Raise();
    bar.Cancel();
    monitor.join();
    EXPECT_LT(MsSince(start), kEndsAtOnceMs);
    EXPECT_EQ(bar.Events(), (std::vector<std::string>{"get"}));
    EXPECT_EQ(bar.Failures(), 0);
}

TEST(Stopping, DuringASlotWriteTheWriteFinishesAndNothingFollows) {
    FakeBar bar;
    bar.m_blockWrite = true;  // the user-interface thread has not taken the text yet
    StopSignal stop;
    const ReadyDisplay displayReady;
    std::thread monitor([&] { RunMonitor(bar, stop, displayReady); });
    ASSERT_TRUE(bar.WaitUntil([&] { return bar.m_inWrite; }));
    stop.Raise();
    bar.ReleaseWrite();  // the waiting thread takes the pending write while it waits
    monitor.join();
    EXPECT_EQ(bar.Events(), (std::vector<std::string>{"get", "picture1", "format-ok"}));
}

// ---- The first poll waits for the display --------------------------------------------

TEST(FirstPoll, WithNoDelayWaitsUntilTheDisplayIsReadyThenPollsAndShows) {
    FakeBar bar;  // DelayTimer 0
    bar.m_pauseMs = 60000;
    StopSignal stop;
    StopSignal displayReady;
    std::thread monitor([&] { RunMonitor(bar, stop, displayReady); });
    // While the bar is still being made, nothing is asked and nothing written.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(bar.Events(), std::vector<std::string>{});
    displayReady.Raise();
    ASSERT_TRUE(
        bar.WaitUntil([&] { return !bar.m_events.empty() && bar.m_events.back() == "refresh"; }));
    stop.Raise();
    monitor.join();
    EXPECT_EQ(bar.Events(), (std::vector<std::string>{"get", "picture1", "format-ok", "picture0",
                                                      "status", "refresh"}));
}

TEST(FirstPoll, AReadyDisplayDoesNotCutTheInitialDelayShort) {
    FakeBar bar;
    bar.m_delayMs = 60000;
    StopSignal stop;
    const ReadyDisplay displayReady;
    std::thread monitor([&] { RunMonitor(bar, stop, displayReady); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stop.Raise();
    monitor.join();
    EXPECT_EQ(bar.Gets(), 0);
}

TEST(Stopping, WhileWaitingForTheDisplayEndsAtOnceWithoutAPoll) {
    FakeBar bar;
    StopSignal stop;
    StopSignal displayReady;
    std::thread monitor([&] { RunMonitor(bar, stop, displayReady); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto start = Clock::now();
    // The order the bar's teardown keeps: the stop first, then the display.
    stop.Raise();
    displayReady.Raise();
    monitor.join();
    EXPECT_LT(MsSince(start), kEndsAtOnceMs);
    EXPECT_EQ(bar.Events(), std::vector<std::string>{});
}

TEST(StopSignalTest, WaitEndsOnceRaisedFromAnotherThread) {
    StopSignal signal;
    std::thread raiser([&] { signal.Raise(); });
    signal.Wait();
    EXPECT_TRUE(signal.Raised());
    raiser.join();
}

TEST(StopSignalTest, WaitReturnsAtOnceOnceRaisedAndTimesOutOtherwise) {
    StopSignal stop;
    auto start = Clock::now();
    EXPECT_FALSE(stop.WaitFor(30));
    EXPECT_GE(MsSince(start), 29);
    stop.Raise();
    start = Clock::now();
    EXPECT_TRUE(stop.WaitFor(60000));
    EXPECT_LT(MsSince(start), kEndsAtOnceMs);
    EXPECT_TRUE(stop.Raised());
}

}  // namespace
