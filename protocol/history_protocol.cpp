#include "protocol/history_protocol.h"

#include <cmath>
#include <cstring>

#include "protocol/big_endian.h"

namespace vorn::proto {

namespace {

constexpr std::uint8_t kRequestMagic[4] = {'V', 'N', 'R', 'Q'};
constexpr std::uint8_t kReplyMagic[4] = {'V', 'N', 'R', 'S'};

bool AllZero(const std::uint8_t* p, std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) {
        if (p[i] != 0)
            return false;
    }
    return true;
}

// Fixed units per real unit for each record position: 0.1 degC, 0.001 V, 1 RPM.
double Scale(int field) {
    if (field <= kSys)
        return 10.0;
    if (field <= kVM12)
        return 1000.0;
    return 1.0;
}

}  // namespace

std::uint32_t StepSeconds(std::uint8_t resolution) {
    switch (static_cast<HistoryResolution>(resolution)) {
        case HistoryResolution::kSamples:
            return 1;
        case HistoryResolution::kMinutes:
            return 60;
        case HistoryResolution::kQuarterHours:
            return 900;
    }
    return 0;
}

std::size_t EntrySize(std::uint8_t resolution) {
    if (StepSeconds(resolution) == 0)
        return 0;
    return resolution == static_cast<std::uint8_t>(HistoryResolution::kSamples) ? 4 : 12;
}

std::size_t HistoryReplySize(std::uint8_t resolution, std::size_t count) {
    return kHistoryHeaderSize + count * EntrySize(resolution) + (count + 7) / 8;
}

std::size_t SlotsThatFit(std::size_t datagram_size, std::uint8_t resolution) {
    const std::size_t entry = EntrySize(resolution);
    if (entry == 0 || datagram_size < kHistoryHeaderSize)
        return 0;
    // Each slot costs its entry and one bit of the bitmap, rounded up to whole bytes.
    std::size_t n = (datagram_size - kHistoryHeaderSize) * 8 / (entry * 8 + 1);
    while (n > 0 && HistoryReplySize(resolution, n) > datagram_size)
        --n;
    return n;
}

std::int32_t ToFixed(int field, double value) {
    if (!std::isfinite(value))
        return kHistoryGap;
    const double scaled = std::round(value * Scale(field));
    if (scaled >= 2147483647.0)
        return 2147483647;
    if (scaled <= -2147483647.0)
        return -2147483647;
    return static_cast<std::int32_t>(scaled);
}

bool IsVersion3(const std::uint8_t* data, std::size_t len) {
    return data != nullptr && len >= 5 && std::memcmp(data, kRequestMagic, 4) == 0 &&
           data[4] == kVersion3;
}

bool DecodeHistoryRequest(const std::uint8_t* data, std::size_t len, HistoryRequest* out) {
    if (!IsVersion3(data, len) || len < kHistoryHeaderSize || len > kHistoryMaxDatagram)
        return false;
    if (data[5] != kKindHistoryPage || !AllZero(data, 6, 8) || !AllZero(data, 24, len))
        return false;
    if (out) {
        out->id = static_cast<std::uint32_t>(GetBigEndian(data + 8, 4));
        out->reading = data[12];
        out->resolution = data[13];
        out->max_slots = static_cast<std::uint16_t>(GetBigEndian(data + 14, 2));
        out->start = static_cast<std::int64_t>(GetBigEndian(data + 16, 8));
        out->size = len;
    }
    return true;
}

