// CRC-32 as zlib and PNG compute it (reflected polynomial 0xEDB88320), fed in pieces.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn::history {

// The CRC of `data` continued from `crc` (0 to start): Crc32(Crc32(0, a), b) == Crc32(0, ab).
std::uint32_t Crc32(std::uint32_t crc, const std::uint8_t* data, std::size_t size);

}  // namespace vorn::history
