// The hwinfo source over memory handed to it as bytes: automatic and configured mapping,
// units, listing, and memory that is damaged, gone or changed between samples.
#include "readings/hwinfo_source.h"

#include "readings/auto_source.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "tests/common/hwinfo_image.h"

namespace {

using namespace vorn::readings;
using vorn::testing::BuildHwinfoImage;
using vorn::testing::FakeReading;
using vorn::testing::HwinfoLayout;

// Hands out whatever image the test last set; none while `image` is empty.
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

class CountingWarnings : public Warnings {
public:
    bool Warn(const std::string& subject, const std::string& line) override {
        ++count[subject];
        last = line;
        return true;
    }
    std::map<std::string, int> count;
    std::string last;
};

std::vector<std::uint8_t> Sample(HwinfoLayout layout = HwinfoLayout::kUtf8) {
    return BuildHwinfoImage(vorn::testing::SampleSensors(), vorn::testing::SampleReadings(),
                            layout);
}

std::optional<double> ValueOf(const ReadingSet& set, const char* name) {
    return set[FieldIndex(name)].value;
}

TEST(HwinfoSource, AutomaticMappingFindsEveryReadingOfTheSampleMachineInBothLayouts) {
    for (HwinfoLayout layout : {HwinfoLayout::kPlain, HwinfoLayout::kUtf8}) {
        auto image = Sample(layout);
        CountingWarnings warnings;
        HwinfoSource source(std::make_unique<BufferReader>(&image), MappingTable{}, &warnings);
        const ReadingSet set = source.Sample();
        EXPECT_TRUE(source.live());
        EXPECT_EQ(ValueOf(set, "TCPU"), 45.0);
        EXPECT_EQ(set[FieldIndex("TCPU")].sensor, "CPU [#0]: Intel Core i7-4770K / CPU Package");
        EXPECT_EQ(ValueOf(set, "TPWR"), 38.0);  // user label "Power Supply"
        EXPECT_EQ(ValueOf(set, "TSYS"), 33.0);
        EXPECT_EQ(ValueOf(set, "VVID"), 1.136);
        EXPECT_EQ(ValueOf(set, "VVTT"), 1.048);
        EXPECT_EQ(ValueOf(set, "V33V"), 3.344);
        EXPECT_EQ(ValueOf(set, "VP05"), 5.04);
        EXPECT_EQ(ValueOf(set, "VM05"), -5.016);
        EXPECT_EQ(ValueOf(set, "VP12"), 12.096);
        EXPECT_EQ(ValueOf(set, "VM12"), -11.904);
        // The board's "CPU" fan, not its "CPU" temperature under the same sensor.
        EXPECT_EQ(ValueOf(set, "FAN1"), 1205.0);
        EXPECT_EQ(ValueOf(set, "FAN2"), 812.0);
        EXPECT_EQ(ValueOf(set, "FAN3"), 0.0);
        EXPECT_TRUE(warnings.count.empty());
    }
}

TEST(HwinfoSource, ConfiguredLinesTakeUserOrOriginalNamesWithTheirCorrection) {
    auto image = Sample();
    MappingTable mapping;
    mapping[FieldIndex("TCPU")].selector = "Mainboard / CPU";  // user name of the sensor
    mapping[FieldIndex("TPWR")].selector = "ASUS Z87-A (Nuvoton NCT6779D) / Auxiliary";
    mapping[FieldIndex("FAN1")].selector = "Mainboard / CPU";  // same text, the fan this time
    mapping[FieldIndex("VVID")] = Mapping{"CPU [#0]: Intel Core i7-4770K / Core #0 VID", 2.0, 0.5};
    mapping[FieldIndex("FAN2")].selector = "Mainboard / No Such Fan";
    HwinfoSource source(std::make_unique<BufferReader>(&image), mapping, nullptr);
    const ReadingSet set = source.Sample();
    EXPECT_EQ(ValueOf(set, "TCPU"), 41.0);
    EXPECT_EQ(ValueOf(set, "TPWR"), 38.0);
    EXPECT_EQ(ValueOf(set, "FAN1"), 1205.0);
    EXPECT_DOUBLE_EQ(*ValueOf(set, "VVID"), 1.152 * 2.0 + 0.5);
    EXPECT_FALSE(ValueOf(set, "FAN2"));
    EXPECT_FALSE(ValueOf(set, "TSYS"));  // a configured mapping maps nothing else

    std::string why;
    EXPECT_TRUE(CheckHwinfoSelector("TCPU", "Mainboard / CPU (Tctl/Tdie)", &why));
    EXPECT_FALSE(CheckHwinfoSelector("TCPU", "Mainboard/CPU", &why));
    EXPECT_NE(why.find("SENSOR / LABEL"), std::string::npos);
    EXPECT_FALSE(CheckHwinfoSelector("TCPU", " / CPU", &why));
}

TEST(HwinfoSource, FahrenheitAndMillivoltsArriveInTheBarsUnits) {
    std::vector<FakeReading> readings = {
        {1, 0, 1, "CPU Package", "CPU Package",
         "\xc2\xb0"
         "F",
         113.0, 0, 0, 0},
        {2, 0, 2, "Vcore", "Vcore", "mV", 1250.0, 0, 0, 0},
    };
    auto image = BuildHwinfoImage(vorn::testing::SampleSensors(), readings, HwinfoLayout::kPlain);
    HwinfoSource source(std::make_unique<BufferReader>(&image), MappingTable{}, nullptr);
    const ReadingSet set = source.Sample();
    EXPECT_DOUBLE_EQ(*ValueOf(set, "TCPU"), 45.0);
    EXPECT_DOUBLE_EQ(*ValueOf(set, "VVID"), 1.25);
}

TEST(HwinfoSource, MemoryThatGoesAwayOrDiesGivesNoReadingsAndComesBack) {
    auto image = Sample();
    CountingWarnings warnings;
    HwinfoSource source(std::make_unique<BufferReader>(&image), MappingTable{}, &warnings);
    EXPECT_TRUE(AnyValue(source.Sample()));

    const auto good = image;
    image.clear();  // HWiNFO ended
    EXPECT_FALSE(AnyValue(source.Sample()));
    EXPECT_FALSE(source.live());
    EXPECT_EQ(warnings.count["hwinfo"], 1);
    EXPECT_NE(source.Describe().find("not found"), std::string::npos);

    image = good;
    std::memcpy(image.data(), "DEAD", 4);
    EXPECT_FALSE(AnyValue(source.Sample()));
    EXPECT_EQ(warnings.count["hwinfo"], 2);

    // Restarted with fewer sensors: what remains is still found.
    image = BuildHwinfoImage({vorn::testing::SampleSensors()[1]},
                             {{1, 0, 11, "System", "System", "C", 30.5, 0, 0, 0}},
                             HwinfoLayout::kPlain);
    const ReadingSet set = source.Sample();
    EXPECT_TRUE(source.live());
    EXPECT_EQ(ValueOf(set, "TSYS"), 30.5);
    EXPECT_FALSE(ValueOf(set, "TCPU"));

    // Damage is reported apart from absence.
    image = good;
    vorn::testing::PokeU32(&image, vorn::readings::hwinfo::layout::kReadingCount, 1000);
    EXPECT_TRUE(AnyValue(source.Sample()));
    EXPECT_EQ(warnings.count["hwinfo-damaged"], 1);
}

// A monotonic clock the test moves by hand.
struct ManualClock {
    SteadyTime now{};
    SteadyNow Reader() {
        return [this] { return now; };
    }
    void Advance(std::chrono::milliseconds by) { now += by; }
};

TEST(HwinfoSource, PollTimeStandingStillIsServedUntilTheBoundThenNotUntilItMovesAgain) {
    using std::chrono::milliseconds;
    auto image = Sample();
    vorn::testing::PokeU32(&image, vorn::readings::hwinfo::layout::kPollingPeriod, 4000);
    const milliseconds bound = HwinfoStandstillBound(4000);
    ASSERT_EQ(bound, milliseconds(16000));  // four periods of 4 s
    ManualClock clock;
    CountingWarnings warnings;
    HwinfoSource source(std::make_unique<BufferReader>(&image), MappingTable{}, &warnings,
                        clock.Reader());

    EXPECT_EQ(ValueOf(source.Sample(), "TCPU"), 45.0);
    clock.Advance(bound);  // HWiNFO's clock says nothing: only the field's change counts
    EXPECT_EQ(ValueOf(source.Sample(), "TCPU"), 45.0);
    EXPECT_TRUE(source.live());
    EXPECT_TRUE(warnings.count.empty());

    clock.Advance(milliseconds(1));
    for (int i = 0; i < 5; ++i) {
        EXPECT_FALSE(AnyValue(source.Sample()));
        EXPECT_FALSE(source.live());
        clock.Advance(milliseconds(1000));
    }
    EXPECT_EQ(warnings.count["hwinfo-stopped"], 1);
    EXPECT_EQ(warnings.count.size(), 1u);
    EXPECT_NE(warnings.last.find("stopped updating"), std::string::npos);
    EXPECT_NE(warnings.last.find("12 hours"), std::string::npos);
    EXPECT_NE(warnings.last.find("Shared Memory Support"), std::string::npos);
    EXPECT_NE(warnings.last.find("Gadget"), std::string::npos);
    EXPECT_NE(source.Describe().find("not updated for 20 s"), std::string::npos);
    EXPECT_TRUE(source.List().empty());

    // HWiNFO polls again (its clock may even have gone back): readings return by themselves.
    vorn::testing::PokePollTime(&image, 1699999990);
    EXPECT_EQ(ValueOf(source.Sample(), "TCPU"), 45.0);
    EXPECT_TRUE(source.live());
    clock.Advance(bound + milliseconds(1));
    vorn::testing::PokePollTime(&image, 1699999992);
    EXPECT_TRUE(AnyValue(source.Sample()));
    EXPECT_EQ(warnings.count["hwinfo-stopped"], 1);

    // A second standstill is a new event, told once again.
    clock.Advance(bound + milliseconds(1));
    EXPECT_FALSE(AnyValue(source.Sample()));
    EXPECT_FALSE(AnyValue(source.Sample()));
    EXPECT_EQ(warnings.count["hwinfo-stopped"], 2);
}

TEST(HwinfoSource, StandstillBoundIsAFewPollingPeriodsWithAFloorAndADefault) {
    using std::chrono::milliseconds;
    EXPECT_EQ(HwinfoStandstillBound(10000), milliseconds(40000));
    // Short periods, and a header without a period (0) or with a damaged one, take the floor.
    for (std::uint32_t period : {1000u, 2000u, 0u, 1u, 0xffffffffu})
        EXPECT_EQ(HwinfoStandstillBound(period), milliseconds(10000)) << period;
}

TEST(HwinfoSource, MemoryOfTheFirstLayoutStandsStillAgainstTheDefaultBound) {
    using std::chrono::milliseconds;
    auto image = Sample(HwinfoLayout::kPlain);  // no polling period in its header
    ManualClock clock;
    HwinfoSource source(std::make_unique<BufferReader>(&image), MappingTable{}, nullptr,
                        clock.Reader());
    EXPECT_TRUE(AnyValue(source.Sample()));
    clock.Advance(HwinfoStandstillBound(0));
    EXPECT_TRUE(AnyValue(source.Sample()));
    clock.Advance(milliseconds(1));
    EXPECT_FALSE(AnyValue(source.Sample()));
    // HWiNFO restarted: the new memory is trusted afresh.
    const auto kept = image;
    image.clear();
    EXPECT_FALSE(AnyValue(source.Sample()));
    image = kept;
    EXPECT_TRUE(AnyValue(source.Sample()));
}

TEST(HwinfoSource, ListShowsEveryTemperatureVoltageAndFanWithAMappingLine) {
    auto image = Sample();
    HwinfoSource source(std::make_unique<BufferReader>(&image), MappingTable{}, nullptr);
    const std::vector<ListedInput> inputs = source.List();
    ASSERT_EQ(inputs.size(), 16u);  // all but the usage reading
    std::map<std::string, std::string> lines;
    for (const ListedInput& in : inputs)
        lines[in.description + "|" + std::to_string(static_cast<int>(in.kind))] = in.mapping_line;
    EXPECT_EQ(lines["CPU [#0]: Intel Core i7-4770K / CPU Package|0"],
              "TCPU = CPU [#0]: Intel Core i7-4770K / CPU Package");
    EXPECT_EQ(lines["Mainboard / CPU|2"], "FAN1 = Mainboard / CPU");
    EXPECT_EQ(lines["Mainboard / -12V|1"], "VM12 = Mainboard / -12V");
    // A reading the automatic mapping leaves out still gets a line to edit.
    EXPECT_EQ(lines["CPU [#0]: Intel Core i7-4770K / Core #0|0"],
              "TCPU = CPU [#0]: Intel Core i7-4770K / Core #0");
}

// A fallback that answers with one temperature while `up` is set, and warns while it is not.
class FakeFallback : public Source {
public:
    FakeFallback(bool* up, Warnings* warnings) : up_(up), warnings_(warnings) {}
    ReadingSet Sample() override {
        ReadingSet set;
        if (*up_)
            set[FieldIndex("TCPU")].value = 60.0;
        else
            warnings_->Warn("fallback", "cannot connect");
        return set;
    }
    std::string Describe() const override { return "fake"; }
    std::vector<ListedInput> List() override { return {}; }

private:
    bool* up_;
    Warnings* warnings_;
};

TEST(AutoSource, TakesHwinfoWhileLiveElseTheFallbackElseNoneAndSaysWhyOnce) {
    std::vector<std::uint8_t> image;  // HWiNFO not running
    bool fallback_up = false;
    CountingWarnings warnings;
    AutoSource source(
        [&](Warnings* gate) {
            return std::make_unique<HwinfoSource>(std::make_unique<BufferReader>(&image),
                                                  MappingTable{}, gate);
        },
        [](Warnings*) { return std::unique_ptr<GadgetSource>(); },
        [&](Warnings* gate) { return std::make_unique<FakeFallback>(&fallback_up, gate); },
        "the fake", &warnings);

    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(AnyValue(source.Sample()));
    EXPECT_EQ(warnings.count["auto"], 1);
    EXPECT_EQ(warnings.last, kNoSensorProgram);
    // Neither absent source fills the log with its own absence.
    EXPECT_EQ(warnings.count["hwinfo"], 0);
    EXPECT_EQ(warnings.count["fallback"], 0);

    fallback_up = true;
    EXPECT_EQ(ValueOf(source.Sample(), "TCPU"), 60.0);
    image = Sample();  // HWiNFO starts: it wins
    EXPECT_EQ(ValueOf(source.Sample(), "TCPU"), 45.0);
    image.clear();  // and ends: its end is reported, once, as the source that was in use
    EXPECT_EQ(ValueOf(source.Sample(), "TCPU"), 60.0);
    EXPECT_EQ(warnings.count["hwinfo"], 1);
    fallback_up = false;  // now nothing: the reason again, once
    EXPECT_FALSE(AnyValue(source.Sample()));
    EXPECT_FALSE(AnyValue(source.Sample()));
    EXPECT_EQ(warnings.count["auto"], 2);
    EXPECT_EQ(warnings.count["fallback"], 1);
    EXPECT_NE(source.Describe().find("else the fake"), std::string::npos);
}

}  // namespace
