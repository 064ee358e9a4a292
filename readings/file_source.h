// Readings from a text file of KEY=VALUE lines in real units, read at every sample; the keys
// are the reading names ("TCPU=45.5", "VM12=-12.049", "FAN1=2812"). Portable.
#pragma once

#include <string>
#include <vector>

#include "readings/source.h"
#include "readings/warnings.h"

namespace vorn::readings {

// An unreadable file gives no readings. `warnings` is not owned and must outlive the source.
class FileSource : public Source {
public:
    FileSource(std::string path, Warnings* warnings)
        : path_(std::move(path)), warnings_(warnings) {}
    ReadingSet Sample() override;
    std::string Describe() const override;
    std::vector<ListedInput> List() override;

private:
    std::string path_;
    Warnings* warnings_;
};

// Parses the readings file's text: keys are the reading names; unknown keys are ignored;
// a value that is not a finite number leaves its reading empty; the last line of a key wins.
// The sensor of each reading present is "file/KEY".
ReadingSet ParseReadingsText(const std::string& text);

}  // namespace vorn::readings
