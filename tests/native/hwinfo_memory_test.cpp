#include "readings/hwinfo_memory.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#include "tests/common/hwinfo_image.h"

namespace {

using namespace vorn::readings::hwinfo;
using vorn::testing::BuildHwinfoImage;
using vorn::testing::FakeReading;
using vorn::testing::FakeSensor;
using vorn::testing::HwinfoLayout;
using vorn::testing::PokeU32;
namespace L = layout;

// Parses from a heap block of exactly the image's size, so that ASan sees any read past it.
ParseResult ParseExact(const std::vector<std::uint8_t>& image) {
    std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[image.size() ? image.size() : 1]);
    if (!image.empty())
        std::memcpy(copy.get(), image.data(), image.size());
    return ParseMemory(copy.get(), image.size());
}

std::uint32_t ReadU32(const std::vector<std::uint8_t>& image, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = v << 8 | image[at + i];
    return v;
}

void PutDouble(std::vector<std::uint8_t>* image, std::size_t at, double value) {
    std::memcpy(image->data() + at, &value, sizeof value);  // the test hosts are little-endian
}

class HwinfoLayouts : public ::testing::TestWithParam<HwinfoLayout> {};

TEST_P(HwinfoLayouts, ReadsEverySensorAndReadingWithNamesUnitsAndLimits) {
    const auto sensors = vorn::testing::SampleSensors();
    const auto readings = vorn::testing::SampleReadings();
    const ParseResult r = ParseExact(BuildHwinfoImage(sensors, readings, GetParam()));
    ASSERT_EQ(r.status, Status::kOk) << r.error;
    const Memory& m = r.memory;
    EXPECT_EQ(m.damaged, 0u);
    EXPECT_EQ(m.poll_time, 1700000000);
    ASSERT_EQ(m.sensors.size(), sensors.size());
    ASSERT_EQ(m.readings.size(), readings.size());
    EXPECT_EQ(m.sensors[1].id, 0xf0008800u);
    EXPECT_EQ(m.sensors[1].original_name, "ASUS Z87-A (Nuvoton NCT6779D)");
    EXPECT_EQ(DisplayName(m.sensors[1]), "Mainboard");
    for (std::size_t i = 0; i < readings.size(); ++i) {
        SCOPED_TRACE(readings[i].original_label);
        const Reading& got = m.readings[i];
        EXPECT_EQ(static_cast<std::uint32_t>(got.type), readings[i].type);
        EXPECT_EQ(got.sensor_index, readings[i].sensor);
        EXPECT_EQ(got.id, readings[i].id);
        EXPECT_EQ(got.original_label, readings[i].original_label);
        EXPECT_EQ(DisplayLabel(got), readings[i].user_label);
        EXPECT_EQ(got.unit, readings[i].unit);
        EXPECT_EQ(got.value, readings[i].value);
        EXPECT_EQ(got.min, readings[i].min);
        EXPECT_EQ(got.max, readings[i].max);
        EXPECT_EQ(got.avg, readings[i].avg);
    }
}

TEST(HwinfoHeader, PollingPeriodIsReadOnlyWhereTheHeaderHasRoomForIt) {
    auto current = BuildHwinfoImage(vorn::testing::SampleSensors(), vorn::testing::SampleReadings(),
                                    HwinfoLayout::kUtf8);
    PokeU32(&current, L::kPollingPeriod, 2500);
    vorn::testing::PokePollTime(&current, 0x123456789LL);
    ParseResult r = ParseExact(current);
    EXPECT_EQ(r.memory.polling_period_ms, 2500u);
    EXPECT_EQ(r.memory.poll_time, 0x123456789LL);
    PokeU32(&current, L::kRevision, 0);  // the field came with revision 1
    EXPECT_EQ(ParseExact(current).memory.polling_period_ms, 0u);

    // The first layout's sensors start at byte 44: those bytes are a sensor's, not a period.
    const auto first = BuildHwinfoImage(vorn::testing::SampleSensors(),
                                        vorn::testing::SampleReadings(), HwinfoLayout::kPlain);
    ASSERT_NE(ReadU32(first, L::kPollingPeriod), 0u);
    r = ParseExact(first);
    EXPECT_EQ(r.memory.revision, 1u);
    EXPECT_EQ(r.memory.polling_period_ms, 0u);
}

