#include "agent/agent.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "agent/history_keeper.h"
#include "agent/history_pages.h"
#include "agent/metrics_server.h"
#include "agent/metrics_text.h"
#include "agent/server.h"
#include "agent/settings_table.h"
#include "agent/signals.h"
#include "readings/refresher.h"
#include "readings/source_factory.h"
#include "vornbar_version.h"

namespace vorn::agent {

namespace {

using std::chrono::milliseconds;

// How long the start waits for the first sample, so that the first requests find readings.
// A source that takes longer (a slow network source) is served as "no sensors" until then.
constexpr milliseconds kFirstSampleWait{2000};
// How often the serving loop looks at a replaced refresher that is still finishing a sample.
constexpr int kRetiredPollMs = 100;
// How long a stop waits for a sample in progress. Sources give up within their own time-out;
// this bounds a stop even when a read hangs past it (a file on a hung network mount).
constexpr milliseconds kStopWait{5000};

// Keeps the warnings a source gives while --check runs: they say why a source cannot be read.
class CollectedWarnings : public readings::Warnings {
public:
    bool Warn(const std::string&, const std::string& line) override {
        lines.push_back(line);
        return true;
    }
    std::vector<std::string> lines;
};

std::string ErrorText(const std::string& path, const ConfigError& e) {
    return path + (e.line > 0 ? ":" + std::to_string(e.line) : std::string()) + ": " + e.message;
}

bool SameEndpoints(const std::vector<Endpoint>& a, const std::vector<Endpoint>& b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].len != b[i].len || std::memcmp(&a[i].addr, &b[i].addr, a[i].len) != 0) {
            return false;
        }
    }
    return true;
}

std::string Summary(const Config& config, const readings::Refresher& refresher) {
    std::string allow;
    for (const Cidr& c : config.allow)
        allow += (allow.empty() ? "" : " ") + FormatCidr(c);
    return "allow " + allow + "; source " + refresher.Describe() + "; interval " +
           std::to_string(config.interval_ms) + " ms (stale after " +
           std::to_string(StaleAfter(config).count()) + " ms); rate " +
           (config.rate ? std::to_string(config.rate) + " per source a second" : "unlimited");
}

std::unique_ptr<readings::Refresher> StartRefresher(const Config& config, Log& log,
                                                    std::shared_ptr<const readings::Snapshot> seed,
                                                    readings::SampleObserver* history = nullptr) {
    return std::make_unique<readings::Refresher>(
        readings::MakeSource(SourceSettingsOf(config), &log), milliseconds(config.interval_ms),
        StaleAfter(config), &log, std::move(seed), config.alarms, history);
}

// The sampling interval a history page reports: the refresher's period.
std::uint32_t SamplePeriodMs(const Config& config) {
    return static_cast<std::uint32_t>(
        std::max<long long>(config.interval_ms, readings::kMinSamplePeriod.count()));
}

// Joins the replaced refreshers whose last sample has ended; the others are looked at again.
void JoinFinished(std::vector<std::unique_ptr<readings::Refresher>>& retired) {
    for (auto it = retired.begin(); it != retired.end();) {
        if ((*it)->Finished()) {
            (*it)->Stop();
            it = retired.erase(it);
        } else {
            ++it;
        }
    }
}

std::string Addresses(const std::vector<Endpoint>& endpoints) {
    std::string text;
    for (const Endpoint& ep : endpoints)
        text += " " + FormatEndpoint(reinterpret_cast<const sockaddr*>(&ep.addr));
    return text;
}

// What the metrics endpoint shows at this moment: the snapshot the UDP side would serve (none
// when it is stale) with the limits in force (the configuration's over the source's) and the
// alarms, the counters, and when the source was last sampled.
MetricsState CollectMetrics(const readings::Refresher& refresher,
                            const readings::AlarmSettings& alarms, const Server::Counters& requests,
                            const MetricsConnectionCounters& connections) {
    MetricsState state;
    const auto now = readings::Clock::now();
    const std::shared_ptr<const readings::Snapshot> snapshot = refresher.Current(now);
    for (int k = 0; k < proto::kFieldCount; ++k) {
        const readings::Reading& r = snapshot->readings[k];
        const readings::Limits limits = readings::EffectiveLimits(r, alarms.readings[k]);
        const bool alarm = (snapshot->alarm_mask >> k) & 1u;
        state.readings[k] = MetricsReading{r.value, limits.low, limits.high, r.sensor, alarm};
    }
    state.answered = requests.answered;
    state.refused = requests.refused;
    state.malformed = requests.malformed;
    state.limited = requests.limited;
    const readings::RefresherCounters sampled = refresher.counters();
    state.source_reads = sampled.reads;
    state.source_errors = sampled.errors;
    if (sampled.last_sample != readings::Clock::time_point{}) {
        const auto age = std::chrono::duration_cast<std::chrono::system_clock::duration>(
            now - sampled.last_sample);
        const auto wall = std::chrono::system_clock::now() - age;
        state.last_sample_seconds = std::chrono::duration<double>(wall.time_since_epoch()).count();
    }
    state.connections = connections;
    state.version = VORN_VERSION_TEXT;
    return state;
}

}  // namespace

