// Unsigned integers of 1 to 8 bytes in network order, as the history pages and the history
// file both store them.
#pragma once

#include <cstdint>

namespace vorn::proto {

// Writes the low `bytes` bytes of `v` to `p`, most significant first.
inline void PutBigEndian(std::uint8_t* p, std::uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) {
        p[i] = static_cast<std::uint8_t>(v);
        v >>= 8;
    }
}

// Reads `bytes` bytes at `p`, most significant first.
inline std::uint64_t GetBigEndian(const std::uint8_t* p, int bytes) {
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v = (v << 8) | p[i];
    return v;
}

}  // namespace vorn::proto
