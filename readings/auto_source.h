// Source "auto", the Windows default: HWiNFO's shared memory while HWiNFO publishes it,
// otherwise a fallback source (LibreHardwareMonitor's /metrics page), chosen again at every
// sample so that the sensor program may start, end or change after the agent. With neither,
// no readings, and the reason is logged once (again only after a source has come and gone).
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "readings/hwinfo_source.h"
#include "readings/source.h"
#include "readings/warnings.h"

namespace vorn::readings {

// The line logged when no sensor program answers.
constexpr char kNoSensorProgram[] =
    "no sensor program found: start HWiNFO with shared memory support, or "
    "LibreHardwareMonitor's remote web server";

// Passes a source's warnings on only while that source is the one in use, so that the one
// not running does not fill the log with its absence.
class GatedWarnings : public Warnings {
public:
    explicit GatedWarnings(Warnings* target) : target_(target) {}
    bool Warn(const std::string& subject, const std::string& line) override {
        return open_.load() && target_ && target_->Warn(subject, line);
    }
    void SetOpen(bool open) { open_ = open; }

private:
    Warnings* target_;
    std::atomic<bool> open_{false};
};

class AutoSource : public Source {
public:
    // Each source is made with its gate as its warnings: `make_hwinfo` and `make_fallback`
    // are called once, here. `make_fallback` may return null (HWiNFO only).
    template <typename MakeHwinfo, typename MakeFallback>
    AutoSource(MakeHwinfo make_hwinfo, MakeFallback make_fallback, std::string fallback_name,
               Warnings* warnings)
        : hwinfo_gate_(warnings),
          fallback_gate_(warnings),
          hwinfo_(make_hwinfo(&hwinfo_gate_)),
          fallback_(make_fallback(&fallback_gate_)),
          fallback_name_(std::move(fallback_name)),
          warnings_(warnings) {}

    ReadingSet Sample() override;
    void Cancel() override {
        hwinfo_->Cancel();
        if (fallback_)
            fallback_->Cancel();
    }
    std::string Describe() const override;
    std::vector<ListedInput> List() override;
    std::string ListHeading() const override;

private:
    enum class InUse { kNone, kHwinfo, kFallback };

    GatedWarnings hwinfo_gate_;
    GatedWarnings fallback_gate_;
    std::unique_ptr<HwinfoSource> hwinfo_;
    std::unique_ptr<Source> fallback_;
    std::string fallback_name_;
    Warnings* warnings_;
    std::atomic<InUse> in_use_{InUse::kNone};  // a source's warnings wait until it is in use
    bool told_none_ = false;                   // refresher thread only
};

}  // namespace vorn::readings
