#include "readings/hwinfo_source.h"

#include <cctype>

#include "readings/text.h"

namespace vorn::readings {

namespace {

namespace hw = readings::hwinfo;

constexpr char kSeparator[] = " / ";
constexpr std::size_t kSeparatorLength = 3;

// Any white space, not only the blanks readings::Trim takes: names come from another program.
std::string TrimWhitespace(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b])))
        ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1])))
        --e;
    return s.substr(b, e - b);
}

std::optional<ReadingKind> KindOfReading(hw::ReadingType type) {
    switch (type) {
        case hw::ReadingType::kTemperature:
            return ReadingKind::kTemperature;
        case hw::ReadingType::kVoltage:
            return ReadingKind::kVoltage;
        case hw::ReadingType::kFan:
            return ReadingKind::kFan;
        default:
            return std::nullopt;
    }
}

bool SensorNamed(const hw::Sensor& s, const std::string& name) {
    return hw::DisplayName(s) == name || s.original_name == name;
}

bool ReadingLabelled(const hw::Reading& r, const std::string& label) {
    return hw::DisplayLabel(r) == label || r.original_label == label;
}

std::string SelectorOf(const hw::Memory& m, const hw::Reading& r) {
    return hw::DisplayName(m.sensors[r.sensor_index]) + kSeparator + hw::DisplayLabel(r);
}

// The reading of `kind` a selector names, trying each " / " as the split (names may hold a
// slash); -1 when none matches. The kind tells apart a board's "CPU" temperature and "CPU" fan.
int Resolve(const hw::Memory& m, const std::string& selector, ReadingKind kind) {
    for (std::size_t at = selector.find(kSeparator); at != std::string::npos;
         at = selector.find(kSeparator, at + 1)) {
        const std::string sensor = TrimWhitespace(selector.substr(0, at));
        const std::string label = TrimWhitespace(selector.substr(at + kSeparatorLength));
        for (std::size_t i = 0; i < m.readings.size(); ++i) {
            const hw::Reading& r = m.readings[i];
            if (KindOfReading(r.type) == kind && ReadingLabelled(r, label) &&
                SensorNamed(m.sensors[r.sensor_index], sensor))
                return static_cast<int>(i);
        }
    }
    return -1;
}

// Labels that mean a reading, in order of preference, with the kind of reading they must be.
struct Synonyms {
    const char* field;
    hw::ReadingType type;
    std::vector<const char*> labels;
};

const std::vector<Synonyms>& AutoTable() {
    static const std::vector<Synonyms> table = {
        {"TCPU",
         hw::ReadingType::kTemperature,
         {"CPU Package", "CPU (Tctl/Tdie)", "CPU (Tctl)", "CPU Die (average)", "CPU"}},
        {"TSYS",
         hw::ReadingType::kTemperature,
         {"System", "System1", "System 1", "Motherboard", "Mainboard", "SYSTIN"}},
        {"TPWR",
         hw::ReadingType::kTemperature,
         {"Power Supply", "PSU", "VRM", "CPU VRM", "MOS", "Auxiliary", "AUXTIN"}},
        {"VVID",
         hw::ReadingType::kVoltage,
         {"Vcore", "CPU Core", "CPU Core Voltage", "Core #0 VID", "CPU VID", "VID"}},
        {"VVTT",
         hw::ReadingType::kVoltage,
         {"CPU Termination", "VTT", "CPU VTT", "VCCIO", "CPU VCCIO"}},
        {"V33V", hw::ReadingType::kVoltage, {"+3.3V", "3.3V", "3VCC", "+3.3V Voltage"}},
        {"VP05", hw::ReadingType::kVoltage, {"+5V", "5V", "5VCC", "+5V Voltage"}},
        {"VM05", hw::ReadingType::kVoltage, {"-5V", "-5V Voltage"}},
        {"VP12", hw::ReadingType::kVoltage, {"+12V", "12V", "+12V Voltage"}},
        {"VM12", hw::ReadingType::kVoltage, {"-12V", "-12V Voltage"}},
        {"FAN1", hw::ReadingType::kFan, {"CPU", "CPU Fan", "CPU_FAN", "CPU Fan #1"}},
        {"FAN2",
         hw::ReadingType::kFan,
         {"System 1", "Chassis Fan #1", "Chassis1", "Chassis 1", "System", "SYS_FAN1",
          "System Fan #1"}},
        {"FAN3",
         hw::ReadingType::kFan,
         {"System 2", "Chassis Fan #2", "Chassis2", "Chassis 2", "Power Supply", "PSU", "SYS_FAN2",
          "System Fan #2"}},
    };
    return table;
}

