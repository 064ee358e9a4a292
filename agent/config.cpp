#include "agent/config.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "agent/settings_table.h"
#include "readings/model.h"
#include "readings/regular_file.h"
#include "readings/refresher.h"
#include "readings/text.h"

namespace vorn::agent {

using readings::FieldIndex;
using readings::ParseWholeNumber;
using readings::Trim;

namespace {

// A configuration is a few dozen lines; anything this large is not one.
constexpr std::size_t kMaxConfigBytes = 1 << 20;

// Permission bits as chmod writes them: "0644".
std::string OctalMode(int mode) {
    char text[16];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode) & 0777u);
    return text;
}

bool ParseNumber(const std::string& text, double* out) {
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || errno == ERANGE || !std::isfinite(v))
        return false;
    *out = v;
    return true;
}

// What the parser remembers per reading to report duplicates and orphans.
struct LineOf {
    int mapping = 0;
    int scale = 0;
    int offset = 0;
    int min = 0;
    int max = 0;
    int hysteresis = 0;
};

class Parser {
public:
    Parser(Settings* out, ConfigError* error) : out_(out), error_(error) {}

    bool Line(int number, const std::string& raw) {
        number_ = number;
        const std::string line = Trim(raw);
        if (line.empty() || line[0] == '#')
            return true;
        for (unsigned char c : line) {
            if ((c < 0x20 && c != '\t') || c == 0x7F)
                return Fail("control character in line");
        }
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos)
            return Fail("expected KEY = VALUE");
        const std::string key = Trim(line.substr(0, eq));
        const std::string value = Trim(line.substr(eq + 1));
        if (key.empty())
            return Fail("missing key before '='");
        if (value.empty())
            return Fail("missing value for '" + key + "'");
        if (const Setting* setting = FindSettingByKey(key)) {
            std::string why;
            if (!ParseSetting(*setting, Origin::kFile, value, out_, &why))
                return Fail(key + " " + why);
            if (setting->line)
                out_->*setting->line = number_;
            return SingleSecret();
        }
        const std::size_t dot = key.find('.');
        const std::string name = key.substr(0, dot);
        if (name == "hysteresis" && dot != std::string::npos)
            return KindHysteresis(key, key.substr(dot + 1), value);
        const int field = FieldIndex(name);
        if (field < 0)
            return Fail("unknown key '" + key + "'");
        if (dot == std::string::npos)
            return Map(field, value);
        const std::string attr = key.substr(dot + 1);
        if (attr == "scale" || attr == "offset")
            return Linear(field, attr, value);
        if (attr == "min" || attr == "max")
            return Limit(field, attr, value);
        if (attr == "hysteresis")
            return ReadingHysteresis(field, value);
        return Fail("unknown key '" + key +
                    "' (a reading takes .scale, .offset, .min, .max or .hysteresis)");
    }

    bool Finish() {
        for (int k = 0; k < proto::kFieldCount; ++k) {
            const int orphan = lines_[k].scale ? lines_[k].scale : lines_[k].offset;
            if (orphan && !lines_[k].mapping) {
                number_ = orphan;
                return Fail(std::string(proto::kFieldNames[k]) +
                            " has a scale or offset but no input mapped");
            }
            const readings::ReadingAlarmSettings& a = out_->alarms.readings[k];
            using Kind = readings::LimitSetting::Kind;
            if (a.low.kind == Kind::kValue && a.high.kind == Kind::kValue &&
                a.low.value >= a.high.value) {
                number_ = std::max(lines_[k].min, lines_[k].max);
                return Fail(std::string(proto::kFieldNames[k]) + ".min must be below " +
                            proto::kFieldNames[k] + ".max");
            }
        }
        return true;
    }

