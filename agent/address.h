// Socket addresses as the agent's options write them: "127.0.0.1:29870", "[::1]:29870".
#pragma once

#include "agent/socket.h"

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

}  // namespace vorn::agent
