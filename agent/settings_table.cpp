#include "agent/settings_table.h"

#include <cctype>
#include <cstring>

#include "readings/prometheus_source.h"
#include "readings/text.h"

namespace vorn::agent {

namespace {

// No iostreams here or below: their locale machinery would triple the Windows agent's size.
std::vector<std::string> Words(const std::string& s) {
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i])))
            ++i;
        const std::size_t start = i;
        while (i < s.size() && !std::isspace(static_cast<unsigned char>(s[i])))
            ++i;
        if (i > start)
            words.push_back(s.substr(start, i - start));
    }
    return words;
}

// Parses one item with `Parse` and appends it.
template <typename Item, bool (*Parse)(const std::string&, Item*)>
bool Append(const std::string& text, std::vector<Item>* out) {
    Item item;
    if (!Parse(text, &item))
        return false;
    out->push_back(item);
    return true;
}

// A list setting adds to what earlier lines or options gave. A file line may hold several
// items, each called an `item` ("listen address"); a command-line option holds one.
template <typename Item>
bool ParseList(Origin origin, const std::string& value, const char* item, const char* form,
               bool (*append)(const std::string&, std::vector<Item>*),
               std::optional<std::vector<Item>>* list, std::string* why) {
    if (!*list)
        list->emplace();
    std::vector<std::string> items;
    if (origin == Origin::kFile)
        items = Words(value);
    else
        items.push_back(value);
    for (const std::string& text : items) {
        if (!append(text, &**list)) {
            *why = (origin == Origin::kFile ? std::string(item) + " '" : std::string("'")) + text +
                   "' is not " + form;
            return false;
        }
    }
    return true;
}

// Calls `visit` with each of the places a setting may land in (only its kind's is set).
template <typename Visit>
void ForEachLanding(const Setting& s, Visit visit) {
    visit(s.endpoints);
    visit(s.cidrs);
    visit(s.text);
    visit(s.source);
    visit(s.number);
    visit(s.flag);
}

using Kind = Setting::Kind;

constexpr Setting Row(const char* key, const char* option, const char* default_text,
                      bool reloadable, Kind kind) {
    Setting s;
    s.key = key;
    s.option = option;
    s.default_text = default_text;
    s.reloadable = reloadable;
    s.kind = kind;
    return s;
}

constexpr Setting Endpoints(Setting s, std::optional<std::vector<Endpoint>> Settings::*layer,
                            std::vector<Endpoint> Config::*config) {
    s.endpoints = {layer, config};
    return s;
}

constexpr Setting Text(Setting s, std::optional<std::string> Settings::*layer,
                       std::string Config::*config) {
    s.text = {layer, config};
    return s;
}

constexpr Setting Number(Setting s, std::optional<int> Settings::*layer, int Config::*config,
                         long min, long max, const char* unit) {
    s.number = {layer, config};
    s.min = min;
    s.max = max;
    s.unit = unit;
    return s;
}

constexpr Setting Line(Setting s, int Settings::*line) {
    s.line = line;
    return s;
}

constexpr char kMilliseconds[] = "milliseconds";
constexpr char kRequestsASecond[] = "requests a second";

#ifdef _WIN32
constexpr char kDefaultSource[] = "auto";
constexpr char kDefaultHistoryFile[] = "vornagent.history beside the configuration";
#else
constexpr char kDefaultSource[] = "hwmon";
constexpr char kDefaultHistoryFile[] = "/var/lib/vornagent/history when that folder exists";
#endif

constexpr Setting WithCidrs() {
    Setting s = Row("allow", "allow", "127.0.0.0/8 ::1/128", true, Kind::kAllow);
    s.cidrs = {&Settings::allow, &Config::allow};
    return s;
}

constexpr Setting WithSource() {
    Setting s = Row("source", "source", kDefaultSource, true, Kind::kSource);
    s.source = {&Settings::source, &Config::source};
    return s;
}

constexpr Setting WithHistory() {
    Setting s = Row("history", "history", "on", false, Kind::kOnOff);
    s.flag = {&Settings::history, &Config::history};
    return s;
}

