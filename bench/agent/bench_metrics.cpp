// Scrape time of the agent's /metrics against node_exporter's, both started by this program on
// loopback over the same hwmon fixture tree: node_exporter with only its hwmon collector
// (--collector.disable-defaults --collector.hwmon --path.sysfs=TREE), the agent with the
// example mapping on that tree. Each scrape is a whole exchange as Prometheus makes it: connect,
// GET /metrics, read the response to the close. The scrapes alternate between the servers, so
// that both see the same machine load. Prints p50, p99 and mean per server, the response
// sizes, and the ratio of the means against the goal (the agent at most a fifth of
// node_exporter's).
//
// Then the agent's UDP reply latency, quiet and while sixteen slow HTTP clients (from sixteen
// loopback addresses) hold every metrics slot and a stream of garbage requests knocks: p50,
// p99 and the maximum of each, and their ratio. The test of the same attack only asserts that
// every request is answered; this is where the figures live.
//
// Usage: vorn_bench_metrics [--agent PATH] [--node-exporter PATH] [--sysfs TREE]
//                           [--config FILE] [--scrapes N]
#include <netinet/in.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/native/agent_test_support.h"
#include "tests/native/metrics_test_support.h"

namespace {

using namespace vorn::agent;
using Clock = std::chrono::steady_clock;

struct Options {
    std::string agent = VORN_AGENT_BINARY;
    std::string node_exporter = "/usr/bin/prometheus-node-exporter";
    std::string sysfs = VORN_AGENT_FIXTURES "/sysfs/intel-nct6775";
    std::string config = VORN_AGENT_EXAMPLE_CONFIG;
    int scrapes = 2000;
};

struct Server {
    const char* name = "";
    Endpoint at{};
    std::vector<double> ms;
    std::size_t bytes = 0;
};

bool WaitServing(const Endpoint& at) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        if (testing::HttpGet(at, "/metrics", 1000).status == 200)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

Endpoint LoopbackPort(std::uint16_t port) {
    Endpoint ep;
    ParseEndpoint("127.0.0.1:" + std::to_string(port), &ep);
    return ep;
}

bool Scrape(Server& s) {
    const auto start = Clock::now();
    const testing::HttpReply reply = testing::HttpGet(s.at, "/metrics", 5000);
    s.ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    s.bytes = reply.body.size();
    return reply.status == 200;
}

double At(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * v.size()))];
}

// The UDP port in the agent's start line ("listening on 127.0.0.1:PORT"), waiting up to 10 s.
std::uint16_t UdpPortFromLog(const std::string& log_path) {
    const std::string marker = "listening on 127.0.0.1:";
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        std::ifstream in(log_path);
        std::stringstream text;
        text << in.rdbuf();
        const std::string log = text.str();
        const std::size_t at = log.find(marker);
        if (at != std::string::npos)
            return static_cast<std::uint16_t>(std::atoi(log.c_str() + at + marker.size()));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return 0;
}

// Milliseconds of `count` UDP requests answered in turn; false when one went unanswered.
bool UdpLatencies(const Endpoint& to, int count, std::vector<double>* ms) {
    testing::UdpClient client(AF_INET);
    static std::uint32_t id = 1;
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        if (!testing::Ask(client, to, ++id, 2000))
            return false;
        ms->push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    return true;
}

// The agent's UDP latency quiet, then under the slow clients and the garbage stream.
bool UdpUnderAttack(const Endpoint& udp, const Endpoint& metrics, int requests) {
    std::vector<double> quiet, attacked;
    if (!UdpLatencies(udp, requests, &quiet))
        return false;
    std::vector<std::unique_ptr<testing::TcpClient>> slow;
    for (int i = 0; i < 16; ++i) {
        slow.push_back(std::make_unique<testing::TcpClient>());
        const std::string source = "127.0.0." + std::to_string(2 + i);
        if (!slow.back()->ConnectFrom(source.c_str(), metrics) || !slow.back()->Send("GET /met"))
            return false;
    }
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        for (int round = 0; !stop; ++round) {
            testing::TcpClient c;
            if (c.Connect(metrics, 500)) {
                c.Send(round % 2 ? std::string(9000, 'x') : std::string("\x01\x02garbage"), 500);
                c.ReadToClose(500);
            }
        }
    });
    // The slow clients are cut off after five seconds: the requests go in batches of 50,
    // with a byte from each slow client between batches, for four seconds at most.
    const auto end = Clock::now() + std::chrono::seconds(4);
    bool answered = true;
    while (answered && attacked.size() < std::size_t(requests) && Clock::now() < end) {
        for (auto& c : slow)
            c->Send("t");
        answered = UdpLatencies(udp, 50, &attacked);
    }
    stop = true;
    flood.join();
    if (!answered || attacked.empty())
        return false;
    std::printf("\nUDP reply latency of the agent, %zu requests quiet, %zu under attack\n",
                quiet.size(), attacked.size());
    std::printf("%-14s %10s %10s %10s\n", "", "p50 ms", "p99 ms", "max ms");
    for (const auto& [name, v] : {std::pair<const char*, std::vector<double>*>{"quiet", &quiet},
                                  {"under attack", &attacked}}) {
        std::printf("%-14s %10.3f %10.3f %10.3f\n", name, At(*v, 0.5), At(*v, 0.99), At(*v, 1.0));
    }
    std::printf("ratio under attack/quiet: p50 %.2f, p99 %.2f\n",
                At(attacked, 0.5) / At(quiet, 0.5), At(attacked, 0.99) / At(quiet, 0.99));
    return true;
}

