#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "app/pe_checksum.h"

namespace {

// A minimal PE image: DOS header pointing at a PE signature, file header, optional header.
std::vector<std::uint8_t> MakeImage(std::size_t size, std::uint32_t seed) {
    std::vector<std::uint8_t> image(size);
    std::mt19937 rng(seed);
    for (auto& b : image)
        b = static_cast<std::uint8_t>(rng());
    image[0] = 'M';
    image[1] = 'Z';
    const std::uint32_t pe = 0x80;
    for (int i = 0; i < 4; ++i)
        image[0x3C + i] = static_cast<std::uint8_t>(pe >> (8 * i));
    image[pe] = 'P';
    image[pe + 1] = 'E';
    image[pe + 2] = 0;
    image[pe + 3] = 0;
    return image;
}

void Stamp(std::vector<std::uint8_t>& image) {
    const std::size_t field = PeChecksumOffset(image.data(), image.size());
    const std::uint32_t sum = ComputePeChecksum(image.data(), image.size());
    for (int i = 0; i < 4; ++i)
        image[field + i] = static_cast<std::uint8_t>(sum >> (8 * i));
}

TEST(PeChecksum, StampedImageMatchesAndAnyFlippedByteIsSeen) {
    for (std::size_t size : {std::size_t{1024}, std::size_t{1025}, std::size_t{70001}}) {
        auto image = MakeImage(size, static_cast<std::uint32_t>(size));
        EXPECT_EQ(PeChecksumOffset(image.data(), image.size()), 0x80u + 4 + 20 + 64);
        Stamp(image);
        EXPECT_TRUE(PeChecksumMatches(image.data(), image.size()));
        for (std::size_t at : {std::size_t{2}, size / 2, size - 1}) {
            auto damaged = image;
            damaged[at] ^= 0x01;
            EXPECT_FALSE(PeChecksumMatches(damaged.data(), damaged.size())) << "byte " << at;
        }
    }
}

TEST(PeChecksum, ChecksumFieldDoesNotCountItself) {
    auto image = MakeImage(4096, 7);
    const std::uint32_t before = ComputePeChecksum(image.data(), image.size());
    image[PeChecksumOffset(image.data(), image.size())] ^= 0xFF;
    EXPECT_EQ(ComputePeChecksum(image.data(), image.size()), before);
}

TEST(PeChecksum, ZeroChecksumNeverMatches) {
    auto image = MakeImage(2048, 3);
    const std::size_t field = PeChecksumOffset(image.data(), image.size());
    for (int i = 0; i < 4; ++i)
        image[field + i] = 0;
    EXPECT_FALSE(PeChecksumMatches(image.data(), image.size()));
}

TEST(PeChecksum, DamagedHeadersAreRejectedWithoutReadingPastTheEnd) {
    auto image = MakeImage(512, 9);
    EXPECT_EQ(PeChecksumOffset(nullptr, 0), 0u);
    EXPECT_EQ(PeChecksumOffset(image.data(), 0x3F), 0u);
    auto noMz = image;
    noMz[0] = 'X';
    EXPECT_FALSE(PeChecksumMatches(noMz.data(), noMz.size()));
    auto farPe = image;
    farPe[0x3C] = 0xF0;
    farPe[0x3D] = 0xFF;
    farPe[0x3E] = 0xFF;
    farPe[0x3F] = 0xFF;
    EXPECT_EQ(PeChecksumOffset(farPe.data(), farPe.size()), 0u);
    // A header that ends just short of the checksum field.
    EXPECT_EQ(PeChecksumOffset(image.data(), 0x80 + 4 + 20 + 64 + 3), 0u);
    EXPECT_NE(PeChecksumOffset(image.data(), 0x80 + 4 + 20 + 64 + 4), 0u);
}

}  // namespace
