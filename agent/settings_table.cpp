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

// What each list item must look like, and what the file calls one item ("listen address").
struct ListForm {
    const char* item;
    const char* form;
};
constexpr ListForm kListenForm{"address", "ADDR:PORT or [ADDR]:PORT"};
constexpr ListForm kMetricsForm{"address", "ADDR:PORT, [ADDR]:PORT, :PORT or PORT"};
constexpr ListForm kAllowForm{"entry", "ADDR or ADDR/BITS"};

// A list setting adds to what earlier lines or options gave. A file line may hold several
// items; a command-line option holds one.
template <auto Field, auto AppendItem, const ListForm& Form>
bool ParseList(Origin origin, const std::string& value, Settings* out, std::string* why) {
    auto& list = out->*Field;
    if (!list)
        list.emplace();
    const std::vector<std::string> items =
        origin == Origin::kFile ? Words(value) : std::vector<std::string>{value};
    for (const std::string& item : items) {
        if (!AppendItem(item, &*list)) {
            *why = (origin == Origin::kFile ? std::string(Form.item) + " '" : std::string("'")) +
                   item + "' is not " + Form.form;
            return false;
        }
    }
    return true;
}

// A directory in the file must be absolute, as the file may be read from anywhere; one on the
// command line may be relative to where the agent was started.
template <auto Field>
bool ParseDirectory(Origin origin, const std::string& value, Settings* out, std::string* why) {
    if (origin == Origin::kFile ? value[0] != '/' : value.empty()) {
        *why = origin == Origin::kFile ? "must be an absolute directory" : "needs a directory";
        return false;
    }
    out->*Field = value;
    return true;
}

template <auto Field>
bool ParseSource(Origin, const std::string& value, Settings* out, std::string* why) {
    readings::SourceSpec spec;
    if (!readings::ParseSourceSpec(value, &spec, why))
        return false;
    out->*Field = spec;
    return true;
}

// A whole number from `Min` to `Max`, counted in `Unit`.
template <auto Field, long Min, long Max, const char* Unit>
bool ParseNumber(Origin, const std::string& value, Settings* out, std::string* why) {
    long number = 0;
    if (!readings::ParseWholeNumber(value, Max, &number) || number < Min) {
        *why = std::string("must be a whole number of ") + Unit + " from " + std::to_string(Min) +
               " to " + std::to_string(Max);
        return false;
    }
    out->*Field = static_cast<int>(number);
    return true;
}

template <auto Field>
bool ParseOnOff(Origin, const std::string& value, Settings* out, std::string* why) {
    if (value != "on" && value != "off") {
        *why = "must be on or off";
        return false;
    }
    out->*Field = value == "on";
    return true;
}

template <auto Field>
bool ParseFileName(Origin, const std::string& value, Settings* out, std::string* why) {
    if (value.empty()) {
        *why = "must name a file";
        return false;
    }
    out->*Field = value;
    return true;
}

template <auto Field>
bool ParseText(Origin, const std::string& value, Settings* out, std::string*) {
    out->*Field = value;
    return true;
}

template <auto From, auto To>
void Overlay(const Settings& layer, Config* config) {
    if (layer.*From)
        config->*To = *(layer.*From);
}

template <auto Field>
void Carry(const Config& from, Config* to) {
    to->*Field = from.*Field;
}

void Ignore(const Settings&, Config*) {}
void Ignore(const Config&, Config*) {}

constexpr char kMilliseconds[] = "milliseconds";
constexpr char kRequestsASecond[] = "requests a second";

#ifdef _WIN32
constexpr char kDefaultSource[] = "auto";
constexpr char kDefaultHistoryFile[] = "vornagent.history beside the configuration";
#else
constexpr char kDefaultSource[] = "hwmon";
constexpr char kDefaultHistoryFile[] = "/var/lib/vornagent/history when that folder exists";
#endif

