#include "agent/metrics_text.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace vorn::agent {

namespace {

// One kind of reading: the record positions it covers and the names of its three families.
struct ReadingFamily {
    int first;
    int last;
    const char* what;   // for the HELP texts
    const char* value;  // family names: the reading, its lower and its upper limit
    const char* min;
    const char* max;
};

constexpr ReadingFamily kReadingFamilies[] = {
    {proto::kCpu, proto::kSys, "Temperature", "vornagent_temperature_celsius",
     "vornagent_temperature_min_celsius", "vornagent_temperature_max_celsius"},
    {proto::kVid, proto::kVM12, "Voltage", "vornagent_voltage_volts", "vornagent_voltage_min_volts",
     "vornagent_voltage_max_volts"},
    {proto::kFan1, proto::kFan3, "Fan speed", "vornagent_fan_rpm", "vornagent_fan_min_rpm",
     "vornagent_fan_max_rpm"},
};

void AppendHeader(std::string* out, const char* name, const std::string& help, const char* type) {
    *out += "# HELP ";
    *out += name;
    *out += ' ';
    *out += help;
    *out += "\n# TYPE ";
    *out += name;
    *out += ' ';
    *out += type;
    *out += '\n';
}

void AppendNumber(std::string* out, double v) {
    if (std::isnan(v)) {
        *out += "NaN";
        return;
    }
    if (std::isinf(v)) {
        *out += v > 0 ? "+Inf" : "-Inf";
        return;
    }
    // The shortest of 15 to 17 significant digits that reads back as the same double. (The
    // floating-point std::to_chars would do the same, but brings some 180 KB into the Windows
    // agent.)
    char buf[32];
    for (int digits = 15;; ++digits) {
        std::snprintf(buf, sizeof buf, "%.*g", digits, v);
        if (digits == 17 || std::strtod(buf, nullptr) == v)
            break;
    }
    *out += buf;
}

void AppendCount(std::string* out, std::uint64_t v) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    out->append(buf, r.ptr);
}

// name{reading="TCPU",sensor="..."} value
void AppendReadingSample(std::string* out, const char* name, int field, const std::string& sensor,
                         double value) {
    *out += name;
    *out += "{reading=\"";
    *out += proto::kFieldNames[field];
    *out += "\",sensor=\"";
    AppendLabelValue(out, sensor, kMaxSensorLabel);
    *out += "\"} ";
    AppendNumber(out, value);
    *out += '\n';
}

using Limit = std::optional<double> MetricsReading::*;

// One family over the readings of `family`; written only when it has a sample.
void AppendReadingFamily(std::string* out, const MetricsState& state, const ReadingFamily& family,
                         const char* name, const std::string& help, Limit member) {
    bool any = false;
    for (int k = family.first; k <= family.last; ++k) {
        const MetricsReading& r = state.readings[k];
        const std::optional<double>& v = r.*member;
        if (!r.value || !v)
            continue;
        if (!any)
            AppendHeader(out, name, help, "gauge");
        any = true;
        AppendReadingSample(out, name, k, r.sensor, *v);
    }
}

void AppendCounter(std::string* out, const char* name, const char* help, std::uint64_t value) {
    AppendHeader(out, name, help, "counter");
    *out += name;
    *out += ' ';
    AppendCount(out, value);
    *out += '\n';
}

void AppendLabelledCount(std::string* out, const char* name, const char* label, const char* value,
                         std::uint64_t count) {
    *out += name;
    *out += '{';
    *out += label;
    *out += "=\"";
    *out += value;
    *out += "\"} ";
    AppendCount(out, count);
    *out += '\n';
}

// The length of the valid UTF-8 sequence at the start of `s`, or 0 when there is none
// (overlong forms, surrogates and code points above U+10FFFF are not valid).
std::size_t ValidSequence(std::string_view s) {
    const auto b0 = static_cast<unsigned char>(s[0]);
    if (b0 < 0x80)
        return 1;
    std::size_t len = 0;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        if (b0 == 0xE0)
            lo = 0xA0;
        if (b0 == 0xED)
            hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        if (b0 == 0xF0)
            lo = 0x90;
        if (b0 == 0xF4)
            hi = 0x8F;
    } else {
        return 0;
    }
    if (s.size() < len)
        return 0;
    for (std::size_t i = 1; i < len; ++i) {
        const auto b = static_cast<unsigned char>(s[i]);
        if (b < (i == 1 ? lo : 0x80) || b > (i == 1 ? hi : 0xBF))
            return 0;
    }
    return len;
}

}  // namespace

