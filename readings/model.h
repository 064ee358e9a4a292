// The reading model every source produces: for each of the protocol's 13 readings a value in
// real units (degrees Celsius, volts, RPM) or "missing", with the limits the source knows.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/sensor_protocol.h"

namespace vorn::readings {

enum class ReadingKind { kTemperature, kVoltage, kFan };

// The kind of the reading at record position `field` (0..12), which decides its text format.
ReadingKind KindOf(int field);

// Record position of a reading name such as "TCPU" or "FAN2"; -1 when the name is unknown.
int FieldIndex(std::string_view name);

struct Reading {
    std::optional<double> value;  // real units, after .scale/.offset; empty = missing
    std::optional<double> low;    // limits the source knows (hwmon _min; _max else _crit),
    std::optional<double> high;   //   corrected by .scale/.offset like the value
    bool source_alarm = false;    // the chip's own alarm flag (hwmon _alarm = 1)
    std::string sensor;           // where it comes from: "nct6775/in1", a series, a label
};
using ReadingSet = std::array<Reading, proto::kFieldCount>;

// True when at least one reading of `set` has a value.
bool AnyValue(const ReadingSet& set);

}  // namespace vorn::readings
