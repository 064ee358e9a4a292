// HWiNFO's Gadget values as the registry holds them: their reading as sensors and readings,
// automatic and configured mapping, values that stop changing, and "auto" choosing among
// HWiNFO's shared memory, its Gadget values and a fallback.
#include "readings/hwinfo_gadget.h"

#include <gtest/gtest.h>

#include <map>

#include "readings/auto_source.h"
#include "tests/common/hwinfo_image.h"

namespace {

using namespace vorn::readings;
using std::chrono::milliseconds;

// Hands out the values the test last set; no key while `present` is false.
struct FakeRegistry {
    std::vector<GadgetValue> values;
    std::uint64_t stamp = 1;
    bool present = true;

    void Set(const std::string& name, const std::string& text) {
        for (GadgetValue& v : values) {
            if (v.name == name) {
                v.text = text;
                return;
            }
        }
        values.push_back({name, text});
    }
    void Erase(const std::string& name) {
        for (auto it = values.begin(); it != values.end(); ++it) {
            if (it->name == name) {
                values.erase(it);
                return;
            }
        }
    }
};

class FakeReader : public GadgetReader {
public:
    explicit FakeReader(FakeRegistry* registry) : registry_(registry) {}
    bool Read(std::vector<GadgetValue>* values, std::uint64_t* stamp, std::string* why) override {
        if (!registry_->present) {
            *why = "not found";
            return false;
        }
        *values = registry_->values;
        *stamp = registry_->stamp;
        return true;
    }
    std::string Where() const override { return "HKCU\\Software\\HWiNFO64\\VSB"; }

private:
    FakeRegistry* registry_;
};

class CountingWarnings : public Warnings {
public:
    bool Warn(const std::string& subject, const std::string& line) override {
        ++count[subject];
        lines.push_back(line);
        return true;
    }
    std::map<std::string, int> count;
    std::vector<std::string> lines;
};

struct ManualClock {
    SteadyTime now{};
    SteadyNow Reader() {
        return [this] { return now; };
    }
};

const char kDegreeC[] =
    "\xC2\xB0"
    "C";

// A PC whose user ticked a few readings for Gadget reporting, as HWiNFO numbers them; 5 is a
// reading unticked since (a gap), 7 lost its ValueRaw (its ValueN's number is used), 8 holds
// no number, 9 is a usage reading.
FakeRegistry SamplePc() {
    FakeRegistry r;
    auto add = [&r](int n, const std::string& sensor, const std::string& label,
                    const std::string& value, const char* raw) {
        const std::string k = std::to_string(n);
        r.Set("Sensor" + k, sensor);
        r.Set("Label" + k, label);
        r.Set("Value" + k, value);
        if (raw)
            r.Set("ValueRaw" + k, raw);
        r.Set("Color" + k, "#00FF00");
    };
    const std::string cpu = "CPU [#0]: AMD Ryzen 7 5800X: Enhanced";
    const std::string board = "ASUS ROG STRIX B550-F GAMING (WI-FI) (Nuvoton NCT6798D)";
    add(0, cpu, "CPU (Tctl/Tdie)", std::string("61.3 ") + kDegreeC, "61.3");
    add(1, board, "CPU Termination", "1.056 V", "1.056");
    add(2, board, "System 1",
        "33 \xB0"
        "C",
        "33");                                    // a degree sign in the system code page
    add(3, board, "+12V", "12,096 V", "12,096");  // a decimal comma, as some locales write
    add(4, board, "CPU", "1.205 RPM", "1205");
    add(6, board, "Chassis1", "812 RPM", "812");
    add(7, board, "+3.3V", "3.344 V", nullptr);
    add(8, board, "+5V", "N/A", "N/A");
    add(9, cpu, "Total CPU Usage", "12.5 %", "12.5");
    r.Set("Sensor10", board);  // a reading without its label is left out
    return r;
}

std::optional<double> ValueOf(const ReadingSet& set, const char* name) {
    return set[FieldIndex(name)].value;
}

TEST(HwinfoGadget, ValuesBecomeSensorsAndReadingsTypedByTheirUnits) {
    const FakeRegistry pc = SamplePc();
    const hwinfo::Memory m = GadgetMemory(pc.values);
    ASSERT_EQ(m.sensors.size(), 2u);
    ASSERT_EQ(m.readings.size(), 9u);  // 0-4 and 6-9; 10 has no label
    EXPECT_EQ(m.damaged, 1u);
    std::map<std::string, const hwinfo::Reading*> by_label;
    for (const hwinfo::Reading& r : m.readings)
        by_label[r.original_label] = &r;
    EXPECT_EQ(by_label["CPU (Tctl/Tdie)"]->type, hwinfo::ReadingType::kTemperature);
    EXPECT_EQ(by_label["System 1"]->type, hwinfo::ReadingType::kTemperature);
    EXPECT_EQ(by_label["CPU Termination"]->type, hwinfo::ReadingType::kVoltage);
    EXPECT_EQ(by_label["CPU"]->type, hwinfo::ReadingType::kFan);
    EXPECT_EQ(by_label["Total CPU Usage"]->type, hwinfo::ReadingType::kOther);
    // The number comes from ValueRaw, not from the text (which shows "1.205 RPM" here).
    EXPECT_EQ(by_label["CPU"]->value, 1205.0);
    EXPECT_DOUBLE_EQ(*by_label["+12V"]->value, 12.096);
    EXPECT_EQ(by_label["+3.3V"]->value, 3.344);  // no ValueRaw: the text's number
    EXPECT_FALSE(by_label["+5V"]->value);        // not a number
    EXPECT_EQ(hwinfo::DisplayName(m.sensors[by_label["CPU"]->sensor_index]),
              "ASUS ROG STRIX B550-F GAMING (WI-FI) (Nuvoton NCT6798D)");
}

TEST(HwinfoGadget, AutomaticMappingTakesTheSharedMemorysLabelsAndKinds) {
    FakeRegistry pc = SamplePc();
    CountingWarnings warnings;
    GadgetSource source(std::make_unique<FakeReader>(&pc), MappingTable{}, &warnings);
    const ReadingSet set = source.Sample();
    EXPECT_TRUE(source.live());
    EXPECT_EQ(ValueOf(set, "TCPU"), 61.3);
    EXPECT_EQ(ValueOf(set, "TSYS"), 33.0);
    EXPECT_EQ(ValueOf(set, "VVTT"), 1.056);
    EXPECT_DOUBLE_EQ(*ValueOf(set, "VP12"), 12.096);
    EXPECT_EQ(ValueOf(set, "V33V"), 3.344);
    EXPECT_FALSE(ValueOf(set, "VP05"));
    // The board's "CPU" fan, not the CPU's "CPU (Tctl/Tdie)"; then the case fan.
    EXPECT_EQ(ValueOf(set, "FAN1"), 1205.0);
    EXPECT_EQ(ValueOf(set, "FAN2"), 812.0);
    EXPECT_EQ(set[FieldIndex("VVTT")].sensor,
              "ASUS ROG STRIX B550-F GAMING (WI-FI) (Nuvoton NCT6798D) / CPU Termination");
    EXPECT_TRUE(warnings.count.empty());
    EXPECT_NE(source.Describe().find("HWiNFO Gadget values in HKCU\\Software\\HWiNFO64\\VSB "
                                     "(9 readings), automatic mapping"),
              std::string::npos)
        << source.Describe();

    // --list: the temperatures, voltages and fans, each with a line to paste.
    std::map<std::string, std::string> lines;
    for (const ListedInput& in : source.List())
        lines[in.description] = in.mapping_line;
    EXPECT_EQ(lines.size(), 7u);  // not the usage, nor "N/A" (no unit tells its kind)
    EXPECT_EQ(lines["CPU [#0]: AMD Ryzen 7 5800X: Enhanced / CPU (Tctl/Tdie)"],
              "TCPU = CPU [#0]: AMD Ryzen 7 5800X: Enhanced / CPU (Tctl/Tdie)");
}

TEST(HwinfoGadget, ConfiguredLinesAreSensorSlashLabelWithTheirCorrection) {
    FakeRegistry pc = SamplePc();
    MappingTable mapping;
    mapping[FieldIndex("VP12")].selector =
        "ASUS ROG STRIX B550-F GAMING (WI-FI) (Nuvoton NCT6798D) / +12V";
    mapping[FieldIndex("FAN3")].selector =
        "ASUS ROG STRIX B550-F GAMING (WI-FI) (Nuvoton NCT6798D) / Chassis1";
    mapping[FieldIndex("TPWR")] =
        Mapping{"ASUS ROG STRIX B550-F GAMING (WI-FI) (Nuvoton NCT6798D) / System 1", 1.0, -3.0};
    mapping[FieldIndex("TCPU")].selector = "CPU [#0]: AMD Ryzen 7 5800X: Enhanced / CPU";
    GadgetSource source(std::make_unique<FakeReader>(&pc), mapping, nullptr);
    const ReadingSet set = source.Sample();
    EXPECT_DOUBLE_EQ(*ValueOf(set, "VP12"), 12.096);
    EXPECT_EQ(ValueOf(set, "FAN3"), 812.0);
    EXPECT_EQ(ValueOf(set, "TPWR"), 30.0);
    EXPECT_FALSE(ValueOf(set, "TCPU"));  // that sensor has no "CPU" temperature
    EXPECT_FALSE(ValueOf(set, "FAN1"));  // a configured mapping maps nothing else
}

TEST(HwinfoGadget, ValuesThatStopChangingAreNotServedUntilTheyChangeAndAKeyGoneIsSaid) {
    FakeRegistry pc = SamplePc();
    ManualClock clock;
    CountingWarnings warnings;
    GadgetSource source(std::make_unique<FakeReader>(&pc), MappingTable{}, &warnings,
                        clock.Reader());
    const milliseconds bound = HwinfoStandstillBound(0);
    EXPECT_TRUE(AnyValue(source.Sample()));
    clock.now += bound;
    EXPECT_TRUE(AnyValue(source.Sample()));
    clock.now += milliseconds(1);
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(AnyValue(source.Sample()));
    EXPECT_FALSE(source.live());
    EXPECT_EQ(warnings.count["gadget-stopped"], 1);
    EXPECT_NE(source.state().find("not changed for 10 s"), std::string::npos) << source.state();

    pc.Set("ValueRaw0", "62.0");  // HWiNFO writes again
    EXPECT_EQ(ValueOf(source.Sample(), "TCPU"), 62.0);
    clock.now += bound + milliseconds(1);
    pc.stamp = 2;  // rewritten with the same values: the key's write time tells
    EXPECT_TRUE(AnyValue(source.Sample()));

    pc.present = false;
    EXPECT_FALSE(AnyValue(source.Sample()));
    EXPECT_EQ(warnings.count["gadget"], 1);
    EXPECT_EQ(source.state(), "not found");
    pc.present = true;
    pc.values.clear();  // the key, but nothing ticked
    EXPECT_FALSE(AnyValue(source.Sample()));
    EXPECT_NE(source.state().find("ticked for Gadget reporting"), std::string::npos);
}

// A fallback that answers with one temperature while `up` is set.
class FakeFallback : public Source {
public:
    explicit FakeFallback(bool* up) : up_(up) {}
    ReadingSet Sample() override {
        ReadingSet set;
        if (*up_)
            set[FieldIndex("TCPU")].value = 70.0;
        return set;
    }
    std::string Describe() const override { return "fake"; }
    std::vector<ListedInput> List() override { return {}; }

private:
    bool* up_;
};

// Hands out the image the test last set; none while it is empty.
class BufferReader : public HwinfoMemoryReader {
public:
    explicit BufferReader(std::vector<std::uint8_t>* image) : image_(image) {}
    bool Read(std::vector<std::uint8_t>* copy, std::string* why) override {
        if (image_->empty()) {
            *why = "not found";
            return false;
        }
        *copy = *image_;
        return true;
    }

private:
    std::vector<std::uint8_t>* image_;
};

TEST(AutoSource, PrefersHwinfosMemoryThenItsGadgetValuesThenTheFallbackBothWaysSayingWhy) {
    std::vector<std::uint8_t> image;  // HWiNFO's shared memory off
    FakeRegistry pc = SamplePc();
    pc.present = false;
    bool fallback_up = true;
    ManualClock clock;
    CountingWarnings warnings;
    AutoSource source(
        [&](Warnings* gate) {
            return std::make_unique<HwinfoSource>(std::make_unique<BufferReader>(&image),
                                                  MappingTable{}, gate, clock.Reader());
        },
        [&](Warnings* gate) {
            return std::make_unique<GadgetSource>(std::make_unique<FakeReader>(&pc), MappingTable{},
                                                  gate, clock.Reader());
        },
        [&](Warnings*) { return std::make_unique<FakeFallback>(&fallback_up); }, "the fake",
        &warnings);
    auto cpu = [&] { return ValueOf(source.Sample(), "TCPU"); };

    EXPECT_EQ(cpu(), 70.0);
    EXPECT_EQ(warnings.lines.back(), "using the fake");
    pc.present = true;  // Gadget reporting turned on: preferred to the fallback
    EXPECT_EQ(cpu(), 61.3);
    EXPECT_EQ(warnings.lines.back(), "using HWiNFO's Gadget values, preferred to the fake");
    image = vorn::testing::BuildHwinfoImage(vorn::testing::SampleSensors(),
                                            vorn::testing::SampleReadings(),
                                            vorn::testing::HwinfoLayout::kUtf8);
    EXPECT_EQ(cpu(), 45.0);  // shared memory on: preferred to both
    EXPECT_EQ(warnings.lines.back(),
              "using HWiNFO's shared memory, preferred to HWiNFO's Gadget values");

    // The free edition's 12 hours: the memory stands still while the Gadget values change.
    clock.now += HwinfoStandstillBound(0) + milliseconds(1);
    pc.Set("ValueRaw0", "64.0");
    EXPECT_EQ(cpu(), 64.0);
    EXPECT_EQ(warnings.lines.back(),
              "using HWiNFO's Gadget values instead of HWiNFO's shared memory (not updated "
              "for 10 s)");
    EXPECT_EQ(warnings.count["hwinfo-stopped"], 1);
    pc.present = false;  // HWiNFO ends altogether
    image.clear();
    EXPECT_EQ(cpu(), 70.0);
    EXPECT_EQ(warnings.lines.back(),
              "using the fake instead of HWiNFO's Gadget values (not found)");
    fallback_up = false;
    EXPECT_FALSE(cpu());
    EXPECT_FALSE(cpu());
    EXPECT_EQ(warnings.count["auto"], 1);
    EXPECT_EQ(warnings.lines.back(), kNoSensorProgram);
    // Each change told once; besides, the memory's standstill and the Gadget values' end, told
    // by the source in use, and the none.
    EXPECT_EQ(warnings.lines.size(), 8u);
    EXPECT_EQ(warnings.count["gadget"], 1);
}

}  // namespace
