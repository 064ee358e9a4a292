// Source "hwinfo": the readings HWiNFO publishes in its sensor shared memory. Each sample
// takes a fresh private copy of the memory (HWiNFO may restart, grow or drop its sensors
// between samples), parses the copy and picks the mapped readings by name: "SENSOR / LABEL",
// each the user's name or the original one. With nothing mapped, readings are recognised by
// their usual labels (see HwinfoAutoMapping).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "readings/change_watch.h"
#include "readings/hwinfo_memory.h"
#include "readings/mapping.h"
#include "readings/source.h"
#include "readings/warnings.h"

namespace vorn::readings {

// Where the bytes come from: HWiNFO's named file mapping on Windows, a buffer in tests.
class HwinfoMemoryReader {
public:
    virtual ~HwinfoMemoryReader() = default;
    // Replaces `copy` with the memory's bytes as they are now; false (with `why`) when there is
    // no memory to read. Called from the refresher thread only.
    virtual bool Read(std::vector<std::uint8_t>* copy, std::string* why) = 0;
};

// HWiNFO's own mapping "Global\HWiNFO_SENS_SM2" (or the session's, without "Global\"), copied
// while holding its mutex. Windows only (hwinfo_shared_memory_win.cpp).
std::unique_ptr<HwinfoMemoryReader> OpenHwinfoSharedMemory();

// A mapping selector "SENSOR / LABEL"; false (with `why`) when it is not of that shape.
bool CheckHwinfoSelector(const std::string& reading, const std::string& selector, std::string* why);

// The readings recognised by their labels: the CPU package or die temperature, the board's
// system and power-unit temperatures, core voltage, VTT, the rails and three fans. Each reading
// of the memory is given to one field at most.
MappingTable HwinfoAutoMapping(const readings::hwinfo::Memory& memory);

// A reading's value in the bar's units (degrees Celsius, volts, RPM): HWiNFO shows
// Fahrenheit or millivolts when its user asks for them. Empty for other kinds of reading.
std::optional<double> HwinfoValueInBarUnits(const readings::hwinfo::Reading& reading,
                                            std::optional<double> raw);

// The readings of `memory` through `mapping`, or by their labels when `automatic`. HWiNFO's
// Gadget values in the registry come as the same sensors and readings (hwinfo_gadget.h).
ReadingSet HwinfoReadings(const readings::hwinfo::Memory& memory, const MappingTable& mapping,
                          bool automatic);

// The configured selectors against `memory` (automatic mapping matches by construction).
MappingMatch HwinfoMatch(const readings::hwinfo::Memory& memory, const MappingTable& configured,
                         bool automatic);

// Every temperature, voltage and fan of `memory` for --list, as "SENSOR / LABEL".
std::vector<ListedInput> HwinfoListing(const readings::hwinfo::Memory& memory);

// How long HWiNFO's poll time may stand still before its memory counts as no longer updated:
// a few of the polling periods the header gives (a default where it gives none or an absurd
// one), and never less than a floor that rides out a busy machine.
std::chrono::milliseconds HwinfoStandstillBound(std::uint32_t polling_period_ms);

// The line logged once when HWiNFO stops updating its memory, with what the user can do.
std::string HwinfoStoppedLine(std::chrono::milliseconds still_for);

// What both HWiNFO sources share, the memory and its Gadget values alike: the readings through
// the mapping, the check of the mapping against what HWiNFO shows, --list, and the state the
// start line and "auto" report. A subclass says how its memory is loaded.
class HwinfoReadingsSource : public Source {
public:
    ReadingSet Sample() override;
    std::vector<ListedInput> List() override;
    std::string ListHeading() const override { return "SENSOR / LABEL"; }
    MappingMatch MatchMapping() override;

    // True when the last sample found readings HWiNFO still updates.
    bool live() const;
    // Why not, or how many readings: for the log line of "auto".
    std::string state() const;

protected:
    // `what` names the interface in messages ("HWiNFO's shared memory").
    HwinfoReadingsSource(const MappingTable& mapping, std::string what);
    // Reads and parses the memory; false (and a warning) when there is none or it is not live.
    // Sets the state through SetState. Refresher thread only.
    virtual bool Load(readings::hwinfo::Memory* memory) = 0;
    void SetState(bool live, std::string state);
    // "automatic mapping", or the configured mapping as the last sample matched it.
    std::string MappingText() const;

    const MappingTable configured_;
    const bool automatic_;
    mutable std::mutex state_mutex_;  // guards the three below: Describe runs on another thread
    std::string state_ = "not read yet";

private:
    std::string what_;
    bool live_ = false;
    MappingMatch match_;  // of the last sample
};

class HwinfoSource : public HwinfoReadingsSource {
public:
    // `warnings` (not owned) hears why the memory could not be read, at most once a quiet period,
    // and once that HWiNFO stopped updating it. `now` is the monotonic clock (steady_clock when
    // empty) that times a poll time standing still.
    HwinfoSource(std::unique_ptr<HwinfoMemoryReader> reader, const MappingTable& mapping,
                 Warnings* warnings, SteadyNow now = nullptr);

    std::string Describe() const override;

private:
    bool Load(readings::hwinfo::Memory* memory) override;

    std::unique_ptr<HwinfoMemoryReader> reader_;
    Warnings* warnings_;
    std::vector<std::uint8_t> copy_;
    SteadyNow now_;
    ChangeWatch poll_watch_;     // HWiNFO's poll time, refresher thread only
    bool told_stopped_ = false;  // the standstill was logged; refresher thread only
};

}  // namespace vorn::readings
