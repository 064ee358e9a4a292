#include "agent/allow_list.h"

#include <cstring>

namespace vorn::agent {

namespace {

bool PrefixMatches(const std::uint8_t* a, const std::uint8_t* b, int bits) {
    const int bytes = bits / 8;
    if (std::memcmp(a, b, static_cast<std::size_t>(bytes)) != 0)
        return false;
    const int rest = bits % 8;
    if (rest == 0)
        return true;
    const std::uint8_t mask = static_cast<std::uint8_t>(0xFF << (8 - rest));
    return (a[bytes] & mask) == (b[bytes] & mask);
}

}  // namespace

bool ParseCidr(const std::string& text, Cidr* out) {
    Cidr c;
    std::string host = text;
    int max_bits = 0;
    int prefix = -1;
    const std::size_t slash = text.find('/');
    if (slash != std::string::npos) {
        host = text.substr(0, slash);
        const std::string bits = text.substr(slash + 1);
        if (bits.empty() || bits.size() > 3)
            return false;
        prefix = 0;
        for (char ch : bits) {
            if (ch < '0' || ch > '9')
                return false;
            prefix = prefix * 10 + (ch - '0');
        }
    }
    if (inet_pton(AF_INET, host.c_str(), c.addr) == 1) {
        c.family = AF_INET;
        max_bits = 32;
    } else if (inet_pton(AF_INET6, host.c_str(), c.addr) == 1) {
        c.family = AF_INET6;
        max_bits = 128;
    } else {
        return false;
    }
    if (prefix > max_bits)
        return false;
    c.prefix = prefix < 0 ? max_bits : prefix;
    if (out)
        *out = c;
    return true;
}

std::string FormatCidr(const Cidr& cidr) {
    char host[INET6_ADDRSTRLEN] = "?";
    inet_ntop(cidr.family, cidr.addr, host, sizeof host);
    return std::string(host) + "/" + std::to_string(cidr.prefix);
}

bool AllowList::Admits(const sockaddr* source) const {
    std::uint8_t v4[4];
    std::uint8_t v6[16];
    bool has_v4 = false;
    bool has_v6 = false;
    if (source->sa_family == AF_INET) {
        sockaddr_in sa;
        std::memcpy(&sa, source, sizeof sa);
        std::memcpy(v4, &sa.sin_addr, 4);
        has_v4 = true;
    } else if (source->sa_family == AF_INET6) {
        sockaddr_in6 sa;
        std::memcpy(&sa, source, sizeof sa);
        std::memcpy(v6, &sa.sin6_addr, 16);
        has_v6 = true;
        static const std::uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
        if (std::memcmp(v6, kMapped, 12) == 0) {
            std::memcpy(v4, v6 + 12, 4);
            has_v4 = true;
        }
    }
    for (const Cidr& c : entries_) {
        if (c.family == AF_INET && has_v4 && PrefixMatches(c.addr, v4, c.prefix))
            return true;
        if (c.family == AF_INET6 && has_v6 && PrefixMatches(c.addr, v6, c.prefix))
            return true;
    }
    return false;
}

std::vector<Cidr> DefaultAllow() {
    std::vector<Cidr> list(2);
    ParseCidr("127.0.0.0/8", &list[0]);
    ParseCidr("::1/128", &list[1]);
    return list;
}

}  // namespace vorn::agent
