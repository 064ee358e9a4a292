#include "readings/hwinfo_gadget.h"

#include <cmath>
#include <map>

#include "readings/hwinfo_source.h"

namespace vorn::readings {

namespace {

namespace hw = readings::hwinfo;

// More would be no HWiNFO's: it numbers the ticked readings from 0.
constexpr unsigned long kMaxIndex = 9999;

// "Value12" -> field "Value", index 12; false for any other shape.
bool SplitName(const std::string& name, std::string* field, unsigned long* index) {
    std::size_t digits = name.size();
    while (digits > 0 && name[digits - 1] >= '0' && name[digits - 1] <= '9')
        --digits;
    if (digits == 0 || digits == name.size() || name.size() - digits > 4)
        return false;
    *field = name.substr(0, digits);
    *index = std::stoul(name.substr(digits));
    return *index <= kMaxIndex;
}

// A decimal number at the start of `text` (after blanks), with '.' or ',' as the decimal point
// as the user's locale writes it; `rest` is what follows. Empty when there is no number.
std::optional<double> LeadingNumber(const std::string& text, std::string* rest) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    std::string number;
    if (i < text.size() && (text[i] == '-' || text[i] == '+'))
        number.push_back(text[i++]);
    bool digits = false, point = false;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c >= '0' && c <= '9') {
            digits = true;
            number.push_back(c);
        } else if ((c == '.' || c == ',') && !point) {
            point = true;
            number.push_back('.');
        } else {
            break;
        }
    }
    if (!digits || number.size() > 32)
        return std::nullopt;
    if (rest)
        *rest = text.substr(i);
    // Parsed by hand: strtod would follow the C locale's decimal point.
    double whole = 0, scale = 0;
    bool negative = false;
    for (char c : number) {
        if (c == '-')
            negative = true;
        else if (c == '.')
            scale = 1;
        else if (c >= '0' && c <= '9') {
            whole = whole * 10 + (c - '0');
            if (scale > 0)
                scale *= 10;
        }
    }
    double v = scale > 0 ? whole / scale : whole;
    if (negative)
        v = -v;
    if (!std::isfinite(v) || std::fabs(v) > hw::kMaxMagnitude)
        return std::nullopt;
    return v;
}

// The kind and canonical unit of ValueN's unit text: "°C" (any degree sign or none), "°F",
// "V", "mV", "RPM"; kOther for the rest.
hw::ReadingType TypeOfUnit(const std::string& text, std::string* unit) {
    std::string letters;
    for (char c : text) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))
            letters.push_back(c);
    }
    if (letters == "C" || letters == "F") {
        *unit = std::string("\xC2\xB0") + letters;
        return hw::ReadingType::kTemperature;
    }
    if (letters == "V" || letters == "mV") {
        *unit = letters;
        return hw::ReadingType::kVoltage;
    }
    if (letters == "RPM" || letters == "rpm") {
        *unit = "RPM";
        return hw::ReadingType::kFan;
    }
    *unit = letters;
    return hw::ReadingType::kOther;
}

struct Entry {
    const std::string* sensor = nullptr;
    const std::string* label = nullptr;
    const std::string* value = nullptr;
    const std::string* raw = nullptr;
};

// A token that changes when any value or the key's write time does (FNV-1a).
std::uint64_t ChangeToken(const std::vector<GadgetValue>& values, std::uint64_t stamp) {
    std::uint64_t h = 1469598103934665603ull ^ stamp;
    auto mix = [&h](const std::string& s) {
        for (unsigned char c : s) {
            h ^= c;
            h *= 1099511628211ull;
        }
        h ^= 0xff;
        h *= 1099511628211ull;
    };
    for (const GadgetValue& v : values) {
        mix(v.name);
        mix(v.text);
    }
    return h;
}

}  // namespace

hw::Memory GadgetMemory(const std::vector<GadgetValue>& values) {
    std::map<unsigned long, Entry> entries;
    for (const GadgetValue& v : values) {
        std::string field;
        unsigned long index = 0;
        if (!SplitName(v.name, &field, &index))
            continue;
        Entry& e = entries[index];
        if (field == "Sensor")
            e.sensor = &v.text;
        else if (field == "Label")
            e.label = &v.text;
        else if (field == "Value")
            e.value = &v.text;
        else if (field == "ValueRaw")
            e.raw = &v.text;
    }
    hw::Memory memory;
    std::map<std::string, std::uint32_t> sensor_index;
    for (const auto& [index, e] : entries) {
        if (!e.sensor || !e.label || e.sensor->empty() || e.label->empty()) {
            ++memory.damaged;
            continue;
        }
        auto [it, fresh] = sensor_index.emplace(*e.sensor, 0);
        if (fresh) {
            it->second = static_cast<std::uint32_t>(memory.sensors.size());
            hw::Sensor s;
            s.original_name = *e.sensor;
            memory.sensors.push_back(std::move(s));
        }
        hw::Reading r;
        r.sensor_index = it->second;
        r.id = static_cast<std::uint32_t>(index);
        r.original_label = *e.label;
        std::string unit_text;
        std::optional<double> shown;
        if (e.value)
            shown = LeadingNumber(*e.value, &unit_text);
        r.type = TypeOfUnit(unit_text, &r.unit);
        r.value = e.raw ? LeadingNumber(*e.raw, nullptr) : shown;
        memory.readings.push_back(std::move(r));
    }
    return memory;
}

GadgetSource::GadgetSource(std::unique_ptr<GadgetReader> reader, const MappingTable& mapping,
                           Warnings* warnings, SteadyNow now)
    : HwinfoReadingsSource(mapping, "HWiNFO's Gadget values"),
      reader_(std::move(reader)),
      warnings_(warnings),
      now_(now ? std::move(now) : SteadyNow([] { return std::chrono::steady_clock::now(); })) {
    if (reader_)
        where_ = reader_->Where();
}

bool GadgetSource::Load(hw::Memory* memory) {
    std::string why;
    std::uint64_t stamp = 0;
    bool ok = reader_ && reader_->Read(&values_, &stamp, &why);
    bool stopped = false;
    if (ok) {
        *memory = GadgetMemory(values_);
        ok = !memory->readings.empty();
        if (!ok)
            why = "no reading is ticked for Gadget reporting in HWiNFO's sensor settings";
    }
    if (ok) {
        stopped = !watch_.Observe(ChangeToken(values_, stamp), now_(), HwinfoStandstillBound(0));
        ok = !stopped;
    } else {
        watch_.Reset();
    }
    if (reader_) {
        std::lock_guard<std::mutex> lock(state_mutex_);
        where_ = reader_->Where();
    }
    SetState(ok, ok ? std::to_string(memory->readings.size()) + " readings"
                 : stopped
                     ? "not changed for " + std::to_string(watch_.still_for().count() / 1000) + " s"
                     : why);
    if (stopped) {
        if (!told_stopped_ && warnings_) {
            warnings_->Warn("gadget-stopped",
                            "HWiNFO's Gadget values have not changed for " +
                                std::to_string(watch_.still_for().count() / 1000) +
                                " s, so they are not served: is HWiNFO still running?");
        }
        told_stopped_ = true;
        return false;
    }
    told_stopped_ = false;
    if (!ok && warnings_)
        warnings_->Warn("gadget", "HWiNFO's Gadget values: " + why);
    return ok;
}

std::string GadgetSource::Describe() const {
    std::lock_guard<std::mutex> lock(state_mutex_);
    return "HWiNFO Gadget values in " + where_ + " (" + state_ + "), " + MappingText();
}

}  // namespace vorn::readings
