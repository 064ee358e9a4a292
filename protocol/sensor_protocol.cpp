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
constexpr std::size_t kMaskOffset = kFieldsEnd;                               // version 2
constexpr std::size_t kMaskEnd = kMaskOffset + 2;                             // 118

bool KnownVersion(std::uint8_t version) {
    return version == kVersion1 || version == kVersion2;
}

bool IsDash(const FieldText& field) {
    return field[0] == '-' && field[1] == '\0';
}

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
        if (p[i] != 0)
            return false;
    }
    return true;
}

}  // namespace

bool FieldIsWellFormed(const FieldText& field) {
    std::size_t i = 0;
    while (i < kFieldSize && field[i] != '\0') {
        const unsigned char c = static_cast<unsigned char>(field[i]);
        if (c < 0x20 || c > 0x7E)
            return false;
        ++i;
    }
    if (i == kFieldSize)
        return false;  // no terminator within the 8 bytes
    for (; i < kFieldSize; ++i) {
        if (field[i] != '\0')
            return false;
    }
    return true;
}

FieldText MakeField(const char* text) {
    FieldText f{};
    const std::size_t n = text ? std::strlen(text) : 0;
    if (n < kFieldSize) {
        std::memcpy(f.data(), text, n);
        if (FieldIsWellFormed(f))
            return f;
    }
    f = FieldText{};
    f[0] = '-';
    return f;
}

std::uint16_t MaskForFields(std::uint16_t alarm_mask, const Fields& fields) {
    std::uint16_t mask = alarm_mask & kAlarmMaskBits;
    for (int k = 0; k < kFieldCount; ++k) {
        if (IsDash(fields[k]))
            mask &= static_cast<std::uint16_t>(~(1u << k));
    }
    return mask;
}

Datagram EncodeRequest(std::uint32_t id, std::uint8_t version) {
    Datagram d{};
    std::memcpy(d.data(), kRequestMagic, 4);
    d[4] = version;
    d[5] = kKindReadings;
    PutId(d, id);
    return d;
}

bool DecodeRequest(const std::uint8_t* data, std::size_t len, std::uint32_t* id,
                   std::uint8_t* version) {
    if (data == nullptr || len != kDatagramSize)
        return false;
    if (std::memcmp(data, kRequestMagic, 4) != 0)
        return false;
    if (!KnownVersion(data[4]) || data[5] != kKindReadings)
        return false;
    if (!AllZero(data, 6, kIdOffset) || !AllZero(data, kFieldsOffset, kDatagramSize))
        return false;
    if (id)
        *id = GetId(data);
    if (version)
        *version = data[4];
    return true;
}

bool DecodeRequest(const std::uint8_t* data, std::size_t len, std::uint32_t* id) {
    std::uint8_t version = 0;
    std::uint32_t got = 0;
    if (!DecodeRequest(data, len, &got, &version) || version != kVersion1)
        return false;
    if (id)
        *id = got;
    return true;
}

Datagram EncodeReply(std::uint32_t id, ReplyStatus status, const Fields& fields) {
    return EncodeReply(id, kVersion1, status, fields, 0);
}

Datagram EncodeReply(std::uint32_t id, std::uint8_t version, ReplyStatus status,
                     const Fields& fields, std::uint16_t alarm_mask) {
    Datagram d{};
    std::memcpy(d.data(), kReplyMagic, 4);
    d[4] = version;
    d[5] = static_cast<std::uint8_t>(status);
    PutId(d, id);
    if (status != ReplyStatus::kReadings)
        return d;
    Fields sent{};
    for (int k = 0; k < kFieldCount; ++k) {
        sent[k] = FieldIsWellFormed(fields[k]) ? fields[k] : MakeField("-");
        std::memcpy(d.data() + kFieldsOffset + k * kFieldSize, sent[k].data(), kFieldSize);
    }
    if (version == kVersion2) {
        const std::uint16_t mask = MaskForFields(alarm_mask, sent);
        d[kMaskOffset] = static_cast<std::uint8_t>(mask >> 8);
        d[kMaskOffset + 1] = static_cast<std::uint8_t>(mask);
    }
    return d;
}

bool DecodeReply(const std::uint8_t* data, std::size_t len, std::uint32_t expected_id,
                 ReplyStatus* status, Fields* fields) {
    return DecodeReply(data, len, expected_id, kVersion1, status, fields, nullptr);
}

bool DecodeReply(const std::uint8_t* data, std::size_t len, std::uint32_t expected_id,
                 std::uint8_t expected_version, ReplyStatus* status, Fields* fields,
                 std::uint16_t* alarm_mask) {
    if (data == nullptr || len != kDatagramSize || !KnownVersion(expected_version))
        return false;
    if (std::memcmp(data, kReplyMagic, 4) != 0 || data[4] != expected_version)
        return false;
    if (data[5] > static_cast<std::uint8_t>(ReplyStatus::kNoSensors))
        return false;
    const std::size_t reserved_from = expected_version == kVersion2 ? kMaskEnd : kFieldsEnd;
    if (!AllZero(data, 6, kIdOffset) || !AllZero(data, reserved_from, kDatagramSize))
        return false;
    if (GetId(data) != expected_id)
        return false;
    const auto st = static_cast<ReplyStatus>(data[5]);
    Fields parsed{};
    for (int k = 0; k < kFieldCount; ++k) {
        std::memcpy(parsed[k].data(), data + kFieldsOffset + k * kFieldSize, kFieldSize);
        if (!FieldIsWellFormed(parsed[k]))
            return false;
    }
    if (st == ReplyStatus::kNoSensors && !AllZero(data, kFieldsOffset, reserved_from))
        return false;
    std::uint16_t mask = 0;
    if (expected_version == kVersion2) {
        mask = static_cast<std::uint16_t>((data[kMaskOffset] << 8) | data[kMaskOffset + 1]);
        if ((mask & ~kAlarmMaskBits) != 0)
            return false;
        mask = MaskForFields(mask, parsed);
    }
    if (status)
        *status = st;
    if (fields)
        *fields = parsed;
    if (alarm_mask)
        *alarm_mask = mask;
    return true;
}

}  // namespace vorn::proto
