// The history file's loader: any bytes a damaged or foreign file can hold. What it accepts
// must save back to exactly the same bytes. Inputs it refuses also go to the body's decoder.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "history/history_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace history = vorn::history;
    static const auto store = std::make_unique<history::Store>();
    std::string why;
    if (!history::DecodeHistory(store.get(), data, size, &why)) {
        if (store->newest() != -1 || why.empty())
            std::abort();
        // The CRC keeps random bytes out of the body: give them to the body's decoder too,
        // as the start of a body whose rest is zero.
        std::size_t pos = 0;
        const bool body = store->Deserialize([&](std::uint8_t* p, std::size_t n) {
            for (std::size_t i = 0; i < n; ++i, ++pos)
                p[i] = pos < size ? data[pos] : 0;
            return true;
        });
        if (body)
            store->Record(store->newest() + 1, history::Sample{});
        else if (store->newest() != -1)
            std::abort();
        return 0;
    }
    if (size != history::FileSize())
        std::abort();
    std::vector<std::uint8_t> body;
    store->Serialize([&](const std::uint8_t* p, std::size_t n) {
        body.insert(body.end(), p, p + n);
        return true;
    });
    if (std::memcmp(body.data(), data + history::kFileHeaderSize, body.size()) != 0)
        std::abort();
    // A loaded store takes the next sample, whatever its clock said.
    store->Record(store->newest() + 1, history::Sample{});
    return 0;
}
