#include "readings/hwinfo_memory.h"

#include <cmath>
#include <cstring>

namespace vorn::readings::hwinfo {

namespace {

// Bounds-checked little-endian reads over the copied bytes. Every caller checks the element
// lies wholly inside the buffer first; these checks are the second line.
class Bytes {
public:
    Bytes(const void* data, std::size_t size)
        : data_(static_cast<const std::uint8_t*>(data)), size_(data ? size : 0) {}

    bool Holds(std::uint64_t offset, std::uint64_t length) const {
        return offset <= size_ && length <= size_ - offset;
    }

    std::uint32_t U32(std::size_t at) const {
        if (!Holds(at, 4))
            return 0;
        return static_cast<std::uint32_t>(data_[at]) |
               static_cast<std::uint32_t>(data_[at + 1]) << 8 |
               static_cast<std::uint32_t>(data_[at + 2]) << 16 |
               static_cast<std::uint32_t>(data_[at + 3]) << 24;
    }

    std::uint64_t U64(std::size_t at) const {
        return static_cast<std::uint64_t>(U32(at)) | static_cast<std::uint64_t>(U32(at + 4)) << 32;
    }

    std::optional<double> Value(std::size_t at) const {
        if (!Holds(at, 8))
            return std::nullopt;
        const std::uint64_t bits = U64(at);
        double v;
        static_assert(sizeof v == sizeof bits, "IEEE double");
        std::memcpy(&v, &bits, sizeof v);
        if (!std::isfinite(v) || std::fabs(v) > kMaxMagnitude)
            return std::nullopt;
        return v;
    }

