// Readings from a Prometheus text endpoint: node_exporter's /metrics, LibreHardwareMonitor's
// /metrics or a Prometheus server's /federate. Each sample is one bounded HTTP GET (run on the
// refresher thread, never on the serving one); a failed GET or a broken answer leaves the
// readings missing, and every problem is reported once, when it starts or changes.
#pragma once

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "readings/exposition.h"
#include "readings/http_get.h"
#include "readings/mapping.h"
#include "readings/prometheus_mapping.h"
#include "readings/source.h"
#include "readings/warnings.h"

namespace vorn::readings {

// Sampling a network endpoint more often gains nothing: exporters refresh in seconds.
constexpr int kPrometheusDefaultIntervalMs = 2000;
constexpr int kPrometheusDefaultTimeoutMs = 1500;
constexpr int kPrometheusMaxTimeoutMs = 60000;

struct PrometheusSettings {
    std::string url;             // http(s)://HOST:PORT/PATH?QUERY, may carry user:password@
    std::string user, password;  // Basic credentials from the configuration (win over the URL's)
    int timeout_ms = kPrometheusDefaultTimeoutMs;
};

// Checks a mapping selector "METRIC{LABEL=\"VALUE\",...}"; on failure `why` names `reading`.
bool CheckPrometheusSelector(const std::string& reading, const std::string& selector,
                             std::string* why);

class PrometheusSource : public Source {
public:
    // An empty mapping maps automatically (see AutoMap). `warnings` is not owned.
    PrometheusSource(PrometheusSettings settings, const MappingTable& mapping, Warnings* warnings);

    ReadingSet Sample() override;
    void Cancel() override { cancel_.Cancel(); }
    std::string Describe() const override;
    std::vector<ListedInput> List() override;
    std::string ListHeading() const override;

    // Which series each mapped reading reads now, or why it reads none (no series, several,
    // no finite value). Fetches the endpoint once.
    MappingMatch MatchMapping() override;

private:
    struct Scrape {
        bool ok = false;
        ExpositionResult exposition;
    };
    Scrape Fetch();
    // Reports `problem` under `subject` when it differs from the last one reported there; an
    // empty problem after a reported one writes `recovered` instead.
    void Report(const std::string& subject, const std::string& problem,
                const std::string& recovered = "");
    // The configured mapping, counting what the last sample found.
    std::string DescribeMatched() const;
    // The reading of `field` through its explicit mapping, with `problem` set when there is none.
    Reading ReadMapped(int field, const std::vector<Series>& all, const LimitIndex& limits,
                       std::string* problem) const;

    PrometheusSettings settings_;
    std::string shown_url_;  // without the password
    MappingTable configured_;
    bool automatic_;
    std::array<SeriesSelector, proto::kFieldCount> selectors_;
    std::array<std::string, proto::kFieldCount> selector_errors_;
    Warnings* warnings_;
    HttpCancel cancel_;                            // ends the request in flight at a stop
    std::mutex reported_mutex_;                    // Sample and List may run on different threads
    std::map<std::string, std::string> reported_;  // subject -> the problem last reported
    static constexpr std::size_t kMaxLogSubjects = 64;
    std::set<std::string> log_subjects_;
    mutable std::mutex match_mutex_;  // Describe may run on another thread than Sample
    MappingMatch match_;              // of the last sample
};

}  // namespace vorn::readings
