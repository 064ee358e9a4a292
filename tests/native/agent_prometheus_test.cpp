// The agent with a Prometheus source, end to end through the UDP protocol: against the real
// node_exporter on a sysfs fixture, through a real Prometheus server's /federate, against a
// LibreHardwareMonitor-shaped /metrics, and against endpoints that misbehave on purpose.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "agent/config.h"
#include "tests/common/time_bounds.h"
#include "tests/native/agent_test_support.h"
#include "tests/native/http_test_server.h"
#include "tests/native/prometheus_test_support.h"

namespace vorn::agent {
namespace {

// How much the agent's resident set may grow while it meets bodies far past the 8 MiB cap.
// ThreadSanitizer's shadow memory grows with every byte the agent touches, so the bound is
// wider there; without the cap the growth would be the whole body, gigabytes in these tests.
#if defined(VORN_TEST_UNDER_TSAN)
constexpr long kGrowthBoundKiB = 192 * 1024;
#else
constexpr long kGrowthBoundKiB = 64 * 1024;
#endif

using agent::testing::AgentProcess;
using agent::testing::Answer;
using agent::testing::Ask;
using agent::testing::Fixture;
using agent::testing::RunAgent;
using agent::testing::TempDir;
using agent::testing::UdpClient;
using vorn::testing::NodeExporter;
using vorn::testing::PrometheusServer;
using vorn::testing::TestHttpReply;
using vorn::testing::TestHttpRequest;
using vorn::testing::TestHttpServer;
using Clock = std::chrono::steady_clock;

bool Installed(const char* binary) {
    return access(binary, X_OK) == 0;
}

#define REQUIRE_BINARY(path) \
    if (!Installed(path))    \
    GTEST_SKIP() << path << " is not installed (scripts/install-deps.sh installs it)"

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// LibreHardwareMonitor 0.9.5's page: five samples a series, newest first.
std::string LhmFixture() {
    return ReadFile(Fixture("prometheus/lhm-0.9.5-intel.txt"));
}

// The 13 texts of an answer, "status1" when it says no sensors.
std::vector<std::string> Texts(const Answer& a) {
    if (a.status == proto::ReplyStatus::kNoSensors)
        return {"status1"};
    std::vector<std::string> texts;
    for (int k = 0; k < proto::kFieldCount; ++k)
        texts.push_back(a.Text(k));
    return texts;
}

// A started agent and a client for its IPv4 endpoint.
struct Agent {
    AgentProcess process;
    Endpoint to;
    UdpClient client{AF_INET};
    std::uint32_t id = 1;

