// Answers version 3 requests, history pages, from the history store: decodes the request,
// takes its page from the source's history budget, and writes the page or the refusal that
// applies, never longer than the request. Serving thread only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "agent/history_budget.h"
#include "agent/socket.h"
#include "history/store.h"
#include "protocol/history_protocol.h"
#include "readings/alarms.h"
#include "readings/refresher.h"

namespace vorn::agent {

class HistoryPages {
public:
    enum class Outcome { kPage, kRefusal, kMalformed, kOverBudget };

    // `store` (not owned, may be null: history is off) must outlive this object.
    HistoryPages(const history::Store* store, HistoryBudget::Limits limits = {});

    // The sampling interval a page reports, and the limits it reports beside the source's.
    void SetInterval(std::uint32_t interval_ms) { interval_ms_ = interval_ms; }
    void SetAlarms(const readings::AlarmSettings& alarms) { alarms_ = alarms; }

    // Answers one datagram that proto::IsVersion3 accepts, from an admitted `from`: on kPage
    // and kRefusal `out` (kHistoryMaxDatagram bytes) holds *out_size bytes to send; on
    // kMalformed and kOverBudget nothing is sent. `unix_now` is the agent's clock; `latest`
    // gives the limits the source knows now.
    Outcome Answer(const sockaddr* from, const std::uint8_t* data, std::size_t size,
                   std::int64_t unix_now, HistoryBudget::Clock::time_point now,
                   const readings::Snapshot& latest, std::uint8_t* out, std::size_t* out_size);

private:
    const history::Store* store_;
    HistoryBudget budget_;
    std::uint32_t interval_ms_ = 0;
    readings::AlarmSettings alarms_;
};

}  // namespace vorn::agent
