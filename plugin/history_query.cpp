#include "plugin/history_query.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "protocol/history_protocol.h"

namespace vorn::plugin {

namespace proto = vorn::proto;

namespace {

// An agent that answers none of this many tries of the first page does not speak version 3.
constexpr int kTries = 3;
// Over-budget refusals waited out within one read before it gives up with VORNHIST_BUSY.
constexpr int kBusyWaits = 8;
// Datagrams read per wake-up before the deadline is looked at again.
constexpr int kReadBatch = 64;

using Clock = net::MonotonicClock;

long long FloorTo(long long t, long long step) {
    const long long q = t / step;
    return (t % step != 0 && t < 0 ? q - 1 : q) * step;
}

enum class Wait { kReply, kNothing, kCancelled, kError };

class HistoryReader {
public:
    HistoryReader(net::Handle socket, net::Handle wake, const int* cancelled, const HistoryAsk& ask)
        : socket_(socket), wake_(wake), cancelled_(cancelled), ask_(ask) {}

    int Run(VORNHISTORY& info, VORNHISTSLOT* slots, unsigned int capacity) {
        const long long step = proto::StepSeconds(static_cast<std::uint8_t>(ask_.resolution));
        long long start = ask_.from;
        bool first_page = true;
        bool moved_to_oldest = false;
        long long last_slot = 0;  // the slot holding `to`, once the agent's clock is known
        long long next = 0;       // the slot the next page must start at
        unsigned int filled = 0;
        int tries = 0;
        int busy_waits = 0;
        bool any_reply = false;
        while (filled < capacity) {
            request_.start = start;
            const unsigned int room = capacity - filled;
            unsigned int want = room;
            if (!first_page)
                want = static_cast<unsigned int>(
                    std::min<long long>(room, (last_slot - next) / step + 1));
            request_.max_slots = static_cast<std::uint16_t>(want > 0xFFFF ? 0xFFFF : want);
            const Wait w = Ask();
            if (w == Wait::kCancelled || w == Wait::kError)
                return VORNHIST_FAILED;
            if (w == Wait::kNothing) {
                if (++tries < kTries)
                    continue;
                return any_reply ? VORNHIST_FAILED : VORNHIST_UNSUPPORTED;
            }
            any_reply = true;
            tries = 0;
            switch (header_.status) {
                case proto::HistoryStatus::kPage:
                    break;
                case proto::HistoryStatus::kOverBudget:
                    if (header_.extra <= ask_.timeout_ms && ++busy_waits <= kBusyWaits) {
                        if (Sleep(header_.extra) != Wait::kNothing)
                            return VORNHIST_FAILED;
                        continue;
                    }
                    info.nRetryMs = header_.extra;
                    return VORNHIST_BUSY;
                case proto::HistoryStatus::kHistoryOff:
                    return VORNHIST_OFF;
                case proto::HistoryStatus::kOutOfRange:
                    if (first_page && !moved_to_oldest) {
                        const long long current = FloorTo(header_.now, step);
                        const long long wanted =
                            ask_.from > 0 ? ask_.from : header_.now + ask_.from;
                        if (wanted > current) {
                            // The whole span lies after the agent's clock: nothing to give.
                            FillInfo(info, header_, step);
                            info.llFirst = FloorTo(wanted, step);
                            info.nSlots = 0;
                            return VORNHIST_OK;
                        }
                        // Older than the agent keeps: the span starts at its oldest slot.
                        start = header_.first;
                        moved_to_oldest = true;
                        continue;
                    }
                    return filled > 0 ? Finish(info, filled) : VORNHIST_FAILED;
                default:
                    return VORNHIST_FAILED;
            }
            if (first_page) {
                FillInfo(info, header_, step);
                const long long to = ask_.to > 0 ? ask_.to : header_.now + ask_.to;
                last_slot = std::min(FloorTo(to, step), FloorTo(header_.now, step));
                next = header_.first;
                first_page = false;
                if (last_slot < next)
                    return Finish(info, 0);
            } else if (header_.first != next) {
                return VORNHIST_FAILED;  // pages must meet exactly
            }
            const long long fits = (last_slot - next) / step + 1;
            const unsigned int take = static_cast<unsigned int>(
                std::min<long long>({static_cast<long long>(header_.count), fits, room}));
            for (unsigned int i = 0; i < take; ++i) {
                const proto::HistorySlot& s = page_[i];
                slots[filled + i] = VORNHISTSLOT{s.min, s.mean, s.max, s.alarm ? 1 : 0};
            }
            filled += take;
            next += static_cast<long long>(take) * step;
            if (next > last_slot || take < header_.count)
                break;
            // The agent's clock may have moved on: the page ended at its current slot.
            if (header_.count < request_.max_slots && next > FloorTo(header_.now, step))
                break;
            start = next;
        }
        return Finish(info, filled);
    }