    bool Start(const std::vector<std::string>& args) {
        std::vector<std::string> all = {"--listen", "127.0.0.1:0"};
        all.insert(all.end(), args.begin(), args.end());
        if (!process.Start(all))
            return false;
        const std::vector<Endpoint> eps = process.WaitListening(10000);
        if (eps.empty())
            return false;
        to = eps[0];
        return true;
    }
    std::optional<Answer> Get(int timeout_ms = 1000) { return Ask(client, to, ++id, timeout_ms); }
    // Asks until `want` says yes or `timeout_ms` pass; returns the last answer's texts.
    template <typename Want>
    std::vector<std::string> Until(Want want, int timeout_ms = 8000) {
        const auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
        std::vector<std::string> last;
        while (Clock::now() < until) {
            if (const auto a = Get()) {
                last = Texts(*a);
                if (want(last))
                    break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return last;
    }
    // Whether the log has a line with `text`, waiting up to `timeout_ms` for it.
    bool Logged(const std::string& text, int timeout_ms = 3000) {
        return process.err().find(text) != std::string::npos ||
               process.WaitForLine(text, timeout_ms);
    }
    // Everything logged so far.
    const std::string& Log() {
        process.WaitForLine("\x01", 300);
        return process.err();
    }
    std::vector<std::string> UntilReadings() {
        return Until([](const std::vector<std::string>& t) { return t.size() == 13; });
    }
};

std::size_t Count(const std::string& text, const std::string& needle) {
    std::size_t n = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + 1))
        ++n;
    return n;
}

TEST(AgentPrometheus, ConfigurationTakesTheSourceItsSettingsAndSeriesSelectors) {
    Settings file, none;
    ConfigError e;
    ASSERT_TRUE(ParseConfigText(
        "source = prometheus:https://u:pw@host:9100/metrics\n"
        "prometheus.user = bar\nprometheus.password = p w\nprometheus.timeout = 800\n"
        "TCPU = node_hwmon_temp_celsius{chip=\"platform_coretemp_0\",sensor=\"temp1\"}\n",
        &file, &e))
        << e.message;
    ASSERT_TRUE(CheckMappings(file, SourceSpec::Kind::kPrometheus, &e)) << e.message;
    Config c = Resolve(file, none);
    EXPECT_EQ(c.source.kind, SourceSpec::Kind::kPrometheus);
    EXPECT_EQ(c.source.location, "https://u:pw@host:9100/metrics");
    EXPECT_EQ(c.interval_ms, kNetworkIntervalMs);  // unless an interval is set
    const readings::SourceSettings s = SourceSettingsOf(c);
    EXPECT_EQ(s.user, "bar");
    EXPECT_EQ(s.password, "p w");
    EXPECT_EQ(s.timeout_ms, 800);
    Settings faster;
    faster.interval_ms = 300;
    EXPECT_EQ(Resolve(file, faster).interval_ms, 300);

    struct Bad {
        const char* text;
        int line;
        const char* says;
    };
    for (const Bad& bad : {
             Bad{"source = prometheus:ftp://host/metrics\n", 1, "http:// or https://"},
             Bad{"source = prometheus:\n", 1, "http:// or https://"},
             Bad{"prometheus.timeout = 0\n", 1, "from 1 to 60000"},
             Bad{"source = prometheus:http://h/\nTCPU = coretemp / temp1\n", 2,
                 "METRIC{LABEL=\"VALUE\",...}"},
             Bad{"source = prometheus:http://h/\nFAN1 = m{a=\"x\\q\"}\n", 2, "FAN1"},
         }) {
        Settings parsed;
        ConfigError error;
        const bool ok = ParseConfigText(bad.text, &parsed, &error) &&
                        CheckMappings(parsed, parsed.source->kind, &error);
        EXPECT_FALSE(ok) << bad.text;
        EXPECT_EQ(error.line, bad.line) << bad.text;
        EXPECT_NE(error.message.find(bad.says), std::string::npos) << error.message;
    }
}

TEST(AgentPrometheus, NodeExporterAutomaticMappingServesWhatHwmonServes) {
    REQUIRE_BINARY(vorn::testing::kNodeExporterBinary);
    TempDir dir;
    NodeExporter exporter;
    ASSERT_TRUE(exporter.Start(Fixture("sysfs/intel-nct6775"), dir.path())) << exporter.Log();
    Agent hwmon, prom;
    ASSERT_TRUE(hwmon.Start({"--sysfs", Fixture("sysfs/intel-nct6775")}));
    ASSERT_TRUE(
        prom.Start({"--source", "prometheus:" + exporter.MetricsUrl(), "--interval", "200"}))
        << prom.process.err();
    const std::vector<std::string> direct = hwmon.UntilReadings();
    const std::vector<std::string> through = prom.UntilReadings();
    ASSERT_EQ(through.size(), 13u) << prom.process.err();
    EXPECT_EQ(through, direct);
    EXPECT_EQ(through[proto::kCpu], "45.0");
    EXPECT_EQ(through[proto::kSys], "31.0");
    EXPECT_EQ(through[proto::kFan2], "1125");
    EXPECT_EQ(through[proto::kFan3], "812");
    // The nct6775's unlabelled core voltage and 3VCC, by the chip's fixed inputs.
    EXPECT_EQ(through[proto::kVid], "1.35");
    EXPECT_EQ(through[proto::kV33], "3.30");
    EXPECT_NE(prom.process.err().find("automatic mapping 7 of 13 mapped (TCPU=node_hwmon_temp_"
                                      "celsius{chip=\"coretemp\",sensor=\"temp1\"}"),
              std::string::npos)
        << prom.process.err();

    // --list: every input with its value and a line to paste.
    std::string out, err;
    ASSERT_EQ(
        RunAgent({"--list", "--source", "prometheus:" + exporter.MetricsUrl()}, &out, &err, 10000),
        0)
        << err;
    EXPECT_NE(out.find("TCPU = node_hwmon_temp_celsius{chip=\"coretemp\",sensor=\"temp1\"}"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("Package id 0"), std::string::npos) << out;
    // The chip's limits, as node_exporter publishes them beside the values.
    EXPECT_NE(out.find("1.016 V      min 0.920 max 1.080"), std::string::npos) << out;
    EXPECT_NE(out.find("812 RPM      min 900"), std::string::npos) << out;
    EXPECT_NE(out.find("VVID = node_hwmon_in_volts{chip=\"nct6775\",sensor=\"in8\"}"),
              std::string::npos)
        << out;
}

TEST(AgentPrometheus, NodeExporterExplicitMappingAndWhatCheckSaysOfIt) {
    REQUIRE_BINARY(vorn::testing::kNodeExporterBinary);
    TempDir dir;
    NodeExporter exporter;
    ASSERT_TRUE(exporter.Start(Fixture("sysfs/intel-nct6775"), dir.path())) << exporter.Log();
    const std::string config = dir.Write(
        "prom.conf", "source = prometheus:" + exporter.MetricsUrl() +
                         "\n"
                         "interval = 200\n"
                         "TCPU = node_hwmon_temp_celsius{chip=\"coretemp\",sensor=\"temp1\"}\n"
                         "TSYS = node_hwmon_temp_celsius{sensor=\"temp1\"}\n"
                         "VP12 = node_hwmon_in_volts{chip=\"nct6775\",sensor=\"in1\"}\n"
                         "VP12.scale = 12\n"
                         "VM12 = node_hwmon_in_volts{sensor=\"in5\"}\n"
                         "VM12.scale = 6.0\n"
                         "VM12.offset = -18.3\n"
                         "FAN1 = node_hwmon_fan_rpm{chip=\"nct6775\",sensor=\"fan2\"}\n"
                         "FAN2 = node_hwmon_fan_rpm{chip=\"nct6775\",sensor=\"fan9\"}\n");
    Agent hwmon, prom;
    ASSERT_TRUE(hwmon.Start(
        {"--config", VORN_AGENT_EXAMPLE_CONFIG, "--sysfs", Fixture("sysfs/intel-nct6775")}));
    ASSERT_TRUE(prom.Start({"--config", config})) << prom.process.err();
    const std::vector<std::string> direct = hwmon.UntilReadings();
    const std::vector<std::string> through = prom.UntilReadings();
    ASSERT_EQ(through.size(), 13u) << prom.process.err();
    // The same inputs and corrections as the example configuration's hwmon lines.
    for (int field : {proto::kCpu, proto::kVP12, proto::kVM12, proto::kFan1})
        EXPECT_EQ(through[field], direct[field]) << proto::kFieldNames[field];
    EXPECT_EQ(through[proto::kCpu], "45.0");
    EXPECT_EQ(through[proto::kVP12], "12.19");
    EXPECT_EQ(through[proto::kFan1], "1125");
    EXPECT_EQ(through[proto::kSys], "-");   // three chips have a temp1
    EXPECT_EQ(through[proto::kFan2], "-");  // no fan9
    EXPECT_TRUE(prom.Logged("TSYS: 3 series match")) << prom.process.err();
    EXPECT_TRUE(prom.Logged("FAN2: no series matches")) << prom.process.err();

    std::string out, err;
    EXPECT_EQ(RunAgent({"--check", config}, &out, &err, 10000), 1) << out << err;
    EXPECT_NE(out.find("TSYS: 3 series match node_hwmon_temp_celsius{sensor=\"temp1\"}"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("FAN2: no series matches"), std::string::npos) << out;
    EXPECT_NE(out.find("TCPU: reads node_hwmon_temp_celsius{chip=\"coretemp\""), std::string::npos)
        << out;
}

TEST(AgentPrometheus, FederateThroughAPrometheusServerServesTheSameTexts) {
    REQUIRE_BINARY(vorn::testing::kNodeExporterBinary);
    REQUIRE_BINARY(vorn::testing::kPrometheusBinary);
    TempDir dir;
    NodeExporter exporter;
    ASSERT_TRUE(exporter.Start(Fixture("sysfs/intel-nct6775"), dir.path())) << exporter.Log();
    PrometheusServer server;
    ASSERT_TRUE(server.Start({exporter.Address()}, dir.path(), "node_hwmon_fan_rpm"))
        << server.Log();
    Agent direct, federated;
    ASSERT_TRUE(direct.Start({"--source", "prometheus:" + exporter.MetricsUrl()}));
    // Written as a user writes it: brackets, braces and quotes unencoded.
    const std::string url =
        server.BaseUrl() + "/federate?match[]={instance=\"" + exporter.Address() + "\"}";
    ASSERT_TRUE(federated.Start({"--source", "prometheus:" + url, "--interval", "500"}))
        << federated.process.err();
    const std::vector<std::string> want = direct.UntilReadings();
    const std::vector<std::string> got = federated.UntilReadings();
    ASSERT_EQ(got.size(), 13u) << federated.process.err();
    EXPECT_EQ(got, want);
    EXPECT_EQ(got[proto::kCpu], "45.0");

    // A mapping line names the instance label that federation adds.
    const std::string config = dir.Write(
        "fed.conf", "source = prometheus:" + url + "\nTCPU = node_hwmon_temp_celsius{instance=\"" +
                        exporter.Address() +
                        "\",job=\"node\",chip=\"coretemp\",sensor=\"temp1\"}\n"
                        "FAN1 = node_hwmon_fan_rpm{sensor=\"fan2\"}\n");
    Agent mapped;
    ASSERT_TRUE(mapped.Start({"--config", config, "--interval", "500"}));
    const std::vector<std::string> texts = mapped.UntilReadings();
    ASSERT_EQ(texts.size(), 13u) << mapped.process.err();
    EXPECT_EQ(texts[proto::kCpu], "45.0");
    EXPECT_EQ(texts[proto::kFan1], "1125");
}

TEST(AgentPrometheus, LibreHardwareMonitorMetricsMapAutomaticallyWithBasicAuth) {
    TestHttpServer endpoint([body = LhmFixture()](const TestHttpRequest& q) {
        TestHttpReply reply;
        if (q.authorization != "Basic bGhtOnMzY3JldA==") {  // lhm:s3cret
            reply.status = 401;
            reply.content_type = "text/html";
            reply.body = "<HTML><BODY>401 Unauthorized</BODY></HTML>";
        } else {
            reply.body = body;
        }
        return reply;
    });
    ASSERT_TRUE(endpoint.ok());
    TempDir dir;
    const std::string config =
        dir.Write("lhm.conf", "source = prometheus:" + endpoint.Url("/metrics") +
                                  "\nprometheus.user = lhm\nprometheus.password = s3cret\n"
                                  "prometheus.timeout = 1000\ninterval = 200\n");
    Agent agent;
    ASSERT_TRUE(agent.Start({"--config", config})) << agent.process.err();
    const std::vector<std::string> t = agent.UntilReadings();
    ASSERT_EQ(t.size(), 13u) << agent.process.err();
    EXPECT_EQ(t, (std::vector<std::string>{"48.0", "46.0", "34.0", "1.26", "1.06", "3.34", "5.04",
                                           "-", "12.10", "-", "1251", "786", "803"}));
    // The password is never written to the log.
    EXPECT_EQ(agent.process.err().find("s3cret"), std::string::npos);

    // Without the credentials: one line saying why, and no readings.
    Agent refused;
    ASSERT_TRUE(refused.Start({"--source", "prometheus:" + endpoint.Url("/metrics")}));
    EXPECT_EQ(refused.Until([](const auto& texts) { return texts.size() == 1; }),
              std::vector<std::string>{"status1"});
    EXPECT_TRUE(refused.Logged("HTTP status 401; sending -")) << refused.process.err();
}

// The agent's resident memory in KiB.
long ResidentKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    }
    return -1;
}

// Under AddressSanitizer freed memory waits in a quarantine and would count as resident: the
// agents started from now on keep none.
void WithoutAsanQuarantine() {
    const char* asan = std::getenv("ASAN_OPTIONS");
    if (asan != nullptr && std::strstr(asan, "quarantine_size_mb=0") != nullptr)
        return;
    setenv("ASAN_OPTIONS",
           (std::string(asan ? asan : "") + (asan && *asan ? ":" : "") + "quarantine_size_mb=0")
               .c_str(),
           1);
}

// Every reply comes from the latest sample: none is lost while the endpoint hangs, answers
// late or sends rubbish, though each Get waits no longer than the sample's own time-out (a
// reply that waited for the sample would take that long). The latency figures themselves are
// vorn_bench_prometheus's.
TEST(AgentPrometheus, HostileEndpointsNeverDelayAReplyAndAreLoggedOnce) {
    const std::string good = LhmFixture();
    TestHttpServer endpoint(TestHttpServer::Serve(good));
    ASSERT_TRUE(endpoint.ok());
    Agent agent;
    TempDir dir;
    const std::string config = dir.Write(
        "h.conf", "source = prometheus:" + endpoint.Url("/metrics") +
                      "\nprometheus.timeout = 1000\ninterval = 200\nstale = 1000\nrate = 0\n");
    WithoutAsanQuarantine();
    ASSERT_TRUE(agent.Start({"--config", config})) << agent.process.err();
    ASSERT_EQ(agent.UntilReadings().size(), 13u) << agent.process.err();
    const long rss_start = ResidentKiB(agent.process.pid());

    struct Phase {
        const char* name;
        TestHttpReply reply;
        const char* logged;  // the line that says why, written once
    };
    using B = TestHttpReply::Behaviour;
    auto reply = [](B behaviour, int status, std::string type, std::string body, int delay = 0,
                    std::vector<std::string> headers = {}) {
        TestHttpReply r;
        r.behaviour = behaviour;
        r.status = status;
        r.content_type = std::move(type);
        r.body = std::move(body);
        r.delay_ms = delay;
        r.headers = std::move(headers);
        return r;
    };
    std::string broken = good;
    for (std::size_t at = broken.find("\"sensorName\"=\""); at != std::string::npos;
         at = broken.find("\"sensorName\"=\"", at + 1))
        broken.insert(at + 14, "\\q");
    const Phase phases[] = {
        {"never answers", reply(B::kHang, 200, "", ""), "no complete answer within 1000 ms"},
        {"answers after 10 s", reply(B::kDelay, 200, "text/plain", good, 10000),
         "no complete answer within 1000 ms"},
        {"a 10 MB line", reply(B::kAnswer, 200, "text/plain", std::string(10u << 20, 'x')),
         "the answer is longer than 8388608 bytes"},
        {"HTML", reply(B::kAnswer, 200, "text/html", "<html><body>Hi</body></html>"),
         "the answer is an HTML page (Content-Type text/html)"},
        {"wrong Content-Type", reply(B::kAnswer, 200, "application/json", "{\"temp\": 45}"),
         "no series could be read (line 1: "},
        {"redirect loop", reply(B::kAnswer, 302, "", "", 0, {"Location: /metrics"}),
         "more than 3 redirects"},
        {"broken escapes", reply(B::kAnswer, 200, "text/plain", broken),
         "an unknown escape in a quoted text"},
    };
    for (const Phase& phase : phases) {
        endpoint.SetHandler([r = phase.reply](const TestHttpRequest&) { return r; });
        // Ask for 2.5 s: long enough for time-outs and the stale bound to pass.
        std::vector<double> ms;
        int lost = 0;
        std::vector<std::string> last;
        const auto until = Clock::now() + std::chrono::milliseconds(2500);
        while (Clock::now() < until) {
            const auto t0 = Clock::now();
            const auto a = agent.Get(1000);
            ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
            if (a)
                last = Texts(*a);
            else
                ++lost;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        std::sort(ms.begin(), ms.end());
        ASSERT_FALSE(ms.empty());
        std::printf("%-20s %3zu replies, p50 %.3f ms, max %.3f ms\n", phase.name, ms.size(),
                    ms[ms.size() / 2], ms.back());
        EXPECT_EQ(lost, 0) << phase.name;
        EXPECT_EQ(last, std::vector<std::string>{"status1"}) << phase.name;
        EXPECT_TRUE(agent.Logged(phase.logged)) << phase.name << "\n" << agent.process.err();
    }
    const std::string& log = agent.Log();
    EXPECT_EQ(Count(log, "no complete answer within 1000 ms"), 1u) << log;
    EXPECT_EQ(Count(log, "longer than 8388608 bytes"), 1u) << log;
    EXPECT_EQ(Count(log, "more than 3 redirects"), 1u) << log;
    EXPECT_EQ(Count(log, "an HTML page"), 1u) << log;
    // Sampling and serving share the snapshot only: the sanitizers find nothing to say.
    EXPECT_EQ(log.find("Sanitizer"), std::string::npos) << log;
    // Memory stays bounded by the body cap, not by what the servers sent.
    const long rss_end = ResidentKiB(agent.process.pid());
    EXPECT_LT(rss_end - rss_start, kGrowthBoundKiB) << rss_start << " KiB at start";

    endpoint.SetHandler(TestHttpServer::Serve(good));
    EXPECT_EQ(agent.UntilReadings().size(), 13u);
    EXPECT_TRUE(agent.Logged("answering again")) << log;
}

// An endless body ends at the body cap however slowly this machine moves the bytes (the
// sample's time-out is a minute away), replies keep coming meanwhile, and the agent's memory
// stays bounded by the cap, not by what the endpoint sent.
TEST(AgentPrometheus, AnEndlessBodyEndsAtTheCapHoweverSlowTheTransfer) {
    TestHttpReply endless;
    endless.behaviour = TestHttpReply::Behaviour::kEndless;
    endless.content_type = "text/plain";
    TestHttpServer endpoint([endless](const TestHttpRequest&) { return endless; });
    ASSERT_TRUE(endpoint.ok());
    Agent agent;
    TempDir dir;
    const std::string config = dir.Write(
        "e.conf", "source = prometheus:" + endpoint.Url("/metrics") +
                      "\nprometheus.timeout = 60000\ninterval = 200\nstale = 1000\nrate = 0\n");
    WithoutAsanQuarantine();
    ASSERT_TRUE(agent.Start({"--config", config})) << agent.process.err();
    const long rss_start = ResidentKiB(agent.process.pid());
    EXPECT_TRUE(agent.Logged("the answer is longer than 8388608 bytes", 60000))
        << agent.process.err();
    // A few more samples meet the same body; every one of them is cut at the cap.
    const std::size_t reads = endpoint.requests().size();
    for (int i = 0; i < 600 && endpoint.requests().size() < reads + 3; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_GE(endpoint.requests().size(), reads + 3);
    const auto a = agent.Get(60000);
    ASSERT_TRUE(a.has_value());
    EXPECT_EQ(Texts(*a), std::vector<std::string>{"status1"});
    const std::string& log = agent.Log();
    EXPECT_EQ(Count(log, "longer than 8388608 bytes"), 1u) << log;
    EXPECT_EQ(Count(log, "no complete answer"), 0u) << log;
    EXPECT_EQ(log.find("Sanitizer"), std::string::npos) << log;
    EXPECT_LT(ResidentKiB(agent.process.pid()) - rss_start, kGrowthBoundKiB)
        << rss_start << " KiB at start";
}

}  // namespace
}  // namespace vorn::agent
