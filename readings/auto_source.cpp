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

MappingMatch AutoSource::MatchMapping() {
    const MappingMatch hwinfo = hwinfo_->MatchMapping();
    const MappingMatch fallback = fallback_ ? fallback_->MatchMapping() : MappingMatch{};
    const bool hwinfo_runs = hwinfo.read;
    MappingMatch m = hwinfo_runs ? hwinfo : fallback;
    if (!m.read) {
        m.why = kNoSensorProgram;
        return m;
    }
    const MappingMatch& other = hwinfo_runs ? fallback : hwinfo;
    for (int k = 0; k < proto::kFieldCount; ++k) {
        if (!other.mapped[k] || m.mapped[k])
            continue;
        m.mapped[k] = true;
        m.unmatched[k] = hwinfo_runs ? "not a HWiNFO SENSOR / LABEL, and HWiNFO is the sensor "
                                       "program running"
                                     : "a HWiNFO SENSOR / LABEL, but HWiNFO is not running (" +
                                           fallback_name_ + " is)";
    }
    return m;
}

std::string AutoSource::ListHeading() const {
    return in_use_.load() == InUse::kFallback && fallback_ ? fallback_->ListHeading()
                                                           : hwinfo_->ListHeading();
}

}  // namespace vorn::readings
