// The exposition writer: what it writes for readings, limits, alarms and counters, its
// escaping, and promtool's verdict on its output.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "agent/metrics_text.h"
#include "tests/native/agent_test_support.h"
#include "tests/native/metrics_test_support.h"

namespace vorn::agent {
namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t end = text.find('\n', pos);
        lines.push_back(text.substr(pos, end - pos));
        pos = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

bool Has(const std::string& text, const std::string& line) {
    for (const std::string& l : Lines(text)) {
        if (l == line)
            return true;
    }
    return false;
}

MetricsState Typical() {
    MetricsState s;
    s.readings[proto::kCpu] = {45.5, std::nullopt, 95.0, "coretemp/Package id 0", false};
    s.readings[proto::kVP12] = {12.096, 10.8, 13.2, "nct6775/in1", true};
    s.readings[proto::kFan1] = {1125, 300, std::nullopt, "nct6775/fan2", std::nullopt};
    s.readings[proto::kFan2] = {std::nullopt, 300, 5000, "nct6775/fan1", true};  // missing
    s.answered = 7;
    s.refused = 3;
    s.malformed = 2;
    s.limited = 1;
    s.source_reads = 40;
    s.source_errors = 4;
    s.last_sample_seconds = 1796700179.5;
    s.connections.served = 5;
    s.connections.busy = 1;
    s.version = "1.7.0.1";
    return s;
}

TEST(MetricsText, WritesReadingsLimitsAlarmsAndCountersInBaseUnits) {
    const std::string text = WriteMetrics(Typical());
    EXPECT_TRUE(Has(text,
                    "vornagent_temperature_celsius{reading=\"TCPU\",sensor=\"coretemp/Package id "
                    "0\"} 45.5"))
        << text;
    EXPECT_TRUE(Has(text,
                    "vornagent_temperature_max_celsius{reading=\"TCPU\",sensor=\"coretemp/"
                    "Package id 0\"} 95"));
    EXPECT_TRUE(
        Has(text, "vornagent_voltage_volts{reading=\"VP12\",sensor=\"nct6775/in1\"} 12.096"));
    EXPECT_TRUE(
        Has(text, "vornagent_voltage_min_volts{reading=\"VP12\",sensor=\"nct6775/in1\"} 10.8"));
    EXPECT_TRUE(
        Has(text, "vornagent_voltage_max_volts{reading=\"VP12\",sensor=\"nct6775/in1\"} 13.2"));
    EXPECT_TRUE(Has(text, "vornagent_fan_rpm{reading=\"FAN1\",sensor=\"nct6775/fan2\"} 1125"));
    EXPECT_TRUE(Has(text, "vornagent_fan_min_rpm{reading=\"FAN1\",sensor=\"nct6775/fan2\"} 300"));
    EXPECT_TRUE(Has(text, "vornagent_alarm{reading=\"TCPU\"} 0"));
    EXPECT_TRUE(Has(text, "vornagent_alarm{reading=\"VP12\"} 1"));
    EXPECT_TRUE(Has(text, "vornagent_requests_total{result=\"answered\"} 7"));
    EXPECT_TRUE(Has(text, "vornagent_requests_total{result=\"refused\"} 3"));
    EXPECT_TRUE(Has(text, "vornagent_requests_total{result=\"malformed\"} 2"));
    EXPECT_TRUE(Has(text, "vornagent_requests_total{result=\"limited\"} 1"));
    EXPECT_TRUE(Has(text, "vornagent_source_reads_total 40"));
    EXPECT_TRUE(Has(text, "vornagent_source_errors_total 4"));
    EXPECT_TRUE(Has(text, "vornagent_last_sample_timestamp_seconds 1796700179.5"));
    EXPECT_TRUE(Has(text, "vornagent_metrics_connections_total{result=\"served\"} 5"));
    EXPECT_TRUE(Has(text, "vornagent_metrics_connections_total{result=\"busy\"} 1"));
    EXPECT_TRUE(Has(text, "vornagent_build_info{version=\"1.7.0.1\"} 1"));

    // A missing reading has no sample at all, limits and alarm included; limits the sensor
    // does not know have none either.
    EXPECT_EQ(text.find("reading=\"FAN2\""), std::string::npos) << text;
    EXPECT_EQ(text.find("vornagent_temperature_min_celsius"), std::string::npos);
    EXPECT_EQ(text.find("vornagent_fan_max_rpm"), std::string::npos);
    EXPECT_EQ(text.find("reading=\"FAN1\"} "), std::string::npos);  // FAN1 has no alarm
}

TEST(MetricsText, EveryFamilyHasOneHelpAndTypeBeforeItsSamples) {
    const std::string text = WriteMetrics(Typical());
    std::vector<std::string> announced;
    std::string current;
    for (const std::string& line : Lines(text)) {
        if (line.rfind("# HELP ", 0) == 0) {
            current = line.substr(7, line.find(' ', 7) - 7);
            for (const std::string& seen : announced)
                EXPECT_NE(seen, current) << "announced twice";
            announced.push_back(current);
            continue;
        }
        if (line.rfind("# TYPE ", 0) == 0) {
            EXPECT_EQ(line.rfind("# TYPE " + current + " ", 0), 0u) << line;
            continue;
        }
        const std::string name = line.substr(0, line.find_first_of("{ "));
        EXPECT_EQ(name, current) << line;
    }
    EXPECT_EQ(announced.size(), 14u);  // Typical() leaves two limit families empty
}

TEST(MetricsText, NothingButCountersAndBuildWhenNothingIsKnown) {
    MetricsState empty;
    empty.version = "1.7.0.1";
    const std::string text = WriteMetrics(empty);
    EXPECT_EQ(text.find("reading="), std::string::npos);
    EXPECT_EQ(text.find("vornagent_last_sample_timestamp_seconds"), std::string::npos);
    EXPECT_TRUE(Has(text, "vornagent_source_reads_total 0"));
    EXPECT_TRUE(Has(text, "vornagent_build_info{version=\"1.7.0.1\"} 1"));
}

TEST(MetricsText, LabelValuesAreEscapedMadeValidUtf8AndCutAtACharacter) {
    auto label = [](std::string_view in, std::size_t max = std::string_view::npos) {
        std::string out;
        AppendLabelValue(&out, in, max);
        return out;
    };
    EXPECT_EQ(label("a\\b\"c\nd"), "a\\\\b\\\"c\\nd");
    EXPECT_EQ(label("CPU \xC2\xB0"
                    "C\tz"),
              "CPU \xC2\xB0"
              "C\tz");  // valid UTF-8 and tabs stay
    EXPECT_EQ(label("\xFF"
                    "a\xC3"),
              "\xEF\xBF\xBD"
              "a\xEF\xBF\xBD");                                // stray and cut bytes
    EXPECT_EQ(label("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");  // overlong '/'
    EXPECT_EQ(label("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // a surrogate
    EXPECT_EQ(label("\xF4\x90\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // above U+10FFFF
    EXPECT_EQ(label("\xF0\x9F\x8C\xA1"), "\xF0\x9F\x8C\xA1");                  // U+1F321 stays
    // A cut never splits a character or an escape.
    EXPECT_EQ(label("ab\xC2\xB0", 3), "ab");
    EXPECT_EQ(label("ab\"", 3), "ab");
    EXPECT_EQ(label("ab\"", 4), "ab\\\"");

    MetricsState s;
    s.readings[proto::kCpu] = {40, std::nullopt, std::nullopt, std::string(1000, 'x'), {}};
    const std::string text = WriteMetrics(s);
    EXPECT_NE(text.find("sensor=\"" + std::string(kMaxSensorLabel, 'x') + "\"}"),
              std::string::npos);
}

TEST(MetricsText, NumbersReadBackExactly) {
    MetricsState s;
    s.readings[proto::kVM12] = {-12.049, -13.2, -10.8, "x", {}};
    s.readings[proto::kVid] = {0.1 + 0.2, {}, {}, "x", {}};
    s.readings[proto::kFan3] = {0, {}, {}, "x", {}};
    const std::string text = WriteMetrics(s);
    EXPECT_TRUE(Has(text, "vornagent_voltage_volts{reading=\"VM12\",sensor=\"x\"} -12.049"));
    EXPECT_TRUE(Has(text,
                    "vornagent_voltage_volts{reading=\"VVID\",sensor=\"x\"} "
                    "0.30000000000000004"));
    EXPECT_TRUE(Has(text, "vornagent_fan_rpm{reading=\"FAN3\",sensor=\"x\"} 0"));  // a stopped fan
}

// promtool's linter, on output with every family present and hostile sensor labels.
TEST(MetricsText, PromtoolFindsNothing) {
    MetricsState s = Typical();
    const char* hostile[] = {"a\"b", "back\\slash", "new\nline", "\xFF\xFE", "", "{x=\"y\"}"};
    for (int k = 0; k < proto::kFieldCount; ++k)
        s.readings[k] = {k * 1.5, -k * 1.0, k * 3.0, hostile[k % 6], k % 2 == 0};
    testing::TempDir dir;
    const std::string path = dir.Write("metrics.txt", WriteMetrics(s));
    std::string output;
    const int status = testing::RunCommand(VORN_PROMTOOL " check metrics < " + path, &output);
    EXPECT_EQ(status, 0) << output;
    EXPECT_EQ(output, "");
}

}  // namespace
}  // namespace vorn::agent
