// vornagent --ask: the real binary asking a real agent, a silent port, a closed port and an
// agent that speaks version 1 only, all on loopback.
#include <gtest/gtest.h>

#include <netinet/in.h>

#include "protocol/sensor_protocol.h"
#include "tests/native/agent_test_support.h"
#include "tests/native/plugin_responder.h"

namespace vorn::agent {
namespace {

using testing::AgentProcess;
using testing::RunAgent;
using testing::TempDir;

// Long enough for a time-out of --ask under sanitizers, bounded all the same.
constexpr int kRunMs = 15000;

std::string PortText(const AgentProcess& agent, const std::vector<Endpoint>& eps) {
    EXPECT_FALSE(eps.empty()) << agent.err();
    return eps.empty() ? "" : std::to_string(testing::PortOf(eps[0]));
}

TEST(AgentAsk, PrintsTheThirteenReadingsWithLabelsMaskAndRoundTripFromARealAgent) {
    TempDir dir;
    const std::string readings = dir.Write("r.txt", "TCPU=45\nFAN1=2812\nVP12=12.03\n");
    const std::string conf = dir.Write("a.conf", "source = file:" + readings + "\nTCPU.max = 40\n");
    AgentProcess agent;
    ASSERT_TRUE(agent.Start({"--config", conf, "--listen", "127.0.0.1:0", "--listen", "[::1]:0"}));
    const std::vector<Endpoint> eps = agent.WaitListening();
    ASSERT_EQ(eps.size(), 2u) << agent.err();
    std::string out, err;
    for (const std::string& host : {"127.0.0.1:" + std::to_string(testing::PortOf(eps[0])),
                                    "[::1]:" + std::to_string(testing::PortOf(eps[1]))}) {
        ASSERT_EQ(RunAgent({"--ask", host}, &out, &err, kRunMs), 0) << out << err;
        EXPECT_NE(out.find("answered in "), std::string::npos) << out;
        EXPECT_NE(out.find("(protocol version 2)"), std::string::npos) << out;
        EXPECT_NE(out.find("TCPU  CPU temperature"), std::string::npos) << out;
        EXPECT_NE(out.find("45.0 C"), std::string::npos) << out;
        EXPECT_NE(out.find("2812 RPM"), std::string::npos) << out;
        EXPECT_NE(out.find("12.03 V"), std::string::npos) << out;
        for (const char* name : proto::kFieldNames)
            EXPECT_NE(out.find(std::string("  ") + name + " "), std::string::npos) << name;
        // 45 is past the high limit of 40: bit 0, shown by name.
        EXPECT_NE(out.find("ALARM"), std::string::npos) << out;
        EXPECT_NE(out.find("alarm mask 0x0001: TCPU"), std::string::npos) << out;
        EXPECT_NE(out.find("'-': not mapped"), std::string::npos) << out;
    }
}

TEST(AgentAsk, AnAgentWithNoSensorsIsAFailureWithItsMessage) {
    AgentProcess agent;
    ASSERT_TRUE(agent.Start({"--listen", "127.0.0.1:0", "--sysfs", "/nonexistent"}));
    const std::string port = PortText(agent, agent.WaitListening());
    std::string out, err;
    EXPECT_EQ(RunAgent({"--ask", "127.0.0.1:" + port}, &out, &err, kRunMs), 1) << out << err;
    EXPECT_NE(err.find("status 1, \"the agent has no sensors\""), std::string::npos) << err;
    EXPECT_EQ(out, "");
}

TEST(AgentAsk, NoAgentIsATimeOutOrARefusalAndAFailure) {
    std::string out, err;
    // Nothing bound: the kernel refuses at once.
    const std::uint16_t closed = test::ClosedPort();
    EXPECT_EQ(RunAgent({"--ask", "127.0.0.1:" + std::to_string(closed)}, &out, &err, kRunMs), 1);
    EXPECT_NE(err.find("refused"), std::string::npos) << err;

    // Bound but silent: no answer within the time-out.
    test::Responder silent([](int, std::uint32_t) { return std::vector<test::Outgoing>{}; });
    ASSERT_TRUE(silent.Listening());
    EXPECT_EQ(RunAgent({"--ask", silent.HostText()}, &out, &err, kRunMs), 1);
    EXPECT_NE(err.find("time-out"), std::string::npos) << err;
    // It asked in version 2, then fell back to version 1, as the plug-in does.
    const std::vector<test::SeenRequest> seen = silent.Seen();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].version, proto::kVersion2);
    EXPECT_EQ(seen[1].version, proto::kVersion1);
}

TEST(AgentAsk, AVersionOneAgentAnswersThroughTheFallback) {
    proto::Fields fields{};
    for (auto& f : fields)
        f = proto::MakeField("-");
    fields[proto::kCpu] = proto::MakeField("51.5");
    test::Responder old(
        [&](int, std::uint32_t id) {
            const proto::Datagram d = proto::EncodeReply(id, proto::ReplyStatus::kReadings, fields);
            return std::vector<test::Outgoing>{{test::Bytes(d.begin(), d.end()), 0}};
        },
        false, 0, test::Speaks::kVersion1Only);
    ASSERT_TRUE(old.Listening());
    std::string out, err;
    ASSERT_EQ(RunAgent({"--ask", old.HostText()}, &out, &err, kRunMs), 0) << err;
    EXPECT_NE(out.find("(protocol version 1)"), std::string::npos) << out;
    EXPECT_NE(out.find("51.5 C"), std::string::npos) << out;
    EXPECT_NE(out.find("alarm mask: none"), std::string::npos) << out;
}

TEST(AgentAsk, ABadHostTextIsACommandLineError) {
    std::string out, err;
    EXPECT_EQ(RunAgent({"--ask", "host:99999"}, &out, &err), 2);
    EXPECT_NE(err.find("is not HOST, HOST:PORT"), std::string::npos) << err;
    EXPECT_EQ(RunAgent({"--ask"}, &out, &err), 2);
    EXPECT_NE(err.find("--ask needs a value"), std::string::npos) << err;
}

}  // namespace
}  // namespace vorn::agent