// HWiNFO polls every 2 s unless its user says otherwise.
constexpr std::uint32_t kDefaultPollingPeriodMs = 2000;
// Periods outside this range are damage, not a setting.
constexpr std::uint32_t kMinPollingPeriodMs = 50;
constexpr std::uint32_t kMaxPollingPeriodMs = 10 * 60 * 1000;
constexpr std::uint32_t kStandstillPeriods = 4;
constexpr std::chrono::milliseconds kStandstillFloor{10000};

// A reading name to suggest in --list for a reading that is not auto-mapped.
const char* SuggestedField(ReadingKind kind) {
    return kind == ReadingKind::kTemperature ? "TCPU"
           : kind == ReadingKind::kVoltage   ? "VVID"
                                             : "FAN1";
}

}  // namespace

bool CheckHwinfoSelector(const std::string& reading, const std::string& selector,
                         std::string* why) {
    const std::size_t at = selector.find(kSeparator);
    if (at == std::string::npos || TrimWhitespace(selector.substr(0, at)).empty() ||
        TrimWhitespace(selector.substr(at + kSeparatorLength)).empty()) {
        if (why)
            *why = reading + " must be mapped as SENSOR / LABEL (as vornagent --list shows them)";
        return false;
    }
    return true;
}

MappingTable HwinfoAutoMapping(const hw::Memory& memory) {
    MappingTable table;
    std::vector<bool> taken(memory.readings.size(), false);
    for (const Synonyms& s : AutoTable()) {
        const int field = FieldIndex(s.field);
        bool found = false;
        for (const char* label : s.labels) {
            for (std::size_t i = 0; i < memory.readings.size() && !found; ++i) {
                const hw::Reading& r = memory.readings[i];
                // A reading without a value is passed over, so that a label HWiNFO cannot
                // read on this board does not hide the next synonym.
                if (taken[i] || r.type != s.type || !r.value)
                    continue;
                if (EqualsIgnoringCase(hw::DisplayLabel(r), label) ||
                    EqualsIgnoringCase(r.original_label, label)) {
                    table[field].selector = SelectorOf(memory, r);
                    taken[i] = true;
                    found = true;
                }
            }
            if (found)
                break;
        }
    }
    return table;
}

std::optional<double> HwinfoValueInBarUnits(const hw::Reading& reading, std::optional<double> raw) {
    if (!raw || !KindOfReading(reading.type))
        return std::nullopt;
    const std::string& unit = reading.unit;
    if (reading.type == hw::ReadingType::kTemperature && !unit.empty() &&
        (unit.back() == 'F' || unit.back() == 'f')) {
        return (*raw - 32.0) * 5.0 / 9.0;
    }
    if (reading.type == hw::ReadingType::kVoltage && EqualsIgnoringCase(unit, "mV"))
        return *raw / 1000.0;
    return raw;
}

std::chrono::milliseconds HwinfoStandstillBound(std::uint32_t polling_period_ms) {
    const std::uint32_t period =
        polling_period_ms >= kMinPollingPeriodMs && polling_period_ms <= kMaxPollingPeriodMs
            ? polling_period_ms
            : kDefaultPollingPeriodMs;
    const std::chrono::milliseconds bound{std::uint64_t{period} * kStandstillPeriods};
    return bound > kStandstillFloor ? bound : kStandstillFloor;
}