bool LoadConfig(const CommandLine& command_line, Config* out, std::string* error) {
    Settings file;
    if (!command_line.config_path.empty()) {
        ConfigError e;
        if (!LoadConfigFile(command_line.config_path, &file, &e)) {
            if (error)
                *error = ErrorText(command_line.config_path, e);
            return false;
        }
    }
    *out = Resolve(file, command_line.overrides);
    ConfigError e;
    if (!CheckMappings(file, out->source.kind, &e)) {
        if (error)
            *error = ErrorText(command_line.config_path, e);
        return false;
    }
    return true;
}

int Serve(const CommandLine& command_line, Log& log) {
    Config config;
    std::string error;
    if (!LoadConfig(command_line, &config, &error)) {
        log.Info("error: " + error);
        return 1;
    }
    for (const std::string& warning : config.warnings)
        log.Info("warning: " + warning);
    SignalPipe signals;
    if (!signals.ok()) {
        log.Info("error: cannot set up signal handling");
        return 1;
    }
    Server server;
    if (!server.Listen(config.listen, &error)) {
        log.Info("error: " + error);
        return 1;
    }
    MetricsServer metrics;
    if (!metrics.Listen(config.metrics, &error)) {
        log.Info("error: " + error);
        return 1;
    }
    // The history is kept from the first sample on; it is not changed by a reload.
    std::unique_ptr<HistoryKeeper> history;
    if (config.history) {
        history = std::make_unique<HistoryKeeper>(
            ChooseHistoryPath(config.history_file, command_line.config_path), log);
        history->Start();
    }
    HistoryPages pages(history ? &history->store() : nullptr);
    pages.SetInterval(SamplePeriodMs(config));
    pages.SetAlarms(config.alarms);
    server.SetHistory(&pages);
    std::unique_ptr<readings::Refresher> refresher =
        StartRefresher(config, log, nullptr, history.get());
    // Replaced refreshers finish their sample on their own thread, never holding up serving.
    std::vector<std::unique_ptr<readings::Refresher>> retired;
    refresher->WaitForFirstSample(kFirstSampleWait);
    AllowList allow(config.allow);
    RateLimiter limiter(config.rate);
    const MetricsServer::Render render = [&] {
        return WriteMetrics(
            CollectMetrics(*refresher, config.alarms, server.counters(), metrics.counters()));
    };

    const std::string metrics_on =
        config.metrics.empty() ? std::string() : "; metrics on" + Addresses(metrics.Bound());
    log.Info("listening on" + Addresses(server.Bound()) + metrics_on + "; " +
             Summary(config, *refresher));

    for (;;) {
        JoinFinished(retired);
        const int timeout_ms = retired.empty() ? -1 : kRetiredPollMs;
        if (server.ServeOnce(timeout_ms, signals.fd(), *refresher, allow, &limiter,
                             config.metrics.empty() ? nullptr : &metrics, render))
            continue;
        const SignalPipe::Pending pending = signals.Drain();
        if (pending.stop)
            break;
        if (!pending.reload)
            continue;
        Config next;
        if (!LoadConfig(command_line, &next, &error)) {
            log.Info("reload refused, keeping the running configuration: " + error);
            continue;
        }
        for (const std::string& warning : next.warnings)
            log.Info("warning: " + warning);
        if (!SameEndpoints(next.listen, config.listen) ||
            !SameEndpoints(next.metrics, config.metrics)) {
            log.Info("listening addresses are only changed by a restart");
        }
        if (next.history != config.history || next.history_file != config.history_file)
            log.Info("the history settings are only changed by a restart");
        KeepRestartOnlySettings(config, &next);
        config = next;
        // The running texts are served until the new source's first sample is in.
        std::unique_ptr<readings::Refresher> next_refresher =
            StartRefresher(config, log, refresher->Latest(), history.get());
        pages.SetInterval(SamplePeriodMs(config));
        pages.SetAlarms(config.alarms);
        refresher->RequestStop();
        retired.push_back(std::move(refresher));
        refresher = std::move(next_refresher);
        allow = AllowList(config.allow);
        if (config.rate != limiter.rate())
            limiter = RateLimiter(config.rate);
        log.Info("reloaded; " + Summary(config, *refresher));
    }
    const Server::Counters& c = server.counters();
    log.Info("stopping; answered " + std::to_string(c.answered) + ", dropped " +
             std::to_string(c.malformed) + " malformed, " + std::to_string(c.refused) +
             " from sources not allowed and " + std::to_string(c.limited) + " over the rate limit");
    refresher->RequestStop();
    retired.push_back(std::move(refresher));
    const auto deadline = std::chrono::steady_clock::now() + kStopWait;
    for (const auto& r : retired) {
        const auto left =
            std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
        if (!r->WaitFinished(std::max(left, milliseconds(0)))) {
            // The thread cannot be interrupted inside the source; ending the process ends it.
            log.Info("a sensor read still hangs after " + std::to_string(kStopWait.count()) +
                     " ms; exiting without it");
            if (history)
                history->Stop();
            std::fflush(nullptr);
            std::_Exit(0);
        }
    }
    retired.clear();
    if (history)
        history->Stop();
    return 0;
}

