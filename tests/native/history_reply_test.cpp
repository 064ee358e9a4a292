// The client's side of version 3: requests as docs/protocol.md lays them out (its example in
// hex), and replies checked by the client rules, every rule broken once.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "protocol/history_protocol.h"

namespace {

namespace proto = vorn::proto;
using Bytes = std::vector<std::uint8_t>;

proto::HistoryRequest Request(std::uint8_t resolution = 1, std::size_t size = 96) {
    proto::HistoryRequest r;
    r.id = 0x1234abcdu;
    r.reading = 0;
    r.resolution = resolution;
    r.max_slots = 3;
    r.start = -180;
    r.size = size;
    return r;
}

// The document's example reply: three minutes of CPU, the middle one a gap, the first in alarm.
Bytes ExamplePage() {
    proto::HistoryReplyHeader h;
    h.id = 0x1234abcdu;
    h.reading = 0;
    h.resolution = 1;
    h.count = 3;
    h.first = 1764547020;
    h.now = 1764547205;
    h.step = 60;
    h.extra = 500;
    h.low = proto::kHistoryGap;
    h.high = 800;
    const proto::HistorySlot slots[3] = {{440, 455, 475, true}, {}, {450, 451, 452, false}};
    Bytes out(proto::HistoryReplySize(1, 3));
    EXPECT_EQ(proto::EncodeHistoryReply(h, slots, out.data()), out.size());
    return out;
}

bool Decodes(const Bytes& d, const proto::HistoryRequest& r = Request()) {
    return proto::DecodeHistoryReply(d.data(), d.size(), r, nullptr, nullptr);
}

TEST(HistoryClientRequest, BytesAsTheDocumentShowsThemAndSizesOutOfRangeRefused) {
    const proto::HistoryRequest r = Request();
    Bytes out(r.size, 0xEE);
    ASSERT_EQ(proto::EncodeHistoryRequest(r, out.data()), 96u);
    const Bytes head = {0x56, 0x4e, 0x52, 0x51, 0x03, 0x02, 0x00, 0x00, 0x12, 0x34, 0xab, 0xcd,
                        0x00, 0x01, 0x00, 0x03, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x4c};
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 24), head);
    for (std::size_t i = 24; i < out.size(); ++i)
        ASSERT_EQ(out[i], 0) << "padding at " << i;
    proto::HistoryRequest back;
    ASSERT_TRUE(proto::DecodeHistoryRequest(out.data(), out.size(), &back));
    EXPECT_EQ(back.start, -180);
    EXPECT_EQ(back.max_slots, 3);
    proto::HistoryRequest bad = r;
    bad.size = 47;
    EXPECT_EQ(proto::EncodeHistoryRequest(bad, out.data()), 0u);
    bad.size = 1233;
    EXPECT_EQ(proto::EncodeHistoryRequest(bad, out.data()), 0u);
}

TEST(HistoryClientReply, TheExamplePageDecodesWithItsSlotsGapAndAlarm) {
    const Bytes page = ExamplePage();
    ASSERT_EQ(page.size(), 85u);
    // The document's hex, byte for byte.
    const Bytes document = {
        0x56, 0x4e, 0x52, 0x53, 0x03, 0x02, 0x00, 0x00, 0x12, 0x34, 0xab, 0xcd, 0x00, 0x01, 0x00,
        0x03, 0x00, 0x00, 0x00, 0x00, 0x69, 0x2c, 0xd9, 0xcc, 0x00, 0x00, 0x00, 0x00, 0x69, 0x2c,
        0xda, 0x85, 0x00, 0x00, 0x00, 0x3c, 0x00, 0x00, 0x01, 0xf4, 0x80, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x03, 0x20, 0x00, 0x00, 0x01, 0xb8, 0x00, 0x00, 0x01, 0xc7, 0x00, 0x00, 0x01, 0xdb,
        0x80, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01,
        0xc2, 0x00, 0x00, 0x01, 0xc3, 0x00, 0x00, 0x01, 0xc4, 0x01};
    EXPECT_EQ(page, document);
    proto::HistoryReplyHeader h;
    proto::HistorySlot slots[7];
    ASSERT_TRUE(proto::DecodeHistoryReply(page.data(), page.size(), Request(), &h, slots));
    EXPECT_EQ(h.count, 3);
    EXPECT_EQ(h.first, 1764547020);
    EXPECT_EQ(h.now, 1764547205);
    EXPECT_EQ(h.extra, 500u);
    EXPECT_EQ(h.low, proto::kHistoryGap);
    EXPECT_EQ(h.high, 800);
    EXPECT_EQ(slots[0].max, 475);
    EXPECT_TRUE(slots[0].alarm);
    EXPECT_EQ(slots[1].mean, proto::kHistoryGap);
    EXPECT_FALSE(slots[1].alarm);
    EXPECT_EQ(slots[2].min, 450);
}

