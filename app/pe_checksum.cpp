#include "app/pe_checksum.h"

namespace {

std::uint32_t ReadU32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}

}  // namespace

std::size_t PeChecksumOffset(const std::uint8_t* image, std::size_t size) {
    if (image == nullptr || size < 0x40 || image[0] != 'M' || image[1] != 'Z')
        return 0;
    const std::uint32_t peOffset = ReadU32(image + 0x3C);
    // Signature (4) + file header (20) + the checksum's place in the optional header (64).
    if (peOffset > size || size - peOffset < 4 + 20 + 64 + 4)
        return 0;
    const std::uint8_t* pe = image + peOffset;
    if (pe[0] != 'P' || pe[1] != 'E' || pe[2] != 0 || pe[3] != 0)
        return 0;
    return peOffset + 4 + 20 + 64;
}

std::uint32_t ComputePeChecksum(const std::uint8_t* image, std::size_t size) {
    const std::size_t field = PeChecksumOffset(image, size);
    if (field == 0)
        return 0;
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < size; i += 2) {
        if (i == field || i == field + 2)
            continue;
        std::uint32_t word = image[i];
        if (i + 1 < size)
            word |= std::uint32_t{image[i + 1]} << 8;
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint32_t>(sum + size);
}

bool PeChecksumMatches(const std::uint8_t* image, std::size_t size) {
    const std::size_t field = PeChecksumOffset(image, size);
    if (field == 0)
        return false;
    const std::uint32_t stored = ReadU32(image + field);
    return stored != 0 && stored == ComputePeChecksum(image, size);
}
