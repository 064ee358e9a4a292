// The plug-in's reply parser: any bytes a socket can deliver, awaited with the id the bytes
// carry (so the other checks are reached) and with another id (which must always fail).
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "protocol/sensor_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace proto = vorn::proto;
    std::uint32_t carried = 0;
    if (size >= 12) {
        carried = (std::uint32_t{data[8]} << 24) | (std::uint32_t{data[9]} << 16) |
                  (std::uint32_t{data[10]} << 8) | std::uint32_t{data[11]};
    }
    proto::ReplyStatus status;
    proto::Fields fields;
    if (proto::DecodeReply(data, size, carried + 1, &status, &fields))
        std::abort();
    if (!proto::DecodeReply(data, size, carried, &status, &fields))
        return 0;
    // Accepted: every field is a terminated printable text, and encoding it again gives
    // the same bytes.
    for (const proto::FieldText& f : fields) {
        if (!proto::FieldIsWellFormed(f) || std::strlen(f.data()) > 7)
            std::abort();
    }
    const proto::Datagram again = proto::EncodeReply(carried, status, fields);
    if (size != again.size() || std::memcmp(data, again.data(), size) != 0)
        std::abort();
    return 0;
}
