#include "readings/auto_source.h"

namespace vorn::readings {

ReadingSet AutoSource::Sample() {
    const InUse before = in_use_.load();
    hwinfo_gate_.SetOpen(before == InUse::kHwinfo);
    ReadingSet set = hwinfo_->Sample();
    InUse now = InUse::kNone;
    if (hwinfo_->live()) {
        now = InUse::kHwinfo;
    } else if (fallback_) {
        fallback_gate_.SetOpen(before == InUse::kFallback);
        set = fallback_->Sample();
        if (AnyValue(set))
            now = InUse::kFallback;
    }
    if (now == InUse::kNone) {
        set = ReadingSet{};
        if (!told_none_ && warnings_)
            warnings_->Warn("auto", kNoSensorProgram);
        told_none_ = true;
    } else {
        told_none_ = false;
    }
    in_use_ = now;
    return set;
}

std::string AutoSource::Describe() const {
    std::string text = "auto: " + hwinfo_->Describe();
    if (fallback_)
        text += ", else " + fallback_name_;
    return text;
}

std::vector<ListedInput> AutoSource::List() {
    std::vector<ListedInput> inputs = hwinfo_->List();
    if (hwinfo_->live() || !fallback_) {
        in_use_ = InUse::kHwinfo;
        return inputs;
    }
    in_use_ = InUse::kFallback;  // for the heading over the list
    return fallback_->List();
}

std::string AutoSource::ListHeading() const {
    return in_use_.load() == InUse::kFallback && fallback_ ? fallback_->ListHeading()
                                                           : hwinfo_->ListHeading();
}

}  // namespace vorn::readings
