// The metrics endpoint of the real vornagent binary on loopback: what it serves, how it is
// configured, and how it stands up to bad clients while the UDP answers keep their pace.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <thread>

#include "agent/config.h"
#include "vornbar_version.h"
#include "agent/options.h"
#include "tests/native/agent_test_support.h"
#include "tests/native/metrics_test_support.h"

namespace vorn::agent {
namespace {

using testing::AgentProcess;
using testing::Ask;
using testing::Fixture;
using testing::HttpExchange;
using testing::HttpGet;
using testing::HttpReply;
using testing::MetricsEndpoints;
using testing::SampleValue;
using testing::TcpClient;
using testing::TempDir;
using testing::UdpClient;
using Clock = std::chrono::steady_clock;

std::vector<std::string> With(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::vector<std::string> kHwmonFixture = {"--listen", "127.0.0.1:0",
                                                "--config", VORN_AGENT_EXAMPLE_CONFIG,
                                                "--sysfs",  Fixture("sysfs/intel-nct6775"),
                                                "--rate",   "0"};

// An agent with the example mapping on the hwmon fixture and a metrics endpoint on each of
// `metrics` (ADDR:PORT texts); its UDP endpoint and metrics endpoints.
struct Running {
    AgentProcess agent;
    Endpoint udp{};
    std::vector<Endpoint> metrics;

    bool Start(const std::vector<std::string>& metrics_addresses,
               const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args = With(kHwmonFixture, extra);
        for (const std::string& a : metrics_addresses)
            args = With(args, {"--metrics", a});
        if (!agent.Start(args))
            return false;
        const std::vector<Endpoint> eps = agent.WaitListening();
        if (eps.empty())
            return false;
        udp = eps[0];
        metrics = MetricsEndpoints(agent.err());
        return metrics.size() == metrics_addresses.size();
    }

    std::string Scrape() const { return HttpGet(metrics[0]).body; }
};

// Milliseconds for each of `count` UDP requests answered in turn, sorted; `missed` counts the
// requests that got no answer within two seconds.
std::vector<double> UdpLatencies(const Endpoint& to, int count, int* missed) {
    UdpClient client(AF_INET);
    std::vector<double> ms;
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        if (!Ask(client, to, 1000u + static_cast<std::uint32_t>(i), 2000))
            ++*missed;
        else
            ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(ms.begin(), ms.end());
    return ms;
}

double Percentile(const std::vector<double>& sorted, double p) {
    return sorted[std::min(sorted.size() - 1, static_cast<std::size_t>(p * sorted.size()))];
}

TEST(AgentMetricsConfig, MetricsAddressesComeFromFileOrCommandLineAndBareOnesAreLoopback) {
    Settings file;
    ConfigError error;
    ASSERT_TRUE(
        ParseConfigText("metrics = 127.0.0.1:9101 [::]:9102\nmetrics = :9103\n", &file, &error))
        << error.message;
    Config config = Resolve(file, Settings{});
    ASSERT_EQ(config.metrics.size(), 4u);
    auto text = [](const Endpoint& ep) {
        return FormatEndpoint(reinterpret_cast<const sockaddr*>(&ep.addr));
    };
    EXPECT_EQ(text(config.metrics[0]), "127.0.0.1:9101");
    EXPECT_EQ(text(config.metrics[1]), "[::]:9102");
    EXPECT_EQ(text(config.metrics[2]), "127.0.0.1:9103");
    EXPECT_EQ(text(config.metrics[3]), "[::1]:9103");
    EXPECT_TRUE(Resolve(Settings{}, Settings{}).metrics.empty()) << "off by default";

    const char* argv[] = {"vornagent", "--metrics", "9200", "--metrics=[::1]:9201"};
    CommandLine cl;
    std::string why;
    ASSERT_TRUE(ParseCommandLine(4, argv, &cl, &why)) << why;
    config = Resolve(file, cl.overrides);  // the command line replaces the file's list
    ASSERT_EQ(config.metrics.size(), 3u);
    EXPECT_EQ(text(config.metrics[0]), "127.0.0.1:9200");
    EXPECT_EQ(text(config.metrics[2]), "[::1]:9201");

    for (const char* bad : {"metrics = localhost:9100\n", "metrics = 99999\n", "metrics = :\n",
                            "metrics = 1.2.3.4\n", "metrics = 0x10\n"}) {
        EXPECT_FALSE(ParseConfigText(bad, &file, &error)) << bad;
        EXPECT_NE(error.message.find("metrics address"), std::string::npos) << error.message;
    }
    const char* bad_argv[] = {"vornagent", "--metrics", "[::1]"};
    EXPECT_FALSE(ParseCommandLine(3, bad_argv, &cl, &why));
    EXPECT_NE(why.find("--metrics '[::1]'"), std::string::npos) << why;
}

TEST(AgentMetrics, ServesTheMappedReadingsOnBothFamiliesAndPromtoolFindsNothing) {
    Running r;
    ASSERT_TRUE(r.Start({"127.0.0.1:0", "[::1]:0"})) << r.agent.err();
    UdpClient client(AF_INET);
    ASSERT_TRUE(Ask(client, r.udp, 1));
    ASSERT_TRUE(Ask(client, r.udp, 2));
    for (const Endpoint& ep : r.metrics) {
        const HttpReply reply = HttpGet(ep);
        ASSERT_EQ(reply.status, 200) << reply.head;
        EXPECT_EQ(reply.Header("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
        EXPECT_EQ(reply.Header("Connection"), "close");
        EXPECT_EQ(reply.Header("Content-Length"), std::to_string(reply.body.size()));
        EXPECT_TRUE(reply.closed);
        // The fixture's values through the example mapping, in base units.
        EXPECT_EQ(SampleValue(
                      reply.body,
                      "vornagent_temperature_celsius{reading=\"TCPU\",sensor=\"coretemp/temp1\"}"),
                  45)
            << reply.body;
        EXPECT_NEAR(SampleValue(reply.body,
                                "vornagent_voltage_volts{reading=\"VM12\",sensor=\"nct6775/in5\"}"),
                    -12.06, 1e-9);
        EXPECT_EQ(
            SampleValue(reply.body, "vornagent_fan_rpm{reading=\"FAN1\",sensor=\"nct6775/fan2\"}"),
            1125);
        // The chip's limits, through the same scale and offset as the value.
        EXPECT_NEAR(
            SampleValue(reply.body,
                        "vornagent_voltage_min_volts{reading=\"VM12\",sensor=\"nct6775/in5\"}"),
            -12.3, 1e-9);
        EXPECT_EQ(
            SampleValue(
                reply.body,
                "vornagent_temperature_max_celsius{reading=\"TCPU\",sensor=\"coretemp/temp1\"}"),
            84);
        EXPECT_EQ(SampleValue(reply.body, "vornagent_requests_total{result=\"answered\"}"), 2);
        EXPECT_GE(SampleValue(reply.body, "vornagent_source_reads_total"), 1);
        const double now =
            std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
                .count();
        EXPECT_NEAR(SampleValue(reply.body, "vornagent_last_sample_timestamp_seconds"), now, 30);
        EXPECT_NE(reply.body.find("vornagent_build_info{version=\"" VORN_VERSION_TEXT "\"} 1"),
                  std::string::npos);

        TempDir dir;
        const std::string path = dir.Write("scrape.txt", reply.body);
        std::string lint;
        EXPECT_EQ(testing::RunCommand(VORN_PROMTOOL " check metrics < " + path, &lint), 0) << lint;
        EXPECT_EQ(lint, "");
    }
    r.agent.Signal(SIGTERM);
    EXPECT_EQ(r.agent.Wait(), 0);
}

TEST(AgentMetrics, ShowsTheLimitsInForceAndTheAlarms) {
    // The example mapping with a configured limit over the chip's and one the chip lacks.
    std::string example;
    ASSERT_EQ(testing::RunCommand("cat " VORN_AGENT_EXAMPLE_CONFIG, &example), 0);
    TempDir dir;
    const std::string config =
        dir.Write("agent.conf", example + "\nTCPU.max = 40\nFAN1.min = 300\nTSYS.max = none\n");
    AgentProcess agent;
    ASSERT_TRUE(agent.Start({"--listen", "127.0.0.1:0", "--metrics", "127.0.0.1:0", "--config",
                             config, "--sysfs", Fixture("sysfs/intel-nct6775")}));
    ASSERT_FALSE(agent.WaitListening().empty()) << agent.err();
    const std::vector<Endpoint> metrics = MetricsEndpoints(agent.err());
    ASSERT_EQ(metrics.size(), 1u) << agent.err();
    const std::string text = HttpGet(metrics[0]).body;
    EXPECT_EQ(
        SampleValue(
            text, "vornagent_temperature_max_celsius{reading=\"TCPU\",sensor=\"coretemp/temp1\"}"),
        40)
        << text;
    EXPECT_EQ(SampleValue(text, "vornagent_fan_min_rpm{reading=\"FAN1\",sensor=\"nct6775/fan2\"}"),
              300);
    EXPECT_EQ(text.find("vornagent_temperature_max_celsius{reading=\"TSYS\""), std::string::npos);
    // TCPU (45) is past its configured 40; FAN3 (812) is below the chip's 900 and flagged.
    EXPECT_EQ(SampleValue(text, "vornagent_alarm{reading=\"TCPU\"}"), 1);
    EXPECT_EQ(SampleValue(text, "vornagent_alarm{reading=\"FAN3\"}"), 1);
    EXPECT_EQ(SampleValue(text, "vornagent_alarm{reading=\"FAN1\"}"), 0);
    EXPECT_EQ(SampleValue(text, "vornagent_alarm{reading=\"TSYS\"}"), 0);
}

TEST(AgentMetrics, AnswersOtherRequestsWithTheirStatusAndCountsThem) {
    Running r;
    ASSERT_TRUE(r.Start({"127.0.0.1:0"})) << r.agent.err();
    const Endpoint& ep = r.metrics[0];
    EXPECT_EQ(HttpGet(ep, "/").status, 404);
    EXPECT_EQ(HttpGet(ep, "/metrics?name[]=up").status, 200);  // a query is ignored
    const HttpReply post = HttpExchange(ep, "POST /metrics HTTP/1.1\r\nHost: a\r\n\r\n");
    EXPECT_EQ(post.status, 405);
    EXPECT_EQ(post.Header("Allow"), "GET, HEAD");
    EXPECT_EQ(HttpExchange(ep, "GET /metrics HTTP/1.1\r\n\r\n").status, 400);  // no Host
    const HttpReply binary = HttpExchange(ep, std::string("\x16\x03\x01\x00\xa5\x01", 6));
    EXPECT_EQ(binary.status, 400);
    EXPECT_TRUE(binary.closed);
    // An endless header line is cut at the limit and answered at once, not read to its end.
    const std::string huge = "GET /metrics HTTP/1.1\r\nHost: a\r\nX: " + std::string(20000, 'a');
    const HttpReply large = HttpExchange(ep, huge);
    EXPECT_EQ(large.status, 431);
    EXPECT_TRUE(large.closed);

    const std::string text = r.Scrape();
    auto count = [&](const char* result) {
        return SampleValue(
            text, std::string("vornagent_metrics_connections_total{result=\"") + result + "\"}");
    };
    EXPECT_EQ(count("served"), 2) << text;  // the query above and this scrape
    EXPECT_EQ(count("not_found"), 1);
    EXPECT_EQ(count("method_not_allowed"), 1);
    EXPECT_EQ(count("malformed"), 2);
    EXPECT_EQ(count("too_large"), 1);
    EXPECT_EQ(count("refused"), 0);
}

TEST(AgentMetrics, SourceOutsideTheAllowListIsClosedAtOnceAndCounted) {
    Running r;
    ASSERT_TRUE(r.Start({"127.0.0.1:0", "[::1]:0"}, {"--allow", "192.0.2.0/24", "--allow", "::1"}))
        << r.agent.err();
    // Closed with nothing said, before the agent's five seconds for a request could end it.
    const HttpReply refused = HttpGet(r.metrics[0], "/metrics", 4000);
    EXPECT_EQ(refused.status, 0);
    EXPECT_EQ(refused.head, "");
    EXPECT_TRUE(refused.closed);
    const std::string text = HttpGet(r.metrics[1]).body;
    EXPECT_EQ(SampleValue(text, "vornagent_metrics_connections_total{result=\"refused\"}"), 1)
        << text;
}

// Sixteen slow clients (from sixteen loopback addresses) take every slot and dribble their
// requests; the seventeenth is turned away at once; garbage and oversized requests keep
// coming. Every UDP request is answered throughout, the slow clients are answered 408 after
// five seconds, and the counters count. The latencies are printed; their figures against a
// quiet agent are the benchmark's business.
TEST(AgentMetrics, SlowClientsAndFloodsNeitherCrashNorDelayUdpAnswers) {
    Running r;
    ASSERT_TRUE(r.Start({"127.0.0.1:0"})) << r.agent.err();
    const Endpoint metrics = r.metrics[0];
    int missed = 0;
    const std::vector<double> quiet = UdpLatencies(r.udp, 300, &missed);

    // Four clients from each of four sources: a source's share of the slots is four.
    std::vector<std::unique_ptr<TcpClient>> slow;
    for (int i = 0; i < 16; ++i) {
        slow.push_back(std::make_unique<TcpClient>());
        // Four sources of four connections each: a source's share is four of the sixteen.
        const std::string source = "127.0.1." + std::to_string(1 + i / 4);
        ASSERT_TRUE(slow.back()->ConnectFrom(source.c_str(), metrics));
        ASSERT_TRUE(slow.back()->Send("GET /met"));
    }
    // The system queues connections in the order they were made and the agent accepts them
    // in that order: the seventeenth finds every slot taken, however soon it knocks.
    const HttpReply busy = HttpGet(metrics, "/metrics", 2000);
    EXPECT_EQ(busy.status, 503) << busy.head;
    EXPECT_TRUE(busy.closed);

    // While the slots are held: a byte from each slow client now and then, and a stream of
    // garbage and oversized requests (turned away as busy, or answered when a slot frees).
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        int round = 0;
        while (!stop) {
            TcpClient c;
            if (c.Connect(metrics, 500)) {
                c.Send(round % 2 ? std::string(9000, 'x') : std::string("\x01\x02\x03garbage"),
                       500);
                c.ReadToClose(500);
            }
            ++round;
        }
    });
    std::vector<double> attacked;
    const auto attack_end = Clock::now() + std::chrono::milliseconds(3500);
    while (Clock::now() < attack_end) {
        for (auto& c : slow)
            c->Send("t");
        const std::vector<double> batch = UdpLatencies(r.udp, 50, &missed);
        attacked.insert(attacked.end(), batch.begin(), batch.end());
    }
    stop = true;
    flood.join();
    std::sort(attacked.begin(), attacked.end());
    std::printf(
        "UDP latency quiet p50 %.3f ms p99 %.3f ms max %.3f ms; under attack p50 %.3f ms "
        "p99 %.3f ms max %.3f ms (%zu requests, %d unanswered)\n",
        Percentile(quiet, 0.5), Percentile(quiet, 0.99), quiet.back(), Percentile(attacked, 0.5),
        Percentile(attacked, 0.99), attacked.back(), attacked.size(), missed);
    // Every request was answered within its two seconds: a serving loop held by a slow
    // client would have kept some waiting for that client's five.
    EXPECT_EQ(missed, 0);

    // Five seconds after they connected, each slow client is told so and closed.
    for (auto& c : slow) {
        bool closed = false;
        const std::string raw = c->ReadToClose(4000, &closed);
        EXPECT_TRUE(closed);
        EXPECT_EQ(raw.rfind("HTTP/1.1 408 ", 0), 0u) << raw.substr(0, 40);
        c->Close();  // a slot is held until the peer closes too, for at most a second
    }
    // The slots are free again: a scrape is served, and it counts what happened.
    HttpReply after;
    for (int i = 0; i < 200 && after.status != 200; ++i) {
        after = HttpGet(metrics);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_EQ(after.status, 200) << after.head;
    EXPECT_EQ(SampleValue(after.body, "vornagent_metrics_connections_total{result=\"timed_out\"}"),
              16);
    EXPECT_GE(SampleValue(after.body, "vornagent_metrics_connections_total{result=\"busy\"}"), 1);
    EXPECT_EQ(SampleValue(after.body, "vornagent_requests_total{result=\"answered\"}"),
              double(quiet.size() + attacked.size()));
    r.agent.Signal(SIGTERM);
    EXPECT_EQ(r.agent.Wait(), 0) << r.agent.err();
}

}  // namespace
}  // namespace vorn::agent
