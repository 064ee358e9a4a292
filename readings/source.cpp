#include "readings/source.h"

#include <algorithm>
#include <cstdio>

namespace vorn::readings {

namespace {

const char* UnitOf(ReadingKind kind) {
    return kind == ReadingKind::kTemperature ? "C" : kind == ReadingKind::kVoltage ? "V" : "RPM";
}

// Voltages get three decimals here, more than the reply's two, to help choose a scale.
std::string Number(ReadingKind kind, double v) {
    char text[48];
    const int decimals = kind == ReadingKind::kTemperature ? 1
                         : kind == ReadingKind::kVoltage   ? 3
                                                           : 0;
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

std::string ValueText(ReadingKind kind, std::optional<double> v) {
    return v ? Number(kind, *v) + " " + UnitOf(kind) : "unreadable";
}

std::string LimitsText(const ListedInput& in) {
    std::string text;
    if (in.low)
        text = "min " + Number(in.kind, *in.low);
    if (in.high)
        text += (text.empty() ? "max " : " max ") + Number(in.kind, *in.high);
    if (in.alarm)
        text += text.empty() ? "ALARM" : " ALARM";  // as `sensors` marks it
    return text.empty() ? "-" : text;
}

std::string Padded(std::string text, std::size_t width) {
    if (text.size() < width)
        text.append(width - text.size(), ' ');
    return text;
}

}  // namespace

int MappingMatch::MatchedCount() const {
    int n = 0;
    for (int k = 0; k < proto::kFieldCount; ++k)
        n += mapped[k] && unmatched[k].empty() ? 1 : 0;
    return n;
}

int MappingMatch::MappedCount() const {
    return static_cast<int>(std::count(mapped.begin(), mapped.end(), true));
}

std::string DescribeMatchedMapping(const MappingTable& mapping, const MappingMatch& match) {
    MappingTable matched;
    std::string nothing;
    for (int k = 0; k < proto::kFieldCount; ++k) {
        if (!mapping[k].mapped())
            continue;
        if (match.read && match.unmatched[k].empty()) {
            matched[k] = mapping[k];
        } else {
            nothing += std::string(nothing.empty() ? "" : ", ") + proto::kFieldNames[k] + "=" +
                       mapping[k].selector;
        }
    }
    return DescribeMapping(matched) + (nothing.empty() ? "" : "; matching nothing: " + nothing);
}

std::string FormatListing(const Source& source, const std::vector<ListedInput>& inputs) {
    if (inputs.empty())
        return "No usable input in " + source.Describe() + ".\n";
    std::size_t width = source.ListHeading().size();
    for (const ListedInput& in : inputs)
        width = std::max(width, in.description.size());
    std::string text = Padded(source.ListHeading(), width) + " " + Padded("VALUE", 12) + " " +
                       Padded("LIMITS", 24) + " MAPPING LINE\n";
    for (const ListedInput& in : inputs) {
        text += Padded(in.description, width) + " " + Padded(ValueText(in.kind, in.value), 12) +
                " " + Padded(LimitsText(in), 24) + " " + in.mapping_line + "\n";
    }
    text +=
        "\nPaste a mapping line into the configuration, with the reading name it should be "
        "shown as.\n";
    return text;
}

}  // namespace vorn::readings