TEST_P(HwinfoLayouts, EveryTruncationParsesWithoutReadingPastTheBuffer) {
    const auto image = BuildHwinfoImage(vorn::testing::SampleSensors(),
                                        vorn::testing::SampleReadings(), GetParam());
    std::size_t previous_readings = 0;
    for (std::size_t size = 0; size <= image.size(); ++size) {
        const std::vector<std::uint8_t> cut(image.begin(), image.begin() + size);
        const ParseResult r = ParseExact(cut);
        if (size < L::kHeaderSize) {
            EXPECT_EQ(r.status, Status::kTooSmall);
            continue;
        }
        ASSERT_EQ(r.status, Status::kOk);
        // Readings appear one whole element at a time and are never lost by growing the buffer.
        EXPECT_GE(r.memory.readings.size(), previous_readings);
        previous_readings = r.memory.readings.size();
    }
    EXPECT_EQ(previous_readings, vorn::testing::SampleReadings().size());
}

INSTANTIATE_TEST_SUITE_P(PlainAndUtf8, HwinfoLayouts,
                         ::testing::Values(HwinfoLayout::kPlain, HwinfoLayout::kUtf8));

TEST(HwinfoMemory, ElementsLargerThanKnownFieldsStillRead) {
    // A later layout with more fields per element: rebuild the sample with 100 spare bytes each.
    const auto sensors = vorn::testing::SampleSensors();
    const auto readings = vorn::testing::SampleReadings();
    const auto plain = BuildHwinfoImage(sensors, readings, HwinfoLayout::kUtf8);
    const std::size_t s_size = ReadU32(plain, L::kSensorSize) + 100;
    const std::size_t r_size = ReadU32(plain, L::kReadingSize) + 100;
    const std::size_t s_off = 64, r_off = s_off + sensors.size() * s_size;
    std::vector<std::uint8_t> wide(r_off + readings.size() * r_size, 0);
    std::memcpy(wide.data(), plain.data(), L::kHeaderSize);
    for (std::size_t i = 0; i < sensors.size(); ++i) {
        std::memcpy(&wide[s_off + i * s_size],
                    &plain[ReadU32(plain, L::kSensorOffset) + i * (s_size - 100)], s_size - 100);
    }
    for (std::size_t i = 0; i < readings.size(); ++i) {
        std::memcpy(&wide[r_off + i * r_size],
                    &plain[ReadU32(plain, L::kReadingOffset) + i * (r_size - 100)], r_size - 100);
    }
    PokeU32(&wide, L::kSensorOffset, s_off);
    PokeU32(&wide, L::kSensorSize, s_size);
    PokeU32(&wide, L::kReadingOffset, r_off);
    PokeU32(&wide, L::kReadingSize, r_size);
    const ParseResult r = ParseExact(wide);
    ASSERT_EQ(r.status, Status::kOk);
    ASSERT_EQ(r.memory.readings.size(), readings.size());
    EXPECT_EQ(DisplayLabel(r.memory.readings.back()), "Total CPU Usage");
    EXPECT_EQ(r.memory.readings.back().value, 12.5);
}

TEST(HwinfoMemory, SignatureSaysWhetherTheMemoryIsLive) {
    auto image = BuildHwinfoImage(vorn::testing::SampleSensors(), {}, HwinfoLayout::kPlain);
    std::memcpy(image.data(), "DEAD", 4);
    EXPECT_EQ(ParseExact(image).status, Status::kInactive);
    std::memcpy(image.data(), "XXXX", 4);
    const ParseResult foreign = ParseExact(image);
    EXPECT_EQ(foreign.status, Status::kBadSignature);
    EXPECT_FALSE(foreign.error.empty());
    EXPECT_EQ(ParseMemory(nullptr, 1000).status, Status::kTooSmall);
}