std::size_t EncodeHistoryReply(const HistoryReplyHeader& h, const HistorySlot* slots,
                               std::uint8_t* out) {
    const bool page = h.status == HistoryStatus::kPage;
    const std::size_t count = page ? h.count : 0;
    const std::size_t size = HistoryReplySize(h.resolution, count);
    std::memset(out, 0, page ? size : kHistoryHeaderSize);
    std::memcpy(out, kReplyMagic, 4);
    out[4] = kVersion3;
    out[5] = kKindHistoryPage;
    out[6] = static_cast<std::uint8_t>(h.status);
    PutBigEndian(out + 8, h.id, 4);
    out[12] = h.reading;
    out[13] = h.resolution;
    PutBigEndian(out + 14, count, 2);
    PutBigEndian(out + 16, static_cast<std::uint64_t>(h.first), 8);
    PutBigEndian(out + 24, static_cast<std::uint64_t>(h.now), 8);
    PutBigEndian(out + 32, h.step, 4);
    PutBigEndian(out + 36, h.extra, 4);
    if (!page)
        return kHistoryHeaderSize;
    PutBigEndian(out + 40, static_cast<std::uint32_t>(h.low), 4);
    PutBigEndian(out + 44, static_cast<std::uint32_t>(h.high), 4);
    const bool samples = EntrySize(h.resolution) == 4;
    std::uint8_t* p = out + kHistoryHeaderSize;
    for (std::size_t i = 0; i < count; ++i) {
        if (samples) {
            PutBigEndian(p, static_cast<std::uint32_t>(slots[i].mean), 4);
            p += 4;
        } else {
            PutBigEndian(p, static_cast<std::uint32_t>(slots[i].min), 4);
            PutBigEndian(p + 4, static_cast<std::uint32_t>(slots[i].mean), 4);
            PutBigEndian(p + 8, static_cast<std::uint32_t>(slots[i].max), 4);
            p += 12;
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (slots[i].alarm)
            p[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
    }
    return size;
}

std::size_t EncodeHistoryRequest(const HistoryRequest& r, std::uint8_t* out) {
    if (r.size < kHistoryHeaderSize || r.size > kHistoryMaxDatagram)
        return 0;
    std::memset(out, 0, r.size);
    std::memcpy(out, kRequestMagic, 4);
    out[4] = kVersion3;
    out[5] = kKindHistoryPage;
    PutBigEndian(out + 8, r.id, 4);
    out[12] = r.reading;
    out[13] = r.resolution;
    PutBigEndian(out + 14, r.max_slots, 2);
    PutBigEndian(out + 16, static_cast<std::uint64_t>(r.start), 8);
    return r.size;
}

bool DecodeHistoryReply(const std::uint8_t* data, std::size_t len, const HistoryRequest& request,
                        HistoryReplyHeader* header, HistorySlot* slots) {
    if (data == nullptr || len < kHistoryHeaderSize || std::memcmp(data, kReplyMagic, 4) != 0 ||
        data[4] != kVersion3 || data[5] != kKindHistoryPage || data[6] > 6 || data[7] != 0)
        return false;
    if (GetBigEndian(data + 8, 4) != request.id || data[12] != request.reading ||
        data[13] != request.resolution)
        return false;
    HistoryReplyHeader h;
    h.status = static_cast<HistoryStatus>(data[6]);
    h.id = request.id;
    h.reading = data[12];
    h.resolution = data[13];
    h.count = static_cast<std::uint16_t>(GetBigEndian(data + 14, 2));
    h.first = static_cast<std::int64_t>(GetBigEndian(data + 16, 8));
    h.now = static_cast<std::int64_t>(GetBigEndian(data + 24, 8));
    h.step = static_cast<std::uint32_t>(GetBigEndian(data + 32, 4));
    h.extra = static_cast<std::uint32_t>(GetBigEndian(data + 36, 4));
    const std::uint32_t step = StepSeconds(request.resolution);
    if (h.status != HistoryStatus::kPage) {
        // A refusal is the bare header, with only the fields its status names.
        if (len != kHistoryHeaderSize || h.count != 0 || !AllZero(data, 40, 48))
            return false;
        const bool out_of_range = h.status == HistoryStatus::kOutOfRange;
        if (!out_of_range && (h.first != 0 || h.step != 0))
            return false;
        if (out_of_range && (step == 0 || h.step != step || h.first % step != 0))
            return false;
        if (h.status != HistoryStatus::kOverBudget && h.extra != 0)
            return false;
        if (header)
            *header = h;
        return true;
    }
    const std::size_t allowed = SlotsThatFit(request.size, request.resolution);
    if (step == 0 || h.step != step || h.first % step != 0 || h.count == 0 || h.count > allowed ||
        (request.max_slots != 0 && h.count > request.max_slots) ||
        len != HistoryReplySize(request.resolution, h.count))
        return false;
    const std::uint8_t* bitmap = data + kHistoryHeaderSize + h.count * EntrySize(h.resolution);
    if (h.count % 8 != 0 && (bitmap[h.count / 8] >> (h.count % 8)) != 0)
        return false;
    h.low = static_cast<std::int32_t>(static_cast<std::uint32_t>(GetBigEndian(data + 40, 4)));
    h.high = static_cast<std::int32_t>(static_cast<std::uint32_t>(GetBigEndian(data + 44, 4)));
    const bool samples = EntrySize(h.resolution) == 4;
    const std::uint8_t* p = data + kHistoryHeaderSize;
    for (std::size_t i = 0; i < h.count; ++i) {
        HistorySlot slot;
        const auto value = [&](int at) {
            return static_cast<std::int32_t>(static_cast<std::uint32_t>(GetBigEndian(p + at, 4)));
        };
        if (samples) {
            slot.min = slot.mean = slot.max = value(0);
            p += 4;
        } else {
            slot.min = value(0);
            slot.mean = value(4);
            slot.max = value(8);
            p += 12;
        }
        slot.alarm = ((bitmap[i / 8] >> (i % 8)) & 1) != 0;
        if (slots)
            slots[i] = slot;
    }
    if (header)
        *header = h;
    return true;
}

}  // namespace vorn::proto
