// The real vornagent binary on loopback ports: start line, readings, signals, --list.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "tests/native/agent_test_support.h"

namespace vorn::agent {
namespace {

using testing::AgentProcess;
using testing::Ask;
using testing::Fixture;
using testing::TempDir;
using testing::UdpClient;

const std::vector<std::string> kLoopbackAnyPort = {"--listen", "127.0.0.1:0", "--listen",
                                                   "[::1]:0"};

std::vector<std::string> With(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Asks until `field` reads `text` or two seconds pass; the agent changes its mind at the
// next interval.
bool EventuallyReads(UdpClient& c, const Endpoint& to, int field, const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    std::uint32_t id = 100;
    while (std::chrono::steady_clock::now() < deadline) {
        auto a = Ask(c, to, ++id, 200);
        if (a && a->Text(field) == text)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

TEST(AgentProcess, ServesFileReadingsOnBothFamiliesAndStopsCleanly) {
    TempDir dir;
    const std::string readings = dir.Write("r.txt", "VM12=-12.049\nFAN1=2812.4\nTCPU=45\n");
    AgentProcess agent;
    ASSERT_TRUE(agent.Start(With(kLoopbackAnyPort, {"--source", "file:" + readings})));
    const std::vector<Endpoint> eps = agent.WaitListening();
    ASSERT_EQ(eps.size(), 2u) << agent.err();
    EXPECT_NE(agent.err().find("source file " + readings), std::string::npos);
    for (const Endpoint& ep : eps) {
        UdpClient client(ep.addr.ss_family);
        const auto a = Ask(client, ep, 0xA5A5A5A5u);
        ASSERT_TRUE(a) << agent.err();
        EXPECT_EQ(a->status, proto::ReplyStatus::kReadings);
        EXPECT_EQ(a->Text(proto::kVM12), "-12.05");
        EXPECT_EQ(a->Text(proto::kFan1), "2812");
        EXPECT_EQ(a->Text(proto::kCpu), "45.0");
        EXPECT_EQ(a->Text(proto::kFan2), "-");
    }
    agent.Signal(SIGTERM);
    EXPECT_EQ(agent.Wait(), 0);
    EXPECT_NE(agent.err().find("stopping; answered 2"), std::string::npos) << agent.err();
}

TEST(AgentProcess, SigintAlsoStopsCleanly) {
    AgentProcess agent;
    ASSERT_TRUE(agent.Start(With(kLoopbackAnyPort, {"--sysfs", Fixture("sysfs/amd-it87")})));
    ASSERT_EQ(agent.WaitListening().size(), 2u) << agent.err();
    agent.Signal(SIGINT);
    EXPECT_EQ(agent.Wait(), 0);
}

TEST(AgentProcess, ServesHwmonFixtureThroughTheConfiguredMapping) {
    AgentProcess agent;
    ASSERT_TRUE(agent.Start(With(kLoopbackAnyPort, {"--config", VORN_AGENT_EXAMPLE_CONFIG,
                                                    "--sysfs", Fixture("sysfs/intel-nct6775")})));
    const std::vector<Endpoint> eps = agent.WaitListening();
    ASSERT_EQ(eps.size(), 2u) << agent.err();
    // The start line names the mapping.
    EXPECT_NE(agent.err().find("13 of 13 mapped (TCPU=coretemp/Package id 0"), std::string::npos)
        << agent.err();
    UdpClient client(AF_INET);
    const auto a = Ask(client, eps[0], 1);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->Text(proto::kCpu), "45.0");
    EXPECT_EQ(a->Text(proto::kVM12), "-12.06");
    EXPECT_EQ(a->Text(proto::kFan1), "1125");
}

TEST(AgentProcess, TheStartLineCountsOnlySelectorsThatMatch) {
    TempDir dir;
    const std::string conf = dir.Write("c.conf",
                                       "TCPU = coretemp / Package id 0\n"
                                       "TPWR = nct6776 / AUXTIN0\n"
                                       "FAN3 = nct6775 / fan9\n");
    AgentProcess agent;
    ASSERT_TRUE(agent.Start(
        With(kLoopbackAnyPort, {"--config", conf, "--sysfs", Fixture("sysfs/intel-nct6775")})));
    ASSERT_FALSE(agent.WaitListening().empty()) << agent.err();
    EXPECT_NE(agent.err().find("1 of 13 mapped (TCPU=coretemp/Package id 0); matching nothing: "
                               "TPWR=nct6776/AUXTIN0, FAN3=nct6775/fan9"),
              std::string::npos)
        << agent.err();
}

TEST(AgentProcess, AnswersNoSensorsWhenNothingCanBeRead) {
    AgentProcess agent;
    ASSERT_TRUE(agent.Start(With(kLoopbackAnyPort, {"--sysfs", "/nonexistent"})));
    const std::vector<Endpoint> eps = agent.WaitListening();
    ASSERT_FALSE(eps.empty()) << agent.err();
    UdpClient client(AF_INET);
    const auto a = Ask(client, eps[0], 5);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->status, proto::ReplyStatus::kNoSensors);
}

TEST(AgentProcess, AReadingsFileThatWouldBlockIsRefusedAndTheAgentStillAnswersAndStops) {
    TempDir dir;
    const std::string fifo = dir.path() + "/r.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    AgentProcess agent;
    ASSERT_TRUE(agent.Start(With(kLoopbackAnyPort, {"--source", "file:" + fifo})));
    const std::vector<Endpoint> eps = agent.WaitListening();
    ASSERT_FALSE(eps.empty()) << agent.err();
    UdpClient client(AF_INET);
    const auto a = Ask(client, eps[0], 6);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->status, proto::ReplyStatus::kNoSensors);
    EXPECT_NE(agent.err().find("is not a regular file"), std::string::npos) << agent.err();
    agent.Signal(SIGTERM);
    EXPECT_EQ(agent.Wait(), 0);
}

TEST(AgentProcess, SourceOutsideTheAllowListGetsNoReply) {
    TempDir dir;
    const std::string readings = dir.Write("r.txt", "TCPU=40\n");
    AgentProcess agent;
    ASSERT_TRUE(agent.Start(With(kLoopbackAnyPort, {"--source", "file:" + readings, "--allow",
                                                    "192.0.2.0/24", "--allow", "::1"})));
    const std::vector<Endpoint> eps = agent.WaitListening();
    ASSERT_EQ(eps.size(), 2u) << agent.err();
    UdpClient v4(AF_INET);
    EXPECT_FALSE(Ask(v4, eps[0], 11, 300));
    UdpClient v6(AF_INET6);
    EXPECT_TRUE(Ask(v6, eps[1], 12, 2000));
    agent.Signal(SIGTERM);
    EXPECT_EQ(agent.Wait(), 0);
    EXPECT_NE(agent.err().find("answered 1, dropped 0 malformed, 1 from sources not allowed"),
              std::string::npos)
        << agent.err();
}

TEST(AgentProcess, MalformedDatagramsGetNoReplyAndDoNotDisturbServing) {
    TempDir dir;
    const std::string readings = dir.Write("r.txt", "TCPU=40\n");
    AgentProcess agent;
    ASSERT_TRUE(agent.Start(With(kLoopbackAnyPort, {"--source", "file:" + readings})));
    const std::vector<Endpoint> eps = agent.WaitListening();
    ASSERT_FALSE(eps.empty()) << agent.err();
    UdpClient client(AF_INET);
    proto::Datagram wrong_kind = proto::EncodeRequest(21);
    wrong_kind[5] = 2;
    const std::vector<std::uint8_t> oversized(1500, 'V');
    ASSERT_TRUE(client.SendTo(eps[0], wrong_kind.data(), wrong_kind.size()));
    ASSERT_TRUE(client.SendTo(eps[0], wrong_kind.data(), 12));
    ASSERT_TRUE(client.SendTo(eps[0], oversized.data(), oversized.size()));
    // The answer to the valid request that follows is the only datagram that comes back.
    const auto a = Ask(client, eps[0], 22);
    ASSERT_TRUE(a);
    EXPECT_FALSE(client.Receive(200));
    agent.Signal(SIGTERM);
    EXPECT_EQ(agent.Wait(), 0);
    EXPECT_NE(agent.err().find("answered 1, dropped 3 malformed"), std::string::npos)
        << agent.err();
}

TEST(AgentProcess, ChipRemovedAndRestoredIsPickedUpWithoutRestart) {
    TempDir dir;
    const std::string root = dir.path() + "/sys";
    testing::CopyTree(Fixture("sysfs/intel-nct6775"), root);
    AgentProcess agent;
    ASSERT_TRUE(agent.Start(With(kLoopbackAnyPort, {"--config", VORN_AGENT_EXAMPLE_CONFIG,
                                                    "--sysfs", root, "--interval", "20"})));
    const std::vector<Endpoint> eps = agent.WaitListening();
    ASSERT_FALSE(eps.empty()) << agent.err();
    UdpClient client(AF_INET);
    ASSERT_TRUE(EventuallyReads(client, eps[0], proto::kFan1, "1125"));
    const std::string hw = root + "/class/hwmon/";
    ASSERT_EQ(std::rename((hw + "hwmon2").c_str(), (dir.path() + "/gone").c_str()), 0);
    EXPECT_TRUE(EventuallyReads(client, eps[0], proto::kFan1, "-"));
    EXPECT_TRUE(agent.WaitForLine("FAN1: cannot read", 2000) ||
                agent.err().find("FAN1: no input") != std::string::npos)
        << agent.err();
    ASSERT_EQ(std::rename((dir.path() + "/gone").c_str(), (hw + "hwmon5").c_str()), 0);
    EXPECT_TRUE(EventuallyReads(client, eps[0], proto::kFan1, "1125"));
    const auto a = Ask(client, eps[0], 77);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->Text(proto::kVP12), "12.19");
}

TEST(AgentProcess, SighupAppliesAGoodConfigurationAndRefusesABadOne) {
    TempDir dir;
    const std::string a = dir.Write("a.txt", "TCPU=41\n");
    const std::string b = dir.Write("b.txt", "TCPU=42\n");
    const std::string conf = dir.Write("agent.conf", "source = file:" + a + "\ninterval = 0\n");
    AgentProcess agent;
    ASSERT_TRUE(agent.Start(With(kLoopbackAnyPort, {"--config", conf})));
    const std::vector<Endpoint> eps = agent.WaitListening();
    ASSERT_FALSE(eps.empty()) << agent.err();
    UdpClient client(AF_INET);
    ASSERT_TRUE(EventuallyReads(client, eps[0], proto::kCpu, "41.0"));

    dir.Write("agent.conf", "source = file:" + b + "\ninterval = 0\n");
    agent.Signal(SIGHUP);
    ASSERT_TRUE(agent.WaitForLine("reloaded;")) << agent.err();
    EXPECT_TRUE(EventuallyReads(client, eps[0], proto::kCpu, "42.0"));

    dir.Write("agent.conf", "source = file:" + a + "\ninterval = soon\n");
    agent.Signal(SIGHUP);
    ASSERT_TRUE(agent.WaitForLine("reload refused")) << agent.err();
    EXPECT_NE(agent.err().find("agent.conf:2: interval"), std::string::npos) << agent.err();
    const auto still = Ask(client, eps[0], 3);
    ASSERT_TRUE(still);
    EXPECT_EQ(still->Text(proto::kCpu), "42.0");

    agent.Signal(SIGTERM);
    EXPECT_EQ(agent.Wait(), 0);
}

TEST(AgentProcess, StartFailsWithABrokenConfigurationOrABusyPort) {
    TempDir dir;
    const std::string conf = dir.Write("bad.conf", "TCPU = coretemp\n");
    std::string out;
    std::string err;
    EXPECT_EQ(testing::RunAgent(With(kLoopbackAnyPort, {"--config", conf}), &out, &err), 1);
    EXPECT_NE(err.find("bad.conf:1: TCPU needs CHIP / INPUT"), std::string::npos) << err;

    UdpClient holder(AF_INET);
    Endpoint taken;
    taken.len = sizeof taken.addr;
    getsockname(holder.fd(), reinterpret_cast<sockaddr*>(&taken.addr), &taken.len);
    const std::string busy = FormatEndpoint(reinterpret_cast<const sockaddr*>(&taken.addr));
    EXPECT_EQ(testing::RunAgent({"--listen", busy}, &out, &err), 1);
    EXPECT_NE(err.find("cannot listen on " + busy), std::string::npos) << err;

    EXPECT_EQ(testing::RunAgent({"--interval", "fast"}, &out, &err), 2);
    EXPECT_NE(err.find("--interval"), std::string::npos) << err;
}

TEST(AgentProcess, ListPrintsEveryInputWithLabelAndValue) {
    std::string out;
    std::string err;
    ASSERT_EQ(testing::RunAgent({"--list", "--sysfs", Fixture("sysfs/intel-nct6775")}, &out, &err),
              0)
        << err;
    EXPECT_NE(out.find("coretemp       hwmon1   temp1   Package id 0         45.0 C"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("nct6775        hwmon2   fan2    -                    1125 RPM"),
              std::string::npos)
        << out;
    // Unlabelled voltages: the chip's fixed inputs by name, the board's as needing a scale.
    EXPECT_NE(out.find("nct6775        hwmon2   in4     - (board: .scale)    1.856 V"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("nct6775        hwmon2   in3     3VCC (by chip)       3.296 V      -"
                       "                        V33V = nct6775 / in3\n"),
              std::string::npos)
        << out;
    ASSERT_EQ(testing::RunAgent({"--list", "--sysfs", Fixture("sysfs/amd-it87")}, &out, &err), 0);
    EXPECT_NE(out.find("it8728         hwmon1   fan4    -                    unreadable"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("k10temp        hwmon0   temp1   Tctl"), std::string::npos) << out;
    // Each line ends in a mapping line to paste.
    EXPECT_NE(out.find("TCPU = k10temp / Tctl\n"), std::string::npos) << out;
}

// How many lines of `text` hold `part` at their end.
int LinesEndingWith(const std::string& text, const std::string& part) {
    int n = 0;
    for (std::size_t at = text.find(part + "\n"); at != std::string::npos;
         at = text.find(part + "\n", at + 1))
        ++n;
    return n;
}

TEST(AgentProcess, ListProposesEachReadingOnceAndTheRestAsCommentedAlternatives) {
    std::string out;
    std::string err;
    ASSERT_EQ(testing::RunAgent({"--list", "--sysfs", Fixture("sysfs/intel-nct6775")}, &out, &err),
              0)
        << err;
    // The automatic mapping's choice for the CPU, the first voltage for VVID; every other
    // temperature and voltage is an alternative, commented out.
    EXPECT_EQ(LinesEndingWith(out, " TCPU = coretemp / Package id 0"), 1) << out;
    EXPECT_EQ(LinesEndingWith(out, "# TCPU = coretemp / Core 0"), 1) << out;
    EXPECT_EQ(LinesEndingWith(out, " VVID = nct6775 / in0"), 1) << out;
    EXPECT_EQ(LinesEndingWith(out, "# VVID = nct6775 / in8"), 1) << out;
    for (const char* reading : proto::kFieldNames) {
        int proposed = 0;
        for (std::size_t at = out.find(std::string("  ") + reading + " = ");
             at != std::string::npos; at = out.find(std::string("  ") + reading + " = ", at + 1))
            ++proposed;
        EXPECT_LE(proposed, 1) << reading << " proposed twice in:\n" << out;
    }
    EXPECT_NE(out.find("Paste the mapping lines"), std::string::npos) << out;

    // A readings file names its readings itself: nothing to paste.
    TempDir dir;
    const std::string readings = dir.Write("r.txt", "TCPU=45\nFAN1=900\n");
    ASSERT_EQ(testing::RunAgent({"--list", "--source", "file:" + readings}, &out, &err), 0) << err;
    EXPECT_NE(out.find("(read as FAN1)"), std::string::npos) << out;
    EXPECT_EQ(out.find("Paste"), std::string::npos) << out;
    EXPECT_EQ(out.find("MAPPING LINE"), std::string::npos) << out;
}

TEST(AgentProcess, CheckAndHelpPrintToStdout) {
    std::string out;
    std::string err;
    // The example's mapping matches the board it was written for, line by line.
    EXPECT_EQ(testing::RunAgent(
                  {"--sysfs", Fixture("sysfs/intel-nct6775"), "--check", VORN_AGENT_EXAMPLE_CONFIG},
                  &out, &err),
              0);
    EXPECT_NE(out.find("ok; 13 of 13 mapped"), std::string::npos) << out;
    EXPECT_NE(out.find("every mapping line matches"), std::string::npos) << out;
    EXPECT_EQ(testing::RunAgent({"--help"}, &out, &err), 0);
    EXPECT_NE(out.find("--source file:PATH"), std::string::npos);
}

}  // namespace
}  // namespace vorn::agent
