#include "history/store.h"

#include <algorithm>

namespace vorn::history {

namespace {

// A slot's sample count never reaches this (900 s at 100 samples a second is 90,000), and
// below it a sum of int32 values cannot overflow.
constexpr std::uint32_t kMaxCount = 1u << 24;
// Serialization works in chunks of this size, so it needs no buffer of the store's size.
constexpr std::size_t kChunk = 16384;

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
    const std::int64_t q = a / b;
    return (a % b != 0 && a < 0) ? q - 1 : q;
}

// The mean rounded half away from zero, in integers.
std::int32_t Mean(std::int64_t sum, std::uint32_t count) {
    const std::int64_t n = count;
    const std::int64_t q = sum >= 0 ? (2 * sum + n) / (2 * n) : -((-2 * sum + n) / (2 * n));
    return static_cast<std::int32_t>(q);
}

class Writer {
public:
    explicit Writer(const ByteSink& sink) : sink_(sink) {}
    void Put(std::uint64_t v, int bytes) {
        if (used_ + static_cast<std::size_t>(bytes) > kChunk)
            Flush();
        for (int i = bytes - 1; i >= 0; --i)
            buf_[used_ + static_cast<std::size_t>(bytes - 1 - i)] =
                static_cast<std::uint8_t>(v >> (8 * i));
        used_ += static_cast<std::size_t>(bytes);
    }
    bool Flush() {
        if (used_ > 0 && ok_)
            ok_ = sink_(buf_.data(), used_);
        used_ = 0;
        return ok_;
    }

private:
    const ByteSink& sink_;
    std::array<std::uint8_t, kChunk> buf_{};
    std::size_t used_ = 0;
    bool ok_ = true;
};

class Reader {
public:
    explicit Reader(const ByteSource& source) : source_(source) {}
    bool Get(std::uint64_t* v, int bytes) {
        if (pos_ + static_cast<std::size_t>(bytes) > have_ && !Refill(bytes))
            return false;
        std::uint64_t x = 0;
        for (int i = 0; i < bytes; ++i)
            x = (x << 8) | buf_[pos_++];
        *v = x;
        return true;
    }
    void Expect(std::size_t total) { left_ = total; }

private:
    bool Refill(int bytes) {
        std::copy(buf_.begin() + static_cast<std::ptrdiff_t>(pos_),
                  buf_.begin() + static_cast<std::ptrdiff_t>(have_), buf_.begin());
        have_ -= pos_;
        pos_ = 0;
        const std::size_t want = std::min(kChunk - have_, left_);
        if (want > 0) {
            if (!source_(buf_.data() + have_, want))
                return false;
            have_ += want;
            left_ -= want;
        }
        return have_ >= static_cast<std::size_t>(bytes);
    }

    const ByteSource& source_;
    std::array<std::uint8_t, kChunk> buf_{};
    std::size_t pos_ = 0;
    std::size_t have_ = 0;
    std::size_t left_ = 0;
};

}  // namespace

std::size_t Store::Ring::Index(std::int64_t slot) const {
    return static_cast<std::size_t>(slot % shape.slots);
}

void Store::Ring::ClearSlot(std::int64_t slot) {
    const std::size_t i = Index(slot);
    std::fill_n(values.begin() + static_cast<std::ptrdiff_t>(i * kReadings * Width()),
                kReadings * Width(), kGap);
    alarms[i] = 0;
}

void Store::Ring::Reset() {
    std::fill(values.begin(), values.end(), kGap);
    std::fill(alarms.begin(), alarms.end(), std::uint16_t{0});
    sum.fill(0);
    count.fill(0);
    newest = -1;
}

// Makes `slot` (not older than the newest) the newest slot: the slots skipped on the way,
// at most a ring's worth, become gaps.
void Store::Ring::MoveTo(std::int64_t slot) {
    if (newest >= 0 && slot == newest)
        return;
    const std::int64_t from = newest < 0 ? slot : newest + 1;
    const std::int64_t skipped = std::min(slot - from + 1, shape.slots);
    for (std::int64_t s = slot - skipped + 1; s <= slot; ++s)
        ClearSlot(s);
    newest = slot;
    sum.fill(0);
    count.fill(0);
}

// Discards the slots from `slot` on; the slot before it becomes the newest.
void Store::Ring::DropFrom(std::int64_t slot) {
    if (newest < 0 || slot > newest)
        return;
    const std::int64_t dropped = std::min(newest - slot + 1, shape.slots);
    for (std::int64_t s = newest - dropped + 1; s <= newest; ++s)
        ClearSlot(s);
    newest = slot - 1;
    sum.fill(0);
    count.fill(0);
}

void Store::Ring::Add(std::int64_t slot, const Sample& sample) {
    MoveTo(slot);
    const std::size_t i = Index(slot);
    std::int32_t* v = values.data() + i * kReadings * Width();
    if (!shape.aggregate) {
        std::copy(sample.values.begin(), sample.values.end(), v);
        alarms[i] = sample.alarm_mask & proto::kAlarmMaskBits;
        return;
    }
    for (int k = 0; k < kReadings; ++k) {
        const std::int32_t x = sample.values[k];
        if (x == kGap || count[k] >= kMaxCount)
            continue;
        std::int32_t* m = v + k * 3;
        m[0] = m[0] == kGap ? x : std::min(m[0], x);
        m[2] = m[2] == kGap ? x : std::max(m[2], x);
        sum[k] += x;
        ++count[k];
        m[1] = Mean(sum[k], count[k]);
    }
    alarms[i] |= sample.alarm_mask & proto::kAlarmMaskBits;
}

