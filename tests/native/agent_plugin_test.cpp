// The plug-in's client (native build) against the real agent on loopback.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cstring>

#include "plugin_api/vornplug.h"
#include "tests/common/time_bounds.h"
#include "tests/native/agent_test_support.h"

namespace vorn::agent {
namespace {

using testing::AgentProcess;
using testing::Fixture;

std::string HostText(const Endpoint& ep) {
    return FormatEndpoint(reinterpret_cast<const sockaddr*>(&ep.addr));
}

class AgentPlugin : public ::testing::Test {
protected:
    void Start(const std::vector<std::string>& extra) {
        std::vector<std::string> args = {"--listen", "127.0.0.1:0", "--listen", "[::1]:0"};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_TRUE(agent_.Start(args));
        eps_ = agent_.WaitListening();
        ASSERT_EQ(eps_.size(), 2u) << agent_.err();
    }

    AgentProcess agent_;
    std::vector<Endpoint> eps_;
};

TEST_F(AgentPlugin, GetFillsTheRecordFromHwmonOverIPv4AndIPv6) {
    Start({"--config", VORN_AGENT_EXAMPLE_CONFIG, "--sysfs", Fixture("sysfs/intel-nct6775")});
    for (const Endpoint& ep : eps_) {
        VORNPLUG plugin;
        ASSERT_NE(plugin.Create(HostText(ep).c_str()), 0) << HostText(ep);
        LMDATA data;
        std::memset(&data, 'x', sizeof data);
        ASSERT_NE(plugin.Get(data, 2000), 0) << HostText(ep);
        EXPECT_STREQ(data.szText[LM_CPU], "45.0");
        EXPECT_STREQ(data.szText[LM_PWR], "-3.5");
        EXPECT_STREQ(data.szText[LM_VP12], "12.19");
        EXPECT_STREQ(data.szText[LM_VM12], "-12.06");
        EXPECT_STREQ(data.szText[LM_FAN3], "812");
        plugin.Destroy();
    }
}

TEST_F(AgentPlugin, RepeatedGetsEachSucceed) {
    testing::TempDir dir;
    const std::string readings = dir.Write("r.txt", "VM12=-12.049\nFAN1=2812.4\n");
    // Back to back, far above the default per-source rate: the limit is off here.
    Start({"--source", "file:" + readings, "--rate", "0"});
    VORNPLUG plugin;
    ASSERT_NE(plugin.Create(HostText(eps_[0]).c_str()), 0);
    for (int i = 0; i < 200; ++i) {
        LMDATA data{};
        ASSERT_NE(plugin.Get(data, 2000), 0) << i;
        ASSERT_STREQ(data.szText[LM_VM12], "-12.05");
        ASSERT_STREQ(data.szText[LM_FAN1], "2812");
        ASSERT_STREQ(data.szText[LM_CPU], "-");
    }
}

TEST_F(AgentPlugin, GetFailsWhenTheAgentReadsNoSensors) {
    Start({"--sysfs", "/nonexistent"});
    VORNPLUG plugin;
    ASSERT_NE(plugin.Create(HostText(eps_[0]).c_str()), 0);
    LMDATA data{};
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(plugin.Get(data, 60000), 0);
    // Status 1 is an answer, not a time-out: the Get ends long before its minute.
    EXPECT_LT(std::chrono::steady_clock::now() - t0,
              std::chrono::milliseconds(vorn::test_time::Generous(1000)));
}

TEST_F(AgentPlugin, GetFailsWithinTheTimeOutWhenTheSourceIsNotAllowed) {
    testing::TempDir dir;
    const std::string readings = dir.Write("r.txt", "TCPU=40\n");
    Start({"--source", "file:" + readings, "--allow", "192.0.2.0/24"});
    VORNPLUG plugin;
    ASSERT_NE(plugin.Create(HostText(eps_[0]).c_str()), 0);
    LMDATA data{};
    EXPECT_EQ(plugin.Get(data, 200), 0);
}

TEST_F(AgentPlugin, GetFailsAfterTheAgentStops) {
    testing::TempDir dir;
    const std::string readings = dir.Write("r.txt", "TCPU=40\n");
    Start({"--source", "file:" + readings});
    VORNPLUG plugin;
    ASSERT_NE(plugin.Create(HostText(eps_[0]).c_str()), 0);
    LMDATA data{};
    ASSERT_NE(plugin.Get(data, 2000), 0);
    agent_.Signal(SIGTERM);
    ASSERT_EQ(agent_.Wait(), 0);
    EXPECT_EQ(plugin.Get(data, 300), 0);
}

}  // namespace
}  // namespace vorn::agent
