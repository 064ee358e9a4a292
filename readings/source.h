// Where readings come from. A source is sampled by one refresher thread at a time, once per
// interval; it owns whatever it caches between samples.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "readings/mapping.h"
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
    bool automatic = false;  // the automatic mapping gives the input the reading it proposes
};

// The configured mapping matched against the source as it is now, for --check and the start
// line. Only a source that could be read can say that a selector matches nothing.
struct MappingMatch {
    bool read = false;  // the source was read; else `why` says why only the syntax is known
    std::string why;
    std::array<bool, proto::kFieldCount> mapped{};          // a mapping line names the reading
    std::array<std::string, proto::kFieldCount> found;      // what a matched selector reads
    std::array<std::string, proto::kFieldCount> unmatched;  // why a selector matches nothing
    int MatchedCount() const;
    bool AllMatched() const { return read && MatchedCount() == MappedCount(); }
    int MappedCount() const;
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
    // Matches the configured mapping against what the source offers now (may read it once).
    // By default the source cannot be read before it runs.
    virtual MappingMatch MatchMapping() {
        MappingMatch m;
        m.why = "this source is read only while the agent runs";
        return m;
    }
};

// "N of 13 mapped (TCPU=..., ...)", where N counts only the selectors that match (none when
// the source could not be read), then "; matching nothing: TPWR=nct6776/AUXTIN0, ...".
std::string DescribeMatchedMapping(const MappingTable& mapping, const MappingMatch& match);

// The text of --list: the heading, one line per input (description, value with its unit,
// limits where known, a mapping line), or a line saying there is none. Each reading is
// proposed once, for the input the automatic mapping gives it or else the first of its kind;
// the other inputs' lines are commented out, as alternatives. A source whose inputs carry no
// "READING = SELECTOR" line (a readings file) gets no advice to paste one.
std::string FormatListing(const Source& source, const std::vector<ListedInput>& inputs);

}  // namespace vorn::readings
