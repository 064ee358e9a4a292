// The plug-in's reply parser: any bytes a socket can deliver, awaited in both versions with the
// id the bytes carry (so the other checks are reached) and with another id (which must always
// fail).
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
    int accepted = 0;
    for (const std::uint8_t version : {proto::kVersion1, proto::kVersion2}) {
        proto::ReplyStatus status;
        proto::Fields fields;
        std::uint16_t mask = 0;
        if (proto::DecodeReply(data, size, carried + 1, version, &status, &fields, &mask))
            std::abort();
        if (!proto::DecodeReply(data, size, carried, version, &status, &fields, &mask))
            continue;
        ++accepted;
        // Accepted: every field is a terminated printable text, the mask names readings only,
        // none without a value, and none under status 1.
        for (const proto::FieldText& f : fields) {
            if (!proto::FieldIsWellFormed(f) || std::strlen(f.data()) > 7)
                std::abort();
        }
        if (mask != proto::MaskForFields(mask, fields) || (version == proto::kVersion1 && mask) ||
            (status == proto::ReplyStatus::kNoSensors && mask))
            std::abort();
        // Encoding it again gives the same bytes, but for the bits of "-" fields, which the
        // parser clears.
        const proto::Datagram again = proto::EncodeReply(carried, version, status, fields, mask);
        if (size != again.size())
            std::abort();
        for (std::size_t i = 0; i < size; ++i) {
            if (data[i] != again[i] && !(version == proto::kVersion2 && (i == 116 || i == 117)))
                std::abort();
        }
        // The version 1 entry point is the version 1 parser.
        if (version == proto::kVersion1 &&
            !proto::DecodeReply(data, size, carried, &status, &fields))
            std::abort();
    }
    if (accepted > 1)
        std::abort();  // a reply has one version
    return 0;
}
