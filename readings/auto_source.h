// Source "auto", the Windows default: HWiNFO's shared memory while HWiNFO publishes it and
// keeps it updated, else HWiNFO's Gadget values in the registry while they are there and
// changing, else a fallback source (LibreHardwareMonitor's /metrics page), chosen again at every
// sample so that the sensor program may start, end or change after the agent. Each change of
// source is logged once with the reason; with none, no readings, and the reason is logged once
// (again only after a source has come and gone).
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "readings/hwinfo_gadget.h"
#include "readings/hwinfo_source.h"
#include "readings/source.h"
#include "readings/warnings.h"

namespace vorn::readings {

// The line logged when no sensor program answers.
constexpr char kNoSensorProgram[] =
    "no sensor program found: start HWiNFO with shared memory support or Gadget reporting, or "
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
    // Each source is made with its gate as its warnings: the makers are called once, here.
    // `make_gadget` and `make_fallback` may return null (a source fewer).
    template <typename MakeHwinfo, typename MakeGadget, typename MakeFallback>
    AutoSource(MakeHwinfo make_hwinfo, MakeGadget make_gadget, MakeFallback make_fallback,
               std::string fallback_name, Warnings* warnings)
        : hwinfo_gate_(warnings),
          gadget_gate_(warnings),
          fallback_gate_(warnings),
          hwinfo_(make_hwinfo(&hwinfo_gate_)),
          gadget_(make_gadget(&gadget_gate_)),
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
    // Matched against the sensor program running now; a line in the other program's syntax
    // matches nothing, as it reads nothing while that program runs.
    MappingMatch MatchMapping() override;

private:
    // In order of preference.
    enum class InUse { kHwinfo, kGadget, kFallback, kNone };

    std::string NameOf(InUse source) const;
    // Logs the change from `before` to `now` (neither kNone).
    void TellChange(InUse before, InUse now);

    GatedWarnings hwinfo_gate_;
    GatedWarnings gadget_gate_;
    GatedWarnings fallback_gate_;
    std::unique_ptr<HwinfoSource> hwinfo_;
    std::unique_ptr<GadgetSource> gadget_;
    std::unique_ptr<Source> fallback_;
    std::string fallback_name_;
    Warnings* warnings_;
    std::atomic<InUse> in_use_{InUse::kNone};  // a source's warnings wait until it is in use
    InUse last_used_ = InUse::kNone;           // the last one in use; refresher thread only
    bool told_none_ = false;                   // refresher thread only
};

}  // namespace vorn::readings
