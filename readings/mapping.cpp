#include "readings/mapping.h"

#include <utility>

namespace vorn::readings {

void CorrectLimits(const Mapping& m, std::optional<double>* low, std::optional<double>* high) {
    if (*low)
        *low = Correct(m, **low);
    if (*high)
        *high = Correct(m, **high);
    if (m.scale < 0)
        std::swap(*low, *high);
}

std::string DescribeMapping(const MappingTable& mapping) {
    std::string text;
    int count = 0;
    for (int k = 0; k < proto::kFieldCount; ++k) {
        if (!mapping[k].mapped())
            continue;
        text +=
            std::string(count++ ? ", " : "") + proto::kFieldNames[k] + "=" + mapping[k].selector;
    }
    return std::to_string(count) + " of 13 mapped" + (count ? " (" + text + ")" : "");
}

}  // namespace vorn::readings
