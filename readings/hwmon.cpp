#include "readings/hwmon.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace vorn::readings {

namespace {

// Splits "temp12_input" into type and number; false for anything else.
bool ParseInputFile(const char* name, InputType* type, unsigned* number) {
    static const struct {
        const char* prefix;
        InputType type;
    } kPrefixes[] = {{"temp", InputType::kTemp}, {"fan", InputType::kFan}, {"in", InputType::kIn}};
    for (const auto& p : kPrefixes) {
        const std::size_t n = std::strlen(p.prefix);
        if (std::strncmp(name, p.prefix, n) != 0)
            continue;
        const char* digits = name + n;
        const char* q = digits;
        while (*q >= '0' && *q <= '9')
            ++q;
        if (q == digits || q - digits > 4 || std::strcmp(q, "_input") != 0)
            return false;
        *type = p.type;
        *number = static_cast<unsigned>(std::strtoul(digits, nullptr, 10));
        return true;
    }
    return false;
}

std::vector<std::string> ListDir(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (!d)
        return names;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] != '.')
            names.emplace_back(e->d_name);
    }
    closedir(d);
    return names;
}

// hwmon2 before hwmon10.
unsigned DeviceNumber(const std::string& name) {
    return static_cast<unsigned>(std::strtoul(name.c_str() + 5, nullptr, 10));
}

const char* TypePrefix(InputType t) {
    return t == InputType::kTemp ? "temp" : t == InputType::kFan ? "fan" : "in";
}

// `path` when that file can be opened for reading, else empty.
std::string Existing(const std::string& path) {
    return access(path.c_str(), R_OK) == 0 ? path : std::string();
}

std::optional<double> ReadNumberFile(const std::string& path, InputType type) {
    std::string text;
    if (path.empty() || !ReadSmallFile(path, &text))
        return std::nullopt;
    return ParseHwmonValue(type, text.data(), text.size());
}

}  // namespace

bool ReadSmallFile(const std::string& path, std::string* out) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buf[256];
    ssize_t n;
    do {
        n = read(fd, buf, sizeof buf - 1);
    } while (n < 0 && errno == EINTR);
    close(fd);
    if (n < 0)
        return false;
    std::size_t len = static_cast<std::size_t>(n);
    while (len > 0 && (buf[len - 1] == '\n' || buf[len - 1] == '\r'))
        --len;
    out->assign(buf, len);
    return true;
}

std::vector<HwmonInput> ScanHwmon(const std::string& sysfs_root) {
    const std::string base = sysfs_root + "/class/hwmon";
    std::vector<std::string> devices;
    for (std::string& name : ListDir(base)) {
        if (name.rfind("hwmon", 0) == 0 && name.size() > 5 &&
            name.find_first_not_of("0123456789", 5) == std::string::npos) {
            devices.push_back(std::move(name));
        }
    }
    std::sort(devices.begin(), devices.end(), [](const std::string& a, const std::string& b) {
        return DeviceNumber(a) < DeviceNumber(b);
    });

    std::vector<HwmonInput> inputs;
    for (const std::string& device : devices) {
        std::string dir = base + "/" + device;
        std::string chip;
        if (!ReadSmallFile(dir + "/name", &chip)) {
            dir += "/device";
            if (!ReadSmallFile(dir + "/name", &chip))
                continue;
        }
        struct Found {
            InputType type;
            unsigned number;
        };
        std::vector<Found> found;
        for (const std::string& file : ListDir(dir)) {
            Found f{};
            if (ParseInputFile(file.c_str(), &f.type, &f.number))
                found.push_back(f);
        }
        std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
            return a.type != b.type ? a.type < b.type : a.number < b.number;
        });
        for (const Found& f : found) {
            HwmonInput in;
            in.chip = chip;
            in.device = device;
            in.type = f.type;
            in.input = TypePrefix(f.type) + std::to_string(f.number);
            in.path = dir + "/" + in.input + "_input";
            if (!ReadSmallFile(dir + "/" + in.input + "_label", &in.label))
                in.label.clear();
            const std::string stem = dir + "/" + in.input;
            in.low_path = Existing(stem + "_min");
            in.high_path = Existing(stem + "_max");
            if (in.high_path.empty())
                in.high_path = Existing(stem + "_crit");
            in.alarm_path = Existing(stem + "_alarm");
            inputs.push_back(std::move(in));
        }
        // The VID the CPU asks for (nct6775, it87 and others): a voltage without limits.
        for (unsigned cpu = 0; cpu < 4; ++cpu) {
            HwmonInput in;
            in.input = "cpu" + std::to_string(cpu) + "_vid";
            in.path = Existing(dir + "/" + in.input);
            if (in.path.empty())
                continue;
            in.chip = chip;
            in.device = device;
            in.type = InputType::kIn;
            inputs.push_back(std::move(in));
        }
    }
    return inputs;
}

std::optional<double> ParseHwmonValue(InputType type, const char* text, std::size_t len) {
    std::size_t i = 0;
    while (i < len && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    bool negative = false;
    if (i < len && (text[i] == '-' || text[i] == '+'))
        negative = text[i++] == '-';
    const std::size_t digits = i;
    long long v = 0;
    while (i < len && text[i] >= '0' && text[i] <= '9') {
        if (i - digits >= 15)
            return std::nullopt;
        v = v * 10 + (text[i++] - '0');
    }
    if (i == digits)
        return std::nullopt;
    while (i < len && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r')) {
        ++i;
    }
    if (i != len)
        return std::nullopt;
    const double raw = negative ? -static_cast<double>(v) : static_cast<double>(v);
    return type == InputType::kFan ? raw : raw / 1000.0;
}

std::optional<double> ReadHwmonValue(const HwmonInput& input) {
    return ReadNumberFile(input.path, input.type);
}

HwmonValue ReadHwmonInput(const HwmonInput& input) {
    HwmonValue v;
    v.value = ReadHwmonValue(input);
    v.low = ReadNumberFile(input.low_path, input.type);
    v.high = ReadNumberFile(input.high_path, input.type);
    std::string alarm;
    v.alarm = !input.alarm_path.empty() && ReadSmallFile(input.alarm_path, &alarm) && alarm == "1";
    return v;
}

const HwmonInput* FindHwmonInput(const std::vector<HwmonInput>& inputs, const std::string& chip,
                                 const std::string& input) {
    for (const HwmonInput& in : inputs) {
        if (in.chip == chip && in.input == input)
            return &in;
    }
    for (const HwmonInput& in : inputs) {
        if (in.chip == chip && in.label == input)
            return &in;
    }
    return nullptr;
}

}  // namespace vorn::readings