TEST(HistoryClientReply, EveryBrokenRuleDropsThePage) {
    const Bytes good = ExamplePage();
    ASSERT_TRUE(Decodes(good));
    const auto broken = [&](std::size_t at, std::uint8_t value) {
        Bytes d = good;
        d[at] = value;
        return d;
    };
    EXPECT_FALSE(Decodes(broken(0, 'X'))) << "magic";
    EXPECT_FALSE(Decodes(broken(4, 2))) << "version";
    EXPECT_FALSE(Decodes(broken(5, 1))) << "kind";
    EXPECT_FALSE(Decodes(broken(6, 7))) << "status above 6";
    EXPECT_FALSE(Decodes(broken(7, 1))) << "byte 7";
    EXPECT_FALSE(Decodes(broken(11, 0xce))) << "another request's id";
    EXPECT_FALSE(Decodes(broken(12, 1))) << "another reading";
    EXPECT_FALSE(Decodes(broken(13, 2))) << "another resolution";
    EXPECT_FALSE(Decodes(broken(15, 4))) << "a count that does not match the size";
    EXPECT_FALSE(Decodes(broken(23, 0xcd))) << "first not a multiple of the step";
    EXPECT_FALSE(Decodes(broken(35, 61))) << "another step";
    EXPECT_FALSE(Decodes(broken(84, 0x09))) << "a bitmap bit past the count";
    EXPECT_FALSE(Decodes(Bytes(good.begin(), good.end() - 1))) << "cut short";
    Bytes longer = good;
    longer.push_back(0);
    EXPECT_FALSE(Decodes(longer)) << "one byte too many";
    proto::HistoryRequest fewer = Request();
    fewer.max_slots = 2;
    EXPECT_FALSE(Decodes(good, fewer)) << "more slots than asked for";
    EXPECT_FALSE(Decodes(good, Request(1, 84))) << "longer than the request";
    EXPECT_FALSE(Decodes(Bytes(good.begin(), good.begin() + 47))) << "shorter than a header";
}

TEST(HistoryClientReply, RefusalsCarryOnlyTheirFields) {
    const auto refusal = [](proto::HistoryStatus status, std::int64_t first, std::uint32_t step,
                            std::uint32_t extra) {
        proto::HistoryReplyHeader h;
        h.status = status;
        h.id = 0x1234abcdu;
        h.reading = 0;
        h.resolution = 1;
        h.first = first;
        h.now = 1764547205;
        h.step = step;
        h.extra = extra;
        Bytes out(proto::kHistoryHeaderSize);
        proto::EncodeHistoryReply(h, nullptr, out.data());
        return out;
    };
    proto::HistoryReplyHeader h;
    const Bytes busy = refusal(proto::HistoryStatus::kOverBudget, 0, 0, 250);
    ASSERT_TRUE(proto::DecodeHistoryReply(busy.data(), busy.size(), Request(), &h, nullptr));
    EXPECT_EQ(h.status, proto::HistoryStatus::kOverBudget);
    EXPECT_EQ(h.extra, 250u) << "the wait";
    const Bytes old = refusal(proto::HistoryStatus::kOutOfRange, 1764547200 - 2879 * 60, 60, 0);
    ASSERT_TRUE(proto::DecodeHistoryReply(old.data(), old.size(), Request(), &h, nullptr));
    EXPECT_EQ(h.first, 1764547200 - 2879 * 60) << "the oldest slot kept";
    EXPECT_TRUE(Decodes(refusal(proto::HistoryStatus::kHistoryOff, 0, 0, 0)));
    EXPECT_FALSE(Decodes(refusal(proto::HistoryStatus::kHistoryOff, 0, 0, 9))) << "a wait";
    EXPECT_FALSE(Decodes(refusal(proto::HistoryStatus::kHistoryOff, 60, 0, 0))) << "a first";
    EXPECT_FALSE(Decodes(refusal(proto::HistoryStatus::kOutOfRange, 1764547201, 60, 0)))
        << "an oldest slot off the step";
    Bytes padded = refusal(proto::HistoryStatus::kHistoryOff, 0, 0, 0);
    padded.push_back(0);
    EXPECT_FALSE(Decodes(padded)) << "a refusal is exactly the header";
    Bytes limits = refusal(proto::HistoryStatus::kHistoryOff, 0, 0, 0);
    limits[47] = 1;
    EXPECT_FALSE(Decodes(limits)) << "limits in a refusal";
}

}  // namespace
