#include "readings/hwmon_source.h"

#include <climits>
#include <cstdio>

#include "readings/hwmon_chips.h"
#include "readings/text.h"

namespace vorn::readings {

namespace {

std::string Canonical(const HwmonSelector& s) {
    return s.chip + "/" + s.input;
}

void MapIfEmpty(MappingTable& m, int field, const HwmonInput* in) {
    if (in && !m[field].mapped())
        m[field].selector = Canonical(HwmonSelector{in->chip, in->input});
}

const HwmonInput* FirstOfChip(const std::vector<HwmonInput>& inputs, const char* chip,
                              InputType type) {
    for (const HwmonInput& in : inputs) {
        if (in.chip == chip && in.type == type)
            return &in;
    }
    return nullptr;
}

const HwmonInput* ByLabel(const std::vector<HwmonInput>& inputs, const char* label) {
    for (const HwmonInput& in : inputs) {
        if (in.label == label)
            return &in;
    }
    return nullptr;
}

// The name automatic mapping knows an input by: its label, else the name its chip's datasheet
// gives an unlabelled input of fixed role ("3VCC").
std::string KnownName(const HwmonInput& in) {
    if (!in.label.empty())
        return in.label;
    const ChipInput chip = DescribeChipInput(in.chip, in.input);
    return chip.wiring == InputWiring::kFixed ? chip.name : std::string();
}

// The LABEL column of --list: the label; for an unlabelled voltage the datasheet's name, or a
// note that the board's resistors decide it (map it with .scale).
std::string ListedLabel(const HwmonInput& in) {
    if (!in.label.empty())
        return in.label;
    const ChipInput chip = DescribeChipInput(in.chip, in.input);
    switch (chip.wiring) {
        case InputWiring::kFixed:
            return std::string(chip.name) + " (by chip)";
        case InputWiring::kBoardDependent:
            return "- (board: .scale)";
        case InputWiring::kUnknown:
            break;
    }
    return "-";
}

ReadingKind KindOfInput(InputType t) {
    return t == InputType::kTemp  ? ReadingKind::kTemperature
           : t == InputType::kFan ? ReadingKind::kFan
                                  : ReadingKind::kVoltage;
}

// The reading a listed input is suggested as: the one automatic mapping gives it, else the
// first reading of its kind.
const char* SuggestedReading(const MappingTable& automatic, const HwmonInput& in) {
    const std::string selector = Canonical(HwmonSelector{in.chip, in.input});
    for (int k = 0; k < proto::kFieldCount; ++k) {
        if (automatic[k].selector == selector)
            return proto::kFieldNames[k];
    }
    switch (in.type) {
        case InputType::kTemp:
            return proto::kFieldNames[proto::kCpu];
        case InputType::kFan:
            return proto::kFieldNames[proto::kFan1];
        case InputType::kIn:
            break;
    }
    return proto::kFieldNames[proto::kVid];
}

// The label names an input when no other input of its chip has that label.
std::string SelectorInput(const std::vector<HwmonInput>& inputs, const HwmonInput& in) {
    if (in.label.empty())
        return in.input;
    for (const HwmonInput& other : inputs) {
        if (&other != &in && other.chip == in.chip &&
            (other.label == in.label || other.input == in.label))
            return in.input;
    }
    return in.label;
}

}  // namespace

bool ParseHwmonSelector(const std::string& reading, const std::string& selector, HwmonSelector* out,
                        std::string* why) {
    const std::size_t slash = selector.find('/');
    if (slash == std::string::npos) {
        *why = reading + " needs CHIP / INPUT, for example 'coretemp / temp1'";
        return false;
    }
    HwmonSelector s{Trim(selector.substr(0, slash)), Trim(selector.substr(slash + 1))};
    if (s.chip.empty()) {
        *why = reading + " has no chip name before '/'";
        return false;
    }
    if (s.input.empty()) {
        *why = reading + " has no input name or label after '/'";
        return false;
    }
    if (s.chip.find_first_of(" \t") != std::string::npos) {
        *why = "chip name '" + s.chip + "' contains a blank";
        return false;
    }
    *out = std::move(s);
    return true;
}

MappingTable AutoMapping(const std::vector<HwmonInput>& inputs) {
    MappingTable m;
    MapIfEmpty(m, proto::kCpu, FindHwmonInput(inputs, "coretemp", "Package id 0"));
    MapIfEmpty(m, proto::kCpu, FindHwmonInput(inputs, "k10temp", "Tdie"));
    MapIfEmpty(m, proto::kCpu, FindHwmonInput(inputs, "k10temp", "Tctl"));
    MapIfEmpty(m, proto::kCpu, FindHwmonInput(inputs, "zenpower", "Tdie"));
    for (const char* chip : {"coretemp", "k10temp", "cpu_thermal"}) {
        MapIfEmpty(m, proto::kCpu, FirstOfChip(inputs, chip, InputType::kTemp));
    }
    MapIfEmpty(m, proto::kSys, ByLabel(inputs, "SYSTIN"));
    MapIfEmpty(m, proto::kSys, FirstOfChip(inputs, "acpitz", InputType::kTemp));
    int fan = proto::kFan1;
    for (const HwmonInput& in : inputs) {
        if (in.type == InputType::kFan && fan <= proto::kFan3)
            MapIfEmpty(m, fan++, &in);
    }
    // Voltages by label, or by the name the chip fixes for an unlabelled input; for each
    // reading the input with its likeliest name, the first of them on a tie.
    std::array<const HwmonInput*, proto::kFieldCount> best{};
    std::array<int, proto::kFieldCount> best_rank;
    best_rank.fill(INT_MAX);
    for (const HwmonInput& in : inputs) {
        int rank = 0;
        const int field =
            in.type == InputType::kIn ? VoltageReadingOfLabel(KnownName(in), &rank) : -1;
        if (field >= 0 && rank < best_rank[field]) {
            best[field] = &in;
            best_rank[field] = rank;
        }
    }
    for (int field = 0; field < proto::kFieldCount; ++field)
        MapIfEmpty(m, field, best[field]);
    // The VID the CPU asks for stands in when no input measures the core voltage.
    for (const HwmonInput& in : inputs) {
        if (in.input.rfind("cpu", 0) == 0 && in.type == InputType::kIn)
            MapIfEmpty(m, proto::kVid, &in);
    }
    return m;
}

HwmonSource::HwmonSource(std::string sysfs_root, const MappingTable& mapping, Warnings* warnings)
    : root_(std::move(sysfs_root)), warnings_(warnings) {
    automatic_ = true;
    for (int k = 0; k < proto::kFieldCount; ++k) {
        if (!mapping[k].mapped())
            continue;
        automatic_ = false;
        HwmonSelector s;
        std::string why;
        if (!ParseHwmonSelector(proto::kFieldNames[k], mapping[k].selector, &s, &why)) {
            warnings_->Warn(std::string("map ") + proto::kFieldNames[k], why + "; sending -");
            continue;
        }
        configured_[k] = mapping[k];
        configured_[k].selector = Canonical(s);
    }
    Rescan();
}

void HwmonSource::Rescan() {
    inputs_ = ScanHwmon(root_);
    if (inputs_.empty()) {
        warnings_->Warn("no inputs",
                        "no hwmon inputs under " + root_ +
                            "/class/hwmon; replies say no sensors until a chip appears");
    }
    mapping_ = automatic_ ? AutoMapping(inputs_) : configured_;
    for (int k = 0; k < proto::kFieldCount; ++k) {
        resolved_[k] = -1;
        selectors_[k] = HwmonSelector{};
        if (!mapping_[k].mapped())
            continue;
        std::string why;
        ParseHwmonSelector(proto::kFieldNames[k], mapping_[k].selector, &selectors_[k], &why);
        const HwmonInput* in = FindHwmonInput(inputs_, selectors_[k].chip, selectors_[k].input);
        if (in) {
            resolved_[k] = static_cast<int>(in - inputs_.data());
        } else {
            warnings_->Warn(std::string("find ") + proto::kFieldNames[k],
                            std::string(proto::kFieldNames[k]) + ": no input '" +
                                selectors_[k].input + "' on a chip '" + selectors_[k].chip +
                                "'; sending -");
        }
    }
    match_ = MatchAgainst(inputs_);
    if (automatic_) {
        match_.mapped = {};
        for (int k = 0; k < proto::kFieldCount; ++k)
            match_.mapped[k] = mapping_[k].mapped();
    }
}

MappingMatch HwmonSource::MatchAgainst(const std::vector<HwmonInput>& inputs) const {
    MappingMatch m;
    for (int k = 0; k < proto::kFieldCount; ++k)
        m.mapped[k] = configured_[k].mapped();
    m.read = !inputs.empty();
    if (!m.read) {
        m.why = "no hwmon inputs under " + root_ + "/class/hwmon";
        return m;
    }
    std::string chips;
    for (const HwmonInput& in : inputs) {
        if ((" " + chips + ",").find(" " + in.chip + ",") == std::string::npos)
            chips += (chips.empty() ? "" : ", ") + in.chip;
    }
    for (int k = 0; k < proto::kFieldCount; ++k) {
        if (!configured_[k].mapped())
            continue;
        HwmonSelector s;
        std::string why;
        ParseHwmonSelector(proto::kFieldNames[k], configured_[k].selector, &s, &why);
        if (const HwmonInput* in = FindHwmonInput(inputs, s.chip, s.input)) {
            m.found[k] = in->path;
            continue;
        }
        bool chip_here = false;
        for (const HwmonInput& in : inputs)
            chip_here = chip_here || in.chip == s.chip;
        m.unmatched[k] =
            chip_here
                ? "matches nothing: chip '" + s.chip + "' has no input or label '" + s.input + "'"
                : "matches nothing: no chip '" + s.chip + "' here (chips: " + chips + ")";
    }
    return m;
}

MappingMatch HwmonSource::MatchMapping() {
    return MatchAgainst(ScanHwmon(root_));
}

bool HwmonSource::ReadResolved(int field, Reading* out) const {
    if (resolved_[field] < 0)
        return false;
    const HwmonInput& in = inputs_[static_cast<std::size_t>(resolved_[field])];
    const HwmonValue v = ReadHwmonInput(in);
    if (!v.value)
        return false;
    const Mapping& m = mapping_[field];
    out->value = Correct(m, *v.value);
    out->low = v.low;
    out->high = v.high;
    CorrectLimits(m, &out->low, &out->high);
    out->source_alarm = v.alarm;
    out->sensor = in.chip + "/" + in.input;
    return true;
}

ReadingSet HwmonSource::Sample() {
    ReadingSet r;
    bool rescanned = false;
    bool any_mapped = false;
    for (const Mapping& m : mapping_)
        any_mapped = any_mapped || m.mapped();
    if (automatic_ && !any_mapped) {
        Rescan();
        rescanned = true;
    }
    for (int k = 0; k < proto::kFieldCount; ++k) {
        if (!mapping_[k].mapped())
            continue;
        if (resolved_[k] < 0 && !rescanned) {
            Rescan();
            rescanned = true;
        }
        bool read = ReadResolved(k, &r[k]);
        if (!read && !rescanned) {
            // The chip may have been reloaded under another hwmonN; look again once.
            Rescan();
            rescanned = true;
            read = ReadResolved(k, &r[k]);
        }
        if (!read && resolved_[k] >= 0) {
            warnings_->Warn(std::string("read ") + proto::kFieldNames[k],
                            std::string(proto::kFieldNames[k]) + ": cannot read " +
                                inputs_[static_cast<std::size_t>(resolved_[k])].path +
                                "; sending -");
        }
    }
    return r;
}

std::string HwmonSource::Describe() const {
    return "hwmon " + root_ + " (" + std::to_string(inputs_.size()) + " inputs), " +
           (automatic_ ? "automatic mapping " : "") + DescribeMatchedMapping(mapping_, match_);
}

std::string HwmonSource::ListHeading() const {
    char text[96];
    std::snprintf(text, sizeof text, "%-14s %-8s %-7s %-20s", "CHIP", "DEVICE", "INPUT", "LABEL");
    return text;
}

std::vector<ListedInput> HwmonSource::List() {
    const std::vector<HwmonInput> inputs = ScanHwmon(root_);
    const MappingTable automatic = AutoMapping(inputs);
    std::vector<ListedInput> listed;
    for (const HwmonInput& in : inputs) {
        ListedInput item;
        char text[512];
        std::snprintf(text, sizeof text, "%-14s %-8s %-7s %-20s", in.chip.c_str(),
                      in.device.c_str(), in.input.c_str(), ListedLabel(in).c_str());
        item.description = text;
        item.kind = KindOfInput(in.type);
        const HwmonValue v = ReadHwmonInput(in);
        item.value = v.value;
        item.low = v.low;
        item.high = v.high;
        item.alarm = v.alarm;
        item.mapping_line = std::string(SuggestedReading(automatic, in)) + " = " + in.chip + " / " +
                            SelectorInput(inputs, in);
        for (const Mapping& m : automatic)
            item.automatic = item.automatic || m.selector == Canonical({in.chip, in.input});
        listed.push_back(std::move(item));
    }
    return listed;
}

}  // namespace vorn::readings
