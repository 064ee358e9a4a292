// The readings file parser and the formatting of whatever values it yields.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "readings/file_source.h"
#include "readings/format.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vorn::readings;
    const ReadingSet r = ParseReadingsText(std::string(reinterpret_cast<const char*>(data), size));
    for (int k = 0; k < vorn::proto::kFieldCount; ++k) {
        if (r[k].value && !std::isfinite(*r[k].value))
            std::abort();
        if (!vorn::proto::FieldIsWellFormed(FormatReading(k, r[k].value)))
            std::abort();
    }
    return 0;
}
