// Finding readings in one scrape of a Prometheus endpoint: the series selectors of mapping
// lines, the sensor inputs a scrape offers (node_exporter's hwmon metrics, LibreHardwareMonitor's
// lhm_* metrics, any other *_celsius, *_volts or *_rpm series) with their limits and alarms,
// and the automatic mapping over those inputs. Pure functions over parsed series.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "protocol/sensor_protocol.h"
#include "readings/exposition.h"
#include "readings/model.h"

namespace vorn::readings {

// METRIC{LABEL="VALUE",...}: a series matches when it has the metric name and every label
// named with that value; other labels are allowed.
struct SeriesSelector {
    std::string metric;
    std::vector<std::pair<std::string, std::string>> labels;
};

// Parses a selector; on failure `why` says what is wrong.
bool ParseSelector(std::string_view text, SeriesSelector* out, std::string* why);

// The selector as a mapping line writes it: metric{a="x",b="y"} (labels in their order).
std::string FormatSelector(const SeriesSelector& selector);

// True when `series` has the selector's name and labels.
bool SelectorMatches(const SeriesSelector& selector, const Series& series);

struct SeriesMatch {
    const Series* series = nullptr;  // the match when count is 1
    std::size_t count = 0;           // distinct label sets that match
};

// The series `selector` picks out of `all`. Repeats of one label set (an exporter that writes
// a series twice) count once, and the one with the latest timestamp (else the last) is kept.
SeriesMatch FindSeries(const std::vector<Series>& all, const SeriesSelector& selector);

// Where a sensor sits, which decides what automatic mapping may take it for.
enum class SensorPart { kCpu, kBoard, kGpu, kOther };

struct ScrapeInput {
    ReadingKind kind = ReadingKind::kTemperature;
    SensorPart part = SensorPart::kOther;
    std::string chip;         // node_exporter's chip name, LibreHardwareMonitor's hardware name
    std::string name;         // node_exporter's sensor ("temp1"), LibreHardwareMonitor's sensor id
    std::string label;        // the human name ("Package id 0", "CPU Package"), may be empty
    SeriesSelector selector;  // picks exactly this input's value series
    double value = 0.0;
    std::optional<double> low, high;  // limits the exporter publishes
    bool alarm = false;               // the exporter's alarm flag for the input is set
};

// Every sensor input of a scrape, chips in order of appearance and inputs in natural order
// within a chip (fan2 before fan10).
std::vector<ScrapeInput> CollectInputs(const std::vector<Series>& all);

// The limits and alarm flags published beside the values of one scrape: node_exporter's
// _min, _max, _crit and _alarm series with the same labels as the value. Other exporters
// publish none. Refers to `all`, which must outlive it.
class LimitIndex {
public:
    explicit LimitIndex(const std::vector<Series>& all);
    // The limits of `value` (high: _max, else _crit) and whether an alarm flag is set.
    void Find(const Series& value, std::optional<double>* low, std::optional<double>* high,
              bool* alarm) const;

private:
    std::vector<std::pair<std::string, const Series*>> entries_;  // sorted by key
    std::set<std::string> alarms_;  // "node_hwmon_temp_" + labels of inputs with a flag set
};

// For each reading, the index into `inputs` that automatic mapping takes, or -1: the CPU
// package or die temperature, the board temperature, a VRM temperature, voltages by their
// labels (Vcore, +3.3V, +5V, +12V, ...), the CPU fan then the other fans.
std::array<int, proto::kFieldCount> AutoMap(const std::vector<ScrapeInput>& inputs);

}  // namespace vorn::readings
