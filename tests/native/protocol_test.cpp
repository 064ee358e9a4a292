// The wire format of both versions, byte by byte: what the encoders write and what the
// decoders accept.
#include "protocol/sensor_protocol.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace vorn::proto {
namespace {

Fields SampleFields() {
    const char* const texts[kFieldCount] = {"45.0", "38.5", "-",     "1.35",  "1.05",
                                            "3.31", "5.02", "-5.04", "12.03", "-12.05",
                                            "2812", "0",    "-"};
    Fields f{};
    for (int k = 0; k < kFieldCount; ++k)
        f[k] = MakeField(texts[k]);
    return f;
}

// A version 1 reply written out by hand: the bytes every agent and client already exchange.
Datagram HandWrittenReply(std::uint32_t id, const Fields& f) {
    Datagram d{};
    std::memcpy(d.data(), "VNRS", 4);
    d[4] = 1;
    d[8] = static_cast<std::uint8_t>(id >> 24);
    d[9] = static_cast<std::uint8_t>(id >> 16);
    d[10] = static_cast<std::uint8_t>(id >> 8);
    d[11] = static_cast<std::uint8_t>(id);
    for (int k = 0; k < kFieldCount; ++k)
        std::memcpy(d.data() + 12 + 8 * k, f[k].data(), 8);
    return d;
}

TEST(ProtocolVersion1, BytesAreExactlyTheHandWrittenOnes) {
    Datagram request{};
    std::memcpy(request.data(), "VNRQ", 4);
    request[4] = 1;
    request[5] = 1;
    request[8] = 0xDE, request[9] = 0xAD, request[10] = 0xBE, request[11] = 0xEF;
    EXPECT_EQ(EncodeRequest(0xDEADBEEFu), request);
    EXPECT_EQ(EncodeRequest(0xDEADBEEFu, kVersion1), request);

    const Fields f = SampleFields();
    const Datagram reply = HandWrittenReply(0x01020304u, f);
    EXPECT_EQ(EncodeReply(0x01020304u, ReplyStatus::kReadings, f), reply);
    // A version 1 reply carries no mask, whatever the caller has.
    EXPECT_EQ(EncodeReply(0x01020304u, kVersion1, ReplyStatus::kReadings, f, 0x1FFF), reply);

    ReplyStatus status;
    Fields got;
    std::uint16_t mask = 77;
    ASSERT_TRUE(
        DecodeReply(reply.data(), reply.size(), 0x01020304u, kVersion1, &status, &got, &mask));
    EXPECT_EQ(got, f);
    EXPECT_EQ(mask, 0);
    // A version 1 reply with anything at offset 116 is not well formed.
    Datagram spoilt = reply;
    spoilt[117] = 1;
    EXPECT_FALSE(DecodeReply(spoilt.data(), spoilt.size(), 0x01020304u, &status, &got));
}

TEST(ProtocolVersions, RequestsOfVersion1And2AreDecodedWithTheirVersionOthersDropped) {
    for (const std::uint8_t v : {kVersion1, kVersion2}) {
        const Datagram d = EncodeRequest(0xA5A5A5A5u, v);
        EXPECT_EQ(d[4], v);
        std::uint32_t id = 0;
        std::uint8_t version = 0;
        ASSERT_TRUE(DecodeRequest(d.data(), d.size(), &id, &version));
        EXPECT_EQ(id, 0xA5A5A5A5u);
        EXPECT_EQ(version, v);
    }
    for (const std::uint8_t v : {0, 3, 4, 0x81, 0xFF}) {
        Datagram d = EncodeRequest(1, kVersion2);
        d[4] = v;
        std::uint32_t id = 0;
        std::uint8_t version = 0;
        EXPECT_FALSE(DecodeRequest(d.data(), d.size(), &id, &version)) << int{v};
    }
    // A server that knows version 1 only drops a version 2 request.
    std::uint32_t id = 0;
    EXPECT_TRUE(DecodeRequest(EncodeRequest(5).data(), kDatagramSize, &id));
    EXPECT_EQ(id, 5u);
    EXPECT_FALSE(DecodeRequest(EncodeRequest(6, kVersion2).data(), kDatagramSize, &id));
    // The mask's place is reserved in a request.
    Datagram d = EncodeRequest(1, kVersion2);
    d[116] = 1;
    EXPECT_FALSE(DecodeRequest(d.data(), d.size(), nullptr, nullptr));
}

TEST(ProtocolVersion2, ReplyCarriesTheMaskBigEndianAndKeepsItsRules) {
    const Fields f = SampleFields();  // SYS and FAN3 are "-"
    const Datagram d = EncodeReply(9, kVersion2, ReplyStatus::kReadings, f, 0xFFFF);
    EXPECT_EQ(d[4], 2);
    // Bits 13-15 go, and so do SYS (bit 2) and FAN3 (bit 12), which have no value.
    const std::uint16_t expected = 0x1FFF & ~(1u << kSys) & ~(1u << kFan3);
    EXPECT_EQ(d[116], expected >> 8);
    EXPECT_EQ(d[117], expected & 0xFF);
    for (std::size_t i = 118; i < kDatagramSize; ++i)
        EXPECT_EQ(d[i], 0) << i;
    // Apart from the version and the mask it is the version 1 reply.
    Datagram as_v1 = d;
    as_v1[4] = 1;
    as_v1[116] = as_v1[117] = 0;
    EXPECT_EQ(as_v1, HandWrittenReply(9, f));

    const Datagram one = EncodeReply(9, kVersion2, ReplyStatus::kReadings, f, 0x0101);
    EXPECT_EQ(one[116], 0x01);
    EXPECT_EQ(one[117], 0x01);

    // No sensors: all NUL fields and no mask.
    const Datagram none = EncodeReply(9, kVersion2, ReplyStatus::kNoSensors, f, 0x1FFF);
    for (std::size_t i = 12; i < kDatagramSize; ++i)
        EXPECT_EQ(none[i], 0) << i;

    // A field that is not well formed goes out as "-", and its bit with it.
    Fields bad = f;
    bad[kCpu].fill('x');
    const Datagram fixed = EncodeReply(9, kVersion2, ReplyStatus::kReadings, bad, 0x0001);
    EXPECT_EQ(fixed[12], '-');
    EXPECT_EQ(fixed[117], 0);
}

TEST(ProtocolVersion2, DecoderTakesOnlyWellFormedReplies) {
    const Fields f = SampleFields();
    const Datagram good = EncodeReply(42, kVersion2, ReplyStatus::kReadings, f, 0x0C03);
    ReplyStatus status;
    Fields got;
    std::uint16_t mask = 0;
    ASSERT_TRUE(DecodeReply(good.data(), good.size(), 42, kVersion2, &status, &got, &mask));
    EXPECT_EQ(status, ReplyStatus::kReadings);
    EXPECT_EQ(got, f);
    EXPECT_EQ(mask, 0x0C03);

    // The reply must be in the version asked for, either way round.
    EXPECT_FALSE(DecodeReply(good.data(), good.size(), 42, kVersion1, &status, &got, &mask));
    const Datagram v1 = EncodeReply(42, ReplyStatus::kReadings, f);
    EXPECT_FALSE(DecodeReply(v1.data(), v1.size(), 42, kVersion2, &status, &got, &mask));
    EXPECT_FALSE(DecodeReply(good.data(), good.size(), 42, 3, &status, &got, &mask));
    EXPECT_FALSE(DecodeReply(good.data(), good.size(), 43, kVersion2, &status, &got, &mask));

    std::vector<Datagram> bad;
    for (const std::uint8_t high : {0x20, 0x40, 0x80}) {
        Datagram d = good;
        d[116] |= high;
        bad.push_back(d);
    }
    for (std::size_t at = 118; at < kDatagramSize; ++at) {
        Datagram d = good;
        d[at] = 1;
        bad.push_back(d);
    }
    Datagram none = EncodeReply(42, kVersion2, ReplyStatus::kNoSensors, f, 0);
    ASSERT_TRUE(DecodeReply(none.data(), none.size(), 42, kVersion2, &status, &got, &mask));
    EXPECT_EQ(status, ReplyStatus::kNoSensors);
    none[117] = 1;  // status 1 with an alarm
    bad.push_back(none);
    for (const Datagram& d : bad)
        EXPECT_FALSE(DecodeReply(d.data(), d.size(), 42, kVersion2, &status, &got, &mask));

    // A "-" field never shows an alarm, even when a sloppy agent sets its bit.
    Datagram dash = good;
    dash[116] = 0x10;  // bit 12, FAN3, whose field is "-"
    dash[117] = 0x04;  // bit 2, SYS, whose field is "-"
    ASSERT_TRUE(DecodeReply(dash.data(), dash.size(), 42, kVersion2, &status, &got, &mask));
    EXPECT_EQ(mask, 0);
}

}  // namespace
}  // namespace vorn::proto
