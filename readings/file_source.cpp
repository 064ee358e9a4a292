#include "readings/file_source.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "readings/regular_file.h"
#include "readings/text.h"

namespace vorn::readings {

namespace {

// The readings file is small; anything past this is ignored.
constexpr std::size_t kMaxReadingsFile = 64 * 1024;

}  // namespace

ReadingSet ParseReadingsText(const std::string& text) {
    ReadingSet r;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        const std::string key = Trim(line.substr(0, eq));
        const std::string value = Trim(line.substr(eq + 1));
        const int field = FieldIndex(key);
        if (field < 0)
            continue;
        r[field] = Reading{};
        if (value.empty())
            continue;
        errno = 0;
        char* stop = nullptr;
        const double v = std::strtod(value.c_str(), &stop);
        if (stop == value.c_str() + value.size() && errno != ERANGE && std::isfinite(v)) {
            r[field].value = v;
            r[field].sensor = "file/" + key;
        }
    }
    return r;
}

ReadingSet FileSource::Sample() {
    // A FIFO or a device swapped in for the file must not block the sampling thread: only a
    // regular file is read, checked on the opened handle.
    const RegularFileText file = ReadRegularFile(path_, kMaxReadingsFile);
    if (!file.ok) {
        warnings_->Warn("file", path_ + " " + file.error + "; no readings");
        return ReadingSet{};
    }
    return ParseReadingsText(file.text);
}

std::string FileSource::Describe() const {
    return "file " + path_;
}

std::vector<ListedInput> FileSource::List() {
    const ReadingSet set = Sample();
    std::vector<ListedInput> listed;
    for (int k = 0; k < proto::kFieldCount; ++k) {
        if (!set[k].value)
            continue;
        ListedInput item;
        item.description = proto::kFieldNames[k];
        item.kind = KindOf(k);
        item.value = set[k].value;
        // The file's keys are the reading names already: there is nothing to map.
        item.mapping_line = "(read as " + std::string(proto::kFieldNames[k]) + ")";
        listed.push_back(std::move(item));
    }
    return listed;
}

}  // namespace vorn::readings
