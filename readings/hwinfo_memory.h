// HWiNFO's sensor shared memory, read from a private copy of its bytes. The layout is
// little-endian and packed: a header, then an array of sensor elements (a device such as
// "CPU [#0]: Intel Core i7" or a board chip) and an array of reading elements (one value
// each, pointing at its sensor by index). Each array's offset, element size and count are in
// the header, so the parser walks elements by the sizes given there: an element larger than
// the fields it knows (a newer layout) still reads, one smaller is not read at all.
//
// Nothing here trusts the memory: a field outside the buffer, a name without its terminator
// or a value that is not a plausible number leaves out only the element or value concerned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vorn::readings::hwinfo {

// Byte positions of the header fields and of the element fields this parser reads.
namespace layout {
constexpr std::size_t kSignature = 0;      // "HWiS" while live, "DEAD" once HWiNFO stops
constexpr std::size_t kVersion = 4;        // uint32
constexpr std::size_t kRevision = 8;       // uint32
constexpr std::size_t kPollTime = 12;      // int64, seconds since 1970, set at every poll
constexpr std::size_t kSensorOffset = 20;  // uint32: sensor array, from the start
constexpr std::size_t kSensorSize = 24;    // uint32: bytes per sensor element
constexpr std::size_t kSensorCount = 28;   // uint32
constexpr std::size_t kReadingOffset = 32;
constexpr std::size_t kReadingSize = 36;
constexpr std::size_t kReadingCount = 40;
constexpr std::size_t kHeaderSize = 44;
// uint32, milliseconds between polls: from revision 1 on, where both arrays start past it.
constexpr std::size_t kPollingPeriod = 44;

constexpr std::size_t kNameLength = 128;  // every name field, terminator included
constexpr std::size_t kUnitLength = 16;

// Sensor element: id, instance, original name, user name; later layouts add a UTF-8 user name.
constexpr std::size_t kSensorId = 0;
constexpr std::size_t kSensorInstance = 4;
constexpr std::size_t kSensorOriginalName = 8;
constexpr std::size_t kSensorUserName = kSensorOriginalName + kNameLength;
constexpr std::size_t kSensorUtf8UserName = kSensorUserName + kNameLength;
constexpr std::size_t kSensorElementSize = kSensorUtf8UserName;                    // 264
constexpr std::size_t kSensorElementSizeUtf8 = kSensorUtf8UserName + kNameLength;  // 392

// Reading element: type, sensor index, id, labels, unit, value, minimum, maximum, average;
// later layouts add a UTF-8 user label and a UTF-8 unit after the average.
constexpr std::size_t kReadingType = 0;
constexpr std::size_t kReadingSensorIndex = 4;
constexpr std::size_t kReadingId = 8;
constexpr std::size_t kReadingOriginalLabel = 12;
constexpr std::size_t kReadingUserLabel = kReadingOriginalLabel + kNameLength;
constexpr std::size_t kReadingUnit = kReadingUserLabel + kNameLength;
constexpr std::size_t kReadingValue = kReadingUnit + kUnitLength;
constexpr std::size_t kReadingMin = kReadingValue + 8;
constexpr std::size_t kReadingMax = kReadingMin + 8;
constexpr std::size_t kReadingAvg = kReadingMax + 8;
constexpr std::size_t kReadingUtf8UserLabel = kReadingAvg + 8;
constexpr std::size_t kReadingUtf8Unit = kReadingUtf8UserLabel + kNameLength;
constexpr std::size_t kReadingElementSize = kReadingUtf8UserLabel;               // 316
constexpr std::size_t kReadingElementSizeUtf8 = kReadingUtf8Unit + kUnitLength;  // 460
}  // namespace layout

// The kind of quantity a reading measures, as HWiNFO numbers them.
enum class ReadingType : std::uint32_t {
    kNone = 0,
    kTemperature = 1,
    kVoltage = 2,
    kFan = 3,
    kCurrent = 4,
    kPower = 5,
    kClock = 6,
    kUsage = 7,
    kOther = 8,
};

struct Sensor {
    std::uint32_t id = 0;
    std::uint32_t instance = 0;
    std::string original_name;
    std::string user_name;  // the UTF-8 user name where the layout has one, else the plain one
};

struct Reading {
    ReadingType type = ReadingType::kNone;
    std::uint32_t sensor_index = 0;  // always a valid index into Memory::sensors
    std::uint32_t id = 0;
    std::string original_label;
    std::string user_label;
    std::string unit;
    std::optional<double> value;  // empty when not finite or implausibly large
    std::optional<double> min, max, avg;
};

struct Memory {
    std::uint32_t version = 0;
    std::uint32_t revision = 0;
    std::int64_t poll_time = 0;
    std::uint32_t polling_period_ms = 0;  // 0 when the header does not carry it
    std::vector<Sensor> sensors;
    std::vector<Reading> readings;
    std::size_t damaged = 0;  // elements left out: past the buffer, unterminated, bad index
};

enum class Status {
    kOk,
    kTooSmall,      // shorter than the header
    kInactive,      // signature "DEAD": HWiNFO has ended its shared memory
    kBadSignature,  // not HWiNFO's memory at all
};

struct ParseResult {
    Status status = Status::kTooSmall;
    std::string error;  // why, when status is not kOk
    Memory memory;
};

// Values beyond this magnitude are taken as damage rather than a reading.
constexpr double kMaxMagnitude = 1e9;

// Parses `size` bytes at `data` (a private copy: they must not change meanwhile).
ParseResult ParseMemory(const void* data, std::size_t size);

// The name that identifies a sensor or a reading in mapping lines: the user's, else the original.
const std::string& DisplayName(const Sensor& sensor);
const std::string& DisplayLabel(const Reading& reading);

}  // namespace vorn::readings::hwinfo
