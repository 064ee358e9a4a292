#include "agent/source.h"
#include "agent/text.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace vorn::agent {

namespace {

// The readings file is small; anything past this is ignored.
constexpr std::size_t kMaxReadingsFile = 64 * 1024;

bool ReadWholeFile(const std::string& path, std::string* out) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    out->clear();
    char buf[4096];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            close(fd);
            return false;
        }
        if (n == 0 || out->size() >= kMaxReadingsFile)
            break;
        out->append(buf, static_cast<std::size_t>(n));
    }
    close(fd);
    return true;
}

void MapIfEmpty(MappingTable& m, int field, const HwmonInput* in) {
    if (in && !m[field].mapped()) {
        m[field].chip = in->chip;
        m[field].input = in->input;
    }
}

const HwmonInput* FirstOfChip(const std::vector<HwmonInput>& inputs, const char* chip,
                              InputType type) {
    for (const HwmonInput& in : inputs) {
        if (in.chip == chip && in.type == type)
            return &in;
    }
    return nullptr;
}

const HwmonInput* ByLabel(const std::vector<HwmonInput>& inputs, const char* label) {
    for (const HwmonInput& in : inputs) {
        if (in.label == label)
            return &in;
    }
    return nullptr;
}

}  // namespace

MappingTable AutoMapping(const std::vector<HwmonInput>& inputs) {
    MappingTable m;
    MapIfEmpty(m, proto::kCpu, FindHwmonInput(inputs, "coretemp", "Package id 0"));
    MapIfEmpty(m, proto::kCpu, FindHwmonInput(inputs, "k10temp", "Tdie"));
    MapIfEmpty(m, proto::kCpu, FindHwmonInput(inputs, "k10temp", "Tctl"));
    MapIfEmpty(m, proto::kCpu, FindHwmonInput(inputs, "zenpower", "Tdie"));
    for (const char* chip : {"coretemp", "k10temp", "cpu_thermal"}) {
        MapIfEmpty(m, proto::kCpu, FirstOfChip(inputs, chip, InputType::kTemp));
    }
    MapIfEmpty(m, proto::kSys, ByLabel(inputs, "SYSTIN"));
    MapIfEmpty(m, proto::kSys, FirstOfChip(inputs, "acpitz", InputType::kTemp));
    int fan = proto::kFan1;
    for (const HwmonInput& in : inputs) {
        if (in.type == InputType::kFan && fan <= proto::kFan3)
            MapIfEmpty(m, fan++, &in);
    }
    return m;
}

std::string DescribeMapping(const MappingTable& mapping) {
    std::string text;
    int count = 0;
    for (int k = 0; k < proto::kFieldCount; ++k) {
        if (!mapping[k].mapped())
            continue;
        text += std::string(count++ ? ", " : "") + proto::kFieldNames[k] + "=" + mapping[k].chip +
                "/" + mapping[k].input;
    }
    return std::to_string(count) + " of 13 mapped" + (count ? " (" + text + ")" : "");
}

HwmonSource::HwmonSource(std::string sysfs_root, const MappingTable& mapping, Log* log)
    : root_(std::move(sysfs_root)), configured_(mapping), log_(log) {
    automatic_ = true;
    for (const Mapping& m : mapping) {
        if (m.mapped())
            automatic_ = false;
    }
    Rescan();
}

void HwmonSource::Rescan() {
    inputs_ = ScanHwmon(root_);
    if (inputs_.empty()) {
        log_->Warn("no inputs", "no hwmon inputs under " + root_ +
                                    "/class/hwmon; replies say no sensors until a chip appears");
    }
    mapping_ = automatic_ ? AutoMapping(inputs_) : configured_;
    for (int k = 0; k < proto::kFieldCount; ++k) {
        resolved_[k] = -1;
        if (!mapping_[k].mapped())
            continue;
        const HwmonInput* in = FindHwmonInput(inputs_, mapping_[k].chip, mapping_[k].input);
        if (in) {
            resolved_[k] = static_cast<int>(in - inputs_.data());
        } else {
            log_->Warn(std::string("find ") + proto::kFieldNames[k],
                       std::string(proto::kFieldNames[k]) + ": no input '" + mapping_[k].input +
                           "' on a chip '" + mapping_[k].chip + "'; sending -");
        }
    }
}

std::optional<double> HwmonSource::ReadResolved(int field) const {
    if (resolved_[field] < 0)
        return std::nullopt;
    return ReadHwmonValue(inputs_[static_cast<std::size_t>(resolved_[field])]);
}

Readings HwmonSource::Sample() {
    Readings r;
    bool rescanned = false;
    bool any_mapped = false;
    for (const Mapping& m : mapping_)
        any_mapped = any_mapped || m.mapped();
    if (automatic_ && !any_mapped) {
        Rescan();
        rescanned = true;
    }
    for (int k = 0; k < proto::kFieldCount; ++k) {
        if (!mapping_[k].mapped())
            continue;
        if (resolved_[k] < 0 && !rescanned) {
            Rescan();
            rescanned = true;
        }
        std::optional<double> v = ReadResolved(k);
        if (!v && !rescanned) {
            // The chip may have been reloaded under another hwmonN; look again once.
            Rescan();
            rescanned = true;
            v = ReadResolved(k);
        }
        if (!v && resolved_[k] >= 0) {
            log_->Warn(std::string("read ") + proto::kFieldNames[k],
                       std::string(proto::kFieldNames[k]) + ": cannot read " +
                           inputs_[static_cast<std::size_t>(resolved_[k])].path + "; sending -");
        }
        if (v)
            r[k] = *v * mapping_[k].scale + mapping_[k].offset;
    }
    return r;
}

std::string HwmonSource::Describe() const {
    return "hwmon " + root_ + " (" + std::to_string(inputs_.size()) + " inputs), " +
           (automatic_ ? "automatic mapping " : "") + DescribeMapping(mapping_);
}

Readings ParseReadingsText(const std::string& text) {
    Readings r;
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
        const int field = FieldIndex(key.data(), key.size());
        if (field < 0)
            continue;
        r[field].reset();
        if (value.empty())
            continue;
        errno = 0;
        char* stop = nullptr;
        const double v = std::strtod(value.c_str(), &stop);
        if (stop == value.c_str() + value.size() && errno != ERANGE && std::isfinite(v)) {
            r[field] = v;
        }
    }
    return r;
}

Readings FileSource::Sample() {
    std::string text;
    if (!ReadWholeFile(path_, &text)) {
        log_->Warn("file", "cannot read " + path_ + "; no readings");
        return Readings{};
    }
    return ParseReadingsText(text);
}

std::string FileSource::Describe() const {
    return "file " + path_;
}

std::unique_ptr<Source> MakeSource(const Config& config, Log* log) {
    if (config.source.kind == SourceSpec::Kind::kFile) {
        return std::make_unique<FileSource>(config.source.path, log);
    }
    return std::make_unique<HwmonSource>(config.sysfs, config.mapping, log);
}

}  // namespace vorn::agent
