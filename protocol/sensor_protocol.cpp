#include "protocol/sensor_protocol.h"

#include <cstring>

namespace vorn::proto {

const char* const kFieldNames[kFieldCount] = {"TCPU", "TPWR", "TSYS", "VVID", "VVTT",
                                              "V33V", "VP05", "VM05", "VP12", "VM12",
                                              "FAN1", "FAN2", "FAN3"};

namespace {

constexpr std::uint8_t kRequestMagic[4] = {'V', 'N', 'R', 'Q'};
constexpr std::uint8_t kReplyMagic[4] = {'V', 'N', 'R', 'S'};
constexpr std::size_t kIdOffset = 8;
constexpr std::size_t kFieldsOffset = 12;
constexpr std::size_t kFieldsEnd = kFieldsOffset + kFieldCount * kFieldSize;  // 116

void PutId(Datagram& d, std::uint32_t id) {
    d[kIdOffset] = static_cast<std::uint8_t>(id >> 24);
    d[kIdOffset + 1] = static_cast<std::uint8_t>(id >> 16);
    d[kIdOffset + 2] = static_cast<std::uint8_t>(id >> 8);
    d[kIdOffset + 3] = static_cast<std::uint8_t>(id);
}

std::uint32_t GetId(const std::uint8_t* p) {
    return (std::uint32_t{p[kIdOffset]} << 24) | (std::uint32_t{p[kIdOffset + 1]} << 16) |
           (std::uint32_t{p[kIdOffset + 2]} << 8) | std::uint32_t{p[kIdOffset + 3]};
}

bool AllZero(const std::uint8_t* p, std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) {
        if (p[i] != 0) return false;
    }
    return true;
}

}  // namespace

bool FieldIsWellFormed(const FieldText& field) {
    std::size_t i = 0;
    while (i < kFieldSize && field[i] != '\0') {
        const unsigned char c = static_cast<unsigned char>(field[i]);
        if (c < 0x20 || c > 0x7E) return false;
        ++i;
    }
    if (i == kFieldSize) return false;  // no terminator within the 8 bytes
    for (; i < kFieldSize; ++i) {
        if (field[i] != '\0') return false;
    }
    return true;
}

FieldText MakeField(const char* text) {
    FieldText f{};
    const std::size_t n = text ? std::strlen(text) : 0;
    if (n < kFieldSize) {
        std::memcpy(f.data(), text, n);
        if (FieldIsWellFormed(f)) return f;
    }
    f = FieldText{};
    f[0] = '-';
    return f;
}

Datagram EncodeRequest(std::uint32_t id) {
    Datagram d{};
    std::memcpy(d.data(), kRequestMagic, 4);
    d[4] = kVersion;
    d[5] = kKindReadings;
    PutId(d, id);
    return d;
}

bool DecodeRequest(const std::uint8_t* data, std::size_t len, std::uint32_t* id) {
    if (data == nullptr || len != kDatagramSize) return false;
    if (std::memcmp(data, kRequestMagic, 4) != 0) return false;
    if (data[4] != kVersion || data[5] != kKindReadings) return false;
    if (!AllZero(data, 6, kIdOffset) || !AllZero(data, kFieldsOffset, kDatagramSize)) return false;
    if (id) *id = GetId(data);
    return true;
}

Datagram EncodeReply(std::uint32_t id, ReplyStatus status, const Fields& fields) {
    Datagram d{};
    std::memcpy(d.data(), kReplyMagic, 4);
    d[4] = kVersion;
    d[5] = static_cast<std::uint8_t>(status);
    PutId(d, id);
    if (status == ReplyStatus::kReadings) {
        for (int k = 0; k < kFieldCount; ++k) {
            const FieldText f = FieldIsWellFormed(fields[k]) ? fields[k] : MakeField("-");
            std::memcpy(d.data() + kFieldsOffset + k * kFieldSize, f.data(), kFieldSize);
        }
    }
    return d;
}

bool DecodeReply(const std::uint8_t* data, std::size_t len, std::uint32_t expected_id,
                 ReplyStatus* status, Fields* fields) {
    if (data == nullptr || len != kDatagramSize) return false;
    if (std::memcmp(data, kReplyMagic, 4) != 0 || data[4] != kVersion) return false;
    if (data[5] > static_cast<std::uint8_t>(ReplyStatus::kNoSensors)) return false;
    if (!AllZero(data, 6, kIdOffset) || !AllZero(data, kFieldsEnd, kDatagramSize)) return false;
    if (GetId(data) != expected_id) return false;
    const auto st = static_cast<ReplyStatus>(data[5]);
    Fields parsed{};
    for (int k = 0; k < kFieldCount; ++k) {
        std::memcpy(parsed[k].data(), data + kFieldsOffset + k * kFieldSize, kFieldSize);
        if (!FieldIsWellFormed(parsed[k])) return false;
    }
    if (st == ReplyStatus::kNoSensors && !AllZero(data, kFieldsOffset, kFieldsEnd)) return false;
    if (status) *status = st;
    if (fields) *fields = parsed;
    return true;
}

}  // namespace vorn::proto
