// Small text helpers shared by the parsers of the readings layer and of the agent.
#pragma once

#include <string>
#include <string_view>

namespace vorn::readings {

// `s` without leading and trailing blanks, tabs and carriage returns.
inline std::string Trim(const std::string& s) {
    std::size_t b = 0;
    std::size_t e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r'))
        ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r'))
        --e;
    return s.substr(b, e - b);
}

// `c` in lower case when it is an ASCII capital; every other byte as it is (no locale: names
// from an endpoint or a chip are compared the same way everywhere).
inline char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

inline std::string LowerAscii(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        c = LowerAscii(c);
    return out;
}

// True when `a` and `b` are equal but for the case of ASCII letters.
inline bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t k = 0; k < a.size(); ++k) {
        if (LowerAscii(a[k]) != LowerAscii(b[k]))
            return false;
    }
    return true;
}

// A whole decimal number from 0 to `max`: digits only, and no more of them than `max` has, so
// that a long run of leading zeros is refused as well (and the sum cannot overflow).
inline bool ParseWholeNumber(const std::string& text, long max, long* out) {
    std::size_t digits = 1;
    for (long m = max; m >= 10; m /= 10)
        ++digits;
    if (text.empty() || text.size() > digits)
        return false;
    long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    if (v > max)
        return false;
    *out = v;
    return true;
}

}  // namespace vorn::readings
