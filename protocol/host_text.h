// The host text of the plug-in and of vornagent --ask: HOST, HOST:PORT, [IPV6] or [IPV6]:PORT,
// where HOST is a name or a literal address. Pure text work, no sockets, so it is tested alone.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn::proto {

// Longest host part accepted: a DNS name's limit.
constexpr std::size_t kMaxHostLength = 253;

struct HostSpec {
    char host[kMaxHostLength + 1];  // name or literal address, brackets removed
    std::uint16_t port;             // 1 to 65535; the agent's default when the text has none
    bool literal_v6;                // written in brackets or with several colons: IPv6 only
};

// True, with *spec filled, for a well-formed host text. Rejects a null or empty text, an empty
// host, characters that cannot be in a name or address, and a port that is empty, not decimal
// or outside 1 to 65535.
bool ParseHostText(const char* text, HostSpec* spec);

}  // namespace vorn::proto
