// Turns a reading in real units into the text the reply carries.
#pragma once

#include <optional>

#include "readings/model.h"

namespace vorn::readings {

// Temperatures get one decimal, voltages two, fans none; an absent or non-finite value,
// or one whose text would not fit in 7 characters, becomes "-".
proto::FieldText FormatReading(int field, std::optional<double> value);

}  // namespace vorn::readings