private:
    // The password comes from one place.
    bool SingleSecret() {
        if (out_->prometheus_password && out_->prometheus_password_file)
            return Fail("set prometheus.password or prometheus.password_file, not both");
        return true;
    }

    bool Fail(const std::string& message) {
        if (error_)
            *error_ = ConfigError{number_, message};
        return false;
    }

    // A reading's attribute is given once; `seen` is the line that gave it, 0 for none yet.
    bool Once(int* seen, const std::string& what, const char* done) {
        if (*seen)
            return Fail(what + " is already " + done + " on line " + std::to_string(*seen));
        *seen = number_;
        return true;
    }

    bool Map(int field, const std::string& value) {
        if (!Once(&lines_[field].mapping, proto::kFieldNames[field], "mapped"))
            return false;
        out_->mapping[field].selector = value;
        out_->mapping_lines[field] = number_;
        return true;
    }

    bool Linear(int field, const std::string& attr, const std::string& value) {
        const std::string key = std::string(proto::kFieldNames[field]) + "." + attr;
        if (!Once(attr == "scale" ? &lines_[field].scale : &lines_[field].offset, key, "set"))
            return false;
        double v = 0;
        if (!ParseNumber(value, &v))
            return Fail(key + " must be a number, not '" + value + "'");
        if (attr == "scale" && v == 0)
            return Fail(key + " must not be zero");
        (attr == "scale" ? out_->mapping[field].scale : out_->mapping[field].offset) = v;
        return true;
    }

    // "NAME.min" or "NAME.max": a number in the units of the final value, or "none".
    bool Limit(int field, const std::string& attr, const std::string& value) {
        const std::string key = std::string(proto::kFieldNames[field]) + "." + attr;
        if (!Once(attr == "min" ? &lines_[field].min : &lines_[field].max, key, "set"))
            return false;
        readings::ReadingAlarmSettings& a = out_->alarms.readings[field];
        readings::LimitSetting& limit = attr == "min" ? a.low : a.high;
        if (value == "none") {
            limit = readings::LimitSetting{readings::LimitSetting::Kind::kNone, 0.0};
        } else {
            double v = 0;
            if (!ParseNumber(value, &v))
                return Fail(key + " must be a number or none, not '" + value + "'");
            limit = readings::LimitSetting{readings::LimitSetting::Kind::kValue, v};
        }
        return true;
    }

    bool ReadingHysteresis(int field, const std::string& value) {
        const std::string key = std::string(proto::kFieldNames[field]) + ".hysteresis";
        if (!Once(&lines_[field].hysteresis, key, "set"))
            return false;
        readings::Hysteresis h;
        if (!readings::ParseHysteresis(value, &h))
            return Fail(key + " must be a number or a percentage such as 2%, not '" + value + "'");
        out_->alarms.readings[field].hysteresis = h;
        return true;
    }

    bool KindHysteresis(const std::string& key, const std::string& kind, const std::string& value) {
        readings::Hysteresis* target = kind == "temperature" ? &out_->alarms.temperature
                                       : kind == "voltage"   ? &out_->alarms.voltage
                                       : kind == "fan"       ? &out_->alarms.fan
                                                             : nullptr;
        if (target == nullptr)
            return Fail("unknown key '" + key +
                        "' (hysteresis.temperature, hysteresis.voltage or hysteresis.fan)");
        if (!readings::ParseHysteresis(value, target))
            return Fail(key + " must be a number or a percentage such as 2%, not '" + value + "'");
        return true;
    }

    Settings* out_;
    ConfigError* error_;
    int number_ = 0;
    std::array<LineOf, proto::kFieldCount> lines_{};
};

}  // namespace

bool ParseConfigText(const std::string& text, Settings* out, ConfigError* error) {
    Settings parsed;
    Parser parser(&parsed, error);
    std::size_t pos = 0;
    int number = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        if (!parser.Line(++number, text.substr(pos, end - pos)))
            return false;
        pos = end + 1;
    }
    if (!parser.Finish())
        return false;
    if (out)
        *out = std::move(parsed);
    return true;
}

bool LoadConfigFile(const std::string& path, Settings* out, ConfigError* error) {
    auto fail = [error](const char* why) {
        if (error)
            *error = ConfigError{0, why};
        return false;
    };
    // Read on the serving thread at a reload: a FIFO or a device in its place must not block
    // it, so only a regular file is read, checked on the opened handle.
    const readings::RegularFileText file = readings::ReadRegularFile(path, kMaxConfigBytes);
    if (!file.ok) {
        const std::string opening = "cannot be opened";
        const std::string why = file.error.rfind(opening, 0) == 0
                                    ? "cannot open the file" + file.error.substr(opening.size())
                                    : "the file " + file.error;
        if (error)
            *error = ConfigError{0, why};
        return false;
    }
    if (file.truncated)
        return fail("the file is larger than 1 MiB");
    if (!ParseConfigText(file.text, out, error))
        return false;
    if (out->prometheus_password_line > 0 && file.mode >= 0 && (file.mode & 0044) != 0) {
        const std::string mode = OctalMode(file.mode);
        out->warnings.push_back(path + ":" + std::to_string(out->prometheus_password_line) +
                                ": prometheus.password in a file other users may read (mode " +
                                mode + "); move it to prometheus.password_file (chmod 600)");
    }
    if (out->prometheus_password_file) {
        std::string password, why;
        if (!ReadPasswordFile(*out->prometheus_password_file, &password, &why)) {
            if (error)
                *error = ConfigError{out->prometheus_password_file_line,
                                     "prometheus.password_file: " + why};
            return false;
        }
        out->prometheus_password = password;
    }
    return true;
}

