#include <algorithm>

#include "readings/http_get.h"

namespace vorn::readings {

void HttpCancel::Cancel() {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_ = true;
    for (auto& [key, abort] : aborts_)
        abort();
    aborts_.clear();
}

bool HttpCancel::cancelled() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return cancelled_;
}

bool HttpCancel::Register(std::uintptr_t key, std::function<void()> abort) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (cancelled_)
        return false;
    aborts_.emplace_back(key, std::move(abort));
    return true;
}

bool HttpCancel::Unregister(std::uintptr_t key) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = std::find_if(aborts_.begin(), aborts_.end(),
                           [key](const auto& entry) { return entry.first == key; });
    if (it == aborts_.end())
        return false;
    aborts_.erase(it);
    return true;
}

}  // namespace vorn::readings
