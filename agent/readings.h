// What every source hands the sampler: one optional value per reading, in real units
// (degrees Celsius, volts, RPM), in record order. An empty value could not be read.
#pragma once

#include <array>
#include <optional>

#include "protocol/sensor_protocol.h"

namespace vorn::agent {

using Readings = std::array<std::optional<double>, proto::kFieldCount>;

enum class ReadingKind { kTemperature, kVoltage, kFan };

// The kind of the reading at record position `field` (0..12), which decides its text format.
ReadingKind KindOf(int field);

// Record position of a reading name such as "TCPU" or "FAN2"; -1 when the name is unknown.
int FieldIndex(const char* name, std::size_t len);

}  // namespace vorn::agent
