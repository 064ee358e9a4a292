// The history file's loader: any bytes a damaged or foreign file can hold. What it accepts
// must save back to exactly the same bytes.
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
