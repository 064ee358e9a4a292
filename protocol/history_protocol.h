// Version 3 of the sensor protocol: history pages. A request names one reading, a resolution
// and a first slot; the reply carries as many slots as fit in the request's own size (the
// client pads its request to the size of the reply it wants, so a reply is never longer than
// its request). Values are whole numbers in fixed units: 0.1 degC, 0.001 V, 1 RPM. Every
// number on the wire is big-endian. docs/protocol.md is the full description.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/sensor_protocol.h"

namespace vorn::proto {

constexpr std::uint8_t kVersion3 = 3;
constexpr std::uint8_t kKindHistoryPage = 2;
// Request and reply both start with a header of this size; the request is at least this long.
constexpr std::size_t kHistoryHeaderSize = 48;
// The largest request the agent reads: a UDP payload that crosses any IPv6 path unfragmented.
constexpr std::size_t kHistoryMaxDatagram = 1232;
// A value that is no value: the slot had no reading.
constexpr std::int32_t kHistoryGap = INT32_MIN;

enum class HistoryResolution : std::uint8_t { kSamples = 0, kMinutes = 1, kQuarterHours = 2 };
constexpr int kHistoryResolutions = 3;

enum class HistoryStatus : std::uint8_t {
    kPage = 0,
    kHistoryOff = 1,
    kUnknownReading = 2,
    kUnknownResolution = 3,
    kTooSmall = 4,
    kOutOfRange = 5,
    kOverBudget = 6,
};

// Seconds per slot at `resolution` (1, 60, 900); 0 for an unknown one.
std::uint32_t StepSeconds(std::uint8_t resolution);

// Bytes per slot: 4 (a value) for samples, 12 (minimum, mean, maximum) for the others.
std::size_t EntrySize(std::uint8_t resolution);

// Slots a reply of at most `datagram_size` bytes can carry at `resolution`, with their alarm
// bitmap; 0 when not even one fits or the resolution is unknown.
std::size_t SlotsThatFit(std::size_t datagram_size, std::uint8_t resolution);

// The value of reading `field` in its fixed unit, rounded to the nearest; kHistoryGap for
// a value that is not finite; clamped to +-2147483647.
std::int32_t ToFixed(int field, double value);

struct HistoryRequest {
    std::uint32_t id = 0;
    std::uint8_t reading = 0;
    std::uint8_t resolution = 0;
    std::uint16_t max_slots = 0;  // 0: as many as fit
    std::int64_t start = 0;       // > 0: unix seconds; <= 0: seconds relative to the agent's now
    std::size_t size = 0;         // the datagram's size: the longest reply allowed
};

// True when the datagram claims to be version 3 (request magic, version byte 3), so that it
// is judged by DecodeHistoryRequest and never by the version 1 and 2 decoder.
bool IsVersion3(const std::uint8_t* data, std::size_t len);

// True, with *out set, for a well-formed history page request: 48 to 1232 bytes, the request
// magic, version 3, kind 2 and every reserved and padding byte zero. Reading and resolution
// are not judged here (they have refusal codes of their own).
bool DecodeHistoryRequest(const std::uint8_t* data, std::size_t len, HistoryRequest* out);

struct HistoryReplyHeader {
    HistoryStatus status = HistoryStatus::kPage;
    std::uint32_t id = 0;
    std::uint8_t reading = 0;
    std::uint8_t resolution = 0;
    std::uint16_t count = 0;  // slots in the page
    std::int64_t first = 0;   // the page's first slot; for kOutOfRange the oldest slot kept
    std::int64_t now = 0;     // the agent's clock
    std::uint32_t step = 0;   // seconds per slot (pages and kOutOfRange)
    std::uint32_t extra = 0;  // pages: the sampling interval in ms; kOverBudget: retry after ms
    std::int32_t low = kHistoryGap;   // pages: the reading's low limit now, kHistoryGap for none
    std::int32_t high = kHistoryGap;  // pages: the reading's high limit now
};

// One slot of a page: a sample repeats its value in all three; a gap is kHistoryGap in all.
struct HistorySlot {
    std::int32_t min = kHistoryGap;
    std::int32_t mean = kHistoryGap;
    std::int32_t max = kHistoryGap;
    bool alarm = false;
};

// The size of a reply carrying `count` slots at `resolution` (48 for a refusal).
std::size_t HistoryReplySize(std::uint8_t resolution, std::size_t count);

// Writes a reply into `out` (at least HistoryReplySize bytes): the header and, for a page,
// header.count slots from `slots`. Refusals carry no slots and zero limits. Returns its size.
std::size_t EncodeHistoryReply(const HistoryReplyHeader& header, const HistorySlot* slots,
                               std::uint8_t* out);

// ---- The client's side ----

// Writes the request `r` into `out` (r.size bytes: the header, then zero padding) with
// r.start, r.max_slots and the id as given. Returns r.size, or 0 when r.size is outside
// 48 to 1232 bytes.
std::size_t EncodeHistoryRequest(const HistoryRequest& r, std::uint8_t* out);

// True, with *header set and, for a page, header->count slots written to `slots` (room for
// SlotsThatFit(request.size, request.resolution)), when the datagram is a valid reply to
// `request` by the client rules of docs/protocol.md; false for anything else.
bool DecodeHistoryReply(const std::uint8_t* data, std::size_t len, const HistoryRequest& request,
                        HistoryReplyHeader* header, HistorySlot* slots);

}  // namespace vorn::proto
