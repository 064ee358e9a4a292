#include "readings/prometheus_source.h"

#include <cmath>
#include <cstdio>
#include <functional>

#include "readings/http_get.h"
#include "readings/text.h"

namespace vorn::readings {

namespace {

// Why an answer cannot be exposition text at all, or empty when it may be.
std::string RefuseContentType(const std::string& content_type, const std::string& body) {
    const std::string type = LowerAscii(content_type);
    if (type.rfind("text/html", 0) == 0 || type.rfind("application/xhtml", 0) == 0)
        return "the answer is an HTML page (Content-Type " + content_type +
               "), not exposition text";
    if (type.find("protobuf") != std::string::npos)
        return "the answer is in the protobuf format (Content-Type " + content_type +
               "), not exposition text";
    std::size_t first = 0;
    while (first < body.size() && (body[first] == ' ' || body[first] == '\n' ||
                                   body[first] == '\r' || body[first] == '\t'))
        ++first;
    if (first < body.size() && body[first] == '<')
        return "the answer looks like HTML or XML (Content-Type " +
               (content_type.empty() ? std::string("none") : content_type) +
               "), not exposition text";
    return "";
}

const char* DefaultReading(ReadingKind kind) {
    switch (kind) {
        case ReadingKind::kTemperature:
            return proto::kFieldNames[proto::kCpu];
        case ReadingKind::kFan:
            return proto::kFieldNames[proto::kFan1];
        case ReadingKind::kVoltage:
            break;
    }
    return proto::kFieldNames[proto::kVid];
}

std::string DescribeAutomatic(const std::vector<ScrapeInput>& inputs,
                              const std::array<int, proto::kFieldCount>& map) {
    MappingTable table;
    for (int k = 0; k < proto::kFieldCount; ++k) {
        if (map[k] >= 0)
            table[k].selector = FormatSelector(inputs[static_cast<std::size_t>(map[k])].selector);
    }
    return DescribeMapping(table);
}

}  // namespace

bool CheckPrometheusSelector(const std::string& reading, const std::string& selector,
                             std::string* why) {
    SeriesSelector parsed;
    std::string problem;
    if (ParseSelector(selector, &parsed, &problem))
        return true;
    *why = reading + ": the series " + problem;
    return false;
}

PrometheusSource::PrometheusSource(PrometheusSettings settings, const MappingTable& mapping,
                                   Warnings* warnings)
    : settings_(std::move(settings)),
      shown_url_(RedactUrl(settings_.url)),
      configured_(mapping),
      warnings_(warnings) {
    automatic_ = true;
    for (int k = 0; k < proto::kFieldCount; ++k) {
        if (!mapping[k].mapped())
            continue;
        automatic_ = false;
        std::string why;
        if (!ParseSelector(mapping[k].selector, &selectors_[k], &why))
            selector_errors_[k] = std::string(proto::kFieldNames[k]) + ": the series " + why;
    }
}

void PrometheusSource::Report(const std::string& subject, const std::string& problem,
                              const std::string& recovered) {
    std::string log_subject;
    {
        std::lock_guard<std::mutex> lock(reported_mutex_);
        std::string& last = reported_[subject];
        if (last == problem)
            return;
        last = problem;
        // The log holds back a subject it wrote within its quiet period; a changed problem is
        // news and must get through, so each problem text is a subject of its own. Past a few
        // dozen texts (a server that makes up new ones) they share hashed subjects, which keeps
        // the log's memory bounded.
        const std::string line = problem.empty() ? subject + " recovered" : problem;
        if (log_subjects_.count(line) || log_subjects_.size() < kMaxLogSubjects) {
            log_subjects_.insert(line);
            log_subject = line;
        } else {
            log_subject = subject + " " + std::to_string(std::hash<std::string>{}(line) % 64);
        }
    }
    const std::string& line = problem.empty() ? recovered : problem;
    if (!line.empty() && warnings_)
        warnings_->Warn(log_subject, line);
}

PrometheusSource::Scrape PrometheusSource::Fetch() {
    Scrape scrape;
    HttpRequest request;
    request.url = settings_.url;
    request.user = settings_.user;
    request.password = settings_.password;
    request.timeout_ms = settings_.timeout_ms;
    request.cancel = &cancel_;
    const HttpResult answer = HttpGet(request);
    if (cancel_.cancelled())
        return scrape;  // retired: nothing to report, the readings are not used
    std::string problem;
    if (!answer.ok) {
        problem = answer.error;
    } else {
        problem = RefuseContentType(answer.content_type, answer.body);
        if (problem.empty()) {
            scrape.exposition = ParseExposition(answer.body);
            if (cancel_.cancelled())
                return scrape;  // retired while parsing: the mapping is not worth doing
            if (scrape.exposition.series.empty())
                problem = scrape.exposition.bad_lines
                              ? "no series could be read (" + scrape.exposition.first_error + ")"
                              : "the answer holds no series";
        }
    }
    scrape.ok = problem.empty();
    Report("endpoint", problem.empty() ? "" : shown_url_ + ": " + problem + "; sending -",
           shown_url_ + ": answering again");
    if (!scrape.ok)
        return scrape;
    const ExpositionResult& e = scrape.exposition;
    Report("exposition",
           e.bad_lines ? shown_url_ + ": skipping lines that are not exposition text (first: " +
                             e.first_error + ")"
                       : "");
    Report("series limit", e.truncated ? shown_url_ + ": more than " +
                                             std::to_string(kMaxExpositionSeries) +
                                             " series; the rest are ignored"
                                       : "");
    return scrape;
}

Reading PrometheusSource::ReadMapped(int field, const std::vector<Series>& all,
                                     const LimitIndex& limits, std::string* problem) const {
    Reading reading;
    const std::string name = proto::kFieldNames[field];
    if (!selector_errors_[field].empty()) {
        *problem = selector_errors_[field] + "; sending -";
        return reading;
    }
    const std::string shown = FormatSelector(selectors_[field]);
    reading.sensor = shown;
    const SeriesMatch match = FindSeries(all, selectors_[field]);
    if (match.count == 0) {
        *problem = name + ": no series matches " + shown + "; sending -";
        return reading;
    }
    if (match.count > 1) {
        *problem = name + ": " + std::to_string(match.count) + " series match " + shown +
                   "; name more labels; sending -";
        return reading;
    }
    if (!std::isfinite(match.series->value)) {
        *problem = name + ": " + shown + " has no finite value; sending -";
        return reading;
    }
    const Mapping& m = configured_[field];
    reading.value = Correct(m, match.series->value);
    limits.Find(*match.series, &reading.low, &reading.high, &reading.source_alarm);
    if (reading.low)
        reading.low = Correct(m, *reading.low);
    if (reading.high)
        reading.high = Correct(m, *reading.high);
    CorrectLimits(m, &reading.low, &reading.high);
    return reading;
}

ReadingSet PrometheusSource::Sample() {
    ReadingSet set;
    const Scrape scrape = Fetch();
    MappingMatch match;
    match.read = scrape.ok;
    if (!scrape.ok) {
        std::lock_guard<std::mutex> lock(match_mutex_);
        match_ = match;
        return set;
    }
    const std::vector<Series>& all = scrape.exposition.series;
    if (automatic_) {
        const std::vector<ScrapeInput> inputs = CollectInputs(all);
        const std::array<int, proto::kFieldCount> map = AutoMap(inputs);
        for (int k = 0; k < proto::kFieldCount; ++k) {
            if (map[k] < 0)
                continue;
            const ScrapeInput& in = inputs[static_cast<std::size_t>(map[k])];
            Reading& r = set[k];
            r.value = in.value;
            r.low = in.low;
            r.high = in.high;
            r.source_alarm = in.alarm;
            r.sensor = FormatSelector(in.selector);
        }
        Report("mapping", shown_url_ + ": automatic mapping " + DescribeAutomatic(inputs, map));
        return set;
    }
    const LimitIndex limits(all);
    for (int k = 0; k < proto::kFieldCount; ++k) {
        if (!configured_[k].mapped())
            continue;
        std::string problem;
        set[k] = ReadMapped(k, all, limits, &problem);
        Report(std::string("series ") + proto::kFieldNames[k], problem,
               std::string(proto::kFieldNames[k]) + ": reading " + set[k].sensor + " again");
        match.mapped[k] = true;
        match.unmatched[k] = problem;
    }
    std::lock_guard<std::mutex> lock(match_mutex_);
    match_ = std::move(match);
    return set;
}

std::string PrometheusSource::DescribeMatched() const {
    std::lock_guard<std::mutex> lock(match_mutex_);
    return DescribeMatchedMapping(configured_, match_);
}

std::string PrometheusSource::Describe() const {
    return "prometheus " + shown_url_ + " (time-out " + std::to_string(settings_.timeout_ms) +
           " ms), " + (automatic_ ? std::string("automatic mapping") : DescribeMatched());
}

std::string PrometheusSource::ListHeading() const {
    char text[128];
    std::snprintf(text, sizeof text, "%-24s %-16s %-22s", "CHIP", "SENSOR", "LABEL");
    return text;
}

std::vector<ListedInput> PrometheusSource::List() {
    std::vector<ListedInput> listed;
    const Scrape scrape = Fetch();
    if (!scrape.ok)
        return listed;
    const std::vector<ScrapeInput> inputs = CollectInputs(scrape.exposition.series);
    const std::array<int, proto::kFieldCount> map = AutoMap(inputs);
    for (std::size_t k = 0; k < inputs.size(); ++k) {
        const ScrapeInput& in = inputs[k];
        ListedInput item;
        char text[512];
        std::snprintf(
            text, sizeof text, "%-24s %-16s %-22s", in.chip.empty() ? "-" : in.chip.c_str(),
            in.name.empty() ? "-" : in.name.c_str(), in.label.empty() ? "-" : in.label.c_str());
        item.description = text;
        item.kind = in.kind;
        if (std::isfinite(in.value))
            item.value = in.value;
        item.low = in.low;
        item.high = in.high;
        const char* reading = DefaultReading(in.kind);
        for (int f = 0; f < proto::kFieldCount; ++f) {
            if (map[f] == static_cast<int>(k)) {
                reading = proto::kFieldNames[f];
                item.automatic = true;
            }
        }
        item.mapping_line = std::string(reading) + " = " + FormatSelector(in.selector);
        listed.push_back(std::move(item));
    }
    return listed;
}

MappingMatch PrometheusSource::MatchMapping() {
    MappingMatch m;
    for (int k = 0; k < proto::kFieldCount; ++k)
        m.mapped[k] = configured_[k].mapped();
    const Scrape scrape = Fetch();
    if (!scrape.ok) {
        m.why = shown_url_ + " cannot be read (see the message above)";
        return m;
    }
    m.read = true;
    if (automatic_)
        return m;
    const std::vector<Series>& all = scrape.exposition.series;
    const LimitIndex limits(all);
    for (int k = 0; k < proto::kFieldCount; ++k) {
        if (!configured_[k].mapped())
            continue;
        std::string problem;
        const Reading r = ReadMapped(k, all, limits, &problem);
        if (problem.empty()) {
            m.found[k] = r.sensor;
            continue;
        }
        // The log's wording, without the reading's name and the consequence around it.
        const std::string name = std::string(proto::kFieldNames[k]) + ": ";
        if (problem.rfind(name, 0) == 0)
            problem.erase(0, name.size());
        const std::string sending = "; sending -";
        if (problem.size() > sending.size() &&
            problem.compare(problem.size() - sending.size(), sending.size(), sending) == 0)
            problem.erase(problem.size() - sending.size());
        m.unmatched[k] = problem;
    }
    return m;
}

}  // namespace vorn::readings
