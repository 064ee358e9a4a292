// Writes a history file with a made-up day of the thirteen readings, ending at a given time,
// for the documentation's picture of the history window (scripts/screenshots.sh):
//
//   history_demo FILE [UNIX_SECONDS]
//
// A sample every 20 seconds for 24 hours: temperatures that follow the day, with CPU past
// 70.0 degC (in alarm) for forty minutes in the afternoon, fans that follow the temperatures,
// voltages with a little ripple, and a quarter of an hour with no readings at all.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "history/history_file.h"
#include "history/store.h"

namespace {

namespace proto = vorn::proto;

// A small deterministic noise source, so that every picture is the same.
double Noise(std::uint32_t* state) {
    *state = *state * 1664525u + 1013904223u;
    return static_cast<double>(*state >> 8) / static_cast<double>(1u << 24) - 0.5;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: history_demo FILE [UNIX_SECONDS]\n");
        return 2;
    }
    const std::int64_t now = argc == 3 ? std::atoll(argv[2]) : std::time(nullptr);
    const std::int64_t start = now - 24 * 3600;
    vorn::history::Store store;
    std::uint32_t noise = 12345;
    const double pi = std::acos(-1.0);
    for (std::int64_t t = start; t <= now; t += 20) {
        const double hours = static_cast<double>(t - start) / 3600.0;
        if (hours > 6.0 && hours < 6.25)
            continue;  // the machine was off
        const double day = std::sin((hours - 6.0) / 24.0 * 2.0 * pi);
        const bool hot = hours > 15.0 && hours < 15.67;
        const double cpu = 45.0 + 6.0 * day + 3.0 * Noise(&noise) + (hot ? 28.0 : 0.0);
        vorn::history::Sample s;
        const auto set = [&](int field, double value) {
            s.values[field] = proto::ToFixed(field, value);
        };
        set(proto::kCpu, cpu);
        set(proto::kPwr, 38.0 + 4.0 * day + Noise(&noise));
        set(proto::kSys, 31.0 + 2.5 * day + 0.5 * Noise(&noise));
        set(proto::kVid, 1.35 + 0.01 * Noise(&noise));
        set(proto::kVtt, 1.05 + 0.004 * Noise(&noise));
        set(proto::kV33, 3.31 + 0.02 * Noise(&noise));
        set(proto::kVP5, 5.02 + 0.03 * Noise(&noise));
        set(proto::kVM5, -5.04 + 0.03 * Noise(&noise));
        set(proto::kVP12, 12.03 + 0.06 * Noise(&noise));
        set(proto::kVM12, -12.049 + 0.06 * Noise(&noise));
        set(proto::kFan1, 2400.0 + 20.0 * (cpu - 40.0) + 30.0 * Noise(&noise));
        set(proto::kFan2, 1450.0 + 150.0 * day + 20.0 * Noise(&noise));
        set(proto::kFan3, 0.0);
        s.alarm_mask = cpu > 70.0 ? 1u << proto::kCpu : 0;
        store.Record(t, s);
    }
    std::string error;
    if (!vorn::history::SaveHistory(store, argv[1], &error)) {
        std::fprintf(stderr, "history_demo: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
