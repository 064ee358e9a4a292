// The hwmon reader and the two sources, on fixture trees of three chip families.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <map>

#include "agent/config.h"
#include "agent/log.h"
#include "readings/file_source.h"
#include "readings/format.h"
#include "readings/hwmon.h"
#include "readings/hwmon_chips.h"
#include "readings/hwmon_source.h"
#include "readings/refresher.h"
#include "tests/native/agent_test_support.h"

namespace vorn::readings {
namespace {

using agent::ConfigError;
using agent::LoadConfigFile;
using agent::Log;
using agent::Settings;
namespace testing = agent::testing;

using testing::Fixture;

const std::string kIntel = Fixture("sysfs/intel-nct6775");
const std::string kAmd = Fixture("sysfs/amd-it87");
const std::string kNct6798 = Fixture("sysfs/amd-nct6798");

MappingTable LoadMapping(const std::string& path) {
    Settings s;
    ConfigError e;
    EXPECT_TRUE(LoadConfigFile(path, &s, &e)) << path << ":" << e.line << ": " << e.message;
    return s.mapping;
}

std::vector<std::string> Texts(Source& source) {
    const Snapshot s = MakeSnapshot(source.Sample(), Clock::now());
    std::vector<std::string> texts;
    for (const auto& f : s.fields)
        texts.emplace_back(f.data());
    return texts;
}

// A log that writes into a buffer so tests can see warnings.
struct Captured {
    char buf[8192] = {};
    std::FILE* file = fmemopen(buf, sizeof buf - 1, "w");
    Log log{file};
    ~Captured() { std::fclose(file); }
    std::string text() {
        std::fflush(file);
        return buf;
    }
};

TEST(AgentHwmonScan, FindsInputsOfCoretempAndNct6775InDeviceOrder) {
    const std::vector<HwmonInput> in = ScanHwmon(kIntel);
    ASSERT_EQ(in.size(), 1u + 3u + 3u + 3u + 9u);  // acpitz, coretemp, nct6775 temp, fan, in
    EXPECT_EQ(in[0].chip, "acpitz");
    EXPECT_EQ(in[1].chip, "coretemp");
    EXPECT_EQ(in[1].input, "temp1");
    EXPECT_EQ(in[1].label, "Package id 0");
    EXPECT_EQ(in[1].device, "hwmon1");
    // Within a chip: temperatures, then fans, then voltages, each in number order.
    EXPECT_EQ(in[4].input, "temp1");
    EXPECT_EQ(in[4].label, "SYSTIN");
    EXPECT_EQ(in[7].input, "fan1");
    EXPECT_EQ(in[10].input, "in0");
    EXPECT_EQ(in[18].input, "in8");
    EXPECT_EQ(in[18].label, "");
}

TEST(AgentHwmonScan, FindsK10tempAndAttributesUnderDeviceAndOrdersHwmon10Last) {
    const std::vector<HwmonInput> in = ScanHwmon(kAmd);
    ASSERT_FALSE(in.empty());
    EXPECT_EQ(in.front().chip, "k10temp");
    EXPECT_EQ(in.front().label, "Tctl");
    EXPECT_EQ(in.back().chip, "nvme");
    EXPECT_EQ(in.back().device, "hwmon10");
    const HwmonInput* vsb = FindHwmonInput(in, "it8728", "3VSB");
    ASSERT_NE(vsb, nullptr);
    EXPECT_EQ(vsb->input, "in8");
    EXPECT_NE(vsb->path.find("/hwmon1/device/in8_input"), std::string::npos);
}

TEST(AgentHwmonScan, MissingTreeGivesNoInputs) {
    EXPECT_TRUE(ScanHwmon("/nonexistent/sysfs").empty());
}

TEST(AgentHwmonFind, InputNameWinsOverLabelAndChipMustMatch) {
    const std::vector<HwmonInput> in = ScanHwmon(kIntel);
    const HwmonInput* pkg = FindHwmonInput(in, "coretemp", "Package id 0");
    ASSERT_NE(pkg, nullptr);
    EXPECT_EQ(pkg->input, "temp1");
    const HwmonInput* fan = FindHwmonInput(in, "nct6775", "fan2");
    ASSERT_NE(fan, nullptr);
    EXPECT_EQ(ReadHwmonValue(*fan), 1125.0);
    EXPECT_EQ(FindHwmonInput(in, "nct6776", "fan2"), nullptr);
    EXPECT_EQ(FindHwmonInput(in, "coretemp", "Package id 1"), nullptr);
}

TEST(AgentHwmonValue, ConvertsKernelUnitsToRealUnits) {
    EXPECT_EQ(ParseHwmonValue(InputType::kTemp, "45000\n", 6), 45.0);
    EXPECT_EQ(ParseHwmonValue(InputType::kTemp, "-3500", 5), -3.5);
    EXPECT_EQ(ParseHwmonValue(InputType::kIn, "1352\n", 5), 1.352);
    EXPECT_EQ(ParseHwmonValue(InputType::kFan, "2812", 4), 2812.0);
    for (const char* bad : {"", "\n", "-", "12a", "1.5", "0x10", "9999999999999999"}) {
        EXPECT_FALSE(ParseHwmonValue(InputType::kTemp, bad, std::strlen(bad))) << bad;
    }
}

TEST(AgentHwmonSource, IntelExampleMappingGivesEveryReadingScaled) {
    Captured c;
    HwmonSource source(kIntel, LoadMapping(VORN_AGENT_EXAMPLE_CONFIG), &c.log);
    const std::vector<std::string> t = Texts(source);
    const std::vector<std::string> expected = {"45.0", "-3.5", "31.0",  "1.35",  "1.06",
                                               "3.30", "5.01", "-5.03", "12.19", "-12.06",
                                               "1125", "0",    "812"};
    EXPECT_EQ(t, expected);
    EXPECT_EQ(c.text(), "");
}

TEST(AgentHwmonSource, AmdMappingSendsDashForUnreadableAndUnmappedInputs) {
    Captured c;
    HwmonSource source(kAmd, LoadMapping(Fixture("config/amd-it87.conf")), &c.log);
    const std::vector<std::string> t = Texts(source);
    EXPECT_EQ(t[proto::kCpu], "52.1");
    EXPECT_EQ(t[proto::kPwr], "39.9");
    EXPECT_EQ(t[proto::kSys], "36.0");
    EXPECT_EQ(t[proto::kVid], "1.20");
    EXPECT_EQ(t[proto::kV33], "3.26");
    EXPECT_EQ(t[proto::kVP12], "12.17");
    EXPECT_EQ(t[proto::kFan1], "2812");
    EXPECT_EQ(t[proto::kFan3], "-");  // fan4_input holds no number
    EXPECT_EQ(t[proto::kVtt], "-");   // not mapped
    EXPECT_NE(c.text().find("FAN3: cannot read"), std::string::npos) << c.text();
}

TEST(AgentHwmonSource, AutomaticMappingPicksCpuBoardAndFans) {
    Captured c;
    HwmonSource intel(kIntel, MappingTable{}, &c.log);
    std::vector<std::string> t = Texts(intel);
    EXPECT_EQ(t[proto::kCpu], "45.0");  // coretemp Package id 0
    EXPECT_EQ(t[proto::kSys], "31.0");  // SYSTIN rather than acpitz
    EXPECT_EQ(t[proto::kFan1], "0");
    EXPECT_EQ(t[proto::kFan2], "1125");
    EXPECT_EQ(t[proto::kFan3], "812");
    // The nct6775's unlabelled in0 and in3 are the core voltage and 3VCC on every board.
    EXPECT_EQ(t[proto::kVid], "1.35");
    EXPECT_EQ(t[proto::kV33], "3.30");
    EXPECT_EQ(t[proto::kVP12], "-");  // in1 is +12 V behind the board's divider
    HwmonSource amd(kAmd, MappingTable{}, &c.log);
    t = Texts(amd);
    EXPECT_EQ(t[proto::kCpu], "52.1");  // k10temp Tctl
    EXPECT_EQ(t[proto::kFan1], "2812");
}

TEST(ReadingsHwmonChips, DatasheetFixesNuvotonsInternalInputsAndItesBattery) {
    const ChipInput core = DescribeChipInput("nct6798", "in0");
    EXPECT_EQ(core.wiring, InputWiring::kFixed);
    EXPECT_STREQ(core.name, "CPUVCORE");
    EXPECT_STREQ(DescribeChipInput("nct6775", "in3").name, "3VCC");
    EXPECT_STREQ(DescribeChipInput("nct6779", "in7").name, "3VSB");
    EXPECT_STREQ(DescribeChipInput("nct6106", "in8").name, "VBAT");
    EXPECT_STREQ(DescribeChipInput("it8728", "in8").name, "VBAT");
    // Behind the board's resistors: known chips, other inputs (the +12 V divider, VTT's pin).
    for (const char* input : {"in1", "in4", "in9", "in13"})
        EXPECT_EQ(DescribeChipInput("nct6798", input).wiring, InputWiring::kBoardDependent);
    EXPECT_EQ(DescribeChipInput("it8728", "in3").wiring, InputWiring::kBoardDependent);
    // Other drivers, and what is not a voltage input, are not described.
    EXPECT_EQ(DescribeChipInput("coretemp", "in0").wiring, InputWiring::kUnknown);
    EXPECT_EQ(DescribeChipInput("nct6798", "temp1").wiring, InputWiring::kUnknown);
    EXPECT_EQ(DescribeChipInput("nct6798", "in").wiring, InputWiring::kUnknown);
    EXPECT_EQ(DescribeChipInput("nct6798x", "in0").wiring, InputWiring::kUnknown);

    EXPECT_EQ(VoltageReadingOfLabel("CPUVCORE"), proto::kVid);
    EXPECT_EQ(VoltageReadingOfLabel("+3.3 V"), proto::kV33);
    EXPECT_EQ(VoltageReadingOfLabel("3VCC"), proto::kV33);
    EXPECT_EQ(VoltageReadingOfLabel("CPU Termination"), proto::kVtt);
    EXPECT_EQ(VoltageReadingOfLabel("-12V"), proto::kVM12);
    for (const char* other : {"3VSB", "VBAT", "AVSB", "", "in3"})
        EXPECT_EQ(VoltageReadingOfLabel(other), -1) << other;
}

TEST(ReadingsHwmonChips, UnlabelledNct6798GivesVidAnd3VccAndListsTheBoardsInputsForScaling) {
    Captured c;
    HwmonSource source(kNct6798, MappingTable{}, &c.log);
    const std::vector<std::string> t = Texts(source);
    // CPU, PWR, SYS, VID, VTT, 3.3V, +5V, -5V, +12V, -12V, FAN1, FAN2, FAN3.
    EXPECT_EQ(t, (std::vector<std::string>{"48.9", "-", "35.0", "1.34", "-", "3.33", "-", "-", "-",
                                           "-", "795", "1187", "0"}));
    std::map<std::string, ListedInput> listed;
    for (const ListedInput& in : source.List())
        listed[in.mapping_line.substr(in.mapping_line.find(" = ") + 3)] = in;
    const ListedInput& v33 = listed.at("nct6798 / in3");
    EXPECT_NE(v33.description.find("3VCC (by chip)"), std::string::npos) << v33.description;
    EXPECT_EQ(v33.mapping_line, "V33V = nct6798 / in3");
    EXPECT_EQ(listed.at("nct6798 / in0").mapping_line, "VVID = nct6798 / in0");
    // A rail behind the board's divider is listed, with its raw value, to be mapped by hand.
    const ListedInput& rail = listed.at("nct6798 / in4");
    EXPECT_NE(rail.description.find("- (board: .scale)"), std::string::npos) << rail.description;
    EXPECT_EQ(rail.value, 1.016);
    EXPECT_NE(listed.at("nct6798 / in8").description.find("VBAT (by chip)"), std::string::npos);
    EXPECT_EQ(listed.at("nct6798 / cpu0_vid").value, 1.55);
    EXPECT_EQ(listed.at("nct6798 / cpu0_vid").kind, ReadingKind::kVoltage);
    // The chip's labelled temperatures keep their labels.
    EXPECT_NE(listed.at("nct6798 / SYSTIN").description.find("SYSTIN"), std::string::npos);
}

TEST(ReadingsHwmonChips, CpuVidStandsInForACoreVoltageOnlyWhereNoneIsMeasured) {
    testing::TempDir dir;
    const std::string root = dir.path() + "/sys";
    testing::CopyTree(kNct6798, root);
    const std::string chip = root + "/class/hwmon/hwmon2/";
    ASSERT_EQ(std::remove((chip + "in0_input").c_str()), 0);
    Captured c;
    HwmonSource without_core(root, MappingTable{}, &c.log);
    EXPECT_EQ(Texts(without_core)[proto::kVid], "1.55");

    // A label the driver gives names its reading, before the chip's name for another input.
    auto write = [](const std::string& path, const char* text) {
        std::FILE* f = std::fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs(text, f);
        std::fclose(f);
    };
    write(chip + "in0_input", "1344\n");
    write(chip + "in4_label", "Vcore\n");
    HwmonSource labelled(root, MappingTable{}, &c.log);
    EXPECT_EQ(Texts(labelled)[proto::kVid], "1.02");
}

TEST(AgentHwmonSource, NoReadableInputGivesNoSensorsStatus) {
    Captured c;
    MappingTable m;
    m[proto::kCpu].selector = "coretemp/Package id 7";
    HwmonSource source(kIntel, m, &c.log);
    EXPECT_EQ(MakeSnapshot(source.Sample(), Clock::now()).status, proto::ReplyStatus::kNoSensors);
    HwmonSource nothing("/nonexistent", MappingTable{}, &c.log);
    EXPECT_EQ(MakeSnapshot(nothing.Sample(), Clock::now()).status, proto::ReplyStatus::kNoSensors);
    EXPECT_NE(c.text().find("no hwmon inputs under /nonexistent/class/hwmon"), std::string::npos)
        << c.text();
}

TEST(AgentHwmonSource, ChipRemovedAndRestoredUnderAnotherNumberIsFoundAgain) {
    testing::TempDir dir;
    const std::string root = dir.path() + "/sys";
    testing::CopyTree(kIntel, root);
    Captured c;
    HwmonSource source(root, LoadMapping(VORN_AGENT_EXAMPLE_CONFIG), &c.log);
    ASSERT_EQ(Texts(source)[proto::kFan1], "1125");

    const std::string hw = root + "/class/hwmon/";
    ASSERT_EQ(std::rename((hw + "hwmon2").c_str(), (dir.path() + "/parked").c_str()), 0);
    std::vector<std::string> t = Texts(source);
    EXPECT_EQ(t[proto::kFan1], "-");
    EXPECT_EQ(t[proto::kVP12], "-");
    EXPECT_EQ(t[proto::kCpu], "45.0");  // coretemp is still there
    EXPECT_EQ(Texts(source)[proto::kFan1], "-");

    // The driver comes back as hwmon7, as a reload would number it.
    ASSERT_EQ(std::rename((dir.path() + "/parked").c_str(), (hw + "hwmon7").c_str()), 0);
    t = Texts(source);
    EXPECT_EQ(t[proto::kFan1], "1125");
    EXPECT_EQ(t[proto::kVP12], "12.19");
}

TEST(AgentHwmonSource, ValuesAreReadAfreshAtEverySample) {
    testing::TempDir dir;
    const std::string root = dir.path() + "/sys";
    testing::CopyTree(kIntel, root);
    Captured c;
    HwmonSource source(root, LoadMapping(VORN_AGENT_EXAMPLE_CONFIG), &c.log);
    EXPECT_EQ(Texts(source)[proto::kCpu], "45.0");
    dir.Write("sys/class/hwmon/hwmon1/temp1_input", "67800\n");
    EXPECT_EQ(Texts(source)[proto::kCpu], "67.8");
}

TEST(ReadingsHwmonLimits, MinAndMaxElseCritAndTheAlarmFlagAreReadInRealUnits) {
    const std::vector<HwmonInput> in = ScanHwmon(kIntel);
    const HwmonValue package = ReadHwmonInput(*FindHwmonInput(in, "coretemp", "temp1"));
    EXPECT_EQ(package.value, 45.0);
    EXPECT_FALSE(package.low);
    EXPECT_EQ(package.high, 84.0);  // _max wins over _crit
    EXPECT_FALSE(package.alarm);
    EXPECT_EQ(ReadHwmonInput(*FindHwmonInput(in, "coretemp", "temp2")).high, 100.0);  // _crit
    const HwmonValue in1 = ReadHwmonInput(*FindHwmonInput(in, "nct6775", "in1"));
    EXPECT_EQ(in1.low, 0.92);
    EXPECT_EQ(in1.high, 1.08);
    EXPECT_FALSE(in1.alarm);  // "0"
    const HwmonValue fan3 = ReadHwmonInput(*FindHwmonInput(in, "nct6775", "fan3"));
    EXPECT_EQ(fan3.low, 900.0);  // RPM, not thousandths
    EXPECT_FALSE(fan3.high);
    EXPECT_TRUE(fan3.alarm);
    const HwmonValue none = ReadHwmonInput(*FindHwmonInput(in, "acpitz", "temp1"));
    EXPECT_TRUE(none.value && !none.low && !none.high && !none.alarm);
}

TEST(ReadingsHwmonLimits, TheSourceCorrectsLimitsLikeTheValueAndNamesTheSensor) {
    Captured c;
    HwmonSource source(kIntel, LoadMapping(VORN_AGENT_EXAMPLE_CONFIG), &c.log);
    const ReadingSet r = source.Sample();
    EXPECT_EQ(r[proto::kCpu].high, 84.0);
    EXPECT_EQ(r[proto::kCpu].sensor, "coretemp/temp1");
    // VP12 = in1 * 12.
    EXPECT_NEAR(*r[proto::kVP12].low, 11.04, 1e-9);
    EXPECT_NEAR(*r[proto::kVP12].high, 12.96, 1e-9);
    // VM12 = in5 * 6 - 18.3.
    EXPECT_NEAR(*r[proto::kVM12].value, -12.06, 1e-9);
    EXPECT_NEAR(*r[proto::kVM12].low, -12.3, 1e-9);
    EXPECT_NEAR(*r[proto::kVM12].high, -11.7, 1e-9);
    // FAN3 = fan3, below its minimum: the chip raises its alarm.
    EXPECT_EQ(r[proto::kFan3].low, 900.0);
    EXPECT_TRUE(r[proto::kFan3].source_alarm);
    EXPECT_FALSE(r[proto::kFan1].source_alarm);
    EXPECT_FALSE(r[proto::kFan1].low);

    // A negative scale turns the chip's minimum into the reading's maximum.
    MappingTable negative;
    negative[proto::kVM12].selector = "nct6775 / in5";
    negative[proto::kVM12].scale = -12;
    HwmonSource flipped(kIntel, negative, &c.log);
    const Reading vm12 = flipped.Sample()[proto::kVM12];
    EXPECT_NEAR(*vm12.value, -12.48, 1e-9);
    EXPECT_NEAR(*vm12.low, -13.2, 1e-9);
    EXPECT_NEAR(*vm12.high, -12.0, 1e-9);
    EXPECT_EQ(c.text(), "");
}

TEST(ReadingsHwmonSource, ABadSelectorIsWarnedAboutAndSentAsDash) {
    Captured c;
    MappingTable m;
    m[proto::kCpu].selector = "coretemp / temp1";
    m[proto::kFan1].selector = "fan2";
    HwmonSource source(kIntel, m, &c.log);
    const std::vector<std::string> t = Texts(source);
    EXPECT_EQ(t[proto::kCpu], "45.0");
    EXPECT_EQ(t[proto::kFan1], "-");
    EXPECT_NE(c.text().find("FAN1 needs CHIP / INPUT"), std::string::npos) << c.text();
    EXPECT_NE(source.Describe().find("1 of 13 mapped (TCPU=coretemp/temp1)"), std::string::npos)
        << source.Describe();
}

TEST(ReadingsHwmonSource, ListGivesEveryInputWithValueLimitsAndAMappingLine) {
    Captured c;
    HwmonSource source(kIntel, MappingTable{}, &c.log);
    const std::vector<ListedInput> listed = source.List();
    ASSERT_EQ(listed.size(), ScanHwmon(kIntel).size());
    const ListedInput& package = listed[1];
    EXPECT_EQ(package.description.find("coretemp       hwmon1   temp1   Package id 0"), 0u);
    EXPECT_EQ(package.kind, ReadingKind::kTemperature);
    EXPECT_EQ(package.value, 45.0);
    EXPECT_EQ(package.high, 84.0);
    // What automatic mapping picks is suggested under its reading; the line parses back.
    EXPECT_EQ(package.mapping_line, "TCPU = coretemp / Package id 0");
    EXPECT_EQ(listed[9].mapping_line, "FAN3 = nct6775 / fan3");
    EXPECT_EQ(listed[9].kind, ReadingKind::kFan);
    for (const ListedInput& in : listed) {
        const std::size_t eq = in.mapping_line.find(" = ");
        ASSERT_NE(eq, std::string::npos) << in.mapping_line;
        const std::string name = in.mapping_line.substr(0, eq);
        ASSERT_GE(FieldIndex(name), 0) << in.mapping_line;
        EXPECT_EQ(KindOf(FieldIndex(name)), in.kind) << in.mapping_line;
        HwmonSelector parsed;
        std::string why;
        ASSERT_TRUE(ParseHwmonSelector(name, in.mapping_line.substr(eq + 3), &parsed, &why));
        EXPECT_NE(FindHwmonInput(ScanHwmon(kIntel), parsed.chip, parsed.input), nullptr);
    }
    const std::string text = FormatListing(source, listed);
    EXPECT_NE(text.find("45.0 C       max 84.0                 TCPU = coretemp / Package id 0"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("812 RPM      min 900"), std::string::npos) << text;
    HwmonSource nothing("/nonexistent", MappingTable{}, &c.log);
    EXPECT_EQ(FormatListing(nothing, nothing.List()).find("No usable input in hwmon /nonexistent"),
              0u);
}

TEST(AgentFileSource, ParsesKeysInRealUnits) {
    const ReadingSet r = ParseReadingsText(
        "TCPU=45.04\nVM12 = -12.049\r\nFAN1=2812.4\nVP05=abc\nVVID=\nNOPE=1\nFAN2=1e3\n"
        "TSYS=5\nTSYS=6\nV33V=inf\nbroken line\n=7\n");
    EXPECT_EQ(r[proto::kCpu].value, 45.04);
    EXPECT_EQ(r[proto::kVM12].value, -12.049);
    EXPECT_EQ(r[proto::kFan1].value, 2812.4);
    EXPECT_FALSE(r[proto::kVP5].value);
    EXPECT_FALSE(r[proto::kVid].value);
    EXPECT_EQ(r[proto::kFan2].value, 1000.0);
    EXPECT_EQ(r[proto::kSys].value, 6.0);  // the last line of a key wins
    EXPECT_FALSE(r[proto::kV33].value);
    EXPECT_FALSE(r[proto::kFan3].value);
}

TEST(AgentFileSource, FormatsAsTheReplyTableSaysAndMissingFileGivesNothing) {
    testing::TempDir dir;
    const std::string path = dir.Write("r.txt", "VM12=-12.049\nFAN1=2812.4\nVP05=abc\n");
    Captured c;
    FileSource source(path, &c.log);
    const std::vector<std::string> t = Texts(source);
    EXPECT_EQ(t[proto::kVM12], "-12.05");
    EXPECT_EQ(t[proto::kFan1], "2812");
    EXPECT_EQ(t[proto::kVP5], "-");
    EXPECT_EQ(t[proto::kCpu], "-");
    FileSource missing(dir.path() + "/none.txt", &c.log);
    EXPECT_EQ(MakeSnapshot(missing.Sample(), Clock::now()).status, proto::ReplyStatus::kNoSensors);
    EXPECT_NE(c.text().find("none.txt cannot be opened"), std::string::npos) << c.text();
}

TEST(AgentFileSource, AFifoOrADirectoryIsNotOpenedAndGivesNoReadings) {
    testing::TempDir dir;
    const std::string fifo = dir.path() + "/readings.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    Captured c;
    // Opening a FIFO without a writer would block the sampling thread for good.
    FileSource source(fifo, &c.log);
    EXPECT_FALSE(AnyValue(source.Sample()));
    EXPECT_NE(c.text().find(fifo + " is not a regular file"), std::string::npos) << c.text();
    FileSource directory(dir.path(), &c.log);
    EXPECT_FALSE(AnyValue(directory.Sample()));
}

TEST(AgentLog, WarningsRepeatOncePerQuietPeriodPerSubject) {
    Captured c;
    Log log(c.file, std::chrono::seconds(60));
    const auto t0 = Log::Clock::now();
    EXPECT_TRUE(log.Warn("a", "first", t0));
    EXPECT_FALSE(log.Warn("a", "again", t0 + std::chrono::seconds(59)));
    EXPECT_TRUE(log.Warn("b", "other subject", t0 + std::chrono::seconds(1)));
    EXPECT_TRUE(log.Warn("a", "after the pause", t0 + std::chrono::seconds(60)));
    std::fflush(c.file);
    EXPECT_EQ(std::string(c.buf),
              "vornagent: warning: first\nvornagent: warning: other subject\n"
              "vornagent: warning: after the pause\n");
}

}  // namespace
}  // namespace vorn::readings
