#include "protocol/host_text.h"

#include <cstring>

#include "protocol/sensor_protocol.h"

namespace vorn::proto {

namespace {

bool IsAlnum(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Letters, digits, '-', '.' and '_': what a name or an IPv4 literal is made of.
bool IsNameText(const char* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        if (!IsAlnum(p[i]) && p[i] != '-' && p[i] != '.' && p[i] != '_')
            return false;
    }
    return true;
}

// Hex digits, ':' and '.', then optionally '%' and a zone name: an IPv6 literal for the
// resolver to judge in full.
bool IsV6Text(const char* p, std::size_t n) {
    std::size_t i = 0;
    bool colon = false;
    for (; i < n && p[i] != '%'; ++i) {
        const char c = p[i];
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex && c != ':' && c != '.')
            return false;
        colon = colon || c == ':';
    }
    if (!colon)
        return false;
    if (i == n)
        return true;
    if (i + 1 == n)
        return false;  // '%' with no zone
    return IsNameText(p + i + 1, n - i - 1);
}

// Decimal 1 to 65535, digits only (no sign, no blanks).
bool ParsePort(const char* p, std::size_t n, std::uint16_t* port) {
    if (n == 0 || n > 5)
        return false;
    unsigned long value = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (p[i] < '0' || p[i] > '9')
            return false;
        value = value * 10 + static_cast<unsigned long>(p[i] - '0');
    }
    if (value == 0 || value > 65535)
        return false;
    *port = static_cast<std::uint16_t>(value);
    return true;
}

bool Keep(const char* p, std::size_t n, bool v6, std::uint16_t port, HostSpec* spec) {
    if (n == 0 || n > kMaxHostLength)
        return false;
    if (v6 ? !IsV6Text(p, n) : !IsNameText(p, n))
        return false;
    std::memcpy(spec->host, p, n);
    spec->host[n] = '\0';
    spec->port = port;
    spec->literal_v6 = v6;
    return true;
}

}  // namespace

bool ParseHostText(const char* text, HostSpec* spec) {
    if (text == nullptr || spec == nullptr)
        return false;
    // Bounded scan: nothing longer than a bracketed name and a port is ever valid.
    const std::size_t len = strnlen(text, kMaxHostLength + 9);
    if (len == 0 || len > kMaxHostLength + 8)
        return false;
    std::uint16_t port = kDefaultPort;

    if (text[0] == '[') {
        const char* close = static_cast<const char*>(std::memchr(text, ']', len));
        if (close == nullptr)
            return false;
        const std::size_t host_len = static_cast<std::size_t>(close - text) - 1;
        const char* rest = close + 1;
        const std::size_t rest_len = len - host_len - 2;
        if (rest_len > 0) {
            if (rest[0] != ':' || !ParsePort(rest + 1, rest_len - 1, &port))
                return false;
        }
        return Keep(text + 1, host_len, true, port, spec);
    }

    const char* first_colon = static_cast<const char*>(std::memchr(text, ':', len));
    if (first_colon == nullptr)
        return Keep(text, len, false, port, spec);
    const char* after = first_colon + 1;
    if (std::memchr(after, ':', len - static_cast<std::size_t>(after - text)) != nullptr) {
        // Several colons: a bare IPv6 literal, which cannot carry a port without brackets.
        return Keep(text, len, true, port, spec);
    }
    const std::size_t host_len = static_cast<std::size_t>(first_colon - text);
    if (!ParsePort(after, len - host_len - 1, &port))
        return false;
    return Keep(text, host_len, false, port, spec);
}

}  // namespace vorn::proto