void AppendLabelValue(std::string* out, std::string_view value, std::size_t max_bytes) {
    std::size_t written = 0;
    while (!value.empty()) {
        const std::size_t n = ValidSequence(value);
        const char c = value[0];
        std::string_view piece = n == 0      ? "\xEF\xBF\xBD"
                                 : c == '\\' ? "\\\\"
                                 : c == '"'  ? "\\\""
                                 : c == '\n' ? "\\n"
                                             : value.substr(0, n);
        if (piece.size() > max_bytes - written)
            break;
        out->append(piece.data(), piece.size());
        written += piece.size();
        value.remove_prefix(n == 0 ? 1 : n);
    }
}

std::string WriteMetrics(const MetricsState& state) {
    std::string out;
    out.reserve(4096);
    const std::string after = ", after the mapping's scale and offset.";
    for (const ReadingFamily& f : kReadingFamilies) {
        const std::string what = f.what;
        AppendReadingFamily(&out, state, f, f.value, what + " reading" + after,
                            &MetricsReading::value);
        AppendReadingFamily(&out, state, f, f.min,
                            what + " lower limit in force (configured, else the sensor's)" + after,
                            &MetricsReading::low);
        AppendReadingFamily(&out, state, f, f.max,
                            what + " upper limit in force (configured, else the sensor's)" + after,
                            &MetricsReading::high);
    }

    bool any_alarm = false;
    for (int k = 0; k < proto::kFieldCount; ++k) {
        const std::optional<bool>& alarm = state.readings[k].alarm;
        if (!alarm || !state.readings[k].value)
            continue;
        if (!any_alarm) {
            AppendHeader(&out, "vornagent_alarm",
                         "1 while the reading is in alarm (outside its limits or flagged by "
                         "the sensor), else 0.",
                         "gauge");
        }
        any_alarm = true;
        AppendLabelledCount(&out, "vornagent_alarm", "reading", proto::kFieldNames[k], *alarm);
    }

    AppendHeader(&out, "vornagent_requests_total",
                 "UDP requests by what became of them: answered, or dropped as refused (source not "
                 "allowed), malformed or limited (over the source's rate).",
                 "counter");
    AppendLabelledCount(&out, "vornagent_requests_total", "result", "answered", state.answered);
    AppendLabelledCount(&out, "vornagent_requests_total", "result", "refused", state.refused);
    AppendLabelledCount(&out, "vornagent_requests_total", "result", "malformed", state.malformed);
    AppendLabelledCount(&out, "vornagent_requests_total", "result", "limited", state.limited);

    AppendCounter(&out, "vornagent_source_reads_total", "Samples taken from the reading source.",
                  state.source_reads);
    AppendCounter(&out, "vornagent_source_errors_total",
                  "Samples of the reading source that failed.", state.source_errors);
    if (state.last_sample_seconds) {
        AppendHeader(&out, "vornagent_last_sample_timestamp_seconds",
                     "Unix time of the newest sample of the reading source.", "gauge");
        out += "vornagent_last_sample_timestamp_seconds ";
        AppendNumber(&out, *state.last_sample_seconds);
        out += '\n';
    }

    const MetricsConnectionCounters& c = state.connections;
    const char* conn = "vornagent_metrics_connections_total";
    AppendHeader(&out, conn,
                 "Connections to this endpoint by outcome: served, not_found, method_not_allowed, "
                 "malformed, too_large, timed_out, refused (source not allowed) or busy (every "
                 "slot, or the source's share of them, taken).",
                 "counter");
    AppendLabelledCount(&out, conn, "result", "served", c.served);
    AppendLabelledCount(&out, conn, "result", "not_found", c.not_found);
    AppendLabelledCount(&out, conn, "result", "method_not_allowed", c.method_not_allowed);
    AppendLabelledCount(&out, conn, "result", "malformed", c.malformed);
    AppendLabelledCount(&out, conn, "result", "too_large", c.too_large);
    AppendLabelledCount(&out, conn, "result", "timed_out", c.timed_out);
    AppendLabelledCount(&out, conn, "result", "refused", c.refused);
    AppendLabelledCount(&out, conn, "result", "busy", c.busy);

    AppendHeader(&out, "vornagent_build_info", "The agent's version; the value is always 1.",
                 "gauge");
    out += "vornagent_build_info{version=\"";
    AppendLabelValue(&out, state.version);
    out += "\"} 1\n";
    return out;
}

}  // namespace vorn::agent
