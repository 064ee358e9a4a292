// A parser of the Prometheus text exposition format, the text that node_exporter,
// LibreHardwareMonitor's /metrics and a Prometheus server's /federate answer with.
// It is tolerant (a bad line is skipped and counted, the rest still parsed) and bounded
// (long lines, many labels and many series are cut off), as the text comes from the network.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vorn::readings {

// Lines longer than this are skipped as bad; a sample line is rarely longer than 1 KiB.
constexpr std::size_t kMaxExpositionLine = 64 * 1024;
// Series past this count are dropped (and the result says so).
constexpr std::size_t kMaxExpositionSeries = 100000;
// A series with more labels than this is a bad line.
constexpr std::size_t kMaxSeriesLabels = 64;

struct Series {
    std::string name;
    std::vector<std::pair<std::string, std::string>> labels;  // in the order written
    double value = 0.0;                                       // may be NaN or +-Inf
    std::optional<std::int64_t> timestamp_ms;                 // as written, if written

    // The value of label `name`, or nullptr when the series has no such label.
    const std::string* Label(std::string_view name) const;
};

struct ExpositionResult {
    std::vector<Series> series;
    std::size_t bad_lines = 0;
    std::string first_error;  // "line 7: ..." for the first bad line, empty when none
    bool truncated = false;   // more than kMaxExpositionSeries series were offered
};

// Parses an exposition text: '#' lines (HELP, TYPE and other comments) and blank lines are
// skipped, CRLF line ends are taken, label names may be bare or quoted, label values take
// the escapes \\, \" and \n, values may be NaN, +Inf or -Inf, a timestamp may follow.
ExpositionResult ParseExposition(std::string_view text);

// Parses one sample value: a decimal floating-point number (an optional sign), "NaN",
// "+Inf", "-Inf" or "Inf" (any case). False when `text` is anything else.
bool ParseSampleValue(std::string_view text, double* value);

// Writes `value` as a label value between double quotes with the three escapes.
std::string QuoteLabelValue(std::string_view value);

}  // namespace vorn::readings