std::string HwinfoStoppedLine(std::chrono::milliseconds still_for) {
    return "HWiNFO stopped updating its shared memory (no new poll for " +
           std::to_string(still_for.count() / 1000) +
           " s), so its readings are not served; the free edition turns shared memory support "
           "off after 12 hours. Turn \"Shared Memory Support\" on again in HWiNFO's settings, "
           "or tick the readings for Gadget reporting in HWiNFO's sensor settings, which "
           "vornagent also reads";
}

namespace {

bool NothingMapped(const MappingTable& mapping) {
    for (const Mapping& m : mapping) {
        if (m.mapped())
            return false;
    }
    return true;
}

}  // namespace

HwinfoReadingsSource::HwinfoReadingsSource(const MappingTable& mapping, std::string what)
    : configured_(mapping), automatic_(NothingMapped(mapping)), what_(std::move(what)) {}

void HwinfoReadingsSource::SetState(bool live, std::string state) {
    std::lock_guard<std::mutex> lock(state_mutex_);
    live_ = live;
    state_ = std::move(state);
}

MappingMatch HwinfoReadingsSource::MatchMapping() {
    hw::Memory memory;
    if (!Load(&memory)) {
        MappingMatch m;
        for (int k = 0; k < proto::kFieldCount; ++k)
            m.mapped[k] = configured_[k].mapped();
        std::lock_guard<std::mutex> lock(state_mutex_);
        m.why = what_ + ": " + state_;
        return m;
    }
    return HwinfoMatch(memory, configured_, automatic_);
}

ReadingSet HwinfoReadingsSource::Sample() {
    hw::Memory memory;
    if (!Load(&memory)) {
        std::lock_guard<std::mutex> lock(state_mutex_);
        match_ = MappingMatch{};
        return ReadingSet{};
    }
    {
        MappingMatch match = HwinfoMatch(memory, configured_, automatic_);
        std::lock_guard<std::mutex> lock(state_mutex_);
        match_ = std::move(match);
    }
    return HwinfoReadings(memory, configured_, automatic_);
}

std::vector<ListedInput> HwinfoReadingsSource::List() {
    hw::Memory memory;
    if (!Load(&memory))
        return {};
    return HwinfoListing(memory);
}

std::string HwinfoReadingsSource::MappingText() const {
    // The caller holds state_mutex_.
    return automatic_ ? std::string("automatic mapping")
                      : DescribeMatchedMapping(configured_, match_);
}

bool HwinfoReadingsSource::live() const {
    std::lock_guard<std::mutex> lock(state_mutex_);
    return live_;
}

std::string HwinfoReadingsSource::state() const {
    std::lock_guard<std::mutex> lock(state_mutex_);
    return state_;
}

HwinfoSource::HwinfoSource(std::unique_ptr<HwinfoMemoryReader> reader, const MappingTable& mapping,
                           Warnings* warnings, SteadyNow now)
    : HwinfoReadingsSource(mapping, "HWiNFO's shared memory"),
      reader_(std::move(reader)),
      warnings_(warnings),
      now_(now ? std::move(now) : SteadyNow([] { return std::chrono::steady_clock::now(); })) {}

