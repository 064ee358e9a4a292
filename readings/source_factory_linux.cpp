#include "readings/file_source.h"
#include "readings/hwmon_source.h"
#include "readings/source_factory.h"

namespace vorn::readings {

bool ParseSourceSpec(const std::string& text, SourceSpec* out, std::string* why) {
    if (text == "hwmon") {
        *out = SourceSpec{};
        return true;
    }
    if (text.rfind("file:", 0) == 0 && text.size() > 5) {
        *out = SourceSpec{SourceSpec::Kind::kFile, text.substr(5)};
        return true;
    }
    *why = "must be 'hwmon' or 'file:PATH', not '" + text + "'";
    return false;
}

bool CheckSelector(SourceSpec::Kind kind, const std::string& reading, const std::string& selector,
                   std::string* why) {
    switch (kind) {
        case SourceSpec::Kind::kHwmon: {
            HwmonSelector parsed;
            return ParseHwmonSelector(reading, selector, &parsed, why);
        }
        case SourceSpec::Kind::kFile:
            // The readings file names its readings itself; mapping lines are not used.
            return true;
        case SourceSpec::Kind::kHwinfo:
        case SourceSpec::Kind::kAuto:
            break;  // not offered here: ParseSourceSpec never yields them
    }
    return true;
}

std::unique_ptr<Source> MakeSource(const SourceSettings& settings, Warnings* warnings) {
    switch (settings.spec.kind) {
        case SourceSpec::Kind::kFile:
            return std::make_unique<FileSource>(settings.spec.location, warnings);
        case SourceSpec::Kind::kHwmon:
        case SourceSpec::Kind::kHwinfo:
        case SourceSpec::Kind::kAuto:
            break;
    }
    return std::make_unique<HwmonSource>(settings.sysfs, settings.mapping, warnings);
}

}  // namespace vorn::readings
