// The agent's request parser: any bytes a socket can deliver.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "protocol/sensor_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace proto = vorn::proto;
    std::uint32_t id = 0;
    std::uint8_t version = 0;
    const bool v1_only = proto::DecodeRequest(data, size, &id);
    if (!proto::DecodeRequest(data, size, &id, &version)) {
        if (v1_only)
            std::abort();
        return 0;
    }
    if (v1_only != (version == proto::kVersion1))
        std::abort();
    if (version != proto::kVersion1 && version != proto::kVersion2)
        std::abort();
    // Whatever is accepted is exactly a request the encoder would write.
    const proto::Datagram again = proto::EncodeRequest(id, version);
    if (size != again.size() || std::memcmp(data, again.data(), size) != 0)
        std::abort();
    return 0;
}