bool HwinfoSource::Load(hw::Memory* memory) {
    std::string why;
    bool ok = reader_ && reader_->Read(&copy_, &why);
    bool stopped = false;
    if (ok) {
        hw::ParseResult parsed = hw::ParseMemory(copy_.data(), copy_.size());
        ok = parsed.status == hw::Status::kOk;
        if (ok)
            *memory = std::move(parsed.memory);
        else
            why = parsed.error;
    }
    if (ok) {
        const std::chrono::milliseconds bound = HwinfoStandstillBound(memory->polling_period_ms);
        stopped =
            !poll_watch_.Observe(static_cast<std::uint64_t>(memory->poll_time), now_(), bound);
        ok = !stopped;
    } else {
        poll_watch_.Reset();  // gone or ended: a new memory starts afresh
    }
    SetState(ok, ok        ? std::to_string(memory->readings.size()) + " readings"
                 : stopped ? "not updated for " +
                                 std::to_string(poll_watch_.still_for().count() / 1000) + " s"
                           : why);
    if (stopped) {
        if (!told_stopped_ && warnings_)
            warnings_->Warn("hwinfo-stopped", HwinfoStoppedLine(poll_watch_.still_for()));
        told_stopped_ = true;
        return false;
    }
    told_stopped_ = false;
    if (!ok && warnings_)
        warnings_->Warn("hwinfo", "HWiNFO's shared memory: " + why);
    if (ok && memory->damaged > 0 && warnings_) {
        warnings_->Warn("hwinfo-damaged",
                        "HWiNFO's shared memory: " + std::to_string(memory->damaged) +
                            " damaged elements left out");
    }
    return ok;
}

MappingMatch HwinfoMatch(const hw::Memory& memory, const MappingTable& configured, bool automatic) {
    MappingMatch m;
    m.read = true;
    if (automatic)
        return m;
    for (int field = 0; field < proto::kFieldCount; ++field) {
        if (!configured[field].mapped())
            continue;
        m.mapped[field] = true;
        const int index = Resolve(memory, configured[field].selector, KindOf(field));
        if (index >= 0) {
            m.found[field] = SelectorOf(memory, memory.readings[index]);
        } else {
            const ReadingKind kind = KindOf(field);
            m.unmatched[field] = std::string("matches nothing: HWiNFO shows no ") +
                                 (kind == ReadingKind::kTemperature ? "temperature"
                                  : kind == ReadingKind::kVoltage   ? "voltage"
                                                                    : "fan") +
                                 " named '" + configured[field].selector +
                                 "' (SENSOR / LABEL, as vornagent --list shows them)";
        }
    }
    return m;
}

ReadingSet HwinfoReadings(const hw::Memory& memory, const MappingTable& configured,
                          bool automatic) {
    ReadingSet set;
    const MappingTable mapping = automatic ? HwinfoAutoMapping(memory) : configured;
    for (int field = 0; field < proto::kFieldCount; ++field) {
        const Mapping& m = mapping[field];
        if (!m.mapped())
            continue;
        const int index = Resolve(memory, m.selector, KindOf(field));
        if (index < 0)
            continue;
        const hw::Reading& r = memory.readings[index];
        const std::optional<double> v = HwinfoValueInBarUnits(r, r.value);
        set[field].sensor = SelectorOf(memory, r);
        if (v)
            set[field].value = Correct(m, *v);
    }
    return set;
}

std::vector<ListedInput> HwinfoListing(const hw::Memory& memory) {
    std::vector<ListedInput> inputs;
    const MappingTable automatic = HwinfoAutoMapping(memory);
    for (const hw::Reading& r : memory.readings) {
        const std::optional<ReadingKind> kind = KindOfReading(r.type);
        if (!kind)
            continue;
        ListedInput in;
        in.description = SelectorOf(memory, r);
        in.kind = *kind;
        in.value = HwinfoValueInBarUnits(r, r.value);
        const char* field = SuggestedField(*kind);
        for (int f = 0; f < proto::kFieldCount; ++f) {
            if (automatic[f].selector == in.description && KindOf(f) == *kind) {
                field = proto::kFieldNames[f];
                in.automatic = true;
            }
        }
        in.mapping_line = std::string(field) + " = " + in.description;
        inputs.push_back(std::move(in));
    }
    return inputs;
}

std::string HwinfoSource::Describe() const {
    std::lock_guard<std::mutex> lock(state_mutex_);
    return "HWiNFO shared memory (" + state_ + "), " + MappingText();
}

}  // namespace vorn::readings
