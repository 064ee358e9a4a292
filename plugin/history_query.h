// One history read of the plug-in: the pages of one reading at one resolution over a span,
// asked in version 3 on a socket of its own, so that it never meets the replies of the polls.
#pragma once

#include "plugin/udp_socket.h"
#include "plugin_api/vornplug.h"

namespace vorn::plugin {

struct HistoryAsk {
    int reading = 0;
    int resolution = 0;
    long long from = 0;  // > 0: seconds since 1970 UTC; <= 0: relative to the agent's clock
    long long to = 0;
    unsigned int timeout_ms = 0;  // for each try of each page
};

// Reads the span from the agent at `peer`; `wake` (kNoSocket for none) and `*cancelled`
// (read with atomic builtins) end it early. A VornHistoryResult.
int ReadHistory(const net::Address& peer, net::Handle wake, const int* cancelled,
                const HistoryAsk& ask, VORNHISTORY& info, VORNHISTSLOT* slots,
                unsigned int capacity);

}  // namespace vorn::plugin
