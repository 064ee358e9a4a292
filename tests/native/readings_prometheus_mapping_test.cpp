// Selectors, inputs and automatic mapping over scrapes shaped like node_exporter's and
// LibreHardwareMonitor's answers.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "readings/prometheus_mapping.h"

namespace vorn::readings {
namespace {

std::vector<Series> Parse(const std::string& text) {
    ExpositionResult r = ParseExposition(text);
    EXPECT_EQ(r.bad_lines, 0u) << r.first_error;
    return std::move(r.series);
}

std::string ReadFixture(const std::string& name) {
    std::ifstream in(std::string(VORN_PROMETHEUS_FIXTURES) + "/" + name);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// What automatic mapping picked for `field`: "LABEL=VALUE" or "-".
std::string Picked(const std::vector<ScrapeInput>& inputs,
                   const std::array<int, proto::kFieldCount>& map, int field) {
    if (map[field] < 0)
        return "-";
    const ScrapeInput& in = inputs[static_cast<std::size_t>(map[field])];
    std::ostringstream text;
    text << in.label << "=" << in.value;
    return text.str();
}

// node_exporter 1.5 on a board like tests/native/fixtures/sysfs/intel-nct6775, with the
// chip names it derives from device paths and the limits and alarms it publishes.
const char* const kNodeExporter =
    R"(# HELP node_hwmon_chip_names Annotation metric for human-readable chip names
# TYPE node_hwmon_chip_names gauge
node_hwmon_chip_names{chip="platform_coretemp_0",chip_name="coretemp"} 1
node_hwmon_chip_names{chip="platform_nct6775_656",chip_name="nct6775"} 1
node_hwmon_chip_names{chip="thermal_thermal_zone0",chip_name="acpitz"} 1
node_hwmon_fan_alarm{chip="platform_nct6775_656",sensor="fan2"} 1
node_hwmon_fan_min_rpm{chip="platform_nct6775_656",sensor="fan2"} 500
node_hwmon_fan_rpm{chip="platform_nct6775_656",sensor="fan1"} 0
node_hwmon_fan_rpm{chip="platform_nct6775_656",sensor="fan10"} 700
node_hwmon_fan_rpm{chip="platform_nct6775_656",sensor="fan2"} 1125
node_hwmon_fan_rpm{chip="platform_nct6775_656",sensor="fan3"} 812
node_hwmon_in_max_volts{chip="platform_nct6775_656",sensor="in1"} 1.4
node_hwmon_in_volts{chip="platform_nct6775_656",sensor="in1"} 1.016
node_hwmon_sensor_label{chip="platform_coretemp_0",label="Package id 0",sensor="temp1"} 1
node_hwmon_sensor_label{chip="platform_coretemp_0",label="Core 0",sensor="temp2"} 1
node_hwmon_sensor_label{chip="platform_nct6775_656",label="SYSTIN",sensor="temp1"} 1
node_hwmon_sensor_label{chip="platform_nct6775_656",label="+12V",sensor="in1"} 1
node_hwmon_temp_celsius{chip="thermal_thermal_zone0",sensor="temp1"} 27.8
node_hwmon_temp_celsius{chip="platform_coretemp_0",sensor="temp2"} 43
node_hwmon_temp_celsius{chip="platform_coretemp_0",sensor="temp1"} 45
node_hwmon_temp_celsius{chip="platform_nct6775_656",sensor="temp1"} 31
node_hwmon_temp_crit_alarm_celsius{chip="platform_nct6775_656",sensor="temp1"} 0
node_hwmon_temp_crit_celsius{chip="platform_nct6775_656",sensor="temp1"} 90
node_hwmon_temp_max_celsius{chip="platform_nct6775_656",sensor="temp1"} 80
node_scrape_collector_success{collector="hwmon"} 1
)";

TEST(PrometheusSelector, ParsesFormatsAndMatchesWithExtraLabelsAllowed) {
    SeriesSelector sel;
    std::string why;
    ASSERT_TRUE(ParseSelector(
        "  node_hwmon_temp_celsius{chip=\"platform_coretemp_0\", sensor=\"temp1\"} ", &sel, &why))
        << why;
    EXPECT_EQ(FormatSelector(sel),
              "node_hwmon_temp_celsius{chip=\"platform_coretemp_0\",sensor=\"temp1\"}");
    const std::vector<Series> all = Parse(
        "node_hwmon_temp_celsius{chip=\"platform_coretemp_0\",sensor=\"temp1\",instance=\"a:9100\","
        "job=\"node\"} 45\n"
        "node_hwmon_temp_celsius{chip=\"platform_coretemp_0\",sensor=\"temp2\"} 43\n");
    EXPECT_TRUE(SelectorMatches(sel, all[0]));
    EXPECT_FALSE(SelectorMatches(sel, all[1]));
    ASSERT_TRUE(ParseSelector("up", &sel, &why));
    EXPECT_EQ(FormatSelector(sel), "up");
    ASSERT_TRUE(ParseSelector("lhm_x{\"sensorName\"=\"Fan \\\"#1\\\"\"}", &sel, &why));
    EXPECT_EQ(FormatSelector(sel), "lhm_x{sensorName=\"Fan \\\"#1\\\"\"}");

    for (const char* bad : {"", "m{a=\"x\"", "m{a=x}", "m 5", "m{a=\"x\"} 1", "# m", "m\n{}",
                            "{a=\"x\"}", "m{a=\"\\q\"}"}) {
        why.clear();
        EXPECT_FALSE(ParseSelector(bad, &sel, &why)) << bad;
        EXPECT_NE(why.find("METRIC{LABEL=\"VALUE\""), std::string::npos) << bad;
    }
}

TEST(PrometheusSelector, CountsDistinctMatchesAndKeepsTheLatestRepeat) {
    const std::vector<Series> all = Parse(
        "t{chip=\"a\",sensor=\"temp1\"} 40 1000\n"
        "t{chip=\"b\",sensor=\"temp1\"} 41\n"
        "t{sensor=\"temp1\",chip=\"a\"} 42 3000\n"  // the same series again, later
        "t{chip=\"a\",sensor=\"temp1\"} 39 2000\n");
    SeriesSelector sel;
    std::string why;
    ASSERT_TRUE(ParseSelector("t{sensor=\"temp1\"}", &sel, &why));
    EXPECT_EQ(FindSeries(all, sel).count, 2u);
    EXPECT_EQ(FindSeries(all, sel).series, nullptr);
    ASSERT_TRUE(ParseSelector("t{chip=\"a\"}", &sel, &why));
    const SeriesMatch one = FindSeries(all, sel);
    ASSERT_EQ(one.count, 1u);
    EXPECT_DOUBLE_EQ(one.series->value, 42.0);
    ASSERT_TRUE(ParseSelector("t{chip=\"c\"}", &sel, &why));
    EXPECT_EQ(FindSeries(all, sel).count, 0u);
}

TEST(PrometheusInputs, NodeExporterInputsCarryChipNamesLabelsLimitsAndAlarms) {
    const std::vector<Series> all = Parse(kNodeExporter);
    const std::vector<ScrapeInput> inputs = CollectInputs(all);
    // Chips as node_exporter lists them, then temperatures, fans, voltages in natural order.
    std::vector<std::string> order;
    for (const ScrapeInput& in : inputs)
        order.push_back(in.chip + "/" + in.name);
    EXPECT_EQ(order, (std::vector<std::string>{"coretemp/temp1", "coretemp/temp2", "nct6775/temp1",
                                               "nct6775/fan1", "nct6775/fan2", "nct6775/fan3",
                                               "nct6775/fan10", "nct6775/in1", "acpitz/temp1"}));
    ASSERT_EQ(inputs.size(), 9u);
    const ScrapeInput& package = inputs[0];
    EXPECT_EQ(package.label, "Package id 0");
    EXPECT_EQ(package.part, SensorPart::kCpu);
    EXPECT_EQ(FormatSelector(package.selector),
              "node_hwmon_temp_celsius{chip=\"platform_coretemp_0\",sensor=\"temp1\"}");
    const ScrapeInput& systin = inputs[2];
    EXPECT_EQ(systin.label, "SYSTIN");
    EXPECT_EQ(systin.high, 80.0);
    EXPECT_FALSE(systin.low);
    EXPECT_FALSE(systin.alarm);  // the crit alarm reads 0
    const ScrapeInput& fan2 = inputs[4];
    EXPECT_EQ(fan2.name, "fan2");
    EXPECT_EQ(fan2.low, 500.0);
    EXPECT_TRUE(fan2.alarm);
    EXPECT_EQ(inputs[6].name, "fan10");
    EXPECT_EQ(inputs[7].high, 1.4);
}

TEST(PrometheusAutoMap, NodeExporterGetsTheHwmonChoicesAndLabelledVoltages) {
    const std::vector<ScrapeInput> inputs = CollectInputs(Parse(kNodeExporter));
    const auto map = AutoMap(inputs);
    EXPECT_EQ(Picked(inputs, map, proto::kCpu), "Package id 0=45");
    EXPECT_EQ(Picked(inputs, map, proto::kSys), "SYSTIN=31");
    EXPECT_EQ(Picked(inputs, map, proto::kVP12), "+12V=1.016");
    EXPECT_EQ(Picked(inputs, map, proto::kFan1), "=0");  // fan1, fan2, fan3 as hwmon does
    EXPECT_EQ(inputs[static_cast<std::size_t>(map[proto::kFan2])].name, "fan2");
    EXPECT_EQ(inputs[static_cast<std::size_t>(map[proto::kFan3])].name, "fan3");
    for (int field : {proto::kPwr, proto::kVid, proto::kVtt, proto::kV33, proto::kVP5, proto::kVM5,
                      proto::kVM12})
        EXPECT_EQ(map[field], -1) << field;
}

// The picks of a page for all thirteen fields, "LABEL=VALUE" each, in record order.
std::vector<std::string> AllPicked(const std::vector<ScrapeInput>& inputs) {
    const auto map = AutoMap(inputs);
    std::vector<std::string> picked;
    for (int field = 0; field < proto::kFieldCount; ++field)
        picked.push_back(Picked(inputs, map, field));
    return picked;
}

TEST(PrometheusAutoMap, NodeExportersUnlabelledNuvotonInputsGoByTheChipsFixedRoles) {
    const std::string chip =
        "node_hwmon_chip_names{chip=\"platform_nct6775_656\",chip_name=\"nct6798\"} 1\n";
    const std::string core =
        "node_hwmon_in_volts{chip=\"platform_nct6775_656\",sensor=\"in0\"} 1.344\n";
    const std::string rails =
        "node_hwmon_in_volts{chip=\"platform_nct6775_656\",sensor=\"in3\"} 3.328\n"
        "node_hwmon_in_volts{chip=\"platform_nct6775_656\",sensor=\"in4\"} 1.016\n"
        "node_hwmon_cpu_vid_volts{chip=\"platform_nct6775_656\",sensor=\"cpu0\"} 1.55\n";
    std::vector<ScrapeInput> inputs = CollectInputs(Parse(chip + core + rails));
    auto map = AutoMap(inputs);
    EXPECT_EQ(Picked(inputs, map, proto::kVid), "CPUVCORE=1.344");
    EXPECT_EQ(Picked(inputs, map, proto::kV33), "3VCC=3.328");
    EXPECT_EQ(Picked(inputs, map, proto::kVP12), "-");  // in4: behind the board's divider
    // The VID the CPU asks for, only when nothing measures the core voltage.
    inputs = CollectInputs(Parse(chip + rails));
    map = AutoMap(inputs);
    EXPECT_EQ(Picked(inputs, map, proto::kVid), "CPU VID=1.55");
    EXPECT_EQ(FormatSelector(inputs[static_cast<std::size_t>(map[proto::kVid])].selector),
              "node_hwmon_cpu_vid_volts{chip=\"platform_nct6775_656\",sensor=\"cpu0\"}");
}

TEST(PrometheusAutoMap, LibreHardwareMonitor095PageOfAnIntelBoardWithItsNewestSamples) {
    const std::vector<Series> all = Parse(ReadFixture("lhm-0.9.5-intel.txt"));
    const std::vector<ScrapeInput> inputs = CollectInputs(all);
    // Record order: CPU, PWR, SYS, VID, VTT, 3.3V, +5V, -5V, +12V, -12V, FAN1, FAN2, FAN3. The
    // newest of each series' five samples; VTT by its board configuration's name; the case
    // fans before the CPU's second fan, by the names the web server sends without '#'.
    EXPECT_EQ(AllPicked(inputs),
              (std::vector<std::string>{"CPU Package=48", "VRM=46", "Motherboard=34", "Vcore=1.264",
                                        "CPU Termination=1.056", "+3.3V=3.344", "+5V=5.04", "-",
                                        "+12V=12.096", "-", "CPU Fan=1251", "Chassis Fan 1=786",
                                        "Chassis Fan 2=803"}));
    // Five samples of a series are one input.
    EXPECT_EQ(std::count_if(inputs.begin(), inputs.end(),
                            [](const ScrapeInput& in) { return in.label == "Vcore"; }),
              1);
    const auto map = AutoMap(inputs);
    const ScrapeInput& vtt = inputs[static_cast<std::size_t>(map[proto::kVtt])];
    EXPECT_EQ(vtt.part, SensorPart::kBoard);
    EXPECT_EQ(vtt.chip, "ASUS PRIME Z690-P");
    EXPECT_EQ(FormatSelector(vtt.selector),
              "lhm_motherboard_voltage_volts{hardwareName=\"ASUS PRIME Z690-P\","
              "sensorName=\"CPU Termination\"}");
    // A configured line finds the newest sample too.
    const SeriesMatch match = FindSeries(all, vtt.selector);
    ASSERT_EQ(match.count, 1u);
    EXPECT_EQ(match.series->timestamp_ms, 1767885364501);
    EXPECT_EQ(FormatSelector(inputs[static_cast<std::size_t>(map[proto::kCpu])].selector),
              "lhm_cpu_temperature_celsius{hardwareName=\"12th Gen Intel Core i5-12600K\","
              "sensorName=\"CPU Package\"}");
    for (const ScrapeInput& in : inputs) {
        EXPECT_NE(in.selector.metric, "lhm_cpu_load_percent");  // not a reading's unit
        EXPECT_NE(in.selector.metric, "lhm_motherboard_control_percent");
    }
}

TEST(PrometheusAutoMap, LibreHardwareMonitor096PageOfAnAmdBoard) {
    const std::vector<ScrapeInput> inputs = CollectInputs(Parse(ReadFixture("lhm-0.9.6-amd.txt")));
    // The CPU's own temperature over the board's "CPU"; the system fans over the pump on the
    // first fan header; never the GPU's fan.
    EXPECT_EQ(AllPicked(inputs),
              (std::vector<std::string>{"Core (Tctl/Tdie)=57.5", "VRM MOS=49", "System=36",
                                        "Vcore=1.408", "CPU Termination=1.032", "+3.3V=3.376",
                                        "+5V=5.08", "-", "+12V=12.192", "-", "CPU Fan=1125",
                                        "System Fan 1=902", "System Fan 2=876"}));
    // The value LibreHardwareMonitor skipped (a comment on the page) is no input.
    for (const ScrapeInput& in : inputs)
        EXPECT_NE(in.label, "SMBus 0");
}

TEST(PrometheusAutoMap, LibreHardwareMonitorGenericNamesOfABoardItDoesNotKnowInDetail) {
    // Boards whose configuration names only some inputs get "Fan #N" (sent as "Fan N") and
    // "Temperature #N": the fans are taken in order, and no system temperature is guessed.
    const std::vector<ScrapeInput> inputs = CollectInputs(Parse(
        R"page(lhm_motherboard_temperature_celsius {"sensorName"="CPU Core", "hardwareName"="ASUS ROG STRIX B550-F GAMING (WI-FI)", "sensorId"="/temperature/0", "hardwareId"="/lpc/nct6798d/0"} 44
lhm_motherboard_temperature_celsius {"sensorName"="Temperature 2", "hardwareName"="ASUS ROG STRIX B550-F GAMING (WI-FI)", "sensorId"="/temperature/2", "hardwareId"="/lpc/nct6798d/0"} 31
lhm_motherboard_voltage_volts {"sensorName"="CPU Termination", "hardwareName"="ASUS ROG STRIX B550-F GAMING (WI-FI)", "sensorId"="/voltage/9", "hardwareId"="/lpc/nct6798d/0"} 1.048
lhm_motherboard_fan_rpm {"sensorName"="Fan 1", "hardwareName"="ASUS ROG STRIX B550-F GAMING (WI-FI)", "sensorId"="/fan/0", "hardwareId"="/lpc/nct6798d/0"} 650
lhm_motherboard_fan_rpm {"sensorName"="Fan 2", "hardwareName"="ASUS ROG STRIX B550-F GAMING (WI-FI)", "sensorId"="/fan/1", "hardwareId"="/lpc/nct6798d/0"} 1180
lhm_motherboard_fan_rpm {"sensorName"="Fan 3", "hardwareName"="ASUS ROG STRIX B550-F GAMING (WI-FI)", "sensorId"="/fan/2", "hardwareId"="/lpc/nct6798d/0"} 0
)page"));
    const auto map = AutoMap(inputs);
    EXPECT_EQ(Picked(inputs, map, proto::kVtt), "CPU Termination=1.048");
    EXPECT_EQ(Picked(inputs, map, proto::kSys), "-");
    EXPECT_EQ(Picked(inputs, map, proto::kFan1), "Fan 1=650");
    EXPECT_EQ(Picked(inputs, map, proto::kFan2), "Fan 2=1180");
    EXPECT_EQ(Picked(inputs, map, proto::kFan3), "Fan 3=0");
}

TEST(PrometheusAutoMap, SynonymsAndOtherExportersSeriesAreRecognised) {
    const std::vector<ScrapeInput> inputs = CollectInputs(
        Parse("lhm_motherboard_voltage_volts{sensorName=\"+3.3 V\",hardwareName=\"B\"} 3.3\n"
              "lhm_motherboard_voltage_volts{sensorName=\"12VCC\",hardwareName=\"B\"} 12.1\n"
              "lhm_motherboard_fan_rpm{sensorName=\"CPU_FAN\",hardwareName=\"B\"} 900\n"
              "lhm_amdcpu_temperature_celsius{sensorName=\"Core (Tctl/Tdie)\",hardwareName=\"R\","
              "hardwareId=\"/amdcpu/0\"} 61\n"
              "lhm_amdcpu_voltage_volts{sensorName=\"Core (SVI2 TFN)\",hardwareName=\"R\","
              "hardwareId=\"/amdcpu/0\"} 1.3\n"
              "ipmi_temperature_celsius{id=\"1\",name=\"System Temp\"} 30\n"
              "ipmi_temperature_max_celsius{id=\"1\",name=\"System Temp\"} 80\n"));
    const auto map = AutoMap(inputs);
    EXPECT_EQ(Picked(inputs, map, proto::kV33), "+3.3 V=3.3");
    EXPECT_EQ(Picked(inputs, map, proto::kVP12), "12VCC=12.1");
    EXPECT_EQ(Picked(inputs, map, proto::kFan1), "CPU_FAN=900");
    EXPECT_EQ(Picked(inputs, map, proto::kCpu), "Core (Tctl/Tdie)=61");
    EXPECT_EQ(Picked(inputs, map, proto::kVid), "Core (SVI2 TFN)=1.3");
    EXPECT_EQ(Picked(inputs, map, proto::kSys), "System Temp=30");
    EXPECT_EQ(inputs.size(), 6u);  // the _max_ series is a limit, not an input
}

}  // namespace
}  // namespace vorn::readings
