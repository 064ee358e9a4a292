// Reads the kernel's hardware-monitor inputs straight from sysfs:
// ROOT/class/hwmon/hwmonN/{name, tempN_input, tempN_label, tempN_min, tempN_max, tempN_crit,
// tempN_alarm, and the same for fanN and inN; cpuN_vid, the core voltage the CPU asks for, in
// millivolts}. Older drivers keep the attributes under hwmonN/device/, which is looked at too.
// Linux only (plain file reads of sysfs).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vorn::readings {

enum class InputType { kTemp, kFan, kIn };

struct HwmonInput {
    std::string chip;        // contents of the chip's "name" file
    std::string device;      // "hwmon3"
    std::string input;       // "temp1", "fan2", "in4", "cpu0_vid"
    std::string label;       // contents of the "_label" file, or empty
    std::string path;        // the "_input" file
    std::string low_path;    // the "_min" file, or empty when there is none
    std::string high_path;   // the "_max" file, else the "_crit" file, or empty
    std::string alarm_path;  // the "_alarm" file, or empty
    InputType type = InputType::kTemp;
};

// What one input reads now, in real units.
struct HwmonValue {
    std::optional<double> value;
    std::optional<double> low;
    std::optional<double> high;
    bool alarm = false;
};

// Every input under `sysfs_root`, chips in hwmon number order, then temp, fan, in inputs in
// number order, then the chip's cpuN_vid (a voltage input). A missing or unreadable tree gives
// an empty list.
std::vector<HwmonInput> ScanHwmon(const std::string& sysfs_root);

// Converts the text of an "_input" (or limit) file to real units (degrees Celsius, RPM, volts).
std::optional<double> ParseHwmonValue(InputType type, const char* text, std::size_t len);

// Reads an input now; empty when the file is gone or holds no number.
std::optional<double> ReadHwmonValue(const HwmonInput& input);

// Reads an input and its limits and alarm flag now; a limit that cannot be read is empty.
HwmonValue ReadHwmonInput(const HwmonInput& input);

// The first input of a chip named `chip` whose input name, or else label, is `input`.
const HwmonInput* FindHwmonInput(const std::vector<HwmonInput>& inputs, const std::string& chip,
                                 const std::string& input);

// Reads a small sysfs-like file into `out` without its trailing newline; false on failure.
bool ReadSmallFile(const std::string& path, std::string* out);

}  // namespace vorn::readings
