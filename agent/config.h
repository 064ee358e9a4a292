// The agent's settings: defaults, a configuration file and the command line, in rising
// order of precedence. The file is line based: "KEY = VALUE", '#' starts a comment line.
#pragma once

#include <array>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "agent/address.h"
#include "agent/allow_list.h"
#include "readings/alarms.h"
#include "protocol/sensor_protocol.h"
#include "readings/mapping.h"
#include "readings/source_factory.h"

namespace vorn::agent {

// Requests a second answered per source address, and the burst allowed at once; 0 turns the
// limit off. A bar polls at most a few times a second, a flood far more.
constexpr int kDefaultRate = 20;
constexpr int kMaxRate = 1000000;

// A mapping line "READING = SELECTOR" keeps the selector's text; the source chosen parses it
// (see CheckMappings). value = raw * scale + offset.
using readings::Mapping;
using readings::MappingTable;
using readings::SourceSpec;

constexpr int kMaxIntervalMs = 3600000;
// Sampling interval unless one is set: local sensors are cheap to read; a network endpoint
// is asked less often, as exporters refresh their values in seconds.
constexpr int kDefaultIntervalMs = 500;
constexpr int kNetworkIntervalMs = 2000;
// A snapshot may be kept current for up to three of the longest intervals.
constexpr int kMaxStaleMs = 3 * kMaxIntervalMs;

// One layer of settings; members left unset keep the value of the layer below. The keys, what
// each takes and where it lands are in agent/settings_table.cpp.
struct Settings {
    std::optional<std::vector<Endpoint>> listen;
    std::optional<std::vector<Endpoint>> metrics;
    std::optional<std::vector<Cidr>> allow;
    std::optional<std::string> sysfs;
    std::optional<SourceSpec> source;
    std::optional<int> interval_ms;
    std::optional<int> rate;
    std::optional<int> stale_ms;
    // "history = on|off" and "history_file = PATH".
    std::optional<bool> history;
    std::optional<std::string> history_file;
    // The Prometheus source's Basic credentials and GET time-out (file only:
    // "prometheus.user", "prometheus.password", "prometheus.timeout"). "prometheus.password_file"
    // names a file holding the password instead; LoadConfigFile reads it into the password.
    std::optional<std::string> prometheus_user, prometheus_password;
    std::optional<std::string> prometheus_password_file;
    int prometheus_password_line = 0, prometheus_password_file_line = 0;
    // What LoadConfigFile found worth saying about a file it accepted (a password that other
    // users may read), for the log.
    std::vector<std::string> warnings;
    std::optional<int> prometheus_timeout_ms;
    MappingTable mapping;
    std::array<int, proto::kFieldCount> mapping_lines{};  // line of each mapping, 0 for none
    // Limits and hysteresis (file only): "TCPU.max = 80", "FAN1.min = 300", "TCPU.max = none",
    // "TCPU.hysteresis = 3" or "= 5%", "hysteresis.temperature|voltage|fan = 2" or "= 2%".
    readings::AlarmSettings alarms;
};

// The settings in force.
struct Config {
    std::vector<Endpoint> listen;
    std::vector<Endpoint> metrics;  // the HTTP metrics endpoint's addresses; empty: off
    std::vector<Cidr> allow;
    std::string sysfs = "/sys";
    SourceSpec source;
    int interval_ms = kDefaultIntervalMs;  // kNetworkIntervalMs for a network source
    int rate = kDefaultRate;
    int stale_ms = 0;  // 0: readings::DefaultStaleAfter(interval)
    bool history = true;
    std::string history_file;  // empty: the default place (ChooseHistoryPath)
    std::string prometheus_user, prometheus_password;
    int prometheus_timeout_ms = 0;      // 0: the source's default
    std::vector<std::string> warnings;  // the file's (Settings::warnings), for the log
    MappingTable mapping;
    std::array<int, proto::kFieldCount> mapping_lines{};
    readings::AlarmSettings alarms;
};

struct ConfigError {
    int line = 0;  // 1-based; 0 when the file itself could not be read
    std::string message;
};

// Parses a configuration text; on failure says which line is wrong and why. Mapping
// selectors are kept as text: CheckMappings checks them against the source in force.
bool ParseConfigText(const std::string& text, Settings* out, ConfigError* error);

// Reads and parses a configuration file, and the password file it names (see
// ReadPasswordFile).
bool LoadConfigFile(const std::string& path, Settings* out, ConfigError* error);

// The password in `file` (prometheus.password_file): an absolute path, or a bare name for a
// systemd credential in $CREDENTIALS_DIRECTORY. Only a regular file its owner alone may read
// (no group or other read permission, where the system has such bits) is taken; one trailing
// newline is not part of the password. False, with `why`, otherwise.
bool ReadPasswordFile(const std::string& file, std::string* password, std::string* why);

// Checks every mapping selector of `settings` against the syntax of source kind `kind`; on
// failure `error` names the first wrong mapping line and says why.
bool CheckMappings(const Settings& settings, SourceSpec::Kind kind, ConfigError* error);

// Defaults, overlaid by `file`, overlaid by `command_line`; the mapping comes from the file.
Config Resolve(const Settings& file, const Settings& command_line);

// Parses one metrics address: "ADDR:PORT", "[ADDR]:PORT", or a bare ":PORT" or "PORT" for
// the loopback addresses 127.0.0.1 and ::1 on that port; appends what it stands for.
bool ParseMetricsAddress(const std::string& text, std::vector<Endpoint>* out);

// The stale bound in force: `stale_ms`, or by default three intervals (see DefaultStaleAfter).
std::chrono::milliseconds StaleAfter(const Config& config);

// What a source is made from under `config`.
readings::SourceSettings SourceSettingsOf(const Config& config);

// Default listening addresses: 127.0.0.1 and ::1 on the protocol's port.
std::vector<Endpoint> DefaultListen();

}  // namespace vorn::agent
