#include "agent/agent.h"

#include <cstring>

#include "agent/hwmon.h"
#include "agent/metrics_server.h"
#include "agent/metrics_text.h"
#include "agent/sampler.h"
#include "agent/server.h"
#include "agent/signals.h"
#include "agent/source.h"

namespace vorn::agent {

namespace {

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

std::string Summary(const Config& config, const Source& source) {
    std::string allow;
    for (const Cidr& c : config.allow)
        allow += (allow.empty() ? "" : " ") + FormatCidr(c);
    return "allow " + allow + "; source " + source.Describe() + "; interval " +
           std::to_string(config.interval_ms) + " ms; rate " +
           (config.rate ? std::to_string(config.rate) + " per source a second" : "unlimited");
}

const char* UnitOf(InputType t) {
    return t == InputType::kTemp ? "C" : t == InputType::kFan ? "RPM" : "V";
}

std::string Addresses(const std::vector<Endpoint>& endpoints) {
    std::string text;
    for (const Endpoint& ep : endpoints)
        text += " " + FormatEndpoint(reinterpret_cast<const sockaddr*>(&ep.addr));
    return text;
}

// What the metrics endpoint shows at this moment.
MetricsState CollectMetrics(Sampler& sampler, const Server::Counters& requests,
                            const MetricsConnectionCounters& connections) {
    MetricsState state;
    const Sample& sample = sampler.Current(Sampler::Clock::now());
    for (int k = 0; k < proto::kFieldCount; ++k)
        state.readings[k].value = sample.readings[k];
    state.answered = requests.answered;
    state.refused = requests.refused;
    state.malformed = requests.malformed;
    state.limited = requests.limited;
    state.source_reads = sampler.reads();
    if (const auto taken = sampler.taken()) {
        const auto age = Sampler::Clock::now() - *taken;
        const auto wall = std::chrono::system_clock::now() -
                          std::chrono::duration_cast<std::chrono::system_clock::duration>(age);
        state.last_sample_seconds = std::chrono::duration<double>(wall.time_since_epoch()).count();
    }
    state.connections = connections;
    state.version = VORN_AGENT_VERSION;
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
    return true;
}

int Serve(const CommandLine& command_line, Log& log) {
    Config config;
    std::string error;
    if (!LoadConfig(command_line, &config, &error)) {
        log.Info("error: " + error);
        return 1;
    }
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
    Sampler sampler(MakeSource(config, &log), std::chrono::milliseconds(config.interval_ms));
    AllowList allow(config.allow);
    RateLimiter limiter(config.rate);
    const MetricsServer::Render render = [&] {
        return WriteMetrics(CollectMetrics(sampler, server.counters(), metrics.counters()));
    };

    const std::string metrics_on =
        config.metrics.empty() ? std::string() : "; metrics on" + Addresses(metrics.Bound());
    log.Info("listening on" + Addresses(server.Bound()) + metrics_on + "; " +
             Summary(config, sampler.source()));

    for (;;) {
        if (server.ServeOnce(-1, signals.fd(), sampler, allow, &limiter,
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
        if (!SameEndpoints(next.listen, config.listen) ||
            !SameEndpoints(next.metrics, config.metrics)) {
            log.Info("listening addresses are only changed by a restart");
        }
        next.listen = config.listen;
        next.metrics = config.metrics;
        config = next;
        sampler.Replace(MakeSource(config, &log), std::chrono::milliseconds(config.interval_ms));
        allow = AllowList(config.allow);
        if (config.rate != limiter.rate())
            limiter = RateLimiter(config.rate);
        log.Info("reloaded; " + Summary(config, sampler.source()));
    }
    const Server::Counters& c = server.counters();
    log.Info("stopping; answered " + std::to_string(c.answered) + ", dropped " +
             std::to_string(c.malformed) + " malformed, " + std::to_string(c.refused) +
             " from sources not allowed and " + std::to_string(c.limited) + " over the rate limit");
    return 0;
}

int ListInputs(const CommandLine& command_line, std::FILE* out) {
    Config config;
    std::string error;
    if (!LoadConfig(command_line, &config, &error)) {
        std::fprintf(stderr, "vornagent: error: %s\n", error.c_str());
        return 1;
    }
    const std::vector<HwmonInput> inputs = ScanHwmon(config.sysfs);
    if (inputs.empty()) {
        std::fprintf(out, "No hwmon inputs under %s/class/hwmon.\n", config.sysfs.c_str());
        return 0;
    }
    std::fprintf(out, "%-14s %-8s %-7s %-20s %s\n", "CHIP", "DEVICE", "INPUT", "LABEL", "VALUE");
    for (const HwmonInput& in : inputs) {
        const std::optional<double> v = ReadHwmonValue(in);
        char value[32] = "unreadable";
        if (v) {
            std::snprintf(value, sizeof value, in.type == InputType::kIn ? "%.3f %s" : "%.1f %s",
                          *v, UnitOf(in.type));
            if (in.type == InputType::kFan)
                std::snprintf(value, sizeof value, "%.0f RPM", *v);
        }
        std::fprintf(out, "%-14s %-8s %-7s %-20s %s\n", in.chip.c_str(), in.device.c_str(),
                     in.input.c_str(), in.label.empty() ? "-" : in.label.c_str(), value);
    }
    std::fprintf(out, "\nMap a reading in the configuration as, for example:\n  TCPU = %s / %s\n",
                 inputs[0].chip.c_str(),
                 inputs[0].label.empty() ? inputs[0].input.c_str() : inputs[0].label.c_str());
    return 0;
}

int CheckConfig(const std::string& path, std::FILE* out) {
    Settings settings;
    ConfigError e;
    if (!LoadConfigFile(path, &settings, &e)) {
        std::fprintf(out, "%s\n", ErrorText(path, e).c_str());
        return 1;
    }
    std::fprintf(out, "%s: ok; %s\n", path.c_str(), DescribeMapping(settings.mapping).c_str());
    return 0;
}

}  // namespace vorn::agent