// clang-format off
const Setting kSettings[] = {
    {"listen", "listen", "127.0.0.1:29870 [::1]:29870", false,
     &ParseList<&Settings::listen, &Append<Endpoint, &ParseEndpoint>, kListenForm>,
     &Overlay<&Settings::listen, &Config::listen>, &Carry<&Config::listen>},
    {"metrics", "metrics", "off", false,
     &ParseList<&Settings::metrics, &ParseMetricsAddress, kMetricsForm>,
     &Overlay<&Settings::metrics, &Config::metrics>, &Carry<&Config::metrics>},
    {"allow", "allow", "127.0.0.0/8 ::1/128", true,
     &ParseList<&Settings::allow, &Append<Cidr, &ParseCidr>, kAllowForm>,
     &Overlay<&Settings::allow, &Config::allow>, &Carry<&Config::allow>},
    {"sysfs", "sysfs", "/sys", true,
     &ParseDirectory<&Settings::sysfs>,
     &Overlay<&Settings::sysfs, &Config::sysfs>, &Carry<&Config::sysfs>},
    {"source", "source", kDefaultSource, true,
     &ParseSource<&Settings::source>,
     &Overlay<&Settings::source, &Config::source>, &Carry<&Config::source>},
    {"interval", "interval", "500 (2000 for a prometheus: source)", true,
     &ParseNumber<&Settings::interval_ms, 0, kMaxIntervalMs, kMilliseconds>,
     &Overlay<&Settings::interval_ms, &Config::interval_ms>, &Carry<&Config::interval_ms>},
    {"stale", "stale", "three intervals, at least 1000", true,
     &ParseNumber<&Settings::stale_ms, 1, kMaxStaleMs, kMilliseconds>,
     &Overlay<&Settings::stale_ms, &Config::stale_ms>, &Carry<&Config::stale_ms>},
    {"rate", "rate", "20", true,
     &ParseNumber<&Settings::rate, 0, kMaxRate, kRequestsASecond>,
     &Overlay<&Settings::rate, &Config::rate>, &Carry<&Config::rate>},
    {"history", "history", "on", false,
     &ParseOnOff<&Settings::history>,
     &Overlay<&Settings::history, &Config::history>, &Carry<&Config::history>},
    {"history_file", "history-file", kDefaultHistoryFile, false,
     &ParseFileName<&Settings::history_file>,
     &Overlay<&Settings::history_file, &Config::history_file>, &Carry<&Config::history_file>},
    {"prometheus.user", nullptr, "none", true,
     &ParseText<&Settings::prometheus_user>,
     &Overlay<&Settings::prometheus_user, &Config::prometheus_user>,
     &Carry<&Config::prometheus_user>},
    {"prometheus.password", nullptr, "none", true,
     &ParseText<&Settings::prometheus_password>,
     &Overlay<&Settings::prometheus_password, &Config::prometheus_password>,
     &Carry<&Config::prometheus_password>, &Settings::prometheus_password_line},
    // Read into the password by LoadConfigFile, so it reaches Config as the password.
    {"prometheus.password_file", nullptr, "none", true,
     &ParseText<&Settings::prometheus_password_file>, &Ignore, &Ignore,
     &Settings::prometheus_password_file_line},
    {"prometheus.timeout", nullptr, "1500", true,
     &ParseNumber<&Settings::prometheus_timeout_ms, 1, readings::kPrometheusMaxTimeoutMs,
                  kMilliseconds>,
     &Overlay<&Settings::prometheus_timeout_ms, &Config::prometheus_timeout_ms>,
     &Carry<&Config::prometheus_timeout_ms>},
};
// clang-format on

}  // namespace

const Setting* SettingsBegin() {
    return std::begin(kSettings);
}

const Setting* SettingsEnd() {
    return std::end(kSettings);
}

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

void KeepRestartOnlySettings(const Config& running, Config* next) {
    for (const Setting& s : kSettings) {
        if (!s.reloadable)
            s.carry(running, next);
    }
}

}  // namespace vorn::agent
