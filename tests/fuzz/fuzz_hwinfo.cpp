// HWiNFO's shared-memory parser on arbitrary bytes: no read outside the buffer, and whatever
// it yields is self-consistent (indexes valid, values finite and bounded).
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "readings/hwinfo_memory.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vorn::readings::hwinfo;
    const ParseResult r = ParseMemory(data, size);
    if (r.status != Status::kOk)
        return 0;
    for (const Reading& reading : r.memory.readings) {
        if (reading.sensor_index >= r.memory.sensors.size())
            std::abort();
        for (const auto& v : {reading.value, reading.min, reading.max, reading.avg}) {
            if (v && !(std::isfinite(*v) && std::fabs(*v) <= kMaxMagnitude))
                std::abort();
        }
        if (DisplayLabel(reading).size() >= layout::kNameLength)
            std::abort();
    }
    return 0;
}
