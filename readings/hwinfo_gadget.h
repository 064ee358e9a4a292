// Source "hwinfo-gadget": the values HWiNFO keeps writing for desktop gadgets, which its free
// edition does without a time limit. HWiNFO writes each reading its user ticked for Gadget
// reporting as string values of the registry key Software\HWiNFO64\VSB: SensorN, LabelN, ValueN
// (the text HWiNFO shows, with its unit), ValueRawN (the bare number) and ColorN, for
// N = 0, 1, 2, ... They read as the shared memory's sensors and readings, so mapping lines
// ("SENSOR / LABEL") and automatic mapping are those of source "hwinfo"; the kind of each
// reading comes from the unit in ValueN. Values that stop changing count as gone, as for the
// shared memory.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "readings/change_watch.h"
#include "readings/hwinfo_memory.h"
#include "readings/hwinfo_source.h"
#include "readings/mapping.h"
#include "readings/source.h"
#include "readings/warnings.h"

namespace vorn::readings {

// One string value of the key: its name ("ValueRaw3") and its text in UTF-8.
struct GadgetValue {
    std::string name;
    std::string text;
};

// Where the values come from: the registry on Windows, a list in tests.
class GadgetReader {
public:
    virtual ~GadgetReader() = default;
    // Replaces `values` with the key's string values as they are now and `stamp` with the key's
    // last write time (0 when unknown); false (with `why`) when there is no key to read.
    // Called from the refresher thread only.
    virtual bool Read(std::vector<GadgetValue>* values, std::uint64_t* stamp, std::string* why) = 0;
    // The key last read (or the first one looked at), for the start line.
    virtual std::string Where() const = 0;
};

// The registry, Windows only (hwinfo_gadget_win.cpp): the signed-in console user's key (which
// a service reads under HKEY_USERS), this process's user's (HKCU), then the machine's (HKLM,
// where an elevated HWiNFO may write); the first that holds readings.
std::unique_ptr<GadgetReader> OpenHwinfoGadgetRegistry();

// The values as HWiNFO's sensors and readings: one sensor per distinct SensorN, one reading
// per N with a sensor and a label, typed by ValueN's unit (°C or °F, V or mV, RPM), its value
// from ValueRawN, or ValueN's leading number when ValueRawN is missing. Gaps in N, values of
// other names and damaged texts leave out only what they concern.
hwinfo::Memory GadgetMemory(const std::vector<GadgetValue>& values);

class GadgetSource : public HwinfoReadingsSource {
public:
    // `warnings` (not owned) hears why the values could not be read, and once that they stopped
    // changing. `now` is the monotonic clock (steady_clock when empty).
    GadgetSource(std::unique_ptr<GadgetReader> reader, const MappingTable& mapping,
                 Warnings* warnings, SteadyNow now = nullptr);

    std::string Describe() const override;

private:
    bool Load(hwinfo::Memory* memory) override;

    std::unique_ptr<GadgetReader> reader_;
    Warnings* warnings_;
    SteadyNow now_;
    std::vector<GadgetValue> values_;
    ChangeWatch watch_;          // refresher thread only
    bool told_stopped_ = false;  // refresher thread only
    std::string where_;          // guarded by state_mutex_
};

}  // namespace vorn::readings
