// Measures the latency of the agent's UDP reply when its source is a Prometheus endpoint,
// against the same agent binary reading a readings file, in one run and interleaved request
// by request so that both see the same machine: first with the endpoint answering, then with
// the endpoint hanging (it accepts and never answers). Sampling runs apart from serving, so
// the goal is no measurable difference (within 10 %).
//
// Usage: vorn_bench_prometheus [--seconds S] [--interval MS]   (S per phase, default 8)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <netinet/in.h>

#include "tests/native/agent_test_support.h"
#include "tests/native/http_test_server.h"

namespace {

using Clock = std::chrono::steady_clock;
using vorn::agent::Endpoint;
using vorn::agent::testing::AgentProcess;
using vorn::agent::testing::Ask;
using vorn::agent::testing::TempDir;
using vorn::agent::testing::UdpClient;
using vorn::testing::TestHttpReply;
using vorn::testing::TestHttpRequest;
using vorn::testing::TestHttpServer;

struct Figures {
    double p50 = 0, p99 = 0, mean = 0, max = 0;
    int failures = 0;
};

Figures Summarise(std::vector<double> us, int failures) {
    Figures f;
    f.failures = failures;
    if (us.empty())
        return f;
    std::sort(us.begin(), us.end());
    f.p50 = us[us.size() / 2];
    f.p99 = us[std::min(us.size() - 1, us.size() * 99 / 100)];
    f.max = us.back();
    double sum = 0;
    for (double v : us)
        sum += v;
    f.mean = sum / static_cast<double>(us.size());
    return f;
}

struct Target {
    UdpClient client{AF_INET};
    Endpoint to;
    std::vector<double> us;
    int failures = 0;
    std::uint32_t id = 1;

    void Once(bool keep) {
        const auto t0 = Clock::now();
        const bool ok = Ask(client, to, ++id, 1000).has_value();
        const double t = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
        if (!keep)
            return;
        if (ok)
            us.push_back(t);
        else
            ++failures;
    }
};

// Both agents, one request each in turn (alternating which goes first), for `seconds`, with a
// short pause between pairs so that the run spans many samples of the source; a warm-up of a
// tenth of the time is not kept.
void Interleave(Target& file, Target& prom, double seconds) {
    const auto pause = std::chrono::microseconds(500);
    const auto warm = Clock::now() + std::chrono::duration<double>(seconds / 10);
    while (Clock::now() < warm) {
        file.Once(false);
        prom.Once(false);
        std::this_thread::sleep_for(pause);
    }
    file.us.clear();
    prom.us.clear();
    file.failures = prom.failures = 0;
    const auto until = Clock::now() + std::chrono::duration<double>(seconds);
    for (int i = 0; Clock::now() < until; ++i) {
        if (i % 2) {
            file.Once(true);
            prom.Once(true);
        } else {
            prom.Once(true);
            file.Once(true);
        }
        std::this_thread::sleep_for(pause);
    }
}

void Print(const char* what, const Figures& f) {
    std::printf("  %-34s p50 %7.1f us  p99 %7.1f us  mean %7.1f us  max %8.1f us  lost %d\n", what,
                f.p50, f.p99, f.mean, f.max, f.failures);
}

bool Report(const char* phase, const Figures& file, const Figures& prom) {
    std::printf("%s\n", phase);
    Print("file source", file);
    Print("prometheus source", prom);
    const double r50 = file.p50 > 0 ? prom.p50 / file.p50 : 0;
    const double r99 = file.p99 > 0 ? prom.p99 / file.p99 : 0;
    const bool ok = r50 <= 1.10 && prom.failures == 0;
    std::printf("  ratio prometheus/file: p50 %.3f, p99 %.3f  (goal p50 <= 1.10: %s)\n\n", r50, r99,
                ok ? "met" : "MISSED");
    return ok;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 8;
    int interval = 200;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--seconds")
            seconds = std::max(1.0, std::atof(argv[i + 1]));
        else if (a == "--interval")
            interval = std::max(50, std::atoi(argv[i + 1]));
    }
    const std::string body = ReadFile(VORN_LHM_FIXTURE);
    TestHttpServer endpoint(TestHttpServer::Serve(body));
    if (!endpoint.ok() || body.empty()) {
        std::fprintf(stderr, "vorn_bench_prometheus: cannot serve the fixture\n");
        return 1;
    }
    TempDir dir;
    const std::string readings =
        dir.Write("readings.txt",
                  "TCPU=57.5\nTSYS=36\nTPWR=49\nVVID=1.408\nVVTT=1.032\n"
                  "V33V=3.376\nVP05=5.08\nVP12=12.192\nFAN1=1125\nFAN2=902\n"
                  "FAN3=876\n");
    const std::string every = std::to_string(interval);
    AgentProcess file_agent, prom_agent;
    // No rate limit: the benchmark asks far faster than a bar does.
    if (!file_agent.Start({"--listen", "127.0.0.1:0", "--rate", "0", "--interval", every,
                           "--source", "file:" + readings}) ||
        !prom_agent.Start({"--listen", "127.0.0.1:0", "--rate", "0", "--interval", every,
                           "--source", "prometheus:" + endpoint.Url("/metrics")})) {
        std::fprintf(stderr, "vorn_bench_prometheus: cannot start %s\n", VORN_AGENT_BINARY);
        return 1;
    }
    const std::vector<Endpoint> file_at = file_agent.WaitListening();
    const std::vector<Endpoint> prom_at = prom_agent.WaitListening();
    if (file_at.empty() || prom_at.empty()) {
        std::fprintf(stderr, "vorn_bench_prometheus: an agent did not start:\n%s\n%s\n",
                     file_agent.err().c_str(), prom_agent.err().c_str());
        return 1;
    }
    Target file, prom;
    file.to = file_at[0];
    prom.to = prom_at[0];
    std::printf(
        "vornagent reply latency, file source against prometheus source (%s),\n"
        "  requests interleaved for %.0f s per phase, both sources sampled every %d ms\n\n",
        endpoint.Url("/metrics").c_str(), seconds, interval);

    Interleave(file, prom, seconds);
    const bool answering = Report("endpoint answering:", Summarise(file.us, file.failures),
                                  Summarise(prom.us, prom.failures));

    TestHttpReply hang;
    hang.behaviour = TestHttpReply::Behaviour::kHang;
    endpoint.SetHandler([hang](const TestHttpRequest&) { return hang; });
    Interleave(file, prom, seconds);
    const bool hanging =
        Report("endpoint hanging (accepts, never answers):", Summarise(file.us, file.failures),
               Summarise(prom.us, prom.failures));
    std::printf("endpoint GETs during the run: %zu; requests per phase: %zu each\n",
                endpoint.requests().size(), prom.us.size());
    return answering && hanging ? 0 : 3;
}
