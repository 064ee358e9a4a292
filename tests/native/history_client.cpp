#include "tests/native/history_client.h"

#include <cstring>

namespace vorn::history_client {

namespace {

std::uint64_t Big(const std::uint8_t* p, int n) {
    std::uint64_t v = 0;
    for (int i = 0; i < n; ++i)
        v = (v << 8) | p[i];
    return v;
}

std::int32_t Value(const std::uint8_t* p) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(Big(p, 4)));
}

bool Zero(const std::uint8_t* p, std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) {
        if (p[i] != 0)
            return false;
    }
    return true;
}

}  // namespace

std::vector<std::uint8_t> Encode(const Request& r) {
    std::vector<std::uint8_t> d(r.size, 0);
    const std::uint8_t head[8] = {'V', 'N', 'R', 'Q', 3, 2, 0, 0};
    std::memcpy(d.data(), head, std::min<std::size_t>(8, d.size()));
    if (d.size() < 24)
        return d;
    for (int i = 0; i < 4; ++i)
        d[8 + i] = static_cast<std::uint8_t>(r.id >> (24 - 8 * i));
    d[12] = r.reading;
    d[13] = r.resolution;
    d[14] = static_cast<std::uint8_t>(r.max_slots >> 8);
    d[15] = static_cast<std::uint8_t>(r.max_slots);
    const auto start = static_cast<std::uint64_t>(r.start);
    for (int i = 0; i < 8; ++i)
        d[16 + i] = static_cast<std::uint8_t>(start >> (56 - 8 * i));
    return d;
}

std::optional<Reply> Decode(const std::vector<std::uint8_t>& d, const Request& request) {
    if (d.size() < 48 || d.size() > request.size)
        return std::nullopt;
    const std::uint8_t* p = d.data();
    if (std::memcmp(p, "VNRS", 4) != 0 || p[4] != 3 || p[5] != 2 || p[6] > 6 || p[7] != 0)
        return std::nullopt;
    if (Big(p + 8, 4) != request.id || p[12] != request.reading || p[13] != request.resolution)
        return std::nullopt;
    Reply r;
    r.status = p[6];
    r.count = static_cast<std::uint16_t>(Big(p + 14, 2));
    r.first = static_cast<std::int64_t>(Big(p + 16, 8));
    r.now = static_cast<std::int64_t>(Big(p + 24, 8));
    r.step = static_cast<std::uint32_t>(Big(p + 32, 4));
    r.extra = static_cast<std::uint32_t>(Big(p + 36, 4));
    r.low = Value(p + 40);
    r.high = Value(p + 44);
    if (r.status != 0) {
        const bool first_used = r.status == 5;
        const bool extra_used = r.status == 6;
        if (d.size() != 48 || r.count != 0 || (!first_used && (r.first != 0 || r.step != 0)) ||
            (!extra_used && r.extra != 0) || !Zero(p, 40, 48))
            return std::nullopt;
        return r;
    }
    const std::uint32_t steps[3] = {1, 60, 900};
    if (request.resolution > 2 || r.step != steps[request.resolution] || r.first % r.step != 0)
        return std::nullopt;
    const std::size_t entry = request.resolution == 0 ? 4 : 12;
    const std::size_t n = r.count;
    if (d.size() != 48 + n * entry + (n + 7) / 8)
        return std::nullopt;
    if (request.max_slots != 0 && n > request.max_slots)
        return std::nullopt;
    const std::uint8_t* bitmap = p + 48 + n * entry;
    if (n % 8 != 0 && (bitmap[n / 8] >> (n % 8)) != 0)
        return std::nullopt;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t* e = p + 48 + i * entry;
        if (entry == 4)
            r.slots.push_back({Value(e), Value(e), Value(e)});
        else
            r.slots.push_back({Value(e), Value(e + 4), Value(e + 8)});
        r.alarms.push_back((bitmap[i / 8] >> (i % 8)) & 1);
    }
    return r;
}

}  // namespace vorn::history_client
