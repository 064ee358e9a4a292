// Socket addresses as the agent's options write them: "127.0.0.1:29870", "[::1]:29870".
#pragma once

#include "agent/socket.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace vorn::agent {

struct Endpoint {
    sockaddr_storage addr{};
    socklen_t len = 0;
};

// Parses "IPV4:PORT" or "[IPV6]:PORT" (literal addresses only, port 0..65535).
bool ParseEndpoint(const std::string& text, Endpoint* out);

// Writes an address back in the same notation.
std::string FormatEndpoint(const sockaddr* addr);

// Binds `fd` to `ep`, one of the addresses `all` that a server listens on. An IPv6 address
// also takes IPv4 (as mapped addresses) unless `all` lists an IPv4 address on the same port.
// False, with the socket error set, on failure.
bool BindListed(net::Socket fd, const Endpoint& ep, const std::vector<Endpoint>& all);

// What names one client for per-source shares and limits: an IPv4 address (however spelt,
// IPv4-mapped IPv6 included) in its mapped form, and an IPv6 address cut to its /64, as one
// host is given a whole /64 to pick addresses from. The port never counts.
using SourceKey = std::array<std::uint8_t, 16>;

// The key of `source`; false for a family other than IPv4 and IPv6.
bool SourceKeyOf(const sockaddr* source, SourceKey* key);

}  // namespace vorn::agent
