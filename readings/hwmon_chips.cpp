#include "readings/hwmon_chips.h"

#include <string>

#include "protocol/sensor_protocol.h"
#include "readings/text.h"

namespace vorn::readings {

namespace {

struct FixedInput {
    const char* input;
    const char* name;
};

struct ChipFamily {
    std::initializer_list<const char*> drivers;
    std::initializer_list<FixedInput> fixed;
};

// The nct6775 driver's chips by the name it gives them, with the pins their datasheets fix.
// The later chips' VTT pin (in9) is left out: boards without such a rail leave it loose.
const ChipFamily kNuvoton[] = {
    {{"nct6106", "nct6116", "nct6775", "nct6776"},
     {{"in0", "CPUVCORE"}, {"in2", "AVCC"}, {"in3", "3VCC"}, {"in7", "3VSB"}, {"in8", "VBAT"}}},
    {{"nct6779", "nct6791", "nct6792", "nct6793", "nct6795"},
     {{"in0", "CPUVCORE"}, {"in2", "AVCC"}, {"in3", "3VCC"}, {"in7", "3VSB"}, {"in8", "VBAT"}}},
    {{"nct6796", "nct6797", "nct6798", "nct6799"},
     {{"in0", "CPUVCORE"}, {"in2", "AVSB"}, {"in3", "3VCC"}, {"in7", "3VSB"}, {"in8", "VBAT"}}},
};

bool IsVoltageInput(std::string_view input) {
    if (input.size() < 3 || input.substr(0, 2) != "in")
        return false;
    for (char c : input.substr(2)) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

// Each voltage reading's names, the likeliest first.
struct VoltageNames {
    int field;
    std::initializer_list<const char*> names;
};

const VoltageNames kVoltageNames[] = {
    {proto::kVid, {"vcore", "cpuvcore", "cpucore", "vcpu", "cpucorevoltage"}},
    {proto::kVtt, {"vtt", "cputermination", "cpuvtt", "vttcpu"}},
    {proto::kV33, {"3.3v", "3vcc", "3v3", "vcc3v", "v3.3"}},
    {proto::kVP5, {"5v", "5vcc", "vcc5v", "v5"}},
    {proto::kVM5, {"-5v"}},
    {proto::kVP12, {"12v", "12vcc", "vcc12v", "v12"}},
    {proto::kVM12, {"-12v"}},
};

}  // namespace

ChipInput DescribeChipInput(std::string_view driver, std::string_view input) {
    if (!IsVoltageInput(input))
        return {};
    for (const ChipFamily& family : kNuvoton) {
        for (const char* name : family.drivers) {
            if (driver != name)
                continue;
            for (const FixedInput& fixed : family.fixed) {
                if (input == fixed.input)
                    return {InputWiring::kFixed, fixed.name};
            }
            return {InputWiring::kBoardDependent, nullptr};
        }
    }
    // ITE: "it87" and "it8xxx"; the battery input is the only one every board shares.
    if (driver.substr(0, 4) == "it87" || driver.substr(0, 4) == "it86") {
        if (input == "in8")
            return {InputWiring::kFixed, "VBAT"};
        return {InputWiring::kBoardDependent, nullptr};
    }
    return {};
}

int VoltageReadingOfLabel(std::string_view label, int* rank) {
    const std::string name = NormalisedLabel(label);
    if (name.empty())
        return -1;
    for (const VoltageNames& reading : kVoltageNames) {
        int k = 0;
        for (const char* synonym : reading.names) {
            if (name == synonym) {
                if (rank)
                    *rank = k;
                return reading.field;
            }
            ++k;
        }
    }
    return -1;
}

std::string NormalisedLabel(std::string_view label) {
    std::string out;
    for (char c : label) {
        c = LowerAscii(c);
        if (c == ' ' || c == '_' || c == '\t' || c == '#' || (c == '+' && out.empty()))
            continue;
        out.push_back(c);
    }
    return out;
}

}  // namespace vorn::readings
