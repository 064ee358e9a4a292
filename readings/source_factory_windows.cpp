// The sources of the Windows agent: HWiNFO's shared memory, "auto" (HWiNFO, else
// LibreHardwareMonitor's web server) and the readings file.
#include "readings/auto_source.h"
#include "readings/file_source.h"
#include "readings/hwinfo_source.h"
#include "readings/source_factory.h"

namespace vorn::readings {

namespace {

std::unique_ptr<HwinfoSource> MakeHwinfo(const MappingTable& mapping, Warnings* warnings) {
    return std::make_unique<HwinfoSource>(OpenHwinfoSharedMemory(), mapping, warnings);
}

}  // namespace

bool ParseSourceSpec(const std::string& text, SourceSpec* out, std::string* why) {
    if (text == "auto" || text == "hwinfo") {
        *out = SourceSpec{text == "auto" ? SourceSpec::Kind::kAuto : SourceSpec::Kind::kHwinfo,
                          std::string()};
        return true;
    }
    if (text.rfind("file:", 0) == 0 && text.size() > 5) {
        *out = SourceSpec{SourceSpec::Kind::kFile, text.substr(5)};
        return true;
    }
    *why = "must be 'auto', 'hwinfo' or 'file:PATH', not '" + text + "'";
    return false;
}

bool CheckSelector(SourceSpec::Kind kind, const std::string& reading, const std::string& selector,
                   std::string* why) {
    switch (kind) {
        case SourceSpec::Kind::kHwinfo:
        case SourceSpec::Kind::kAuto:
            return CheckHwinfoSelector(reading, selector, why);
        case SourceSpec::Kind::kFile:
        case SourceSpec::Kind::kHwmon:
            return true;
    }
    return true;
}

std::unique_ptr<Source> MakeSource(const SourceSettings& settings, Warnings* warnings) {
    switch (settings.spec.kind) {
        case SourceSpec::Kind::kFile:
            return std::make_unique<FileSource>(settings.spec.location, warnings);
        case SourceSpec::Kind::kHwinfo:
            return MakeHwinfo(settings.mapping, warnings);
        case SourceSpec::Kind::kAuto:
        case SourceSpec::Kind::kHwmon:  // not offered here: ParseSourceSpec never yields it
            break;
    }
    const MappingTable mapping = settings.mapping;
    return std::make_unique<AutoSource>([&](Warnings* gate) { return MakeHwinfo(mapping, gate); },
                                        [](Warnings*) { return std::unique_ptr<Source>(); },
                                        std::string(), warnings);
}

}  // namespace vorn::readings
