// The agent's request parser: any bytes a socket can deliver.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "protocol/sensor_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::uint32_t id = 0;
    if (!vorn::proto::DecodeRequest(data, size, &id))
        return 0;
    // Whatever is accepted is exactly a request the encoder would write.
    const vorn::proto::Datagram again = vorn::proto::EncodeRequest(id);
    if (size != again.size() || std::memcmp(data, again.data(), size) != 0)
        std::abort();
    return 0;
}
