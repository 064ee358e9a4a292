// The checksum field of a PE file's optional header, and the sum it should hold. The build
// stamps the sum into the program after linking; at start the program recomputes it over
// its own file to detect a modified executable. Portable.
#pragma once

#include <cstddef>
#include <cstdint>

// Offset of the checksum field in `image`, or 0 when the bytes are no PE file.
std::size_t PeChecksumOffset(const std::uint8_t* image, std::size_t size);

// The file's checksum as the loader computes it: 16-bit words summed with end-around
// carry, the checksum field itself counted as zero, plus the file size. 0 for no PE file.
std::uint32_t ComputePeChecksum(const std::uint8_t* image, std::size_t size);

// True when the stored checksum is present and equals the computed one.
bool PeChecksumMatches(const std::uint8_t* image, std::size_t size);
