#include "readings/exposition.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

#include "readings/text.h"

namespace vorn::readings {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool IsNameStart(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':';
}

bool IsNameChar(char c) {
    return IsNameStart(c) || (c >= '0' && c <= '9');
}

// Reads one line's tokens; every method either advances past what it read or fails with
// `error` set, leaving the rest of the line unread.
class LineReader {
public:
    explicit LineReader(std::string_view line) : s_(line) {}

    const char* error = nullptr;

    bool AtEnd() const { return pos_ >= s_.size(); }
    char Peek() const { return AtEnd() ? '\0' : s_[pos_]; }
    void SkipBlanks() {
        while (!AtEnd() && IsBlank(s_[pos_]))
            ++pos_;
    }
    bool Take(char c) {
        if (Peek() != c)
            return false;
        ++pos_;
        return true;
    }

    bool Name(std::string* out, bool label) {
        const std::size_t start = pos_;
        if (AtEnd() || !IsNameStart(s_[pos_]) || (label && s_[pos_] == ':'))
            return Fail(label ? "a label name was expected" : "a metric name was expected");
        while (!AtEnd() && IsNameChar(s_[pos_]))
            ++pos_;
        out->assign(s_.substr(start, pos_ - start));
        return true;
    }

    // A double-quoted string with the escapes \\, \" and \n; the opening quote is next.
    bool Quoted(std::string* out) {
        if (!Take('"'))
            return Fail("a '\"' was expected");
        out->clear();
        while (!AtEnd()) {
            const char c = s_[pos_++];
            if (c == '"')
                return true;
            if (c != '\\') {
                out->push_back(c);
                continue;
            }
            if (AtEnd())
                break;
            const char e = s_[pos_++];
            if (e == '\\' || e == '"')
                out->push_back(e);
            else if (e == 'n')
                out->push_back('\n');
            else
                return Fail("an unknown escape in a quoted text");
        }
        return Fail("a quoted text does not end");
    }

    // The next run of non-blank characters.
    std::string_view Word() {
        const std::size_t start = pos_;
        while (!AtEnd() && !IsBlank(s_[pos_]))
            ++pos_;
        return s_.substr(start, pos_ - start);
    }

    bool Fail(const char* why) {
        if (!error)
            error = why;
        return false;
    }

private:
    std::string_view s_;
    std::size_t pos_ = 0;
};

// The labels between braces; the '{' is next. A quoted item without '=' is the metric name
// (the form that allows any characters in names: {"metric.name", label="v"}).
bool ReadLabels(LineReader& in, Series* series) {
    in.Take('{');
    for (;;) {
        in.SkipBlanks();
        if (in.Take('}'))
            return true;
        std::string name;
        const bool quoted = in.Peek() == '"';
        if (quoted ? !in.Quoted(&name) : !in.Name(&name, true))
            return false;
        in.SkipBlanks();
        if (quoted && (in.Peek() == ',' || in.Peek() == '}')) {
            if (!series->name.empty())
                return in.Fail("a series has two metric names");
            series->name = std::move(name);
        } else {
            if (!in.Take('='))
                return in.Fail("a '=' was expected after a label name");
            in.SkipBlanks();
            std::string value;
            if (!in.Quoted(&value))
                return false;
            if (series->labels.size() >= kMaxSeriesLabels)
                return in.Fail("too many labels");
            for (const auto& label : series->labels) {
                if (label.first == name)
                    return in.Fail("a label is given twice");
            }
            series->labels.emplace_back(std::move(name), std::move(value));
            in.SkipBlanks();
        }
        if (in.Take(','))
            continue;
        if (in.Take('}'))
            return true;
        return in.Fail("a ',' or '}' was expected");
    }
}

bool ParseTimestamp(std::string_view text, std::int64_t* out) {
    const char* first = text.data();
    const char* last = first + text.size();
    if (first != last && *first == '+')
        ++first;
    const auto [end, ec] = std::from_chars(first, last, *out);
    return ec == std::errc() && end == last && first != last;
}

bool ParseSampleLine(std::string_view line, Series* series, const char** why) {
    LineReader in(line);
    in.SkipBlanks();
    if (in.Peek() != '{' && !in.Name(&series->name, false)) {
        *why = in.error;
        return false;
    }
    in.SkipBlanks();
    if (in.Peek() == '{' && !ReadLabels(in, series)) {
        *why = in.error;
        return false;
    }
    if (series->name.empty()) {
        *why = "a series has no metric name";
        return false;
    }
    in.SkipBlanks();
    if (!ParseSampleValue(in.Word(), &series->value)) {
        *why = "the value is not a number";
        return false;
    }
    in.SkipBlanks();
    if (!in.AtEnd()) {
        std::int64_t ts = 0;
        if (!ParseTimestamp(in.Word(), &ts)) {
            *why = "the timestamp is not a whole number";
            return false;
        }
        series->timestamp_ms = ts;
        in.SkipBlanks();
        if (!in.AtEnd()) {
            *why = "text follows the timestamp";
            return false;
        }
    }
    return true;
}

}  // namespace

