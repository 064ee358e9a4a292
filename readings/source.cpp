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

// The reading a mapping line proposes ("TCPU" of "TCPU = coretemp / temp1"), or empty.
std::string ProposedReading(const ListedInput& in) {
    const std::size_t eq = in.mapping_line.find(" = ");
    if (eq == std::string::npos || eq == 0)
        return std::string();
    return in.mapping_line.substr(0, eq);
}

// The mapping line shown for each input: the automatic mapping's inputs first, then the
// first input proposing each reading still free; every other line commented out.
std::vector<std::string> ProposedLines(const std::vector<ListedInput>& inputs) {
    std::vector<std::string> lines(inputs.size());
    std::vector<bool> chosen(inputs.size(), false);
    std::vector<std::string> taken;
    const auto take = [&](bool automatic_pass) {
        for (std::size_t i = 0; i < inputs.size(); ++i) {
            const std::string reading = ProposedReading(inputs[i]);
            if (reading.empty() || chosen[i] || inputs[i].automatic != automatic_pass ||
                std::find(taken.begin(), taken.end(), reading) != taken.end())
                continue;
            chosen[i] = true;
            taken.push_back(reading);
        }
    };
    take(true);
    take(false);
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        const bool mapping = !ProposedReading(inputs[i]).empty();
        lines[i] = (mapping && !chosen[i] ? "# " : "") + inputs[i].mapping_line;
    }
    return lines;
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
    const std::vector<std::string> lines = ProposedLines(inputs);
    bool any_mapping = false;
    for (const ListedInput& in : inputs)
        any_mapping = any_mapping || !ProposedReading(in).empty();
    std::size_t width = source.ListHeading().size();
    for (const ListedInput& in : inputs)
        width = std::max(width, in.description.size());
    std::string text = Padded(source.ListHeading(), width) + " " + Padded("VALUE", 12) + " " +
                       Padded("LIMITS", 24) + (any_mapping ? " MAPPING LINE\n" : " READ AS\n");
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        const ListedInput& in = inputs[i];
        text += Padded(in.description, width) + " " + Padded(ValueText(in.kind, in.value), 12) +
                " " + Padded(LimitsText(in), 24) + " " + lines[i] + "\n";
    }
    if (any_mapping) {
        text +=
            "\nPaste the mapping lines into the configuration. Each reading is proposed once;\n"
            "a line starting with '#' is another input of the same kind: to use it instead,\n"
            "remove the '#' and the proposed line, or give it another reading name.\n";
    }
    return text;
}

}  // namespace vorn::readings
