#include "agent/address.h"

#include <algorithm>
#include <cstring>

#include "readings/text.h"

namespace vorn::agent {

namespace {

bool ParsePort(const std::string& text, std::uint16_t* port) {
    long value = 0;
    if (!readings::ParseWholeNumber(text, 65535, &value))
        return false;
    *port = static_cast<std::uint16_t>(value);
    return true;
}

}  // namespace

bool ParseEndpoint(const std::string& text, Endpoint* out) {
    Endpoint ep;
    std::uint16_t port = 0;
    if (!text.empty() && text[0] == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            return false;
        }
        const std::string host = text.substr(1, close - 1);
        if (!ParsePort(text.substr(close + 2), &port))
            return false;
        sockaddr_in6 sa{};
        sa.sin6_family = AF_INET6;
        if (inet_pton(AF_INET6, host.c_str(), &sa.sin6_addr) != 1)
            return false;
        sa.sin6_port = htons(port);
        std::memcpy(&ep.addr, &sa, sizeof sa);
        ep.len = sizeof sa;
    } else {
        const std::size_t colon = text.rfind(':');
        if (colon == std::string::npos)
            return false;
        const std::string host = text.substr(0, colon);
        if (!ParsePort(text.substr(colon + 1), &port))
            return false;
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        if (inet_pton(AF_INET, host.c_str(), &sa.sin_addr) != 1)
            return false;
        sa.sin_port = htons(port);
        std::memcpy(&ep.addr, &sa, sizeof sa);
        ep.len = sizeof sa;
    }
    if (out)
        *out = ep;
    return true;
}

std::string FormatEndpoint(const sockaddr* addr) {
    char host[INET6_ADDRSTRLEN] = "?";
    if (addr->sa_family == AF_INET) {
        sockaddr_in sa;
        std::memcpy(&sa, addr, sizeof sa);
        inet_ntop(AF_INET, &sa.sin_addr, host, sizeof host);
        return std::string(host) + ":" + std::to_string(ntohs(sa.sin_port));
    }
    if (addr->sa_family == AF_INET6) {
        sockaddr_in6 sa;
        std::memcpy(&sa, addr, sizeof sa);
        inet_ntop(AF_INET6, &sa.sin6_addr, host, sizeof host);
        return "[" + std::string(host) + "]:" + std::to_string(ntohs(sa.sin6_port));
    }
    return "?";
}

namespace {

std::uint16_t PortOf(const Endpoint& ep) {
    if (ep.addr.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in*>(&ep.addr)->sin_port);
    return ntohs(reinterpret_cast<const sockaddr_in6*>(&ep.addr)->sin6_port);
}

}  // namespace

bool BindListed(net::Socket fd, const Endpoint& ep, const std::vector<Endpoint>& all) {
    if (ep.addr.ss_family == AF_INET6) {
        int v6only = 0;
        for (const Endpoint& other : all) {
            if (other.addr.ss_family == AF_INET && PortOf(other) == PortOf(ep))
                v6only = 1;
        }
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&v6only),
                   sizeof v6only);
    }
    return bind(fd, reinterpret_cast<const sockaddr*>(&ep.addr), ep.len) == 0;
}

bool SourceKeyOf(const sockaddr* source, SourceKey* key) {
    key->fill(0);
    if (source->sa_family == AF_INET) {
        sockaddr_in sa;
        std::memcpy(&sa, source, sizeof sa);
        (*key)[10] = 0xFF;
        (*key)[11] = 0xFF;
        std::memcpy(key->data() + 12, &sa.sin_addr, 4);
        return true;
    }
    if (source->sa_family != AF_INET6)
        return false;
    sockaddr_in6 sa;
    std::memcpy(&sa, source, sizeof sa);
    std::memcpy(key->data(), &sa.sin6_addr, 16);
    static constexpr std::uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (std::memcmp(key->data(), kMappedPrefix, sizeof kMappedPrefix) != 0)
        std::fill(key->begin() + 8, key->end(), std::uint8_t{0});
    return true;
}

}  // namespace vorn::agent