double Mean(const std::vector<double>& v) {
    double sum = 0;
    for (double x : v)
        sum += x;
    return sum / v.size();
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--agent")
            o.agent = argv[i + 1];
        else if (a == "--node-exporter")
            o.node_exporter = argv[i + 1];
        else if (a == "--sysfs")
            o.sysfs = argv[i + 1];
        else if (a == "--config")
            o.config = argv[i + 1];
        else if (a == "--scrapes")
            o.scrapes = std::max(10, std::atoi(argv[i + 1]));
        else {
            std::fprintf(stderr, "unknown option %s\n", a.c_str());
            return 2;
        }
    }
    testing::TempDir dir;
    Server agent;
    agent.name = "vornagent";
    Server node;
    node.name = "node_exporter";
    const std::uint16_t agent_port = testing::FreeTcpPort();
    const std::uint16_t node_port = testing::FreeTcpPort();
    agent.at = LoopbackPort(agent_port);
    node.at = LoopbackPort(node_port);

    testing::ChildProcess agent_process;
    testing::ChildProcess node_process;
    if (!agent_process.Start({o.agent, "--listen", "127.0.0.1:0", "--metrics",
                              "127.0.0.1:" + std::to_string(agent_port), "--config", o.config,
                              "--sysfs", o.sysfs, "--rate", "0"},
                             dir.path() + "/agent.log") ||
        !node_process.Start({o.node_exporter, "--collector.disable-defaults", "--collector.hwmon",
                             "--path.sysfs=" + o.sysfs,
                             "--web.listen-address=127.0.0.1:" + std::to_string(node_port)},
                            dir.path() + "/node_exporter.log")) {
        std::fprintf(stderr, "bench: cannot start the servers\n");
        return 1;
    }
    if (!WaitServing(agent.at) || !WaitServing(node.at)) {
        std::fprintf(stderr, "bench: a server did not answer /metrics within 10 s\n");
        return 1;
    }
    // Warm both up (page cache, Go runtime), then alternate.
    for (int i = 0; i < 50; ++i) {
        Scrape(agent);
        Scrape(node);
    }
    agent.ms.clear();
    node.ms.clear();
    for (int i = 0; i < o.scrapes; ++i) {
        if (!Scrape(agent) || !Scrape(node)) {
            std::fprintf(stderr, "bench: a scrape failed\n");
            return 1;
        }
    }
    std::printf("scrape time of /metrics, %d scrapes each, alternating, on %s\n", o.scrapes,
                o.sysfs.c_str());
    std::printf("%-14s %10s %10s %10s %10s\n", "server", "p50 ms", "p99 ms", "mean ms", "bytes");
    for (const Server* s : {&agent, &node}) {
        std::printf("%-14s %10.3f %10.3f %10.3f %10zu\n", s->name, At(s->ms, 0.5), At(s->ms, 0.99),
                    Mean(s->ms), s->bytes);
    }
    const double ratio = Mean(agent.ms) / Mean(node.ms);
    std::printf("ratio vornagent/node_exporter: mean %.3f, p50 %.3f (goal at most 0.200: %s)\n",
                ratio, At(agent.ms, 0.5) / At(node.ms, 0.5), ratio <= 0.2 ? "met" : "missed");

    const std::uint16_t udp_port = UdpPortFromLog(dir.path() + "/agent.log");
    if (udp_port == 0 || !UdpUnderAttack(testing::Loopback(AF_INET, udp_port), agent.at, 2000)) {
        std::fprintf(stderr, "bench: the agent's UDP answers could not be measured\n");
        return 1;
    }
    return 0;
}
