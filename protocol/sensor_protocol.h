// The bytes between the sensor plug-in and the sensor agent: one 128-byte request, one
// 128-byte reply. Both sides build on these functions, so the two can never disagree.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace vorn::proto {

constexpr std::size_t kDatagramSize = 128;
constexpr std::uint16_t kDefaultPort = 29870;
constexpr int kFieldCount = 13;
constexpr std::size_t kFieldSize = 8;
constexpr std::uint8_t kVersion = 1;
constexpr std::uint8_t kKindReadings = 1;

// Record order of the reading fields, as the reply carries them.
enum Field : int {
    kCpu, kPwr, kSys, kVid, kVtt, kV33, kVP5, kVM5, kVP12, kVM12, kFan1, kFan2, kFan3
};

// The agent's name of each reading, in record order (the profile's label keys without "String").
extern const char* const kFieldNames[kFieldCount];

enum class ReplyStatus : std::uint8_t { kReadings = 0, kNoSensors = 1 };

using Datagram = std::array<std::uint8_t, kDatagramSize>;
using FieldText = std::array<char, kFieldSize>;
using Fields = std::array<FieldText, kFieldCount>;

// Writes a readings request carrying `id`.
Datagram EncodeRequest(std::uint32_t id);

// True, with *id set, for exactly 128 bytes of request magic, version 1, kind 1 and zero
// reserved bytes; anything else is to be dropped without a reply.
bool DecodeRequest(const std::uint8_t* data, std::size_t len, std::uint32_t* id);

// Writes a reply. With kNoSensors every field goes out as NUL bytes whatever `fields` holds.
// Fields that are not well formed are sent as "-".
Datagram EncodeReply(std::uint32_t id, ReplyStatus status, const Fields& fields);

// True, with *status and *fields set, for a reply the client may take as the answer to
// `expected_id`: exact size, magic, version, id, a known status, zero reserved bytes and
// 13 well-formed fields (all NUL under status 1).
bool DecodeReply(const std::uint8_t* data, std::size_t len, std::uint32_t expected_id,
                 ReplyStatus* status, Fields* fields);

// At most 7 printable ASCII characters, then NUL bytes up to the 8th.
bool FieldIsWellFormed(const FieldText& field);

// Makes a field from text; text that does not fit or is not printable becomes "-".
FieldText MakeField(const char* text);

}  // namespace vorn::proto