const std::string* Series::Label(std::string_view label) const {
    for (const auto& l : labels) {
        if (l.first == label)
            return &l.second;
    }
    return nullptr;
}

bool ParseSampleValue(std::string_view text, double* value) {
    if (text.empty())
        return false;
    std::string_view body = text;
    bool negative = false;
    if (body[0] == '+' || body[0] == '-') {
        negative = body[0] == '-';
        body.remove_prefix(1);
    }
    if (EqualsIgnoringCase(body, "inf") || EqualsIgnoringCase(body, "infinity")) {
        *value = negative ? -std::numeric_limits<double>::infinity()
                          : std::numeric_limits<double>::infinity();
        return true;
    }
    if (EqualsIgnoringCase(body, "nan")) {
        *value = std::numeric_limits<double>::quiet_NaN();
        return true;
    }
    if (body.empty() || !((body[0] >= '0' && body[0] <= '9') || body[0] == '.'))
        return false;
    // Decimal digits, a point and an exponent only: strtod would also take hexadecimal.
    for (const char c : body) {
        if (!((c >= '0' && c <= '9') || c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-'))
            return false;
    }
    // strtod rather than the floating-point std::from_chars, which brings some 40 KB into the
    // Windows agent; the agent never changes the C locale, so the point is '.'. Too small
    // rounds towards zero, too large to infinity.
    const std::string copy(body);
    char* end = nullptr;
    const double parsed = std::strtod(copy.c_str(), &end);
    if (end != copy.c_str() + copy.size())
        return false;
    *value = negative ? -parsed : parsed;
    return true;
}

std::string QuoteLabelValue(std::string_view value) {
    std::string out = "\"";
    for (const char c : value) {
        if (c == '\\' || c == '"') {
            out.push_back('\\');
            out.push_back(c);
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out.push_back(c);
        }
    }
    out.push_back('"');
    return out;
}

ExpositionResult ParseExposition(std::string_view text) {
    ExpositionResult result;
    std::size_t line_number = 0;
    std::size_t pos = 0;
    auto note_bad = [&](const char* why) {
        ++result.bad_lines;
        if (result.first_error.empty())
            result.first_error = "line " + std::to_string(line_number) + ": " + why;
    };
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        ++line_number;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        std::size_t first = 0;
        while (first < line.size() && IsBlank(line[first]))
            ++first;
        if (first == line.size() || line[first] == '#')
            continue;
        if (line.size() > kMaxExpositionLine) {
            note_bad("the line is too long");
            continue;
        }
        if (result.series.size() >= kMaxExpositionSeries) {
            result.truncated = true;
            break;
        }
        Series series;
        const char* why = nullptr;
        if (ParseSampleLine(line, &series, &why))
            result.series.push_back(std::move(series));
        else
            note_bad(why);
    }
    return result;
}

}  // namespace vorn::readings
