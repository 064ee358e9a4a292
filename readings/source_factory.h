// The sources this platform offers, chosen by the configuration's "source" setting, and the
// check of mapping selectors against the chosen source's syntax. One implementation per
// platform (source_factory_linux.cpp, source_factory_windows.cpp); the declarations are shared.
#pragma once

#include <memory>
#include <string>

#include "readings/mapping.h"
#include "readings/source.h"
#include "readings/warnings.h"

namespace vorn::readings {

struct SourceSpec {
    // kHwmon: Linux only. kHwinfo (HWiNFO's shared memory), kGadget (HWiNFO's Gadget values
    // in the registry) and kAuto (HWiNFO's memory, else its Gadget values, else
    // LibreHardwareMonitor's web server): Windows only.
    enum class Kind { kHwmon, kFile, kPrometheus, kHwinfo, kGadget, kAuto };
#ifdef _WIN32
    Kind kind = Kind::kAuto;
#else
    Kind kind = Kind::kHwmon;
#endif
    std::string location;  // the readings file for kFile, the URL for kPrometheus
};

// Everything a source is made from.
struct SourceSettings {
    SourceSpec spec;
    std::string sysfs = "/sys";  // the sysfs root for kHwmon
    MappingTable mapping;
    // For kPrometheus: Basic credentials (win over the URL's) and the time-out of one GET,
    // 0 for the default.
    std::string user, password;
    int timeout_ms = 0;
};

// Parses a "source" value ("hwmon", "file:PATH", "prometheus:URL"); on failure `why` says what it
// must be, as a text that follows the setting's name ("must be 'hwmon' or ...").
bool ParseSourceSpec(const std::string& text, SourceSpec* out, std::string* why);

// The two halves of ParseSourceSpec that differ by platform, one definition each in the
// platform's factory: the sources named by a word alone ("hwmon"; "auto", "hwinfo"), and what
// a "source" value may be, for the message that refuses one.
bool ParsePlatformSourceName(const std::string& text, SourceSpec* out);
extern const char kSourceChoices[];

// Checks one mapping selector against the syntax of the source kind `kind`; on failure `why`
// names `reading` and says what is wrong.
bool CheckSelector(SourceSpec::Kind kind, const std::string& reading, const std::string& selector,
                   std::string* why);

// Makes the source the settings ask for. `warnings` is not owned and must outlive it.
std::unique_ptr<Source> MakeSource(const SourceSettings& settings, Warnings* warnings);

// The sources every platform makes the same way (kFile, kPrometheus), for MakeSource; nullptr
// for the platform's own kinds.
std::unique_ptr<Source> MakePortableSource(const SourceSettings& settings, Warnings* warnings);

}  // namespace vorn::readings
