// The sources of the Windows agent: HWiNFO's shared memory, HWiNFO's Gadget values, "auto"
// (HWiNFO's memory, else its Gadget values, else LibreHardwareMonitor's web server), a
// Prometheus page and the readings file.
#include "readings/auto_source.h"
#include "readings/hwinfo_gadget.h"
#include "readings/hwinfo_source.h"
#include "readings/prometheus_source.h"
#include "readings/source_factory.h"

namespace vorn::readings {

namespace {

// LibreHardwareMonitor's remote web server at its default port; a loopback answer is quick.
constexpr char kLibreHardwareMonitorUrl[] = "http://127.0.0.1:8085/metrics";
constexpr int kLibreHardwareMonitorTimeoutMs = 1000;

std::unique_ptr<HwinfoSource> MakeHwinfo(const MappingTable& mapping, Warnings* warnings) {
    return std::make_unique<HwinfoSource>(OpenHwinfoSharedMemory(), mapping, warnings);
}

std::unique_ptr<GadgetSource> MakeGadget(const MappingTable& mapping, Warnings* warnings) {
    return std::make_unique<GadgetSource>(OpenHwinfoGadgetRegistry(), mapping, warnings);
}

// Under "auto" a mapping line belongs to the source whose syntax it has: "SENSOR / LABEL" to
// HWiNFO (its memory and its Gadget values name sensors and readings alike), a series
// "METRIC{...}" (or a bare metric name) to LibreHardwareMonitor.
bool IsHwinfoSelector(const std::string& selector) {
    return selector.find('{') == std::string::npos && CheckHwinfoSelector("", selector, nullptr);
}

MappingTable OnlyHwinfo(const MappingTable& mapping, bool hwinfo) {
    MappingTable kept;
    for (int f = 0; f < proto::kFieldCount; ++f) {
        if (mapping[f].mapped() && IsHwinfoSelector(mapping[f].selector) == hwinfo)
            kept[f] = mapping[f];
    }
    return kept;
}

}  // namespace

const char kSourceChoices[] = "'auto', 'hwinfo', 'hwinfo-gadget', 'prometheus:URL' or 'file:PATH'";

bool ParsePlatformSourceName(const std::string& text, SourceSpec* out) {
    if (text != "auto" && text != "hwinfo" && text != "hwinfo-gadget")
        return false;
    *out = SourceSpec{text == "auto"     ? SourceSpec::Kind::kAuto
                      : text == "hwinfo" ? SourceSpec::Kind::kHwinfo
                                         : SourceSpec::Kind::kGadget,
                      std::string()};
    return true;
}

bool CheckSelector(SourceSpec::Kind kind, const std::string& reading, const std::string& selector,
                   std::string* why) {
    switch (kind) {
        case SourceSpec::Kind::kHwinfo:
        case SourceSpec::Kind::kGadget:
            return CheckHwinfoSelector(reading, selector, why);
        case SourceSpec::Kind::kPrometheus:
            return CheckPrometheusSelector(reading, selector, why);
        case SourceSpec::Kind::kAuto: {
            std::string ignored;
            if (IsHwinfoSelector(selector) || CheckPrometheusSelector(reading, selector, &ignored))
                return true;
            if (why) {
                *why = reading +
                       " must be mapped as SENSOR / LABEL (HWiNFO) or METRIC{LABEL=\"VALUE\"} "
                       "(LibreHardwareMonitor), as vornagent --list shows them";
            }
            return false;
        }
        case SourceSpec::Kind::kFile:
        case SourceSpec::Kind::kHwmon:
            return true;
    }
    return true;
}

std::unique_ptr<Source> MakeSource(const SourceSettings& settings, Warnings* warnings) {
    if (std::unique_ptr<Source> portable = MakePortableSource(settings, warnings))
        return portable;
    switch (settings.spec.kind) {
        case SourceSpec::Kind::kHwinfo:
            return MakeHwinfo(settings.mapping, warnings);
        case SourceSpec::Kind::kGadget:
            return MakeGadget(settings.mapping, warnings);
        case SourceSpec::Kind::kFile:
        case SourceSpec::Kind::kPrometheus:
        case SourceSpec::Kind::kAuto:
        case SourceSpec::Kind::kHwmon:  // not offered here: ParseSourceSpec never yields it
            break;
    }
    const MappingTable hwinfo = OnlyHwinfo(settings.mapping, true);
    const MappingTable lhm = OnlyHwinfo(settings.mapping, false);
    return std::make_unique<AutoSource>(
        [&](Warnings* gate) { return MakeHwinfo(hwinfo, gate); },
        [&](Warnings* gate) { return MakeGadget(hwinfo, gate); },
        [&](Warnings* gate) {
            SourceSettings libre;
            libre.spec = SourceSpec{SourceSpec::Kind::kPrometheus, kLibreHardwareMonitorUrl};
            libre.mapping = lhm;
            libre.timeout_ms = kLibreHardwareMonitorTimeoutMs;
            return MakePortableSource(libre, gate);
        },
        std::string("LibreHardwareMonitor at ") + kLibreHardwareMonitorUrl, warnings);
}

}  // namespace vorn::readings