int ListInputs(const CommandLine& command_line, std::FILE* out) {
    Config config;
    std::string error;
    if (!LoadConfig(command_line, &config, &error)) {
        std::fprintf(stderr, "vornagent: error: %s\n", error.c_str());
        return 1;
    }
    Log log(stderr);
    const std::unique_ptr<readings::Source> source =
        readings::MakeSource(SourceSettingsOf(config), &log);
    const std::string text = readings::FormatListing(*source, source->List());
    std::fputs(text.c_str(), out);
    return 0;
}

int CheckConfig(const CommandLine& command_line, std::FILE* out) {
    const std::string& path = command_line.check_path;
    Settings settings;
    ConfigError e;
    if (!LoadConfigFile(path, &settings, &e)) {
        std::fprintf(out, "%s\n", ErrorText(path, e).c_str());
        return 1;
    }
    for (const std::string& warning : settings.warnings)
        std::fprintf(out, "warning: %s\n", warning.c_str());
    const Config config = Resolve(settings, command_line.overrides);
    if (!CheckMappings(settings, config.source.kind, &e)) {
        std::fprintf(out, "%s\n", ErrorText(path, e).c_str());
        return 1;
    }
    const std::string mapped = readings::DescribeMapping(settings.mapping);
    if (config.source.kind == SourceSpec::Kind::kFile) {
        std::fprintf(
            out,
            "%s: ok; %s; a readings file names its own readings, so mapping lines are not used\n",
            path.c_str(), mapped.c_str());
        return 0;
    }
    // Each mapping line against the source as it is now, where it can be read here.
    CollectedWarnings problems;
    const std::unique_ptr<readings::Source> source =
        readings::MakeSource(SourceSettingsOf(config), &problems);
    const readings::MappingMatch match = source->MatchMapping();
    if (!match.read) {
        // A network source says why in its own words; the others' reason is `why` itself.
        if (config.source.kind == SourceSpec::Kind::kPrometheus) {
            for (const std::string& line : problems.lines)
                std::fprintf(out, "%s\n", line.c_str());
        }
        std::fprintf(out, "%s: ok; %s; checked the syntax only: %s\n", path.c_str(), mapped.c_str(),
                     match.why.c_str());
        return 0;
    }
    int unmatched = 0;
    for (int k = 0; k < proto::kFieldCount; ++k) {
        if (!match.mapped[k])
            continue;
        const std::string where = path + ":" + std::to_string(settings.mapping_lines[k]);
        if (!match.unmatched[k].empty()) {
            ++unmatched;
            std::fprintf(out, "%s: %s: %s\n", where.c_str(), proto::kFieldNames[k],
                         match.unmatched[k].c_str());
        } else if (!match.found[k].empty()) {
            std::fprintf(out, "%s: %s: reads %s\n", where.c_str(), proto::kFieldNames[k],
                         match.found[k].c_str());
        }
    }
    if (unmatched > 0) {
        std::fprintf(out, "%s: %d of %d mapping lines match nothing in %s\n", path.c_str(),
                     unmatched, match.MappedCount(), source->Describe().c_str());
        return 1;
    }
    std::fprintf(out, "%s: ok; %s; every mapping line matches an input of the source\n",
                 path.c_str(), mapped.c_str());
    return 0;
}

}  // namespace vorn::agent
