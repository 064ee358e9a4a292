// The plug-in's history read (VORNPLUG::GetHistory) against the real agent, and against
// stand-ins for an agent that does not speak version 3 and one that is over its budget.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "plugin_api/vornplug.h"
#include "protocol/history_protocol.h"
#include "tests/native/agent_test_support.h"

namespace vorn::agent {
namespace {

namespace proto = vorn::proto;
using testing::AgentProcess;
using testing::TempDir;

std::string HostOf(const Endpoint& ep) {
    return "127.0.0.1:" + std::to_string(testing::PortOf(ep));
}

// Waits until the plug-in's poll shows CPU as `text`, so that the agent has sampled it.
bool Polled(VORNPLUG& plugin, const std::string& text) {
    for (int i = 0; i < 200; ++i) {
        LMDATA data{};
        if (plugin.Get(data, 1000) && text == data.szText[LM_CPU])
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

int PeakOf(const std::vector<VORNHISTSLOT>& slots, unsigned int n) {
    int peak = VORNHIST_GAP;
    for (unsigned int i = 0; i < n; ++i)
        peak = std::max(peak, slots[i].nMax);
    return peak;
}

class PluginHistoryAgent : public ::testing::Test {
protected:
    void Start(std::vector<std::string> extra = {}) {
        readings_ = dir_.Write("r.txt", "TCPU=40\n");
        std::vector<std::string> args = {"--listen",          "127.0.0.1:0", "--source",
                                         "file:" + readings_, "--interval",  "20"};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_TRUE(agent_.Start(args));
        const auto eps = agent_.WaitListening();
        ASSERT_EQ(eps.size(), 1u) << agent_.err();
        ASSERT_TRUE(plugin_.Create(HostOf(eps[0]).c_str()));
    }
    void TearDown() override {
        plugin_.Destroy();
        if (agent_.pid() > 0) {
            agent_.Signal(SIGTERM);
            EXPECT_EQ(agent_.Wait(), 0) << agent_.err();
        }
    }

    TempDir dir_;
    std::string readings_;
    AgentProcess agent_;
    VORNPLUG plugin_;
};

TEST_F(PluginHistoryAgent, SamplesAndMinutesHoldAPeakBetweenPolls) {
    Start();
    for (const char* v : {"40.0", "91.5", "40.0"}) {
        dir_.Write("r.txt", std::string("TCPU=") + v + "\n");
        ASSERT_TRUE(Polled(plugin_, v)) << v << agent_.err();
        // A second keeps the last sample taken in it: the peak must end one to be seen there.
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    }
    std::vector<VORNHISTSLOT> slots(600);
    VORNHISTORY info{};
    ASSERT_EQ(plugin_.GetHistory(LM_CPU, VORNHIST_SAMPLES, -599, 0, info, slots.data(), 600, 1000),
              VORNHIST_OK);
    EXPECT_EQ(info.nStep, 1u);
    EXPECT_EQ(info.nIntervalMs, 20u);
    EXPECT_EQ(info.nSlots, 600u) << "ten minutes by the second, the current one included";
    EXPECT_EQ(info.llFirst, info.llNow - 599);
    EXPECT_EQ(PeakOf(slots, info.nSlots), 915);
    unsigned int newest = info.nSlots - 1;
    while (newest > 0 && slots[newest].nMean == VORNHIST_GAP)
        --newest;
    EXPECT_EQ(slots[newest].nMean, 400) << "the newest sample";
    EXPECT_EQ(slots[0].nMean, VORNHIST_GAP) << "before the agent started";

    ASSERT_EQ(plugin_.GetHistory(LM_CPU, VORNHIST_MINUTES, -3600, 0, info, slots.data(), 600, 1000),
              VORNHIST_OK);
    EXPECT_EQ(info.nStep, 60u);
    EXPECT_EQ(info.llFirst % 60, 0);
    EXPECT_EQ(info.nSlots, 61u);
    int lowest = INT_MAX;
    for (unsigned int i = 0; i < info.nSlots; ++i) {
        if (slots[i].nMin != VORNHIST_GAP)
            lowest = std::min(lowest, slots[i].nMin);
    }
    EXPECT_EQ(PeakOf(slots, info.nSlots), 915) << "a minute keeps its maximum";
    EXPECT_EQ(lowest, 400) << "and its minimum";
    EXPECT_EQ(info.nLow, VORNHIST_GAP);
}

TEST_F(PluginHistoryAgent, PagesMeetAndTheCapacityAndSpanAreKept) {
    Start();
    ASSERT_TRUE(Polled(plugin_, "40.0"));
    // An hour by the second is thirteen pages of up to 287 slots each.
    std::vector<VORNHISTSLOT> slots(3600, VORNHISTSLOT{1, 1, 1, 1});
    VORNHISTORY info{};
    ASSERT_EQ(
        plugin_.GetHistory(LM_FAN1, VORNHIST_SAMPLES, -3599, 0, info, slots.data(), 3600, 1000),
        VORNHIST_OK);
    EXPECT_EQ(info.nSlots, 3600u);
    EXPECT_EQ(slots[0].nMean, VORNHIST_GAP) << "every slot was written, gaps as gaps";
    EXPECT_EQ(slots[0].bAlarm, 0);
    // The capacity cuts the span at its old end; an absolute span of two slots gives two.
    ASSERT_EQ(plugin_.GetHistory(LM_CPU, VORNHIST_SAMPLES, -599, 0, info, slots.data(), 100, 1000),
              VORNHIST_OK);
    EXPECT_EQ(info.nSlots, 100u);
    const long long now = info.llNow;
    ASSERT_EQ(plugin_.GetHistory(LM_CPU, VORNHIST_SAMPLES, now - 3, now - 2, info, slots.data(),
                                 100, 1000),
              VORNHIST_OK);
    EXPECT_EQ(info.nSlots, 2u);
    EXPECT_EQ(info.llFirst, now - 3);
    // Older than the agent keeps: from its oldest slot. After its clock: nothing.
    ASSERT_EQ(plugin_.GetHistory(LM_CPU, VORNHIST_QUARTER_HOURS, -40LL * 86400, 0, info,
                                 slots.data(), 3600, 1000),
              VORNHIST_OK);
    EXPECT_EQ(info.nSlots, 3360u) << "35 days by the quarter hour";
    ASSERT_EQ(plugin_.GetHistory(LM_CPU, VORNHIST_SAMPLES, now + 3600, now + 7200, info,
                                 slots.data(), 100, 1000),
              VORNHIST_OK);
    EXPECT_EQ(info.nSlots, 0u);
}

TEST_F(PluginHistoryAgent, ReadsWhileTheMonitorThreadPolls) {
    Start();
    std::atomic<bool> stop{false};
    std::atomic<int> polls{0};
    std::atomic<int> failed{0};
    std::thread monitor([&] {
        while (!stop.load()) {
            LMDATA data{};
            if (plugin_.Get(data, 1000))
                ++polls;
            else
                ++failed;
            // Within the agent's poll rate, which a bar never comes near.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    std::vector<VORNHISTSLOT> slots(600);
    int reads = 0;
    for (int i = 0; i < 20; ++i) {
        VORNHISTORY info{};
        if (plugin_.GetHistory(i % LMDATA_FIELDS, VORNHIST_SAMPLES, -599, 0, info, slots.data(),
                               600, 1000) == VORNHIST_OK &&
            info.nSlots == 600)
            ++reads;
    }
    while (polls.load() < 20 && failed.load() == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    stop = true;
    monitor.join();
    EXPECT_EQ(reads, 20);
    EXPECT_EQ(failed.load(), 0) << "history reads never cost a poll";
}

TEST_F(PluginHistoryAgent, HistoryOffAndBadArgumentsAreTheirOwnResults) {
    Start({"--history", "off"});
    std::vector<VORNHISTSLOT> slots(10);
    VORNHISTORY info{};
    EXPECT_EQ(plugin_.GetHistory(LM_CPU, VORNHIST_SAMPLES, -9, 0, info, slots.data(), 10, 1000),
              VORNHIST_OFF);
    EXPECT_EQ(plugin_.GetHistory(13, VORNHIST_SAMPLES, -9, 0, info, slots.data(), 10, 1000),
              VORNHIST_FAILED);
    EXPECT_EQ(plugin_.GetHistory(LM_CPU, 3, -9, 0, info, slots.data(), 10, 1000), VORNHIST_FAILED);
    EXPECT_EQ(plugin_.GetHistory(LM_CPU, VORNHIST_SAMPLES, -9, 0, info, nullptr, 10, 1000),
              VORNHIST_FAILED);
    LMDATA data{};
    EXPECT_TRUE(plugin_.Get(data, 1000)) << "polls go on";
    plugin_.Cancel();
    EXPECT_EQ(plugin_.GetHistory(LM_CPU, VORNHIST_SAMPLES, -9, 0, info, slots.data(), 10, 1000),
              VORNHIST_FAILED);
    VORNPLUG closed;
    EXPECT_EQ(closed.GetHistory(LM_CPU, VORNHIST_SAMPLES, -9, 0, info, slots.data(), 10, 1000),
              VORNHIST_FAILED);
}

// A loopback socket standing in for an agent: drops everything, or refuses every version 3
// request as over budget.
class StandIn {
public:
    explicit StandIn(bool refuse) : refuse_(refuse) {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        socklen_t len = sizeof sa;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len);
        port_ = ntohs(sa.sin_port);
        timeval tv{0, 50 * 1000};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        thread_ = std::thread([this] { Serve(); });
    }
    ~StandIn() {
        stop_ = true;
        thread_.join();
        close(fd_);
    }
    std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
    int requests() const { return requests_.load(); }

private:
    void Serve() {
        while (!stop_.load()) {
            std::uint8_t buf[1500];
            sockaddr_in from{};
            socklen_t len = sizeof from;
            const ssize_t n =
                recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
            proto::HistoryRequest r;
            if (n <= 0 || !proto::DecodeHistoryRequest(buf, static_cast<std::size_t>(n), &r))
                continue;
            ++requests_;
            if (!refuse_)
                continue;
            proto::HistoryReplyHeader h;
            h.status = proto::HistoryStatus::kOverBudget;
            h.id = r.id;
            h.reading = r.reading;
            h.resolution = r.resolution;
            h.now = 1764547200;
            h.extra = 5000;
            std::uint8_t out[proto::kHistoryHeaderSize];
            const std::size_t size = proto::EncodeHistoryReply(h, nullptr, out);
            sendto(fd_, out, size, 0, reinterpret_cast<sockaddr*>(&from), len);
        }
    }

    const bool refuse_;
    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    std::thread thread_;
};

TEST(PluginHistoryStandIn, AnAgentWithoutVersion3AndAnAgentOverBudget) {
    std::vector<VORNHISTSLOT> slots(10);
    VORNHISTORY info{};
    {
        StandIn silent(false);
        VORNPLUG plugin;
        ASSERT_TRUE(plugin.Create(silent.host().c_str()));
        EXPECT_EQ(plugin.GetHistory(LM_CPU, VORNHIST_SAMPLES, -9, 0, info, slots.data(), 10, 100),
                  VORNHIST_UNSUPPORTED);
        EXPECT_EQ(silent.requests(), 3) << "three tries, then the agent is taken at its silence";
    }
    {
        StandIn busy(true);
        VORNPLUG plugin;
        ASSERT_TRUE(plugin.Create(busy.host().c_str()));
        info.nRetryMs = 0;
        EXPECT_EQ(plugin.GetHistory(LM_CPU, VORNHIST_SAMPLES, -9, 0, info, slots.data(), 10, 1000),
                  VORNHIST_BUSY);
        EXPECT_EQ(info.nRetryMs, 5000u) << "a wait longer than the time-out is the caller's";
        EXPECT_EQ(busy.requests(), 1);
    }
}

}  // namespace
}  // namespace vorn::agent
