#include "agent/history_pages.h"

#include <algorithm>

namespace vorn::agent {

namespace {

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
    const std::int64_t q = a / b;
    return (a % b != 0 && a < 0) ? q - 1 : q;
}

std::int32_t FixedLimit(int field, const std::optional<double>& limit) {
    return limit ? proto::ToFixed(field, *limit) : proto::kHistoryGap;
}

}  // namespace

HistoryPages::HistoryPages(const history::Store* store, HistoryBudget::Limits limits)
    : store_(store), budget_(limits) {}

HistoryPages::Outcome HistoryPages::Answer(const sockaddr* from, const std::uint8_t* data,
                                           std::size_t size, std::int64_t unix_now,
                                           HistoryBudget::Clock::time_point now,
                                           const readings::Snapshot& latest, std::uint8_t* out,
                                           std::size_t* out_size) {
    // The budget is judged on the header alone, so that a flood over it costs no more than
    // that; the padding is checked only for requests the budget lets through.
    if (!proto::IsVersion3(data, size) || size < proto::kHistoryHeaderSize ||
        size > proto::kHistoryMaxDatagram || data[5] != proto::kKindHistoryPage)
        return Outcome::kMalformed;
    std::uint32_t retry_ms = 0;
    const HistoryBudget::Verdict verdict = budget_.Take(from, now, &retry_ms);
    if (verdict == HistoryBudget::Verdict::kDrop)
        return Outcome::kOverBudget;
    proto::HistoryRequest request;
    if (!proto::DecodeHistoryRequest(data, size, &request))
        return Outcome::kMalformed;
    proto::HistoryReplyHeader h;
    h.id = request.id;
    h.reading = request.reading;
    h.resolution = request.resolution;
    h.now = unix_now;
    auto refuse = [&](proto::HistoryStatus status) {
        h.status = status;
        *out_size = proto::EncodeHistoryReply(h, nullptr, out);
        return Outcome::kRefusal;
    };
    // Every answer, refusals too, is paid for: a flood of bad requests costs no more than one
    // of good ones.
    if (verdict == HistoryBudget::Verdict::kRefuse) {
        h.extra = retry_ms;
        return refuse(proto::HistoryStatus::kOverBudget);
    }
    if (store_ == nullptr)
        return refuse(proto::HistoryStatus::kHistoryOff);
    if (request.reading >= proto::kFieldCount)
        return refuse(proto::HistoryStatus::kUnknownReading);
    const std::uint32_t step = proto::StepSeconds(request.resolution);
    if (step == 0)
        return refuse(proto::HistoryStatus::kUnknownResolution);
    std::size_t fit = proto::SlotsThatFit(request.size, request.resolution);
    if (fit == 0)
        return refuse(proto::HistoryStatus::kTooSmall);
    const history::RingShape& ring = history::kRingShapes[request.resolution];
    const std::int64_t newest = FloorDiv(unix_now, step) * step;
    const std::int64_t oldest = newest - (ring.slots - 1) * ring.step;
    const std::int64_t start = request.start > 0 ? request.start : unix_now + request.start;
    h.step = step;
    if (start < oldest || start >= newest + step) {
        h.first = oldest;
        return refuse(proto::HistoryStatus::kOutOfRange);
    }
    const std::int64_t first = FloorDiv(start, step) * step;
    if (request.max_slots > 0)
        fit = std::min<std::size_t>(fit, request.max_slots);
    const std::size_t count =
        std::min<std::size_t>(fit, static_cast<std::size_t>((newest - first) / step + 1));
    proto::HistorySlot slots[proto::kHistoryMaxDatagram / 4];
    store_->Query(request.resolution, request.reading, first, count, slots);
    const readings::Limits limits = readings::EffectiveLimits(latest.readings[request.reading],
                                                              alarms_.readings[request.reading]);
    h.status = proto::HistoryStatus::kPage;
    h.count = static_cast<std::uint16_t>(count);
    h.first = first;
    h.extra = interval_ms_;
    h.low = FixedLimit(request.reading, limits.low);
    h.high = FixedLimit(request.reading, limits.high);
    *out_size = proto::EncodeHistoryReply(h, slots, out);
    return Outcome::kPage;
}

}  // namespace vorn::agent
