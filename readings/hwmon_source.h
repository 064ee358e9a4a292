// Readings from the kernel's hwmon inputs through a mapping whose selectors read
// "CHIP / INPUT": a chip by name and one of its inputs by input name ("fan2", "in4", "temp1")
// or by label ("Package id 0"). Linux only.
#pragma once

#include <string>
#include <vector>

#include "readings/hwmon.h"
#include "readings/mapping.h"
#include "readings/source.h"
#include "readings/warnings.h"

namespace vorn::readings {

struct HwmonSelector {
    std::string chip;
    std::string input;
};

// Parses "CHIP / INPUT" (blanks around the slash allowed; a chip name has none); on failure
// `why` says what is wrong, naming `reading`.
bool ParseHwmonSelector(const std::string& reading, const std::string& selector, HwmonSelector* out,
                        std::string* why);

// Inputs are found by chip name and input name or label, so a chip that is unloaded and
// loaded again (even as another hwmonN) is found again at the next sample after a failed
// read. An empty mapping picks what it can recognise (see AutoMapping). Each reading carries
// the input's limits (_min; _max else _crit) and alarm flag, corrected like the value.
// `warnings` is not owned and must outlive the source.
class HwmonSource : public Source {
public:
    HwmonSource(std::string sysfs_root, const MappingTable& mapping, Warnings* warnings);
    ReadingSet Sample() override;
    std::string Describe() const override;
    std::vector<ListedInput> List() override;
    std::string ListHeading() const override;
    MappingMatch MatchMapping() override;

private:
    void Rescan();
    // The configured selectors against `inputs` (automatic mapping matches by construction).
    MappingMatch MatchAgainst(const std::vector<HwmonInput>& inputs) const;
    bool ReadResolved(int field, Reading* out) const;

    std::string root_;
    MappingTable configured_;  // selectors in the canonical "chip/input" form
    bool automatic_;
    MappingTable mapping_;
    std::array<HwmonSelector, proto::kFieldCount> selectors_;
    std::vector<HwmonInput> inputs_;
    std::array<int, proto::kFieldCount> resolved_{};  // index into inputs_, or -1
    MappingMatch match_;                              // of mapping_ at the last scan
    Warnings* warnings_;
};

// The mapping used when the configuration maps nothing: the CPU package or die temperature,
// a board temperature, the first three fans, and the voltages whose labels name a reading,
// or whose chip fixes their role (see hwmon_chips.h); the CPU's VID when nothing measures the
// core voltage.
MappingTable AutoMapping(const std::vector<HwmonInput>& inputs);

}  // namespace vorn::readings
