// The exposition parser on any text: it must stay within its bounds and hand back only
// series with a name, and labels it can quote and parse back to the same values.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "readings/exposition.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vorn::readings;
    const ExpositionResult r =
        ParseExposition(std::string_view(reinterpret_cast<const char*>(data), size));
    if (r.series.size() > kMaxExpositionSeries)
        std::abort();
    if (r.bad_lines > 0 && r.first_error.empty())
        std::abort();
    for (const Series& s : r.series) {
        if (s.name.empty() || s.labels.size() > kMaxSeriesLabels)
            std::abort();
        for (const auto& label : s.labels) {
            const ExpositionResult again =
                ParseExposition("m{l=" + QuoteLabelValue(label.second) + "} 1");
            if (again.series.size() != 1 || *again.series[0].Label("l") != label.second)
                std::abort();
        }
    }
    return 0;
}
