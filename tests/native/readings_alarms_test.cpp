// Alarm evaluation over a run of samples: where limits come from, the hysteresis, and what
// a missing value or a chip's own alarm flag does.
#include "readings/alarms.h"

#include <gtest/gtest.h>

#include <vector>

namespace vorn::readings {
namespace {

constexpr std::uint16_t Bit(int field) {
    return static_cast<std::uint16_t>(1u << field);
}

LimitSetting Value(double v) {
    return LimitSetting{LimitSetting::Kind::kValue, v};
}

LimitSetting None() {
    return LimitSetting{LimitSetting::Kind::kNone, 0.0};
}

// Feeds `values` of one reading (with the source's limits) and returns whether it was in alarm
// after each.
std::vector<bool> Feed(AlarmState& state, int field, const std::vector<double>& values,
                       std::optional<double> low = std::nullopt,
                       std::optional<double> high = std::nullopt) {
    std::vector<bool> out;
    for (const double v : values) {
        ReadingSet set{};
        set[field].value = v;
        set[field].low = low;
        set[field].high = high;
        out.push_back((state.Update(set) & Bit(field)) != 0);
    }
    return out;
}

TEST(Alarms, ConfigurationLimitsOverrideTheSourceAndNoneDropsThem) {
    AlarmSettings settings;
    settings.readings[proto::kCpu].high = Value(80);  // over the chip's 90
    settings.readings[proto::kSys].high = None();     // drops the chip's 40
    settings.readings[proto::kFan1].low = Value(300);
    AlarmState state(settings);

    ReadingSet set{};
    set[proto::kCpu] = Reading{85.0, std::nullopt, 90.0, false, "chip/temp1"};
    set[proto::kPwr] = Reading{95.0, std::nullopt, 90.0, false, "chip/temp2"};  // chip's own
    set[proto::kSys] = Reading{55.0, std::nullopt, 40.0, false, "chip/temp3"};
    set[proto::kFan1] = Reading{250.0, 100.0, std::nullopt, false, "chip/fan1"};
    set[proto::kFan2] = Reading{250.0, 100.0, std::nullopt, false, "chip/fan2"};
    set[proto::kVP12] = Reading{12.0, std::nullopt, std::nullopt, false, "chip/in4"};
    EXPECT_EQ(state.Update(set), Bit(proto::kCpu) | Bit(proto::kPwr) | Bit(proto::kFan1));
    EXPECT_EQ(state.mask(), Bit(proto::kCpu) | Bit(proto::kPwr) | Bit(proto::kFan1));

    const Limits cpu = EffectiveLimits(set[proto::kCpu], settings.readings[proto::kCpu]);
    EXPECT_EQ(cpu.high, 80.0);
    EXPECT_FALSE(cpu.low);
    const Limits sys = EffectiveLimits(set[proto::kSys], settings.readings[proto::kSys]);
    EXPECT_FALSE(sys.high);
}

TEST(Alarms, TheChipsOwnFlagIsAnAlarmWhateverTheLimits) {
    AlarmSettings settings;
    settings.readings[proto::kVid].low = None();
    settings.readings[proto::kVid].high = None();
    AlarmState state(settings);
    ReadingSet set{};
    set[proto::kVid] = Reading{1.2, 1.0, 1.5, true, "chip/in0"};
    set[proto::kFan3] = Reading{2000.0, std::nullopt, std::nullopt, true, "chip/fan3"};
    EXPECT_EQ(state.Update(set), Bit(proto::kVid) | Bit(proto::kFan3));
    set[proto::kVid].source_alarm = false;
    set[proto::kFan3].source_alarm = false;
    EXPECT_EQ(state.Update(set), 0);
    // A flag on a reading without a value shows nothing: the bar has no value to mark.
    set[proto::kFan3].value.reset();
    set[proto::kFan3].source_alarm = true;
    EXPECT_EQ(state.Update(set), 0);
}

TEST(Alarms, AValueHoveringAtALimitDoesNotFlicker) {
    {  // temperature, high 80: 2 °C, so it leaves at 78 or below
        AlarmState state;
        EXPECT_EQ(Feed(state, proto::kCpu, {79.9, 80.0, 80.1, 79.5, 80.4, 79.0, 78.1, 78.0, 79.9},
                       std::nullopt, 80.0),
                  (std::vector<bool>{false, false, true, true, true, true, true, false, false}));
    }
    {  // temperature, low 5: leaves at 7 or above
        AlarmState state;
        EXPECT_EQ(Feed(state, proto::kSys, {4.9, 6.9, 7.0}, 5.0, std::nullopt),
                  (std::vector<bool>{true, true, false}));
    }
    {  // +12 V between 11.4 and 12.6: 2 % of the limit each side
        AlarmState state;
        EXPECT_EQ(Feed(state, proto::kVP12, {11.39, 11.6, 11.63, 12.61, 12.4, 12.347}, 11.4, 12.6),
                  (std::vector<bool>{true, true, false, true, true, false}));
    }
    {  // -12 V: the margin is 2 % of the limit's size, inwards
        AlarmState state;
        EXPECT_EQ(Feed(state, proto::kVM12, {-11.3, -11.5, -11.65}, -13.0, -11.4),
                  (std::vector<bool>{true, true, false}));
    }
    {  // a fan below 300 RPM: back at 306
        AlarmState state;
        EXPECT_EQ(Feed(state, proto::kFan1, {299, 305, 306, 301}, 300.0, std::nullopt),
                  (std::vector<bool>{true, true, false, false}));
    }
}

TEST(Alarms, HysteresisIsConfigurablePerKindAndPerReading) {
    AlarmSettings settings;
    ASSERT_TRUE(ParseHysteresis("5", &settings.temperature));
    settings.readings[proto::kPwr].hysteresis = Hysteresis{0.0, false};
    ASSERT_TRUE(ParseHysteresis("10%", &settings.fan));
    AlarmState state(settings);
    EXPECT_EQ(Feed(state, proto::kCpu, {81, 76, 75}, std::nullopt, 80.0),
              (std::vector<bool>{true, true, false}));
    EXPECT_EQ(Feed(state, proto::kPwr, {81, 80}, std::nullopt, 80.0),
              (std::vector<bool>{true, false}));
    EXPECT_EQ(Feed(state, proto::kFan2, {100, 1050, 1100}, 1000.0, std::nullopt),
              (std::vector<bool>{true, true, false}));

    Hysteresis h;
    for (const char* bad : {"", "%", "-1", "1e3", "abc", "2 %", "101%", "nan", "inf", "1.2.3"})
        EXPECT_FALSE(ParseHysteresis(bad, &h)) << bad;
    ASSERT_TRUE(ParseHysteresis("0.5", &h));
    EXPECT_DOUBLE_EQ(h.amount, 0.5);
    EXPECT_FALSE(h.percent);
}

TEST(Alarms, AMissingValueClearsTheAlarmAndStartsAfresh) {
    AlarmState state;
    EXPECT_EQ(Feed(state, proto::kCpu, {85}, std::nullopt, 80.0), std::vector<bool>{true});
    ReadingSet set{};
    set[proto::kCpu].high = 80.0;
    EXPECT_EQ(state.Update(set), 0);
    // Back with a value inside the limit but within the margin: not in alarm, as it never
    // crossed the limit since it came back.
    EXPECT_EQ(Feed(state, proto::kCpu, {79}, std::nullopt, 80.0), std::vector<bool>{false});
}

TEST(Alarms, MarginsNeverLeaveAWindowTooNarrowToLeaveTheAlarm) {
    AlarmSettings settings;
    settings.readings[proto::kV33].low = Value(3.29);
    settings.readings[proto::kV33].high = Value(3.31);
    settings.readings[proto::kV33].hysteresis = Hysteresis{1.0, false};
    AlarmState state(settings);
    EXPECT_EQ(Feed(state, proto::kV33, {3.4, 3.305, 3.3}), (std::vector<bool>{true, true, false}));
}

}  // namespace
}  // namespace vorn::readings