    // A NUL-terminated text within `length` bytes; false when there is no terminator.
    bool Text(std::size_t at, std::size_t length, std::string* out) const {
        if (!Holds(at, length))
            return false;
        const void* end = std::memchr(data_ + at, 0, length);
        if (!end)
            return false;
        out->assign(reinterpret_cast<const char*>(data_ + at),
                    static_cast<const std::uint8_t*>(end) - (data_ + at));
        return true;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
};

struct Section {
    std::uint64_t offset;
    std::uint64_t element_size;
    std::uint64_t count;
};

// How many of a section's elements lie wholly inside the buffer (none when the element size is
// below `minimum`, the fields this parser reads).
std::uint64_t UsableCount(const Bytes& bytes, const Section& s, std::size_t minimum,
                          std::size_t buffer_size) {
    if (s.element_size < minimum || s.offset > buffer_size)
        return 0;
    const std::uint64_t fit = (buffer_size - s.offset) / s.element_size;
    const std::uint64_t n = s.count < fit ? s.count : fit;
    return bytes.Holds(s.offset, n * s.element_size) ? n : 0;
}

bool ParseSensor(const Bytes& b, std::size_t at, std::size_t element_size, Sensor* out) {
    using namespace layout;
    out->id = b.U32(at + kSensorId);
    out->instance = b.U32(at + kSensorInstance);
    if (!b.Text(at + kSensorOriginalName, kNameLength, &out->original_name) ||
        !b.Text(at + kSensorUserName, kNameLength, &out->user_name)) {
        return false;
    }
    if (element_size >= kSensorElementSizeUtf8) {
        std::string utf8;
        if (!b.Text(at + kSensorUtf8UserName, kNameLength, &utf8))
            return false;
        if (!utf8.empty())
            out->user_name = std::move(utf8);
    }
    return true;
}

bool ParseReading(const Bytes& b, std::size_t at, std::size_t element_size, Reading* out) {
    using namespace layout;
    const std::uint32_t type = b.U32(at + kReadingType);
    out->type = type <= static_cast<std::uint32_t>(ReadingType::kOther)
                    ? static_cast<ReadingType>(type)
                    : ReadingType::kOther;
    out->sensor_index = b.U32(at + kReadingSensorIndex);
    out->id = b.U32(at + kReadingId);
    if (!b.Text(at + kReadingOriginalLabel, kNameLength, &out->original_label) ||
        !b.Text(at + kReadingUserLabel, kNameLength, &out->user_label) ||
        !b.Text(at + kReadingUnit, kUnitLength, &out->unit)) {
        return false;
    }
    out->value = b.Value(at + kReadingValue);
    out->min = b.Value(at + kReadingMin);
    out->max = b.Value(at + kReadingMax);
    out->avg = b.Value(at + kReadingAvg);
    if (element_size >= kReadingElementSizeUtf8) {
        std::string label, unit;
        if (!b.Text(at + kReadingUtf8UserLabel, kNameLength, &label) ||
            !b.Text(at + kReadingUtf8Unit, kUnitLength, &unit)) {
            return false;
        }
        if (!label.empty())
            out->user_label = std::move(label);
        if (!unit.empty())
            out->unit = std::move(unit);
    }
    return true;
}

}  // namespace

ParseResult ParseMemory(const void* data, std::size_t size) {
    using namespace layout;
    ParseResult result;
    const Bytes b(data, size);
    if (!b.Holds(0, kHeaderSize)) {
        result.status = Status::kTooSmall;
        result.error = "shared memory shorter than its header (" + std::to_string(size) + " bytes)";
        return result;
    }
    char signature[4];
    std::memcpy(signature, data, 4);
    if (std::memcmp(signature, "DEAD", 4) == 0) {
        result.status = Status::kInactive;
        result.error = "HWiNFO has ended its shared memory";
        return result;
    }
    if (std::memcmp(signature, "HWiS", 4) != 0) {
        result.status = Status::kBadSignature;
        result.error = "not HWiNFO's shared memory (unknown signature)";
        return result;
    }
    result.status = Status::kOk;
    Memory& m = result.memory;
    m.version = b.U32(kVersion);
    m.revision = b.U32(kRevision);
    m.poll_time = static_cast<std::int64_t>(b.U64(kPollTime));

    const Section sensors{b.U32(kSensorOffset), b.U32(kSensorSize), b.U32(kSensorCount)};
    const Section readings{b.U32(kReadingOffset), b.U32(kReadingSize), b.U32(kReadingCount)};
    // The first layout's arrays may begin right after the fields above; only a header that
    // keeps room before both holds the polling period.
    const std::uint64_t period_end = kPollingPeriod + 4;
    if (m.revision >= 1 && sensors.offset >= period_end && readings.offset >= period_end)
        m.polling_period_ms = b.U32(kPollingPeriod);

    const std::uint64_t sensor_count = UsableCount(b, sensors, kSensorElementSize, size);
    m.damaged += static_cast<std::size_t>(sensors.count - sensor_count);
    m.sensors.reserve(static_cast<std::size_t>(sensor_count));
    // Readings name their sensor by position, so a damaged sensor keeps its place (empty names)
    // and the readings that point at it are dropped instead of being moved to a neighbour.
    std::vector<bool> sensor_ok;
    sensor_ok.reserve(static_cast<std::size_t>(sensor_count));
    for (std::uint64_t i = 0; i < sensor_count; ++i) {
        Sensor s;
        const bool ok =
            ParseSensor(b, static_cast<std::size_t>(sensors.offset + i * sensors.element_size),
                        static_cast<std::size_t>(sensors.element_size), &s);
        if (!ok) {
            s = Sensor{};
            ++m.damaged;
        }
        m.sensors.push_back(std::move(s));
        sensor_ok.push_back(ok);
    }

    const std::uint64_t reading_count = UsableCount(b, readings, kReadingElementSize, size);
    m.damaged += static_cast<std::size_t>(readings.count - reading_count);
    m.readings.reserve(static_cast<std::size_t>(reading_count));
    for (std::uint64_t i = 0; i < reading_count; ++i) {
        Reading r;
        const bool ok =
            ParseReading(b, static_cast<std::size_t>(readings.offset + i * readings.element_size),
                         static_cast<std::size_t>(readings.element_size), &r) &&
            r.sensor_index < sensor_ok.size() && sensor_ok[r.sensor_index];
        if (!ok) {
            ++m.damaged;
            continue;
        }
        m.readings.push_back(std::move(r));
    }
    return result;
}

const std::string& DisplayName(const Sensor& sensor) {
    return sensor.user_name.empty() ? sensor.original_name : sensor.user_name;
}

const std::string& DisplayLabel(const Reading& reading) {
    return reading.user_label.empty() ? reading.original_label : reading.user_label;
}

}  // namespace vorn::readings::hwinfo
