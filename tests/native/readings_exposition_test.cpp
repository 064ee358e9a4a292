// The exposition parser on the texts real exporters write, and on damaged ones.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "readings/exposition.h"

namespace vorn::readings {
namespace {

TEST(Exposition, ReadsNodeExporterTextWithCommentsLabelsAndTimestamps) {
    const ExpositionResult r = ParseExposition(
        "# HELP node_hwmon_temp_celsius Hardware monitor for temperature (input)\n"
        "# TYPE node_hwmon_temp_celsius gauge\n"
        "node_hwmon_temp_celsius{chip=\"platform_coretemp_0\",sensor=\"temp1\"} 45\n"
        "\n"
        "   \t\n"
        "node_hwmon_fan_rpm{chip=\"nct6775\",sensor=\"fan2\",} 2812 1700000000123\r\n"
        "up 1\n"
        "# a comment\n"
        "node_hwmon_in_volts{chip=\"nct6775\",sensor=\"in1\"} 1.352e+00");
    EXPECT_EQ(r.bad_lines, 0u) << r.first_error;
    ASSERT_EQ(r.series.size(), 4u);
    EXPECT_EQ(r.series[0].name, "node_hwmon_temp_celsius");
    ASSERT_EQ(r.series[0].labels.size(), 2u);
    EXPECT_EQ(*r.series[0].Label("chip"), "platform_coretemp_0");
    EXPECT_EQ(*r.series[0].Label("sensor"), "temp1");
    EXPECT_EQ(r.series[0].Label("job"), nullptr);
    EXPECT_DOUBLE_EQ(r.series[0].value, 45.0);
    EXPECT_FALSE(r.series[0].timestamp_ms);
    EXPECT_EQ(*r.series[1].Label("sensor"), "fan2");
    EXPECT_EQ(r.series[1].timestamp_ms, 1700000000123);
    EXPECT_EQ(r.series[2].name, "up");
    EXPECT_TRUE(r.series[2].labels.empty());
    EXPECT_DOUBLE_EQ(r.series[3].value, 1.352);
}

TEST(Exposition, TakesEscapesSpecialValuesAndQuotedNames) {
    const ExpositionResult r = ParseExposition(
        "m{a=\"back\\\\slash\",b=\"quo\\\"te\",c=\"new\\nline\"} NaN\n"
        "m{a=\"x\"} +Inf\n"
        "m{a=\"y\"} -Inf -5\n"
        "m{a=\"z\"} -0.5e-3\n"
        // LibreHardwareMonitor writes a space before the braces and quotes the label names.
        "lhm_cpu_temperature_celsius {\"sensorName\"=\"CPU Package\", \"host\"=\"PC\"} 51.5 "
        "1767885364501\n"
        "{\"dotted.name\", le=\"1\"} 2\n");
    EXPECT_EQ(r.bad_lines, 0u) << r.first_error;
    ASSERT_EQ(r.series.size(), 6u);
    EXPECT_EQ(*r.series[0].Label("a"), "back\\slash");
    EXPECT_EQ(*r.series[0].Label("b"), "quo\"te");
    EXPECT_EQ(*r.series[0].Label("c"), "new\nline");
    EXPECT_TRUE(std::isnan(r.series[0].value));
    EXPECT_TRUE(std::isinf(r.series[1].value) && r.series[1].value > 0);
    EXPECT_TRUE(std::isinf(r.series[2].value) && r.series[2].value < 0);
    EXPECT_EQ(r.series[2].timestamp_ms, -5);
    EXPECT_DOUBLE_EQ(r.series[3].value, -0.0005);
    EXPECT_EQ(r.series[4].name, "lhm_cpu_temperature_celsius");
    EXPECT_EQ(*r.series[4].Label("sensorName"), "CPU Package");
    EXPECT_EQ(*r.series[4].Label("host"), "PC");
    EXPECT_DOUBLE_EQ(r.series[4].value, 51.5);
    EXPECT_EQ(r.series[5].name, "dotted.name");
    EXPECT_EQ(*r.series[5].Label("le"), "1");
}

TEST(Exposition, SkipsAndCountsBadLinesAndKeepsTheRest) {
    const ExpositionResult r = ParseExposition(
        "good 1\n"
        "m{a=\"broken \\q escape\"} 1\n"  // line 2: unknown escape
        "m{a=\"never ends} 1\n"
        "m{a=\"v\" b=\"w\"} 1\n"
        "m{a=\"v\",a=\"w\"} 1\n"
        "m 12abc\n"
        "m 1 2 3\n"
        "m 1 1.5\n"
        "9metric 1\n"
        "m{} \n"
        "<html><body>Not Found</body></html>\n"
        "{a=\"v\"} 1\n"
        "also_good{x=\"1\"} 2\n");
    ASSERT_EQ(r.series.size(), 2u);
    EXPECT_EQ(r.series[0].name, "good");
    EXPECT_EQ(r.series[1].name, "also_good");
    EXPECT_EQ(r.bad_lines, 11u);
    EXPECT_EQ(r.first_error.rfind("line 2: ", 0), 0u) << r.first_error;
    EXPECT_NE(r.first_error.find("escape"), std::string::npos) << r.first_error;
}

TEST(Exposition, BoundsLineLengthLabelCountAndSeriesCount) {
    std::string text = "m{a=\"" + std::string(kMaxExpositionLine, 'x') + "\"} 1\nafter 2\n";
    std::string labels = "many{";
    for (std::size_t k = 0; k <= kMaxSeriesLabels; ++k)
        labels += "l" + std::to_string(k) + "=\"v\",";
    text += labels + "} 1\n";
    ExpositionResult r = ParseExposition(text);
    ASSERT_EQ(r.series.size(), 1u);
    EXPECT_EQ(r.series[0].name, "after");
    EXPECT_EQ(r.bad_lines, 2u);
    EXPECT_NE(r.first_error.find("too long"), std::string::npos);

    std::string many;
    for (std::size_t k = 0; k < kMaxExpositionSeries + 10; ++k)
        many += "s 1\n";
    r = ParseExposition(many);
    EXPECT_EQ(r.series.size(), kMaxExpositionSeries);
    EXPECT_TRUE(r.truncated);
}

TEST(Exposition, SampleValuesAndQuotingRoundTrip) {
    double v = 0;
    EXPECT_TRUE(ParseSampleValue("nan", &v) && std::isnan(v));
    EXPECT_TRUE(ParseSampleValue("Inf", &v) && std::isinf(v));
    EXPECT_TRUE(ParseSampleValue("+12.5", &v) && v == 12.5);
    EXPECT_TRUE(ParseSampleValue("1e999", &v) && std::isinf(v));
    EXPECT_TRUE(ParseSampleValue(".5", &v) && v == 0.5);
    for (const char* bad : {"", "+", "-", "0x10", "1,5", "inf1", "--1", "+-1", " 1"})
        EXPECT_FALSE(ParseSampleValue(bad, &v)) << bad;

    const std::string odd = "a\\b\"c\nd";
    const ExpositionResult r = ParseExposition("m{l=" + QuoteLabelValue(odd) + "} 1\n");
    ASSERT_EQ(r.series.size(), 1u);
    EXPECT_EQ(*r.series[0].Label("l"), odd);
}

}  // namespace
}  // namespace vorn::readings
