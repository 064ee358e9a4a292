// The bytes between the sensor plug-in and the sensor agent: one 128-byte request, one
// 128-byte reply. Both sides build on these functions, so the two can never disagree.
// Version 1 carries the readings; version 2 adds a 13-bit alarm mask at offset 116 (bit k set
// while reading k is past one of its limits). A reply always has its request's version.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace vorn::proto {

constexpr std::size_t kDatagramSize = 128;
constexpr std::uint16_t kDefaultPort = 29870;
constexpr int kFieldCount = 13;
constexpr std::size_t kFieldSize = 8;
constexpr std::uint8_t kVersion1 = 1;
constexpr std::uint8_t kVersion2 = 2;
// Bits of the alarm mask that name a reading (bit 0 CPU ... bit 12 FAN3).
constexpr std::uint16_t kAlarmMaskBits = (1u << kFieldCount) - 1;  // 0x1FFF
constexpr std::uint8_t kKindReadings = 1;

// Record order of the reading fields, as the reply carries them.
enum Field : int {
    kCpu,
    kPwr,
    kSys,
    kVid,
    kVtt,
    kV33,
    kVP5,
    kVM5,
    kVP12,
    kVM12,
    kFan1,
    kFan2,
    kFan3
};

// The agent's name of each reading, in record order (the profile's label keys without "String").
extern const char* const kFieldNames[kFieldCount];

enum class ReplyStatus : std::uint8_t { kReadings = 0, kNoSensors = 1 };

using Datagram = std::array<std::uint8_t, kDatagramSize>;
using FieldText = std::array<char, kFieldSize>;
using Fields = std::array<FieldText, kFieldCount>;

// Writes a readings request carrying `id`, in `version` (1 or 2).
Datagram EncodeRequest(std::uint32_t id, std::uint8_t version = kVersion1);

// True, with *id and *version set, for exactly 128 bytes of request magic, version 1 or 2,
// kind 1 and zero reserved bytes; anything else is to be dropped without a reply. The reply
// must be written in the version reported.
bool DecodeRequest(const std::uint8_t* data, std::size_t len, std::uint32_t* id,
                   std::uint8_t* version);

// The same for a server that answers version 1 only: a version 2 request is dropped, so that
// it is never answered with a reply of the wrong version (the client then falls back).
bool DecodeRequest(const std::uint8_t* data, std::size_t len, std::uint32_t* id);

// Writes a version 1 reply. With kNoSensors every field goes out as NUL bytes whatever
// `fields` holds. Fields that are not well formed are sent as "-".
Datagram EncodeReply(std::uint32_t id, ReplyStatus status, const Fields& fields);

// Writes a reply in `version` (1 or 2; 1 carries no mask). In version 2 the mask keeps only
// bits 0-12, is 0 under kNoSensors, and has the bit of every field sent as "-" clear.
Datagram EncodeReply(std::uint32_t id, std::uint8_t version, ReplyStatus status,
                     const Fields& fields, std::uint16_t alarm_mask);

// True, with *status and *fields set, for a version 1 reply the client may take as the answer
// to `expected_id`: exact size, magic, version, id, a known status, zero reserved bytes and
// 13 well-formed fields (all NUL under status 1).
bool DecodeReply(const std::uint8_t* data, std::size_t len, std::uint32_t expected_id,
                 ReplyStatus* status, Fields* fields);

// The same for a reply in `expected_version` (1 or 2). A version 2 reply must also have bits
// 13-15 of its mask and bytes 118-127 zero, and a zero mask under status 1; the bit of a "-"
// field is cleared. *alarm_mask is 0 for version 1.
bool DecodeReply(const std::uint8_t* data, std::size_t len, std::uint32_t expected_id,
                 std::uint8_t expected_version, ReplyStatus* status, Fields* fields,
                 std::uint16_t* alarm_mask);

// The mask with the bits of every "-" field and of bits 13-15 cleared.
std::uint16_t MaskForFields(std::uint16_t alarm_mask, const Fields& fields);

// At most 7 printable ASCII characters, then NUL bytes up to the 8th.
bool FieldIsWellFormed(const FieldText& field);

// Makes a field from text; text that does not fit or is not printable becomes "-".
FieldText MakeField(const char* text);

}  // namespace vorn::proto
