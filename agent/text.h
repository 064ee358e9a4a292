// Small text helpers shared by the agent's line parsers (configuration and readings file).
#pragma once

#include <string>

namespace vorn::agent {

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

}  // namespace vorn::agent
