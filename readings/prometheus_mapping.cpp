#include "readings/prometheus_mapping.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>

#include "readings/hwmon_chips.h"
#include "readings/text.h"

namespace vorn::readings {

namespace {

constexpr const char* kNodeTemp = "node_hwmon_temp_celsius";
constexpr const char* kNodeFan = "node_hwmon_fan_rpm";
constexpr const char* kNodeIn = "node_hwmon_in_volts";
constexpr const char* kNodeVid = "node_hwmon_cpu_vid_volts";

bool StartsWith(std::string_view s, std::string_view p) {
    return s.substr(0, p.size()) == p;
}
bool EndsWith(std::string_view s, std::string_view p) {
    return s.size() >= p.size() && s.substr(s.size() - p.size()) == p;
}
bool Contains(std::string_view s, std::string_view p) {
    return s.find(p) != std::string_view::npos;
}

// Names are joined into one map key by control bytes that no metric name, label name or label
// value of a scrape holds: a metric from its labels, one label from the next, and a label's
// name from its value (or the parts of a place from each other).
constexpr char kMetricEnd = '\x1d';
constexpr char kLabelEnd = '\x1e';
constexpr char kPartEnd = '\x1f';

// The labels of a series in name order, as one text: two series with equal keys are one series.
std::string LabelKey(const std::vector<std::pair<std::string, std::string>>& labels) {
    std::vector<const std::pair<std::string, std::string>*> sorted;
    for (const auto& l : labels)
        sorted.push_back(&l);
    std::sort(sorted.begin(), sorted.end(), [](auto* a, auto* b) { return a->first < b->first; });
    std::string key;
    for (const auto* l : sorted) {
        key += l->first;
        key.push_back(kPartEnd);
        key += l->second;
        key.push_back(kLabelEnd);
    }
    return key;
}

// A series as one key: its metric and its labels' key (LabelKey).
std::string SeriesKey(std::string_view metric, const std::string& label_key) {
    std::string key(metric);
    key.push_back(kMetricEnd);
    return key + label_key;
}

// True when `later` replaces `kept`, a series with the same name and labels: an exporter that
// repeats a series means its latest value (the later one when either has no timestamp).
bool Supersedes(const Series& later, const Series& kept) {
    return !kept.timestamp_ms || !later.timestamp_ms || *later.timestamp_ms >= *kept.timestamp_ms;
}

std::string LabelOr(const Series& s, std::string_view name, std::string_view fallback = "") {
    const std::string* v = s.Label(name);
    return v ? *v : std::string(fallback);
}

// Natural order: runs of digits compare as numbers, so "fan2" comes before "fan10".
bool NaturalLess(std::string_view a, std::string_view b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const bool da = a[i] >= '0' && a[i] <= '9';
        const bool db = b[j] >= '0' && b[j] <= '9';
        if (da && db) {
            std::size_t ei = i, ej = j;
            while (ei < a.size() && a[ei] >= '0' && a[ei] <= '9')
                ++ei;
            while (ej < b.size() && b[ej] >= '0' && b[ej] <= '9')
                ++ej;
            std::string_view na = a.substr(i, ei - i), nb = b.substr(j, ej - j);
            while (na.size() > 1 && na[0] == '0')
                na.remove_prefix(1);
            while (nb.size() > 1 && nb[0] == '0')
                nb.remove_prefix(1);
            if (na.size() != nb.size())
                return na.size() < nb.size();
            if (na != nb)
                return na < nb;
            i = ei;
            j = ej;
            continue;
        }
        if (a[i] != b[j])
            return a[i] < b[j];
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

SensorPart PartOfChip(std::string_view chip) {
    for (const char* cpu : {"coretemp", "k10temp", "k8temp", "zenpower", "cpu_thermal"}) {
        if (chip == cpu)
            return SensorPart::kCpu;
    }
    for (const char* gpu : {"amdgpu", "radeon", "nouveau", "i915", "xe"}) {
        if (chip == gpu)
            return SensorPart::kGpu;
    }
    for (const char* other : {"nvme", "drivetemp", "iwlwifi", "ath10k", "ath11k", "mt7921"}) {
        if (StartsWith(chip, other))
            return SensorPart::kOther;
    }
    return SensorPart::kBoard;
}

SensorPart PartOfHardware(std::string_view metric, std::string_view hardware_id) {
    const std::string id = LowerAscii(hardware_id);
    if (StartsWith(id, "/intelcpu") || StartsWith(id, "/amdcpu") || StartsWith(id, "/cpu") ||
        Contains(metric, "_cpu_"))
        return SensorPart::kCpu;
    if (StartsWith(id, "/gpu") || StartsWith(id, "/nvidiagpu") || StartsWith(id, "/atigpu") ||
        Contains(metric, "_gpu"))
        return SensorPart::kGpu;
    if (StartsWith(id, "/lpc") || StartsWith(id, "/motherboard") || StartsWith(id, "/mainboard") ||
        Contains(metric, "_motherboard_") || Contains(metric, "_superio_"))
        return SensorPart::kBoard;
    return SensorPart::kOther;
}

bool KindOfUnit(std::string_view metric, ReadingKind* kind) {
    if (EndsWith(metric, "_celsius"))
        *kind = ReadingKind::kTemperature;
    else if (EndsWith(metric, "_volts"))
        *kind = ReadingKind::kVoltage;
    else if (EndsWith(metric, "_rpm"))
        *kind = ReadingKind::kFan;
    else
        return false;
    return true;
}

// A limit or alarm series of some exporter rather than a reading.
bool IsLimitName(std::string_view metric) {
    for (const char* word :
         {"alarm", "_min_", "_max_", "_crit", "_lowest", "_highest", "_emergency", "_target_"}) {
        if (Contains(metric, word))
            return true;
    }
    return false;
}

int KindOrder(ReadingKind kind) {
    switch (kind) {
        case ReadingKind::kTemperature:
            return 0;
        case ReadingKind::kFan:
            return 1;
        case ReadingKind::kVoltage:
            break;
    }
    return 2;
}

SeriesSelector SelectorOf(const Series& s, std::initializer_list<const char*> names) {
    SeriesSelector sel{s.name, {}};
    for (const char* name : names) {
        if (const std::string* v = s.Label(name))
            sel.labels.emplace_back(name, *v);
    }
    return sel;
}

// The node_exporter names of a value's limit and alarm series: "node_hwmon_temp_", "_celsius".
bool NodeFamily(std::string_view value_metric, std::string_view* prefix, std::string_view* unit) {
    if (value_metric == kNodeTemp) {
        *prefix = "node_hwmon_temp_";
        *unit = "_celsius";
    } else if (value_metric == kNodeFan) {
        *prefix = "node_hwmon_fan_";
        *unit = "_rpm";
    } else if (value_metric == kNodeIn) {
        *prefix = "node_hwmon_in_";
        *unit = "_volts";
    } else {
        return false;
    }
    return true;
}

}  // namespace

bool ParseSelector(std::string_view text, SeriesSelector* out, std::string* why) {
    std::size_t a = 0, b = text.size();
    while (a < b && (text[a] == ' ' || text[a] == '\t'))
        ++a;
    while (b > a && (text[b - 1] == ' ' || text[b - 1] == '\t'))
        --b;
    text = text.substr(a, b - a);
    // A selector is a sample line without its value, so the exposition parser reads it.
    const ExpositionResult r = text.find_first_of("\r\n") == std::string_view::npos && !text.empty()
                                   ? ParseExposition(std::string(text) + " 0")
                                   : ExpositionResult{};
    if (r.series.size() != 1 || r.bad_lines != 0 || r.series[0].timestamp_ms) {
        *why = "must be METRIC or METRIC{LABEL=\"VALUE\",...}, not '" + std::string(text) + "'";
        return false;
    }
    out->metric = r.series[0].name;
    out->labels = r.series[0].labels;
    return true;
}

std::string FormatSelector(const SeriesSelector& selector) {
    std::string text = selector.metric;
    if (selector.labels.empty())
        return text;
    text.push_back('{');
    for (std::size_t k = 0; k < selector.labels.size(); ++k) {
        if (k)
            text.push_back(',');
        text += selector.labels[k].first + "=" + QuoteLabelValue(selector.labels[k].second);
    }
    text.push_back('}');
    return text;
}

bool SelectorMatches(const SeriesSelector& selector, const Series& series) {
    if (series.name != selector.metric)
        return false;
    for (const auto& want : selector.labels) {
        const std::string* have = series.Label(want.first);
        if (!have || *have != want.second)
            return false;
    }
    return true;
}

SeriesMatch FindSeries(const std::vector<Series>& all, const SeriesSelector& selector) {
    std::map<std::string, const Series*> distinct;  // label set -> the series kept
    for (const Series& s : all) {
        if (!SelectorMatches(selector, s))
            continue;
        auto [it, fresh] = distinct.emplace(LabelKey(s.labels), &s);
        if (!fresh && Supersedes(s, *it->second))
            it->second = &s;
    }
    SeriesMatch match;
    match.count = distinct.size();
    if (match.count == 1)
        match.series = distinct.begin()->second;
    return match;
}

LimitIndex::LimitIndex(const std::vector<Series>& all) {
    for (const Series& s : all) {
        if (StartsWith(s.name, "node_hwmon_") && s.name != kNodeTemp && s.name != kNodeFan &&
            s.name != kNodeIn)
            entries_.emplace_back(SeriesKey(s.name, LabelKey(s.labels)), &s);
        // Alarm flags: node_hwmon_temp_alarm, node_hwmon_temp_crit_alarm_celsius, ...
        if (StartsWith(s.name, "node_hwmon_") && Contains(s.name, "alarm") && s.value != 0.0 &&
            std::isfinite(s.value)) {
            for (const char* family : {"node_hwmon_temp_", "node_hwmon_fan_", "node_hwmon_in_"}) {
                if (StartsWith(s.name, family))
                    alarms_.insert(SeriesKey(family, LabelKey(s.labels)));
            }
        }
    }
    std::stable_sort(entries_.begin(), entries_.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
}

void LimitIndex::Find(const Series& value, std::optional<double>* low, std::optional<double>* high,
                      bool* alarm) const {
    low->reset();
    high->reset();
    *alarm = false;
    std::string_view prefix, unit;
    if (!NodeFamily(value.name, &prefix, &unit))
        return;
    const std::string labels = LabelKey(value.labels);
    auto lookup = [&](const std::string& metric) -> std::optional<double> {
        const std::string key = SeriesKey(metric, labels);
        auto it = std::lower_bound(entries_.begin(), entries_.end(), key,
                                   [](const auto& e, const std::string& k) { return e.first < k; });
        if (it == entries_.end() || it->first != key || !std::isfinite(it->second->value))
            return std::nullopt;
        return it->second->value;
    };
    const std::string p(prefix), u(unit);
    *low = lookup(p + "min" + u);
    *high = lookup(p + "max" + u);
    if (!*high)
        *high = lookup(p + "crit" + u);
    *alarm = alarms_.count(SeriesKey(p, labels)) > 0;
}

namespace {

// Each chip's place in the listing: node_exporter's chip list first, as it sorts it, then the
// order of appearance. A map, not a search of a list: a scrape of many chips costs n log n.
// (Ordered maps throughout: the names come from the endpoint, and crafted hash collisions could
// make a hash table quadratic.)
class ChipOrder {
public:
    void Place(const std::string& chip) { places_.emplace(chip, places_.size()); }
    std::size_t Of(const std::string& chip) const { return places_.at(chip); }

private:
    std::map<std::string, std::size_t> places_;
};

// A node_exporter series' chip, and its sensor when `with_sensor`, on its instance and job.
std::string NodePlace(const Series& s, bool with_sensor) {
    return LabelOr(s, "chip") + kPartEnd + (with_sensor ? LabelOr(s, "sensor") : "") + kPartEnd +
           LabelOr(s, "instance") + kPartEnd + LabelOr(s, "job");
}

// A LibreHardwareMonitor series by hardware and sensor name.
std::string LhmName(const Series& s) {
    return s.name + kPartEnd + LabelOr(s, "hardwareName") + kPartEnd + LabelOr(s, "sensorName") +
           kPartEnd + LabelOr(s, "instance");
}

// What a scrape says about its inputs besides their own series.
struct ScrapeNames {
    ScrapeNames(const std::vector<Series>& all, ChipOrder* chips) : limits(all) {
        for (const Series& s : all) {
            if (s.name == "node_hwmon_chip_names") {
                chip_names[NodePlace(s, false)] = LabelOr(s, "chip_name");
                chips->Place(LabelOr(s, "chip_name"));
            } else if (s.name == "node_hwmon_sensor_label") {
                sensor_labels[NodePlace(s, true)] = LabelOr(s, "label");
            } else if (StartsWith(s.name, "lhm_")) {
                std::set<std::string>& sets = lhm_label_sets[LhmName(s)];
                if (sets.size() < 2)
                    sets.insert(LabelKey(s.labels));
            }
        }
    }

    // node_exporter names chips by device path ("platform_coretemp_0") and says the driver's
    // name and each sensor's label in series of their own.
    std::string NodeChip(const Series& s) const {
        auto named = chip_names.find(NodePlace(s, false));
        return named != chip_names.end() && !named->second.empty() ? named->second
                                                                   : LabelOr(s, "chip");
    }

    std::map<std::string, std::string> chip_names, sensor_labels;
    // LibreHardwareMonitor: name -> its distinct label sets (up to two), since two sensors may
    // share a name.
    std::map<std::string, std::set<std::string>> lhm_label_sets;
    LimitIndex limits;
};

// node_exporter's hwmon temperatures, fans and voltages.
void NodeHwmonInput(const Series& s, const ScrapeNames& names, ScrapeInput* in) {
    in->chip = names.NodeChip(s);
    in->name = LabelOr(s, "sensor");
    auto labelled = names.sensor_labels.find(NodePlace(s, true));
    if (labelled != names.sensor_labels.end())
        in->label = labelled->second;
    // An unlabelled input whose role the chip fixes goes by the chip's name for it.
    const ChipInput fixed = DescribeChipInput(in->chip, in->name);
    if (in->label.empty() && fixed.wiring == InputWiring::kFixed)
        in->label = fixed.name;
    in->part = PartOfChip(in->chip);
    in->selector = SelectorOf(s, {"chip", "sensor", "instance"});
    names.limits.Find(s, &in->low, &in->high, &in->alarm);
}

// node_exporter's VID, which the CPU asks for: a stand-in for the core voltage (see AutoMap).
void NodeVidInput(const Series& s, const ScrapeNames& names, ScrapeInput* in) {
    in->chip = names.NodeChip(s);
    in->name = LabelOr(s, "sensor", "cpu0") + "_vid";
    in->label = "CPU VID";
    in->part = SensorPart::kBoard;
    in->selector = SelectorOf(s, {"chip", "sensor", "instance"});
}

// LibreHardwareMonitor's series, named by hardware and sensor name where that pair is unique,
// else by all their labels.
void LhmInput(const Series& s, const ScrapeNames& names, ScrapeInput* in) {
    in->chip = LabelOr(s, "hardwareName");
    in->name = LabelOr(s, "sensorId");
    in->label = LabelOr(s, "sensorName");
    in->part = PartOfHardware(s.name, LabelOr(s, "hardwareId"));
    in->selector = SelectorOf(s, {"hardwareName", "sensorName", "instance"});
    if (names.lhm_label_sets.at(LhmName(s)).size() != 1)
        in->selector = SeriesSelector{s.name, s.labels};
}

// Any other exporter's series with a unit, by the labels such exporters commonly use.
void OtherInput(const Series& s, ScrapeInput* in) {
    in->chip = LabelOr(s, "chip", LabelOr(s, "hardwareName", LabelOr(s, "device")));
    in->name = LabelOr(s, "sensor", LabelOr(s, "sensorId"));
    in->label = LabelOr(s, "label", LabelOr(s, "sensorName", LabelOr(s, "name")));
    in->selector = SeriesSelector{s.name, s.labels};
}

// The input series `s` is, by its exporter; false when it is none (no unit, or a limit, an
// alarm or a name of node_exporter's).
bool InputOf(const Series& s, const ScrapeNames& names, ScrapeInput* in) {
    if (!KindOfUnit(s.name, &in->kind))
        return false;
    if (s.name == kNodeTemp || s.name == kNodeFan || s.name == kNodeIn)
        NodeHwmonInput(s, names, in);
    else if (s.name == kNodeVid)
        NodeVidInput(s, names, in);
    else if (StartsWith(s.name, "node_hwmon_") || IsLimitName(s.name))
        return false;
    else if (StartsWith(s.name, "lhm_"))
        LhmInput(s, names, in);
    else
        OtherInput(s, in);
    in->value = s.value;
    return true;
}

// The inputs by chip place, then kind, then name in natural order; sorted on precomputed
// places, so the comparator does no look-up.
std::vector<ScrapeInput> SortedByChip(std::vector<ScrapeInput> inputs, const ChipOrder& chips) {
    std::vector<std::pair<std::size_t, std::size_t>> order;  // chip place, index into inputs
    order.reserve(inputs.size());
    for (std::size_t k = 0; k < inputs.size(); ++k)
        order.emplace_back(chips.Of(inputs[k].chip), k);
    // Equals keep their order of appearance (the index decides), as a stable sort would, without
    // the merge sort's 2 KB of code.
    std::sort(order.begin(), order.end(), [&](const auto& a, const auto& b) {
        if (a.first != b.first)
            return a.first < b.first;
        const ScrapeInput& ia = inputs[a.second];
        const ScrapeInput& ib = inputs[b.second];
        if (KindOrder(ia.kind) != KindOrder(ib.kind))
            return KindOrder(ia.kind) < KindOrder(ib.kind);
        if (NaturalLess(ia.name, ib.name))
            return true;
        if (NaturalLess(ib.name, ia.name))
            return false;
        return a.second < b.second;
    });
    std::vector<ScrapeInput> sorted;
    sorted.reserve(inputs.size());
    for (const auto& [place, k] : order)
        sorted.push_back(std::move(inputs[k]));
    return sorted;
}

}  // namespace

std::vector<ScrapeInput> CollectInputs(const std::vector<Series>& all) {
    ChipOrder chips;
    const ScrapeNames names(all, &chips);
    std::vector<ScrapeInput> inputs;
    std::map<std::string, std::pair<std::size_t, const Series*>> kept;  // index into inputs
    for (const Series& s : all) {
        ScrapeInput in;
        if (!InputOf(s, names, &in))
            continue;
        // An exporter that repeats a series gives one input, with the latest value.
        const std::string key = SeriesKey(in.selector.metric, LabelKey(in.selector.labels));
        auto seen = kept.find(key);
        if (seen != kept.end()) {
            if (Supersedes(s, *seen->second.second)) {
                inputs[seen->second.first].value = s.value;
                seen->second.second = &s;
            }
            continue;
        }
        kept.emplace(key, std::make_pair(inputs.size(), &s));
        chips.Place(in.chip);
        inputs.push_back(std::move(in));
    }
    return SortedByChip(std::move(inputs), chips);
}

std::array<int, proto::kFieldCount> AutoMap(const std::vector<ScrapeInput>& inputs) {
    std::array<int, proto::kFieldCount> map;
    map.fill(-1);
    std::vector<bool> taken(inputs.size(), false);
    // Normalised label -> the inputs with it, in order: a synonym is one look-up.
    std::map<std::string, std::vector<std::size_t>> by_name;
    for (std::size_t k = 0; k < inputs.size(); ++k)
        by_name[NormalisedLabel(inputs[k].label)].push_back(k);
    auto usable = [&](std::size_t k, ReadingKind kind) {
        return !taken[k] && inputs[k].kind == kind && inputs[k].part != SensorPart::kGpu &&
               std::isfinite(inputs[k].value);
    };
    auto take = [&](int field, std::size_t k) {
        map[field] = static_cast<int>(k);
        taken[k] = true;
    };
    // The first input, in the order of the synonyms, whose label is one of them.
    auto by_label = [&](int field, std::initializer_list<const char*> synonyms) {
        if (map[field] >= 0)
            return;
        const ReadingKind kind = KindOf(field);
        for (const char* synonym : synonyms) {
            auto named = by_name.find(synonym);
            if (named == by_name.end())
                continue;
            for (const std::size_t k : named->second) {
                if (usable(k, kind)) {
                    take(field, k);
                    return;
                }
            }
        }
    };
    auto first_where = [&](int field, auto&& pred) {
        if (map[field] >= 0)
            return;
        for (std::size_t k = 0; k < inputs.size(); ++k) {
            if (usable(k, KindOf(field)) && pred(inputs[k])) {
                take(field, k);
                return;
            }
        }
    };

    by_label(proto::kCpu, {"packageid0", "cpupackage", "package", "tdie", "core(tctl/tdie)", "tctl",
                           "cpu", "cputemperature", "cputin", "cpusocket", "cpudie"});
    first_where(proto::kCpu, [](const ScrapeInput& in) { return in.part == SensorPart::kCpu; });
    by_label(proto::kSys, {"systin", "system", "motherboard", "system1", "systemtemperature",
                           "mainboard", "mb", "sys", "systemp", "systemtemp", "chipset", "pch"});
    first_where(proto::kSys, [](const ScrapeInput& in) { return in.chip == "acpitz"; });
    by_label(proto::kPwr, {"vrm", "vrmmos", "mos", "mosfet", "vrmtemperature", "pwr", "power"});
    by_label(proto::kVid, {"vcore", "cpucore", "cpuvcore", "core(svi2tfn)", "cpucorevoltage", "vid",
                           "corevoltage", "cpuvid"});
    // LibreHardwareMonitor's board configurations call VTT "CPU Termination"; on boards
    // without one, the CPU's I/O rail (VCCIO) is the same supply on recent Intel chips.
    by_label(proto::kVtt,
             {"vtt", "cputermination", "cpuvtt", "vttcpu", "cpuvccio", "cpuvccio/imc", "vccio"});
    by_label(proto::kV33, {"3.3v", "3vcc", "3v3", "vcc3v", "v3.3", "3.3vcc"});
    by_label(proto::kVP5, {"5v", "5vcc", "vcc5v", "v5", "5vdd"});
    by_label(proto::kVM5, {"-5v"});
    by_label(proto::kVP12, {"12v", "12vcc", "v12", "vcc12v"});
    by_label(proto::kVM12, {"-12v"});
    by_label(proto::kFan1, {"cpufan", "cpu", "cpufan1", "cpuopt", "cpuopt1"});
    // The board's first and second case fans before a pump or a second CPU fan.
    by_label(proto::kFan2, {"systemfan1", "chassisfan1", "sysfan1", "chafan1", "systemfan",
                            "chassisfan", "sysfan", "chafan"});
    by_label(proto::kFan3, {"systemfan2", "chassisfan2", "sysfan2", "chafan2"});
    for (int fan = proto::kFan1; fan <= proto::kFan3; ++fan)
        first_where(fan, [](const ScrapeInput&) { return true; });
    return map;
}

}  // namespace vorn::readings
