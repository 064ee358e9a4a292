// Reading texts as the reply carries them, and the status that follows from the readings.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "readings/format.h"
#include "readings/refresher.h"

namespace vorn::readings {
namespace {

std::string Text(int field, std::optional<double> v) {
    return FormatReading(field, v).data();
}

TEST(AgentFormat, TemperaturesGetOneDecimal) {
    EXPECT_EQ(Text(proto::kCpu, 45.0), "45.0");
    EXPECT_EQ(Text(proto::kPwr, -3.5), "-3.5");
    EXPECT_EQ(Text(proto::kSys, 31.04), "31.0");
    EXPECT_EQ(Text(proto::kSys, 31.06), "31.1");
}

TEST(AgentFormat, VoltagesGetTwoDecimalsAndNoPlusSign) {
    EXPECT_EQ(Text(proto::kVid, 1.352), "1.35");
    EXPECT_EQ(Text(proto::kV33, 3.3), "3.30");
    EXPECT_EQ(Text(proto::kVP12, 12.031), "12.03");
    EXPECT_EQ(Text(proto::kVM5, -5.04), "-5.04");
    EXPECT_EQ(Text(proto::kVM12, -12.049), "-12.05");
}

TEST(AgentFormat, FansAreWholeNumbers) {
    EXPECT_EQ(Text(proto::kFan1, 2812.4), "2812");
    EXPECT_EQ(Text(proto::kFan2, 0.0), "0");
    EXPECT_EQ(Text(proto::kFan3, 2812.6), "2813");
}

TEST(AgentFormat, SmallNegativeValuesRoundToZeroWithoutSign) {
    EXPECT_EQ(Text(proto::kCpu, -0.04), "0.0");
    EXPECT_EQ(Text(proto::kVM5, -0.004), "0.00");
    EXPECT_EQ(Text(proto::kFan1, -0.4), "0");
}

TEST(AgentFormat, AbsentNonFiniteOrTooLongValuesAreDash) {
    EXPECT_EQ(Text(proto::kCpu, std::nullopt), "-");
    EXPECT_EQ(Text(proto::kCpu, std::nan("")), "-");
    EXPECT_EQ(Text(proto::kVid, std::numeric_limits<double>::infinity()), "-");
    EXPECT_EQ(Text(proto::kFan1, 1e300), "-");
    // Seven characters fit; eight do not, and are never cut.
    EXPECT_EQ(Text(proto::kCpu, 99999.9), "99999.9");
    EXPECT_EQ(Text(proto::kCpu, 100000.0), "-");
    EXPECT_EQ(Text(proto::kVM12, -9999.99), "-");
    EXPECT_EQ(Text(proto::kFan1, 9999999.0), "9999999");
    EXPECT_EQ(Text(proto::kFan1, 10000000.0), "-");
}

TEST(AgentFormat, EveryTextIsAWellFormedField) {
    for (int k = 0; k < proto::kFieldCount; ++k) {
        for (double v : {-1e9, -123456.7, -12.049, -0.001, 0.0, 0.5, 99.95, 65535.0, 1e12}) {
            EXPECT_TRUE(proto::FieldIsWellFormed(FormatReading(k, v))) << k << " " << v;
        }
    }
}

TEST(AgentSample, StatusIsReadingsWhenAnyReadingIsPresent) {
    ReadingSet r;
    r[proto::kFan3].value = 812;
    const Snapshot s = MakeSnapshot(r, Clock::now());
    EXPECT_EQ(s.status, proto::ReplyStatus::kReadings);
    EXPECT_STREQ(s.fields[proto::kFan3].data(), "812");
    EXPECT_STREQ(s.fields[proto::kCpu].data(), "-");
}

TEST(AgentSample, StatusIsNoSensorsWhenNoReadingIsPresent) {
    EXPECT_EQ(MakeSnapshot(ReadingSet{}, Clock::now()).status, proto::ReplyStatus::kNoSensors);
    // Limits or an alarm flag without a value are no reading.
    ReadingSet limits_only;
    limits_only[proto::kCpu].high = 80;
    limits_only[proto::kCpu].source_alarm = true;
    EXPECT_EQ(MakeSnapshot(limits_only, Clock::now()).status, proto::ReplyStatus::kNoSensors);
}

TEST(AgentSample, KindsFollowRecordOrder) {
    EXPECT_EQ(KindOf(proto::kCpu), ReadingKind::kTemperature);
    EXPECT_EQ(KindOf(proto::kSys), ReadingKind::kTemperature);
    EXPECT_EQ(KindOf(proto::kVid), ReadingKind::kVoltage);
    EXPECT_EQ(KindOf(proto::kVM12), ReadingKind::kVoltage);
    EXPECT_EQ(KindOf(proto::kFan1), ReadingKind::kFan);
    EXPECT_EQ(FieldIndex("VM12"), proto::kVM12);
    EXPECT_EQ(FieldIndex("VM1"), -1);
    EXPECT_EQ(FieldIndex("VM120"), -1);
    EXPECT_EQ(FieldIndex("tcpu"), -1);
}

}  // namespace
}  // namespace vorn::readings
