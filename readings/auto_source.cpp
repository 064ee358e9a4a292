#include "readings/auto_source.h"

namespace vorn::readings {

ReadingSet AutoSource::Sample() {
    const InUse before = in_use_.load();
    hwinfo_gate_.SetOpen(before == InUse::kHwinfo);
    ReadingSet set = hwinfo_->Sample();
    InUse now = InUse::kNone;
    if (hwinfo_->live()) {
        now = InUse::kHwinfo;
    } else if (gadget_) {
        gadget_gate_.SetOpen(before == InUse::kGadget);
        set = gadget_->Sample();
        if (gadget_->live())
            now = InUse::kGadget;
    }
    if (now == InUse::kNone && fallback_) {
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
        if (now != last_used_)
            TellChange(last_used_, now);
        last_used_ = now;
    }
    in_use_ = now;
    return set;
}

std::string AutoSource::NameOf(InUse source) const {
    switch (source) {
        case InUse::kHwinfo:
            return "HWiNFO's shared memory";
        case InUse::kGadget:
            return "HWiNFO's Gadget values";
        case InUse::kFallback:
            return fallback_name_;
        case InUse::kNone:
            break;
    }
    return "nothing";
}

void AutoSource::TellChange(InUse before, InUse now) {
    if (!warnings_)
        return;
    std::string line = "using " + NameOf(now);
    if (before == InUse::kNone) {
        // The first source found: nothing was left.
    } else if (now < before) {
        line += ", preferred to " + NameOf(before);
    } else {
        const std::string why = before == InUse::kHwinfo   ? hwinfo_->state()
                                : before == InUse::kGadget ? gadget_->state()
                                                           : std::string("no readings");
        line += " instead of " + NameOf(before) + " (" + why + ")";
    }
    // A subject per change: each is told, yet two sources flapping are told once in a while.
    warnings_->Warn("auto: " + NameOf(before) + " to " + NameOf(now), line);
}

std::string AutoSource::Describe() const {
    std::string text = "auto: " + hwinfo_->Describe();
    if (gadget_)
        text += ", else " + gadget_->Describe();
    if (fallback_)
        text += ", else " + fallback_name_;
    return text;
}

std::vector<ListedInput> AutoSource::List() {
    std::vector<ListedInput> inputs = hwinfo_->List();
    if (hwinfo_->live() || (!gadget_ && !fallback_)) {
        in_use_ = InUse::kHwinfo;
        return inputs;
    }
    if (gadget_) {
        inputs = gadget_->List();
        if (gadget_->live() || !fallback_) {
            in_use_ = InUse::kGadget;
            return inputs;
        }
    }
    in_use_ = InUse::kFallback;  // for the heading over the list
    return fallback_->List();
}

MappingMatch AutoSource::MatchMapping() {
    MappingMatch hwinfo = hwinfo_->MatchMapping();
    if (!hwinfo.read && gadget_)
        hwinfo = gadget_->MatchMapping();  // the same SENSOR / LABEL selectors
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
