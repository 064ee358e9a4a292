// Where readings come from. A source is sampled by one refresher thread at a time, once per
// interval; it owns whatever it caches between samples.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "readings/model.h"

namespace vorn::readings {

// One input a source could map, for --list.
struct ListedInput {
    std::string description;  // human text: chip, input, label (a source's own columns)
    ReadingKind kind = ReadingKind::kTemperature;  // decides the unit shown
    std::optional<double> value;                   // current value in real units
    std::optional<double> low, high;               // limits, where the source knows them
    bool alarm = false;                            // the chip's own alarm flag is raised
    std::string mapping_line;                      // ready to paste: "TCPU = coretemp / temp1"
};

class Source {
public:
    virtual ~Source() = default;
    // Reads every reading now. May block (a network source), but must return within the
    // source's own time-out: the refresher waits for it when it stops.
    virtual ReadingSet Sample() = 0;
    // Called from another thread when the source is being retired: a Sample in progress is
    // to return soon (its readings are not used), and later ones may return nothing at once.
    // Safe to call at any time, more than once; the default does nothing (reads that return
    // at once need no cancelling).
    virtual void Cancel() {}
    // One phrase for the start line, e.g. "hwmon /sys (19 inputs), 5 of 13 mapped (...)".
    virtual std::string Describe() const = 0;
    // Every usable input with its current value, for --list.
    virtual std::vector<ListedInput> List() = 0;
    // The heading over the descriptions of List(), aligned with them.
    virtual std::string ListHeading() const { return "INPUT"; }
};

// The text of --list: the heading, one line per input (description, value with its unit,
// limits where known, a mapping line), or a line saying there is none.
std::string FormatListing(const Source& source, const std::vector<ListedInput>& inputs);

}  // namespace vorn::readings
