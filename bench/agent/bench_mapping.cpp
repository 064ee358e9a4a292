// Measures automatic mapping (CollectInputs and AutoMap) over scrapes of growing size, against
// parsing the same body (ParseExposition), which is linear, in one run: the ratio of mapping
// to parsing should stay flat as the scrape grows. The scrape is the hostile shape: junk
// temperature series, each on a chip of its own, beside one real CPU temperature, and
// node_exporter's chip names and labels for a tenth of the junk.
//
// Usage: vorn_bench_mapping [--series N] [--repeat R]   (largest size, default 100000; runs per
// size, the best kept, default 3)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "readings/exposition.h"
#include "readings/prometheus_mapping.h"

namespace {

using Clock = std::chrono::steady_clock;
using vorn::readings::AutoMap;
using vorn::readings::CollectInputs;
using vorn::readings::ParseExposition;

// `series` series in all, the real temperature first (a longer body is cut at the parser's cap).
std::string HostileBody(int series) {
    std::string body =
        "node_hwmon_chip_names{chip=\"platform_coretemp_0\",chip_name=\"coretemp\"} 1\n"
        "node_hwmon_temp_celsius{chip=\"platform_coretemp_0\",sensor=\"temp1\"} 47\n";
    body.reserve(static_cast<std::size_t>(series) * 80);
    int written = 2;
    for (int k = 0; written < series; ++k) {
        const std::string chip = "junk" + std::to_string(k);
        if (k % 10 == 0 && written + 1 < series) {
            body += "node_hwmon_chip_names{chip=\"" + chip + "\",chip_name=\"" + chip + "\"} 1\n";
            ++written;
        }
        body += "junk_sensor_celsius{chip=\"" + chip + "\",sensor=\"temp1\"} " +
                std::to_string(20 + k % 40) + "\n";
        ++written;
    }
    return body;
}

template <typename F>
double BestSeconds(int repeat, F&& work) {
    double best = 1e9;
    for (int r = 0; r < repeat; ++r) {
        const auto t0 = Clock::now();
        work();
        best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    int largest = 100000;
    int repeat = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--series")
            largest = std::max(1000, std::atoi(argv[i + 1]));
        else if (a == "--repeat")
            repeat = std::max(1, std::atoi(argv[i + 1]));
    }
    std::printf("automatic mapping against parsing the same body (best of %d)\n", repeat);
    std::printf("  %8s %10s %12s %12s %8s\n", "series", "bytes", "parse ms", "mapping ms", "ratio");
    bool mapped = true;
    for (int n = largest / 8; n <= largest; n *= 2) {
        const std::string body = HostileBody(n);
        vorn::readings::ExpositionResult parsed;
        const double parse = BestSeconds(repeat, [&] { parsed = ParseExposition(body); });
        int cpu = -1;
        const double mapping = BestSeconds(repeat, [&] {
            const auto inputs = CollectInputs(parsed.series);
            const auto map = AutoMap(inputs);
            cpu = map[vorn::proto::kCpu] >= 0
                      ? static_cast<int>(
                            inputs[static_cast<std::size_t>(map[vorn::proto::kCpu])].value)
                      : -1;
        });
        mapped = mapped && cpu == 47;
        std::printf("  %8zu %10zu %12.1f %12.1f %8.2f\n", parsed.series.size(), body.size(),
                    parse * 1e3, mapping * 1e3, parse > 0 ? mapping / parse : 0.0);
        if (n == largest)
            break;
        if (n * 2 > largest)
            n = largest / 2;
    }
    std::printf("the CPU temperature was %s\n", mapped ? "mapped at every size" : "NOT MAPPED");
    return mapped ? 0 : 3;
}
