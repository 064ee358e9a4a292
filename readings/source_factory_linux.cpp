#include "readings/hwmon_source.h"
#include "readings/prometheus_source.h"
#include "readings/source_factory.h"

namespace vorn::readings {

const char kSourceChoices[] = "'hwmon', 'file:PATH' or 'prometheus:URL'";

bool ParsePlatformSourceName(const std::string& text, SourceSpec* out) {
    if (text != "hwmon")
        return false;
    *out = SourceSpec{};
    return true;
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
        case SourceSpec::Kind::kPrometheus:
            return CheckPrometheusSelector(reading, selector, why);
        case SourceSpec::Kind::kHwinfo:
        case SourceSpec::Kind::kGadget:
        case SourceSpec::Kind::kAuto:
            break;  // not offered here: ParseSourceSpec never yields them
    }
    return true;
}

std::unique_ptr<Source> MakeSource(const SourceSettings& settings, Warnings* warnings) {
    if (std::unique_ptr<Source> portable = MakePortableSource(settings, warnings))
        return portable;
    return std::make_unique<HwmonSource>(settings.sysfs, settings.mapping, warnings);
}

}  // namespace vorn::readings
