#include "tests/common/hwinfo_image.h"

#include <cstring>

#include "readings/hwinfo_memory.h"

namespace vorn::testing {

namespace {

namespace L = readings::hwinfo::layout;

void PutText(std::vector<std::uint8_t>* image, std::size_t at, std::size_t length,
             const std::string& text) {
    const std::size_t n = text.size() < length - 1 ? text.size() : length - 1;
    std::memcpy(image->data() + at, text.data(), n);
    (*image)[at + n] = 0;
}

void PutDouble(std::vector<std::uint8_t>* image, std::size_t at, double value) {
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    PokeU32(image, at, static_cast<std::uint32_t>(bits));
    PokeU32(image, at + 4, static_cast<std::uint32_t>(bits >> 32));
}

}  // namespace

void PokeU32(std::vector<std::uint8_t>* image, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        (*image)[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void PokePollTime(std::vector<std::uint8_t>* image, std::int64_t seconds) {
    const auto bits = static_cast<std::uint64_t>(seconds);
    PokeU32(image, L::kPollTime, static_cast<std::uint32_t>(bits));
    PokeU32(image, L::kPollTime + 4, static_cast<std::uint32_t>(bits >> 32));
}

std::vector<std::uint8_t> BuildHwinfoImage(const std::vector<FakeSensor>& sensors,
                                           const std::vector<FakeReading>& readings,
                                           HwinfoLayout layout) {
    const bool utf8 = layout == HwinfoLayout::kUtf8;
    const std::size_t sensor_size = utf8 ? L::kSensorElementSizeUtf8 : L::kSensorElementSize;
    const std::size_t reading_size = utf8 ? L::kReadingElementSizeUtf8 : L::kReadingElementSize;
    // The current layout's header is longer than the fields read; keep a gap like it does.
    const std::size_t sensor_offset = L::kHeaderSize + (utf8 ? 8 : 0);
    const std::size_t reading_offset = sensor_offset + sensors.size() * sensor_size;
    std::vector<std::uint8_t> image(reading_offset + readings.size() * reading_size, 0);

    std::memcpy(image.data() + L::kSignature, "HWiS", 4);
    PokeU32(&image, L::kVersion, utf8 ? 2 : 1);
    PokeU32(&image, L::kRevision, 1);
    PokeU32(&image, L::kPollTime, 1700000000u);
    PokeU32(&image, L::kSensorOffset, static_cast<std::uint32_t>(sensor_offset));
    PokeU32(&image, L::kSensorSize, static_cast<std::uint32_t>(sensor_size));
    PokeU32(&image, L::kSensorCount, static_cast<std::uint32_t>(sensors.size()));
    PokeU32(&image, L::kReadingOffset, static_cast<std::uint32_t>(reading_offset));
    PokeU32(&image, L::kReadingSize, static_cast<std::uint32_t>(reading_size));
    PokeU32(&image, L::kReadingCount, static_cast<std::uint32_t>(readings.size()));

    for (std::size_t i = 0; i < sensors.size(); ++i) {
        const FakeSensor& s = sensors[i];
        const std::size_t at = sensor_offset + i * sensor_size;
        PokeU32(&image, at + L::kSensorId, s.id);
        PokeU32(&image, at + L::kSensorInstance, s.instance);
        PutText(&image, at + L::kSensorOriginalName, L::kNameLength, s.original_name);
        PutText(&image, at + L::kSensorUserName, L::kNameLength, s.user_name);
        if (utf8)
            PutText(&image, at + L::kSensorUtf8UserName, L::kNameLength, s.user_name);
    }
    for (std::size_t i = 0; i < readings.size(); ++i) {
        const FakeReading& r = readings[i];
        const std::size_t at = reading_offset + i * reading_size;
        PokeU32(&image, at + L::kReadingType, r.type);
        PokeU32(&image, at + L::kReadingSensorIndex, r.sensor);
        PokeU32(&image, at + L::kReadingId, r.id);
        PutText(&image, at + L::kReadingOriginalLabel, L::kNameLength, r.original_label);
        PutText(&image, at + L::kReadingUserLabel, L::kNameLength, r.user_label);
        PutText(&image, at + L::kReadingUnit, L::kUnitLength, r.unit);
        PutDouble(&image, at + L::kReadingValue, r.value);
        PutDouble(&image, at + L::kReadingMin, r.min);
        PutDouble(&image, at + L::kReadingMax, r.max);
        PutDouble(&image, at + L::kReadingAvg, r.avg);
        if (utf8) {
            PutText(&image, at + L::kReadingUtf8UserLabel, L::kNameLength, r.user_label);
            PutText(&image, at + L::kReadingUtf8Unit, L::kUnitLength, r.unit);
        }
    }
    return image;
}

std::vector<FakeSensor> SampleSensors() {
    return {
        {0xf0000100u, 0, "CPU [#0]: Intel Core i7-4770K", "CPU [#0]: Intel Core i7-4770K"},
        {0xf0008800u, 0, "ASUS Z87-A (Nuvoton NCT6779D)", "Mainboard"},
    };
}

std::vector<FakeReading> SampleReadings() {
    // type, sensor, id, original label, user label, unit, value, min, max, avg
    return {
        {1, 0, 1, "CPU Package", "CPU Package",
         "\xc2\xb0"
         "C",
         45.0, 30.0, 71.0, 44.0},
        {1, 0, 2, "Core #0", "Core #0",
         "\xc2\xb0"
         "C",
         43.0, 29.0, 70.0, 42.0},
        {2, 0, 3, "Core #0 VID", "Core #0 VID", "V", 1.152, 0.7, 1.25, 1.1},
        {1, 1, 10, "CPU", "CPU",
         "\xc2\xb0"
         "C",
         41.0, 30.0, 60.0, 40.0},
        {1, 1, 11, "System", "System",
         "\xc2\xb0"
         "C",
         33.0, 30.0, 40.0, 32.0},
        {1, 1, 12, "Auxiliary", "Power Supply",
         "\xc2\xb0"
         "C",
         38.0, 30.0, 45.0, 37.0},
        {2, 1, 20, "Vcore", "Vcore", "V", 1.136, 0.7, 1.25, 1.1},
        {2, 1, 21, "VTT", "VTT", "V", 1.048, 1.0, 1.1, 1.05},
        {2, 1, 22, "+3.3V", "+3.3V", "V", 3.344, 3.3, 3.4, 3.34},
        {2, 1, 23, "+5V", "+5V", "V", 5.04, 5.0, 5.1, 5.04},
        {2, 1, 24, "+12V", "+12V", "V", 12.096, 12.0, 12.2, 12.1},
        {2, 1, 25, "-12V", "-12V", "V", -11.904, -12.1, -11.8, -11.9},
        {2, 1, 26, "-5V", "-5V", "V", -5.016, -5.1, -4.9, -5.0},
        {3, 1, 30, "CPU", "CPU", "RPM", 1205.0, 1100.0, 1500.0, 1200.0},
        {3, 1, 31, "Chassis1", "System 1", "RPM", 812.0, 800.0, 900.0, 810.0},
        {3, 1, 32, "Chassis2", "Chassis2", "RPM", 0.0, 0.0, 0.0, 0.0},
        {7, 0, 40, "Total CPU Usage", "Total CPU Usage", "%", 12.5, 0.0, 100.0, 10.0},
    };
}

}  // namespace vorn::testing
