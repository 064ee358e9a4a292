// The URL helpers of http_get.h, shared by the libcurl and WinHTTP clients.
#include "readings/http_get.h"
#include "readings/text.h"

namespace vorn::readings {

namespace {

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && EqualsIgnoringCase(s.substr(0, prefix.size()), prefix);
}

bool IsHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int HexValue(char c) {
    return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
}

// Characters a URL may carry as they are (RFC 3986 unreserved, reserved and '%').
bool MayStandInUrl(unsigned char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    switch (c) {
        case '-':
        case '.':
        case '_':
        case '~':
        case ':':
        case '/':
        case '?':
        case '#':
        case '@':
        case '!':
        case '$':
        case '&':
        case '\'':
        case '(':
        case ')':
        case '*':
        case '+':
        case ',':
        case ';':
        case '=':
            return true;
        default:
            return false;
    }
}

// Length of "scheme://", or 0.
std::size_t SchemeLength(std::string_view url) {
    if (StartsWithNoCase(url, "http://"))
        return 7;
    if (StartsWithNoCase(url, "https://"))
        return 8;
    return 0;
}

}  // namespace

std::string EncodeUrl(std::string_view url) {
    static const char kHex[] = "0123456789ABCDEF";
    // The authority stays as written: an IPv6 host stands between brackets.
    const std::size_t scheme = SchemeLength(url);
    std::size_t start = scheme == 0 ? 0 : url.find_first_of("/?#", scheme);
    if (start == std::string_view::npos)
        start = url.size();
    std::string out(url.substr(0, start));
    for (std::size_t k = start; k < url.size(); ++k) {
        const unsigned char c = static_cast<unsigned char>(url[k]);
        if (c == '%' && k + 2 < url.size() && IsHex(url[k + 1]) && IsHex(url[k + 2])) {
            out.push_back('%');
        } else if (c != '%' && MayStandInUrl(c)) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 15]);
        }
    }
    return out;
}

std::string DecodePercent(std::string_view text) {
    std::string out;
    for (std::size_t k = 0; k < text.size(); ++k) {
        if (text[k] == '%' && k + 2 < text.size() && IsHex(text[k + 1]) && IsHex(text[k + 2])) {
            out += static_cast<char>(HexValue(text[k + 1]) * 16 + HexValue(text[k + 2]));
            k += 2;
        } else {
            out += text[k];
        }
    }
    return out;
}

std::string RedactUrl(std::string_view url) {
    const std::size_t scheme = SchemeLength(url);
    if (scheme == 0)
        return std::string(url);
    const std::size_t authority_end = url.find_first_of("/?#", scheme);
    const std::string_view authority =
        url.substr(scheme, authority_end == std::string_view::npos ? std::string_view::npos
                                                                   : authority_end - scheme);
    const std::size_t at = authority.rfind('@');
    if (at == std::string_view::npos)
        return std::string(url);
    const std::size_t colon = authority.substr(0, at).find(':');
    if (colon == std::string_view::npos)
        return std::string(url);
    std::string out(url.substr(0, scheme + colon + 1));
    out += "***";
    out += url.substr(scheme + at);
    return out;
}

std::string WithoutUserInfo(std::string_view url) {
    const std::size_t scheme = SchemeLength(url);
    if (scheme == 0)
        return std::string(url);
    const std::size_t authority_end = url.find_first_of("/?#", scheme);
    const std::size_t at = url.substr(0, authority_end).rfind('@');
    if (at == std::string_view::npos || at < scheme)
        return std::string(url);
    return std::string(url.substr(0, scheme)) + std::string(url.substr(at + 1));
}

bool IsHttpUrl(std::string_view url) {
    const std::size_t scheme = SchemeLength(url);
    if (scheme == 0 || scheme >= url.size())
        return false;
    const char c = url[scheme];
    return c != '/' && c != '?' && c != '#' && c != '@' && c != ':';
}

}  // namespace vorn::readings
