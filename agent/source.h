// Where readings come from. A source is sampled by the serving thread only, at most once
// per interval; it owns whatever it caches between samples.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "agent/config.h"
#include "agent/hwmon.h"
#include "agent/log.h"
#include "agent/readings.h"

namespace vorn::agent {

class Source {
public:
    virtual ~Source() = default;
    // Reads every reading now.
    virtual Readings Sample() = 0;
    // One phrase for the start line, e.g. "hwmon /sys, 5 of 13 mapped (TCPU ...)".
    virtual std::string Describe() const = 0;
};

// Readings from hwmon inputs through a mapping. Inputs are found by chip name and input
// name or label, so a chip that is unloaded and loaded again (even as another hwmonN) is
// found again at the next sample after a failed read. An empty mapping picks what it can
// recognise (see AutoMapping). `log` is not owned and must outlive the source.
class HwmonSource : public Source {
public:
    HwmonSource(std::string sysfs_root, const MappingTable& mapping, Log* log);
    Readings Sample() override;
    std::string Describe() const override;

private:
    void Rescan();
    std::optional<double> ReadResolved(int field) const;

    std::string root_;
    MappingTable configured_;
    bool automatic_;
    MappingTable mapping_;
    std::vector<HwmonInput> inputs_;
    std::array<int, proto::kFieldCount> resolved_{};  // index into inputs_, or -1
    Log* log_;
};

// The mapping used when the configuration maps nothing: the CPU package or die temperature,
// a board temperature and the first three fans, where the chips are known.
MappingTable AutoMapping(const std::vector<HwmonInput>& inputs);

// Readings from a text file of KEY=VALUE lines in real units, read at every sample.
// An unreadable file gives no readings. `log` is not owned.
class FileSource : public Source {
public:
    FileSource(std::string path, Log* log) : path_(std::move(path)), log_(log) {}
    Readings Sample() override;
    std::string Describe() const override;

private:
    std::string path_;
    Log* log_;
};

// Parses the readings file's text: keys are the reading names; unknown keys are ignored;
// a value that is not a finite number leaves its reading empty; the last line of a key wins.
Readings ParseReadingsText(const std::string& text);

// Makes the source a configuration asks for.
std::unique_ptr<Source> MakeSource(const Config& config, Log* log);

// "TCPU=coretemp/Package id 0, ..." for the start line; readings the mapping leaves out
// are not listed.
std::string DescribeMapping(const MappingTable& mapping);

}  // namespace vorn::agent
