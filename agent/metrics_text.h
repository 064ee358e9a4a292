// The agent's metrics in the Prometheus text exposition format (version 0.0.4): the readings in
// base units with their limits and alarms, the request counters, the source's health and the
// build. Portable: no sockets, no clock; the caller hands in everything it writes.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/sensor_protocol.h"

namespace vorn::agent {

// One reading as exported; an empty value writes no sample (and no limit samples either).
struct MetricsReading {
    std::optional<double> value;  // real units (°C, V, RPM), after the mapping's scale and offset
    std::optional<double> low;    // the limits in force (configured, else the source's), in
                                  // the same units
    std::optional<double> high;
    std::string sensor;         // where it comes from, e.g. "nct6775/in1"
    std::optional<bool> alarm;  // empty when no alarm is evaluated for it
};

// What the HTTP endpoint did with its connections.
struct MetricsConnectionCounters {
    std::uint64_t served = 0;              // answered with the exposition
    std::uint64_t not_found = 0;           // 404
    std::uint64_t method_not_allowed = 0;  // 405
    std::uint64_t malformed = 0;           // 400
    std::uint64_t too_large = 0;           // 431: the request head passed its limit
    std::uint64_t timed_out = 0;           // 408: the request did not arrive in time
    std::uint64_t refused = 0;             // closed at once: source not admitted
    std::uint64_t busy = 0;                // 503: every slot, or the source's share, taken
};

struct MetricsState {
    std::array<MetricsReading, proto::kFieldCount> readings;
    // UDP requests, as the server counts them.
    std::uint64_t answered = 0;
    std::uint64_t refused = 0;
    std::uint64_t malformed = 0;
    std::uint64_t limited = 0;
    std::uint64_t source_reads = 0;
    std::uint64_t source_errors = 0;
    std::optional<double> last_sample_seconds;  // Unix time of the newest sample, if any
    MetricsConnectionCounters connections;
    std::string version;
};

// The whole exposition: every family with HELP and TYPE, label values escaped ('\\', '"',
// line feed) and made valid UTF-8 (a byte that does not belong to a valid sequence becomes
// U+FFFD), numbers in the shortest form that reads back to the same double.
std::string WriteMetrics(const MetricsState& state);

// Appends `value` as the inside of a quoted label value: valid UTF-8, escaped, and cut at a
// character boundary so that it adds at most `max_bytes`.
void AppendLabelValue(std::string* out, std::string_view value,
                      std::size_t max_bytes = std::string_view::npos);

// Sensor labels are cut to this many bytes, which bounds the size of the whole exposition.
constexpr std::size_t kMaxSensorLabel = 256;

}  // namespace vorn::agent
