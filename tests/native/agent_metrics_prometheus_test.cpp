// A real Prometheus server, started here on loopback with its own configuration and data
// folder, scrapes the real agent; its query API returns the mapped TCPU and up == 1.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/native/agent_test_support.h"
#include "tests/native/metrics_test_support.h"

namespace vorn::agent {
namespace {

using testing::AgentProcess;
using testing::Fixture;
using testing::HttpGet;
using testing::TempDir;
using Clock = std::chrono::steady_clock;

std::string UrlEncode(const std::string& s) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '_' || c == '-' || c == '.') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

// The value of the first sample of an instant-query answer ("value":[TIME,"VALUE"]), or "".
std::string FirstValue(const std::string& json) {
    const std::size_t at = json.find("\"value\":[");
    if (at == std::string::npos)
        return "";
    const std::size_t open = json.find(",\"", at);
    const std::size_t close = open == std::string::npos ? open : json.find('"', open + 2);
    if (close == std::string::npos)
        return "";
    return json.substr(open + 2, close - open - 2);
}

// Asks `query` until it has a sample or `timeout` passes; the value, or "".
std::string QueryUntilAnswered(const Endpoint& prometheus, const std::string& query,
                               std::chrono::seconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        const testing::HttpReply reply =
            HttpGet(prometheus, "/api/v1/query?query=" + UrlEncode(query), 2000);
        const std::string value = reply.status == 200 ? FirstValue(reply.body) : "";
        if (!value.empty())
            return value;
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    return "";
}

TEST(AgentPrometheus, ARealServerScrapesTheMappedReadings) {
    AgentProcess agent;
    ASSERT_TRUE(
        agent.Start({"--listen", "127.0.0.1:0", "--metrics", "127.0.0.1:0", "--config",
                     VORN_AGENT_EXAMPLE_CONFIG, "--sysfs", Fixture("sysfs/intel-nct6775")}));
    ASSERT_FALSE(agent.WaitListening().empty()) << agent.err();
    const std::vector<Endpoint> metrics = testing::MetricsEndpoints(agent.err());
    ASSERT_EQ(metrics.size(), 1u) << agent.err();

    TempDir dir;
    const std::string config = dir.Write(
        "prometheus.yml",
        "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n  evaluation_interval: 1s\n"
        "scrape_configs:\n  - job_name: vornagent\n    static_configs:\n"
        "      - targets: ['" +
            testing::HostPort(metrics[0]) + "']\n");
    const std::uint16_t port = testing::FreeTcpPort();
    ASSERT_NE(port, 0);
    Endpoint api;
    ASSERT_TRUE(ParseEndpoint("127.0.0.1:" + std::to_string(port), &api));
    testing::ChildProcess prometheus;
    const std::string log = dir.path() + "/prometheus.log";
    ASSERT_TRUE(prometheus.Start(
        {VORN_PROMETHEUS, "--config.file=" + config, "--storage.tsdb.path=" + dir.path() + "/data",
         "--web.listen-address=127.0.0.1:" + std::to_string(port)},
        log));

    // Prometheus takes some seconds to start and to scrape for the first time.
    const std::string tcpu =
        QueryUntilAnswered(api, "vornagent_temperature_celsius{job=\"vornagent\",reading=\"TCPU\"}",
                           std::chrono::seconds(60));
    EXPECT_EQ(tcpu, "45");
    EXPECT_EQ(QueryUntilAnswered(api, "up{job=\"vornagent\"}", std::chrono::seconds(10)), "1");
    EXPECT_EQ(
        QueryUntilAnswered(api, "vornagent_fan_rpm{reading=\"FAN1\"}", std::chrono::seconds(10)),
        "1125");
    EXPECT_TRUE(prometheus.Running());
    if (tcpu.empty()) {
        std::string tail;
        testing::RunCommand("tail -n 20 " + log, &tail);
        ADD_FAILURE() << "Prometheus log:\n" << tail;
    }
    prometheus.Stop();
    // The agent counted Prometheus's scrapes as served.
    const std::string text = HttpGet(metrics[0]).body;
    EXPECT_GE(testing::SampleValue(text, "vornagent_metrics_connections_total{result=\"served\"}"),
              2);
}

}  // namespace
}  // namespace vorn::agent
