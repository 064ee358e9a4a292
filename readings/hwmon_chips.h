// What a board's sensor chip fixes about its voltage inputs whatever the board, for drivers
// that publish no in*_label files. A Nuvoton NCT67xx (driver nct6775) measures the CPU core
// voltage, AVCC (or AVSB), 3VCC, 3VSB and VBAT on pins of their own, scaled inside the chip;
// its other inputs, and all of an ITE chip's (driver it87) but the battery,
// go through resistors the board maker chooses, so only the board's figures (.scale, .offset)
// make volts of them. Portable: node_exporter's series name the same drivers and inputs.
#pragma once

#include <string>
#include <string_view>

namespace vorn::readings {

enum class InputWiring {
    kUnknown,         // a driver this table does not know
    kFixed,           // the chip's datasheet fixes the input's role and scale
    kBoardDependent,  // the board's resistors decide what it measures, and its scale
};

struct ChipInput {
    InputWiring wiring = InputWiring::kUnknown;
    const char* name = nullptr;  // the datasheet's name of a fixed input: "CPUVCORE", "3VCC"
};

// What driver `driver` (a hwmon chip name: "nct6798", "it8728") fixes about voltage input
// `input` ("in3"); kUnknown for other drivers and for temperatures and fans.
ChipInput DescribeChipInput(std::string_view driver, std::string_view input);

// The voltage reading (proto::kVid ... proto::kVM12) a voltage label names, -1 when none: "Vcore"
// and "CPUVCORE" are VID, "VTT" and "CPU Termination" VTT, "+3.3V" and "3VCC" 3.3 V, and so on.
// `rank` (optional) tells how well: 0 for the first synonym, then 1, 2, ...
int VoltageReadingOfLabel(std::string_view label, int* rank = nullptr);

// A label as automatic mapping compares it: lower case, without blanks, underscores, '#' and a
// leading '+', so "+3.3 V", "3.3V" and "+3.3v" are one name, "CPU_FAN" is "CPU Fan", and
// "System Fan #1" is "System Fan 1" (LibreHardwareMonitor's web server drops the '#').
std::string NormalisedLabel(std::string_view label);

}  // namespace vorn::readings
