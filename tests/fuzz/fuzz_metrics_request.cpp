// The metrics endpoint's request reader: any bytes a TCP connection can deliver, in any split.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "agent/metrics_http.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    vorn::agent::RequestReader whole;
    const vorn::agent::RequestVerdict once = whole.Feed(bytes);
    if (whole.consumed() > vorn::agent::kMaxRequestHead)
        std::abort();
    // The first byte picks a piece size: the verdict may not depend on how the bytes arrive.
    const std::size_t piece = size ? 1 + data[0] % 17 : 1;
    vorn::agent::RequestReader split;
    for (std::size_t at = 0; at < size; at += piece)
        split.Feed(bytes.substr(at, piece));
    if (split.verdict() != once || split.consumed() != whole.consumed())
        std::abort();
    // Whatever the verdict, the response is well formed and says it closes.
    const std::string response = vorn::agent::HttpResponse(vorn::agent::StatusFor(once));
    if (response.find("\r\nConnection: close\r\n\r\n") == std::string::npos)
        std::abort();
    return 0;
}
