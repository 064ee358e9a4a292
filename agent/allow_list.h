// Which request sources the agent answers: a list of CIDR blocks.
#pragma once

#include "agent/socket.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vorn::agent {

struct Cidr {
    int family = 0;           // AF_INET or AF_INET6
    std::uint8_t addr[16]{};  // network order; the first 4 bytes for IPv4
    int prefix = 0;           // bits that must match
};

// Parses "ADDR" or "ADDR/BITS" for IPv4 or IPv6; host bits beyond the prefix are ignored.
bool ParseCidr(const std::string& text, Cidr* out);

// Writes a block back as "ADDR/BITS".
std::string FormatCidr(const Cidr& cidr);

class AllowList {
public:
    AllowList() = default;
    explicit AllowList(std::vector<Cidr> entries) : entries_(std::move(entries)) {}

    // True when some entry covers the address; IPv4 entries also cover IPv4-mapped IPv6.
    bool Admits(const sockaddr* source) const;

    const std::vector<Cidr>& entries() const { return entries_; }

private:
    std::vector<Cidr> entries_;
};

// Loopback only: 127.0.0.0/8 and ::1/128.
std::vector<Cidr> DefaultAllow();

}  // namespace vorn::agent
