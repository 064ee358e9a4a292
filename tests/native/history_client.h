// A client of protocol version 3 (history pages) written from docs/protocol.md alone, without
// the agent's encoder, so that the tests hold the agent to the document.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace vorn::history_client {

constexpr std::int32_t kGap = INT32_MIN;

struct Request {
    std::uint32_t id = 0;
    std::uint8_t reading = 0;
    std::uint8_t resolution = 0;
    std::uint16_t max_slots = 0;
    std::int64_t start = 0;
    std::size_t size = 1232;
};

// The request's bytes: the 48-byte header and zero padding up to its size.
std::vector<std::uint8_t> Encode(const Request& r);

struct Reply {
    int status = -1;
    std::uint16_t count = 0;
    std::int64_t first = 0;
    std::int64_t now = 0;
    std::uint32_t step = 0;
    std::uint32_t extra = 0;  // the interval (pages) or the wait (over budget)
    std::int32_t low = 0;
    std::int32_t high = 0;
    std::vector<std::array<std::int32_t, 3>> slots;  // min, mean, max (a sample thrice)
    std::vector<bool> alarms;
};

// Parses a reply to `request` by the document's client rules; nothing when it breaks any.
std::optional<Reply> Decode(const std::vector<std::uint8_t>& datagram, const Request& request);

}  // namespace vorn::history_client