TEST(HwinfoMemory, HostileHeaderFieldsLeaveOutOnlyWhatTheyDescribe) {
    const auto good = BuildHwinfoImage(vorn::testing::SampleSensors(),
                                       vorn::testing::SampleReadings(), HwinfoLayout::kUtf8);
    const std::size_t all = vorn::testing::SampleReadings().size();
    struct Case {
        const char* what;
        std::size_t field;
        std::uint32_t value;
        std::size_t sensors, readings;
    };
    const std::uint32_t huge = 0xffffffffu;
    const Case cases[] = {
        {"reading count past the buffer", L::kReadingCount, 1000, 2, all},
        {"reading count at its maximum", L::kReadingCount, huge, 2, all},
        {"reading offset past the buffer", L::kReadingOffset, huge - 10, 2, 0},
        {"reading element size 0", L::kReadingSize, 0, 2, 0},
        {"reading element smaller than its fields", L::kReadingSize, L::kReadingElementSize - 1, 2,
         0},
        {"reading element size at its maximum", L::kReadingSize, huge, 2, 0},
        {"sensor element size 0", L::kSensorSize, 0, 0, 0},
        {"sensor offset past the buffer", L::kSensorOffset, huge, 0, 0},
        {"sensor count 0", L::kSensorCount, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto image = good;
        PokeU32(&image, c.field, c.value);
        const ParseResult r = ParseExact(image);
        ASSERT_EQ(r.status, Status::kOk);
        EXPECT_EQ(r.memory.sensors.size(), c.sensors);
        EXPECT_EQ(r.memory.readings.size(), c.readings);
        EXPECT_GT(r.memory.damaged, 0u);
    }
}

TEST(HwinfoMemory, UnterminatedNamesAndBadIndexesDropOnlyTheirElements) {
    const auto readings = vorn::testing::SampleReadings();
    auto image = BuildHwinfoImage(vorn::testing::SampleSensors(), readings, HwinfoLayout::kUtf8);
    const std::size_t r_off = ReadU32(image, L::kReadingOffset);
    const std::size_t r_size = ReadU32(image, L::kReadingSize);
    // Reading 1: its unit fills its field with no terminator; reading 2: its UTF-8 label does.
    std::memset(&image[r_off + 1 * r_size + L::kReadingUnit], 'x', L::kUnitLength);
    std::memset(&image[r_off + 2 * r_size + L::kReadingUtf8UserLabel], 'x', L::kNameLength);
    // Reading 3 points at a sensor that does not exist.
    PokeU32(&image, r_off + 3 * r_size + L::kReadingSensorIndex, 7);
    ParseResult r = ParseExact(image);
    ASSERT_EQ(r.status, Status::kOk);
    EXPECT_EQ(r.memory.damaged, 3u);
    ASSERT_EQ(r.memory.readings.size(), readings.size() - 3);
    EXPECT_EQ(r.memory.readings[0].original_label, "CPU Package");
    EXPECT_EQ(r.memory.readings[1].original_label, "System");

    // A sensor whose name is unterminated keeps its place; its readings go, the others stay.
    image = BuildHwinfoImage(vorn::testing::SampleSensors(), readings, HwinfoLayout::kPlain);
    std::memset(&image[ReadU32(image, L::kSensorOffset) + L::kSensorOriginalName], 'x',
                L::kNameLength);
    r = ParseExact(image);
    ASSERT_EQ(r.memory.sensors.size(), 2u);
    for (const Reading& reading : r.memory.readings)
        EXPECT_EQ(reading.sensor_index, 1u);
    EXPECT_EQ(r.memory.readings.size(), 13u);
}

TEST(HwinfoMemory, ValuesThatAreNotPlausibleNumbersAreMissing) {
    auto image = BuildHwinfoImage(vorn::testing::SampleSensors(), vorn::testing::SampleReadings(),
                                  HwinfoLayout::kPlain);
    const std::size_t r_off = ReadU32(image, L::kReadingOffset);
    const std::size_t r_size = ReadU32(image, L::kReadingSize);
    PutDouble(&image, r_off + L::kReadingValue, std::numeric_limits<double>::quiet_NaN());
    PutDouble(&image, r_off + L::kReadingMin, std::numeric_limits<double>::infinity());
    PutDouble(&image, r_off + L::kReadingMax, 1e300);
    PutDouble(&image, r_off + r_size + L::kReadingValue, -2e9);
    const ParseResult r = ParseExact(image);
    ASSERT_EQ(r.status, Status::kOk);
    EXPECT_FALSE(r.memory.readings[0].value);
    EXPECT_FALSE(r.memory.readings[0].min);
    EXPECT_FALSE(r.memory.readings[0].max);
    EXPECT_EQ(r.memory.readings[0].avg, 44.0);
    EXPECT_FALSE(r.memory.readings[1].value);
    EXPECT_EQ(r.memory.readings[2].value, 1.152);
}

}  // namespace
