// The plug-in's history page parser: any bytes a socket can deliver, awaited as the reply to a
// request that matches the id, reading and resolution the bytes carry (so that every other
// check is reached) and to one with another id (which must always fail). A page accepted
// encodes again to the same bytes; a refusal to its header.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "protocol/history_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace proto = vorn::proto;
    if (size < 14)
        return 0;
    proto::HistoryRequest request;
    request.id = (std::uint32_t{data[8]} << 24) | (std::uint32_t{data[9]} << 16) |
                 (std::uint32_t{data[10]} << 8) | std::uint32_t{data[11]};
    request.reading = data[12];
    request.resolution = data[13];
    request.size = proto::kHistoryMaxDatagram;
    std::vector<proto::HistorySlot> slots(proto::kHistoryMaxDatagram / 4);
    proto::HistoryReplyHeader header;
    proto::HistoryRequest other = request;
    other.id += 1;
    if (proto::DecodeHistoryReply(data, size, other, &header, slots.data()))
        std::abort();
    if (!proto::DecodeHistoryReply(data, size, request, &header, slots.data()))
        return 0;
    if (header.count > proto::SlotsThatFit(request.size, request.resolution))
        std::abort();
    std::vector<std::uint8_t> again(proto::HistoryReplySize(request.resolution, header.count));
    if (proto::EncodeHistoryReply(header, slots.data(), again.data()) != size ||
        std::memcmp(again.data(), data, size) != 0)
        std::abort();
    return 0;
}
