#include "readings/alarms.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace vorn::readings {

namespace {

std::optional<double> Finite(std::optional<double> v) {
    if (v && std::isfinite(*v))
        return v;
    return std::nullopt;
}

std::optional<double> Resolve(const LimitSetting& setting, std::optional<double> from_source) {
    switch (setting.kind) {
        case LimitSetting::Kind::kValue:
            return Finite(setting.value);
        case LimitSetting::Kind::kNone:
            return std::nullopt;
        case LimitSetting::Kind::kFromSource:
            break;
    }
    return Finite(from_source);
}

}  // namespace

Limits EffectiveLimits(const Reading& reading, const ReadingAlarmSettings& settings) {
    return Limits{Resolve(settings.low, reading.low), Resolve(settings.high, reading.high)};
}

double MarginFor(int field, double limit, const AlarmSettings& settings) {
    Hysteresis h;
    if (settings.readings[field].hysteresis) {
        h = *settings.readings[field].hysteresis;
    } else {
        switch (KindOf(field)) {
            case ReadingKind::kTemperature:
                h = settings.temperature;
                break;
            case ReadingKind::kVoltage:
                h = settings.voltage;
                break;
            case ReadingKind::kFan:
                h = settings.fan;
                break;
        }
    }
    const double margin = h.percent ? std::fabs(limit) * h.amount / 100.0 : h.amount;
    return std::isfinite(margin) && margin > 0 ? margin : 0.0;
}

bool ParseHysteresis(const std::string& text, Hysteresis* out) {
    std::string number = text;
    bool percent = false;
    if (!number.empty() && number.back() == '%') {
        percent = true;
        number.pop_back();
    }
    if (number.empty() || number.find_first_not_of("0123456789.") != std::string::npos)
        return false;
    char* end = nullptr;
    const double value = std::strtod(number.c_str(), &end);
    if (end != number.c_str() + number.size() || !std::isfinite(value) || value < 0 ||
        (percent && value > 100))
        return false;
    if (out)
        *out = Hysteresis{value, percent};
    return true;
}

AlarmState::AlarmState(AlarmSettings settings) : settings_(settings) {}

std::uint16_t AlarmState::Update(const ReadingSet& readings) {
    std::uint16_t mask = 0;
    for (int k = 0; k < proto::kFieldCount; ++k) {
        const Reading& r = readings[k];
        const std::optional<double> value = Finite(r.value);
        if (!value) {
            past_limit_[k] = false;
            continue;
        }
        const Limits limits = EffectiveLimits(r, settings_.readings[k]);
        double low_margin = limits.low ? MarginFor(k, *limits.low, settings_) : 0.0;
        double high_margin = limits.high ? MarginFor(k, *limits.high, settings_) : 0.0;
        // Margins wider than half the room between the limits would leave no value that ends
        // the alarm: the middle always does.
        if (limits.low && limits.high && *limits.high >= *limits.low) {
            const double half = (*limits.high - *limits.low) / 2.0;
            low_margin = std::min(low_margin, half);
            high_margin = std::min(high_margin, half);
        }
        const double v = *value;
        const bool outside = (limits.low && v < *limits.low) || (limits.high && v > *limits.high);
        if (outside) {
            past_limit_[k] = true;
        } else if (past_limit_[k]) {
            const bool well_inside = (!limits.low || v >= *limits.low + low_margin) &&
                                     (!limits.high || v <= *limits.high - high_margin);
            if (well_inside)
                past_limit_[k] = false;
        }
        if (past_limit_[k] || r.source_alarm)
            mask |= static_cast<std::uint16_t>(1u << k);
    }
    mask_ = mask;
    return mask;
}

}  // namespace vorn::readings