constexpr Setting kSettings[] = {
    Endpoints(Row("listen", "listen", "127.0.0.1:29870 [::1]:29870", false, Kind::kListen),
              &Settings::listen, &Config::listen),
    Endpoints(Row("metrics", "metrics", "off", false, Kind::kMetrics), &Settings::metrics,
              &Config::metrics),
    WithCidrs(),
    Text(Row("sysfs", "sysfs", "/sys", true, Kind::kDirectory), &Settings::sysfs, &Config::sysfs),
    WithSource(),
    Number(Row("interval", "interval", "500 (2000 for a prometheus: source)", true, Kind::kNumber),
           &Settings::interval_ms, &Config::interval_ms, 0, kMaxIntervalMs, kMilliseconds),
    Number(Row("stale", "stale", "three intervals, at least 1000", true, Kind::kNumber),
           &Settings::stale_ms, &Config::stale_ms, 1, kMaxStaleMs, kMilliseconds),
    Number(Row("rate", "rate", "20", true, Kind::kNumber), &Settings::rate, &Config::rate, 0,
           kMaxRate, kRequestsASecond),
    WithHistory(),
    Text(Row("history_file", "history-file", kDefaultHistoryFile, false, Kind::kFileName),
         &Settings::history_file, &Config::history_file),
    Text(Row("prometheus.user", nullptr, "none", true, Kind::kText), &Settings::prometheus_user,
         &Config::prometheus_user),
    Line(Text(Row("prometheus.password", nullptr, "none", true, Kind::kText),
              &Settings::prometheus_password, &Config::prometheus_password),
         &Settings::prometheus_password_line),
    // Read into the password by LoadConfigFile, so it reaches Config as the password.
    Line(Text(Row("prometheus.password_file", nullptr, "none", true, Kind::kText),
              &Settings::prometheus_password_file, nullptr),
         &Settings::prometheus_password_file_line),
    Number(Row("prometheus.timeout", nullptr, "1500", true, Kind::kNumber),
           &Settings::prometheus_timeout_ms, &Config::prometheus_timeout_ms, 1,
           readings::kPrometheusMaxTimeoutMs, kMilliseconds),
};

}  // namespace

const Setting* FindSettingByKey(const std::string& key) {
    for (const Setting& s : kSettings) {
        if (key == s.key)
            return &s;
    }
    return nullptr;
}

const Setting* FindSettingByOption(const std::string& option) {
    for (const Setting& s : kSettings) {
        if (s.option && option == s.option)
            return &s;
    }
    return nullptr;
}

void PrintSettings(std::FILE* out) {
    for (const Setting& s : kSettings) {
        std::fprintf(out, "%s\t%s%s\t%s\t%s\n", s.key, s.option ? "--" : "-",
                     s.option ? s.option : "", s.reloadable ? "reload" : "restart", s.default_text);
    }
}

bool ParseSetting(const Setting& setting, Origin origin, const std::string& value, Settings* out,
                  std::string* why) {
    switch (setting.kind) {
        case Kind::kListen:
            return ParseList(origin, value, "address", "ADDR:PORT or [ADDR]:PORT",
                             &Append<Endpoint, &ParseEndpoint>, &(out->*setting.endpoints.layer),
                             why);
        case Kind::kMetrics:
            return ParseList(origin, value, "address", "ADDR:PORT, [ADDR]:PORT, :PORT or PORT",
                             &ParseMetricsAddress, &(out->*setting.endpoints.layer), why);
        case Kind::kAllow:
            return ParseList(origin, value, "entry", "ADDR or ADDR/BITS", &Append<Cidr, &ParseCidr>,
                             &(out->*setting.cidrs.layer), why);
        case Kind::kDirectory:
            // A directory in the file must be absolute, as the file may be read from anywhere;
            // one on the command line may be relative to where the agent was started.
            if (origin == Origin::kFile ? value[0] != '/' : value.empty()) {
                *why =
                    origin == Origin::kFile ? "must be an absolute directory" : "needs a directory";
                return false;
            }
            break;
        case Kind::kSource: {
            readings::SourceSpec spec;
            if (!readings::ParseSourceSpec(value, &spec, why))
                return false;
            out->*setting.source.layer = spec;
            return true;
        }
        case Kind::kNumber: {
            long number = 0;
            if (!readings::ParseWholeNumber(value, setting.max, &number) || number < setting.min) {
                char text[96];
                std::snprintf(text, sizeof text, "must be a whole number of %s from %ld to %ld",
                              setting.unit, setting.min, setting.max);
                *why = text;
                return false;
            }
            out->*setting.number.layer = static_cast<int>(number);
            return true;
        }
        case Kind::kOnOff:
            if (value != "on" && value != "off") {
                *why = "must be on or off";
                return false;
            }
            out->*setting.flag.layer = value == "on";
            return true;
        case Kind::kFileName:
            if (value.empty()) {
                *why = "must name a file";
                return false;
            }
            break;
        case Kind::kText:
            break;
    }
    out->*setting.text.layer = value;
    return true;
}

void OverlaySettings(const Settings& layer, Config* config) {
    for (const Setting& s : kSettings) {
        ForEachLanding(s, [&](const auto& lands) {
            if (lands.layer && lands.config && layer.*lands.layer)
                config->*lands.config = *(layer.*lands.layer);
        });
    }
}

void KeepRestartOnlySettings(const Config& running, Config* next) {
    for (const Setting& s : kSettings) {
        if (s.reloadable)
            continue;
        ForEachLanding(s, [&](const auto& lands) {
            if (lands.config)
                next->*lands.config = running.*lands.config;
        });
    }
}

}  // namespace vorn::agent
