// Alarms: which readings are past one of their limits. A reading's limits come from the
// configuration where it names them ("TCPU.max = 80", "TCPU.max = none" to drop one), else
// from the source (the chip's own limits, already corrected by .scale/.offset); the chip's own
// alarm flag is an alarm whatever the limits. A reading enters the alarm when its value is
// below its low limit or above its high one, and leaves it only once it is back inside by a
// margin (the hysteresis), so that a value hovering at a limit does not flicker.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "readings/model.h"

namespace vorn::readings {

// One configured limit: absent (the source's limit stands), a value, or "none" (no limit at
// all, even where the source knows one).
struct LimitSetting {
    enum class Kind { kFromSource, kValue, kNone };
    Kind kind = Kind::kFromSource;
    double value = 0.0;  // real units of the final value, for kValue
};

// A margin: an amount in the reading's units, or a percentage of the limit it applies to.
struct Hysteresis {
    double amount = 0.0;
    bool percent = false;
};

struct ReadingAlarmSettings {
    LimitSetting low;                      // "NAME.min"
    LimitSetting high;                     // "NAME.max"
    std::optional<Hysteresis> hysteresis;  // "NAME.hysteresis", over the kind's default
};

// Default margins: 2 °C for temperatures, 2 % of the limit for voltages and fans.
constexpr Hysteresis kDefaultTemperatureHysteresis{2.0, false};
constexpr Hysteresis kDefaultVoltageHysteresis{2.0, true};
constexpr Hysteresis kDefaultFanHysteresis{2.0, true};

struct AlarmSettings {
    std::array<ReadingAlarmSettings, proto::kFieldCount> readings{};
    // "hysteresis.temperature", "hysteresis.voltage", "hysteresis.fan"
    Hysteresis temperature = kDefaultTemperatureHysteresis;
    Hysteresis voltage = kDefaultVoltageHysteresis;
    Hysteresis fan = kDefaultFanHysteresis;
};

struct Limits {
    std::optional<double> low;
    std::optional<double> high;
};

// The limits in force for one reading: the configuration's over the source's.
Limits EffectiveLimits(const Reading& reading, const ReadingAlarmSettings& settings);

// The margin below a high limit (or above a low one) that a reading of record position
// `field` must reach to leave the alarm. Never negative.
double MarginFor(int field, double limit, const AlarmSettings& settings);

// Parses a margin: "2", "0.5", "2%" (non-negative, finite). False when it is none of these.
bool ParseHysteresis(const std::string& text, Hysteresis* out);

// The alarm state of every reading, kept from one sample to the next. Not thread-safe: the
// refresher's thread updates it once per sample.
class AlarmState {
public:
    explicit AlarmState(AlarmSettings settings = AlarmSettings{});

    // Evaluates one sample and returns the mask: bit k set while reading k is in alarm. A
    // reading without a value is never in alarm and starts afresh when its value returns.
    std::uint16_t Update(const ReadingSet& readings);

    // The mask of the last Update; 0 before the first.
    std::uint16_t mask() const { return mask_; }

    const AlarmSettings& settings() const { return settings_; }

private:
    AlarmSettings settings_;
    std::array<bool, proto::kFieldCount> past_limit_{};  // entered by a limit, not yet left
    std::uint16_t mask_ = 0;
};

}  // namespace vorn::readings
