// One configured mapping line per reading, "READING = SELECTOR", with its linear correction
// (value = raw * scale + offset). The selector text belongs to the source that reads it:
// hwmon "chip / input", a Prometheus series "metric{label=\"v\",...}", and so on; each source
// parses and checks its own syntax.
#pragma once

#include <array>
#include <optional>
#include <string>

#include "protocol/sensor_protocol.h"

namespace vorn::readings {

struct Mapping {
    std::string selector;
    double scale = 1.0;
    double offset = 0.0;
    bool mapped() const { return !selector.empty(); }
};
using MappingTable = std::array<Mapping, proto::kFieldCount>;

// raw * scale + offset.
inline double Correct(const Mapping& m, double raw) {
    return raw * m.scale + m.offset;
}

// Corrects a pair of limits; a negative scale swaps which one is the lower.
void CorrectLimits(const Mapping& m, std::optional<double>* low, std::optional<double>* high);

// "TCPU=coretemp/Package id 0, ..." for the start line, prefixed with the count mapped;
// readings the mapping leaves out are not listed.
std::string DescribeMapping(const MappingTable& mapping);

}  // namespace vorn::readings