    void SetUp() {
        request_.reading = static_cast<std::uint8_t>(ask_.reading);
        request_.resolution = static_cast<std::uint8_t>(ask_.resolution);
        request_.size = proto::kHistoryMaxDatagram;
    }

private:
    static void FillInfo(VORNHISTORY& info, const proto::HistoryReplyHeader& h, long long step) {
        info.llFirst = h.first;
        info.llNow = h.now;
        info.nStep = static_cast<unsigned int>(step);
        info.nIntervalMs = h.extra;
        info.nLow = h.low;
        info.nHigh = h.high;
        info.nSlots = 0;
        info.nRetryMs = 0;
    }

    static int Finish(VORNHISTORY& info, unsigned int filled) {
        info.nSlots = filled;
        return VORNHIST_OK;
    }

    bool Cancelled() const { return __atomic_load_n(cancelled_, __ATOMIC_SEQ_CST) != 0; }

    // Sends the request with a fresh id and waits one try's time for its reply.
    Wait Ask() {
        if (Cancelled())
            return Wait::kCancelled;
        std::uint32_t id = 0;
        do {
            if (!net::OsRandom(&id, sizeof id))
                return Wait::kError;
        } while (id == request_.id);
        request_.id = id;
        std::uint8_t out[proto::kHistoryMaxDatagram];
        const std::size_t size = proto::EncodeHistoryRequest(request_, out);
        if (size == 0 || (!net::Send(socket_, out, size) && !net::Send(socket_, out, size)))
            return Wait::kError;
        return Await(ask_.timeout_ms, true);
    }

    // Waits up to ms for a valid reply (take_reply) or just lets the time pass.
    Wait Await(unsigned int ms, bool take_reply) {
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            if (Cancelled())
                return Wait::kCancelled;
            const Clock::duration left = deadline - Clock::now();
            const auto left_ms =
                std::chrono::ceil<std::chrono::milliseconds>(
                    left > Clock::duration::zero() ? left : Clock::duration::zero())
                    .count();
            const net::Ready ready =
                net::WaitReadable(socket_, wake_, static_cast<unsigned int>(left_ms));
            if (ready == net::Ready::kWake)
                return Wait::kCancelled;
            if (ready == net::Ready::kFailed)
                return Wait::kError;
            if (ready == net::Ready::kNothing) {
                if (left_ms == 0)
                    return Wait::kNothing;
                continue;
            }
            for (int i = 0; i < kReadBatch; ++i) {
                std::size_t len = 0;
                const net::Received got = net::Receive(socket_, buf_, sizeof buf_, &len);
                if (got == net::Received::kEmpty)
                    break;
                if (got == net::Received::kError)
                    return Wait::kError;
                if (take_reply && proto::DecodeHistoryReply(buf_, len, request_, &header_, page_))
                    return Wait::kReply;
            }
            if (left_ms == 0)
                return Wait::kNothing;
        }
    }

    Wait Sleep(unsigned int ms) { return Await(ms, false); }

    const net::Handle socket_;
    const net::Handle wake_;
    const int* const cancelled_;
    const HistoryAsk ask_;
    proto::HistoryRequest request_;
    proto::HistoryReplyHeader header_;
    // One byte more than the largest reply, so that a longer datagram shows as too long.
    std::uint8_t buf_[proto::kHistoryMaxDatagram + 1] = {};
    proto::HistorySlot page_[proto::kHistoryMaxDatagram / 4] = {};
};

}  // namespace

int ReadHistory(const net::Address& peer, net::Handle wake, const int* cancelled,
                const HistoryAsk& ask, VORNHISTORY& info, VORNHISTSLOT* slots,
                unsigned int capacity) {
    if (ask.reading < 0 || ask.reading >= LMDATA_FIELDS || ask.resolution < 0 ||
        ask.resolution > VORNHIST_QUARTER_HOURS || slots == nullptr || capacity == 0 ||
        peer.len == 0 || __atomic_load_n(cancelled, __ATOMIC_SEQ_CST) != 0)
        return VORNHIST_FAILED;
    const net::Handle socket = net::OpenConnectedTo(peer);
    if (socket == net::kNoSocket)
        return VORNHIST_FAILED;
    HistoryReader reader(socket, wake, cancelled, ask);
    reader.SetUp();
    VORNHISTORY got{};
    const int result = reader.Run(got, slots, capacity);
    net::Close(socket);
    if (result == VORNHIST_OK || result == VORNHIST_BUSY)
        info = got;
    return result;
}

}  // namespace vorn::plugin