Store::Store() {
    for (int r = 0; r < proto::kHistoryResolutions; ++r) {
        Ring& ring = rings_[r];
        ring.shape = kRingShapes[r];
        ring.values.assign(static_cast<std::size_t>(ring.shape.slots) * kReadings * ring.Width(),
                           kGap);
        ring.alarms.assign(static_cast<std::size_t>(ring.shape.slots), 0);
    }
}

void Store::Record(std::int64_t unix_seconds, const Sample& sample) {
    if (unix_seconds < 0)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (newest_time_ >= 0 && unix_seconds < newest_time_) {
        if (newest_time_ - unix_seconds <= kSlewSeconds)
            return;
        for (Ring& ring : rings_)
            ring.DropFrom(unix_seconds / ring.shape.step);
    }
    newest_time_ = unix_seconds;
    for (Ring& ring : rings_)
        ring.Add(unix_seconds / ring.shape.step, sample);
}

void Store::Query(int resolution, int reading, std::int64_t first, std::size_t count,
                  proto::HistorySlot* out) const {
    std::fill_n(out, count, proto::HistorySlot{});
    if (resolution < 0 || resolution >= proto::kHistoryResolutions || reading < 0 ||
        reading >= kReadings)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    const Ring& ring = rings_[resolution];
    if (ring.newest < 0)
        return;
    const std::int64_t first_slot = FloorDiv(first, ring.shape.step);
    for (std::size_t n = 0; n < count; ++n) {
        const std::int64_t slot = first_slot + static_cast<std::int64_t>(n);
        if (slot > ring.newest || slot <= ring.newest - ring.shape.slots || slot < 0)
            continue;
        const std::size_t i = ring.Index(slot);
        const std::int32_t* v =
            ring.values.data() + (i * kReadings + static_cast<std::size_t>(reading)) * ring.Width();
        out[n].min = v[0];
        out[n].mean = ring.shape.aggregate ? v[1] : v[0];
        out[n].max = ring.shape.aggregate ? v[2] : v[0];
        out[n].alarm = (ring.alarms[i] >> reading) & 1u;
    }
}

std::int64_t Store::newest() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return newest_time_;
}

void Store::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    ClearLocked();
}

void Store::ClearLocked() {
    newest_time_ = -1;
    for (Ring& ring : rings_)
        ring.Reset();
}

std::size_t Store::SerializedSize() {
    std::size_t size = 8;
    for (const RingShape& shape : kRingShapes) {
        const std::size_t slots = static_cast<std::size_t>(shape.slots);
        size += 8 + (shape.aggregate ? kReadings * 12 : 0) +
                slots * kReadings * (shape.aggregate ? 3 : 1) * 4 + slots * 2;
    }
    return size;
}

// Body: the newest sample's time; then per ring its newest slot, for the aggregate rings the
// newest slot's 13 sums (int64) and counts (uint32), the values (int32, slot by slot) and the
// alarm masks (uint16). Big-endian; -1 is all ones.
bool Store::Serialize(const ByteSink& sink) const {
    std::lock_guard<std::mutex> lock(mutex_);
    Writer w(sink);
    w.Put(static_cast<std::uint64_t>(newest_time_), 8);
    for (const Ring& ring : rings_) {
        w.Put(static_cast<std::uint64_t>(ring.newest), 8);
        if (ring.shape.aggregate) {
            for (int k = 0; k < kReadings; ++k) {
                w.Put(static_cast<std::uint64_t>(ring.sum[k]), 8);
                w.Put(ring.count[k], 4);
            }
        }
        for (const std::int32_t v : ring.values)
            w.Put(static_cast<std::uint32_t>(v), 4);
        for (const std::uint16_t a : ring.alarms)
            w.Put(a, 2);
    }
    return w.Flush();
}

bool Store::Deserialize(const ByteSource& source) {
    std::lock_guard<std::mutex> lock(mutex_);
    ClearLocked();
    Reader r(source);
    r.Expect(SerializedSize());
    std::uint64_t x = 0;
    auto fail = [this] {
        ClearLocked();
        return false;
    };
    if (!r.Get(&x, 8))
        return fail();
    const auto newest_time = static_cast<std::int64_t>(x);
    if (newest_time < -1)
        return fail();
    for (Ring& ring : rings_) {
        if (!r.Get(&x, 8))
            return fail();
        ring.newest = static_cast<std::int64_t>(x);
        // Every ring's newest slot is the one of the newest sample, or none at all.
        const std::int64_t expected = newest_time < 0 ? -1 : newest_time / ring.shape.step;
        if (ring.newest != expected)
            return fail();
        if (ring.shape.aggregate) {
            for (int k = 0; k < kReadings; ++k) {
                std::uint64_t count = 0;
                if (!r.Get(&x, 8) || !r.Get(&count, 4) || count > kMaxCount)
                    return fail();
                const auto sum = static_cast<std::int64_t>(x);
                const std::int64_t bound = static_cast<std::int64_t>(count) * 2147483648LL;
                if (sum > bound || sum < -bound)
                    return fail();
                ring.sum[k] = sum;
                ring.count[k] = static_cast<std::uint32_t>(count);
            }
        }
        for (std::int32_t& v : ring.values) {
            if (!r.Get(&x, 4))
                return fail();
            v = static_cast<std::int32_t>(static_cast<std::uint32_t>(x));
        }
        for (std::uint16_t& a : ring.alarms) {
            if (!r.Get(&x, 2) || (x & ~std::uint64_t{proto::kAlarmMaskBits}) != 0)
                return fail();
            a = static_cast<std::uint16_t>(x);
        }
    }
    newest_time_ = newest_time;
    return true;
}

}  // namespace vorn::history
