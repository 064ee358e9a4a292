#include "readings/file_source.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include <sys/stat.h>

#include "readings/text.h"

namespace vorn::readings {

namespace {

// The readings file is small; anything past this is ignored.
constexpr std::size_t kMaxReadingsFile = 64 * 1024;

bool ReadWholeFile(const std::string& path, std::string* out) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    out->clear();
    char buf[4096];
    bool ok = true;
    while (out->size() < kMaxReadingsFile) {
        const std::size_t n = std::fread(buf, 1, sizeof buf, f);
        out->append(buf, n);
        if (n < sizeof buf) {
            ok = !std::ferror(f);
            break;
        }
    }
    std::fclose(f);
    return ok;
}

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
    // Opening a FIFO or a device could block the sampling thread for good; only a regular
    // file is read. (Looking at its type opens nothing; stat, not std::filesystem, whose
    // streams and locales would triple the size of the Windows agent.)
    struct stat status {};
    if (::stat(path_.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
        warnings_->Warn("file", path_ + " is not a regular file; no readings");
        return ReadingSet{};
    }
    std::string text;
    if (!ReadWholeFile(path_, &text)) {
        warnings_->Warn("file", "cannot read " + path_ + "; no readings");
        return ReadingSet{};
    }
    return ParseReadingsText(text);
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