bool ReadPasswordFile(const std::string& file, std::string* password, std::string* why) {
    // A password is a line; a file this large is not one.
    constexpr std::size_t kMaxPassword = 4096;
    std::string path = file;
    if (file.find('/') == std::string::npos) {
        // A bare name is a credential systemd passed the service (LoadCredential=).
        const char* credentials = std::getenv("CREDENTIALS_DIRECTORY");
        if (!credentials || !*credentials) {
            *why = "'" + file +
                   "' is a bare name, which names a systemd credential, but "
                   "CREDENTIALS_DIRECTORY is not set; give an absolute path";
            return false;
        }
        path = std::string(credentials) + "/" + file;
    } else if (file[0] != '/') {
        *why = "'" + file + "' must be an absolute path or a bare credential name";
        return false;
    }
    const readings::RegularFileText read = readings::ReadRegularFile(path, kMaxPassword);
    if (!read.ok) {
        *why = path + " " + read.error;
        return false;
    }
    if (read.mode >= 0 && (read.mode & 0044) != 0) {
        const std::string mode = OctalMode(read.mode);
        *why = path + " may be read by other users (mode " + mode +
               "); make it readable by its owner only (chmod 600)";
        return false;
    }
    if (read.truncated) {
        *why = path + " is longer than " + std::to_string(kMaxPassword) + " bytes";
        return false;
    }
    std::string text = read.text;
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
        if (!text.empty() && text.back() == '\r')
            text.pop_back();
    }
    if (text.empty()) {
        *why = path + " is empty";
        return false;
    }
    *password = text;
    return true;
}

bool ParseMetricsAddress(const std::string& text, std::vector<Endpoint>* out) {
    const std::string port = text.empty() || text[0] != ':' ? text : text.substr(1);
    long number = 0;
    if (ParseWholeNumber(port, 65535, &number)) {
        Endpoint v4;
        Endpoint v6;
        ParseEndpoint("127.0.0.1:" + port, &v4);
        ParseEndpoint("[::1]:" + port, &v6);
        out->push_back(v4);
        out->push_back(v6);
        return true;
    }
    Endpoint ep;
    if (!ParseEndpoint(text, &ep))
        return false;
    out->push_back(ep);
    return true;
}

std::vector<Endpoint> DefaultListen() {
    std::vector<Endpoint> list(2);
    const std::string port = std::to_string(proto::kDefaultPort);
    ParseEndpoint("127.0.0.1:" + port, &list[0]);
    ParseEndpoint("[::1]:" + port, &list[1]);
    return list;
}

Config Resolve(const Settings& file, const Settings& command_line) {
    Config c;
    c.listen = DefaultListen();
    c.allow = DefaultAllow();
    for (const Settings* layer : {&file, &command_line}) {
        OverlaySettings(*layer, &c);
    }
    if (!file.interval_ms && !command_line.interval_ms &&
        c.source.kind == SourceSpec::Kind::kPrometheus)
        c.interval_ms = kNetworkIntervalMs;
    c.mapping = file.mapping;
    c.mapping_lines = file.mapping_lines;
    c.warnings = file.warnings;
    c.alarms = file.alarms;
    return c;
}

bool CheckMappings(const Settings& settings, SourceSpec::Kind kind, ConfigError* error) {
    for (int k = 0; k < proto::kFieldCount; ++k) {
        if (!settings.mapping[k].mapped())
            continue;
        std::string why;
        if (!readings::CheckSelector(kind, proto::kFieldNames[k], settings.mapping[k].selector,
                                     &why)) {
            if (error)
                *error = ConfigError{settings.mapping_lines[k], why};
            return false;
        }
    }
    return true;
}

std::chrono::milliseconds StaleAfter(const Config& config) {
    if (config.stale_ms > 0)
        return std::chrono::milliseconds(config.stale_ms);
    return readings::DefaultStaleAfter(std::chrono::milliseconds(config.interval_ms));
}

readings::SourceSettings SourceSettingsOf(const Config& config) {
    readings::SourceSettings s;
    s.spec = config.source;
    s.sysfs = config.sysfs;
    s.mapping = config.mapping;
    s.user = config.prometheus_user;
    s.password = config.prometheus_password;
    s.timeout_ms = config.prometheus_timeout_ms;
    return s;
}

}  // namespace vorn::agent
