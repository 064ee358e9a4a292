// The readings file parser and the formatting of whatever values it yields.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "agent/format.h"
#include "agent/source.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vorn::agent;
    const Readings r = ParseReadingsText(std::string(reinterpret_cast<const char*>(data), size));
    for (int k = 0; k < vorn::proto::kFieldCount; ++k) {
        if (r[k] && !std::isfinite(*r[k]))
            std::abort();
        if (!vorn::proto::FieldIsWellFormed(FormatReading(k, r[k])))
            std::abort();
    }
    return 0;
}
