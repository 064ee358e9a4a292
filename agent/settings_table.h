// Every setting of the agent in one table: its key in the file, its option on the command
// line, what its value must be, its default, where it lands in Settings and Config, and whether
// a reload may change it. The file's parser, the command line, the merge of the layers, a
// reload and --list-settings all read it, so a new setting is one row there and a member in
// each struct. The table is data, read by one parser and one merge: a function per setting
// would weigh on the Windows agent's size.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "agent/config.h"

namespace vorn::agent {

// The file and the command line differ in a few rules: a file line may hold several
// addresses, and a directory in the file must be absolute.
enum class Origin { kFile, kCommandLine };

// Where a setting of type T lands: its member in a layer of Settings and in Config (null when
// it does not reach Config as itself).
template <typename T>
struct Lands {
    std::optional<T> Settings::*layer = nullptr;
    T Config::*config = nullptr;
};

struct Setting {
    // What the value must be: kListen an address, kMetrics a metrics address, kAllow a CIDR
    // block (lists, added to by each line or option); kDirectory, kFileName and kText a text;
    // kSource a source; kNumber a whole number from `min` to `max` in `unit`; kOnOff on or off.
    enum class Kind {
        kListen,
        kMetrics,
        kAllow,
        kDirectory,
        kSource,
        kNumber,
        kOnOff,
        kFileName,
        kText
    };
    const char* key = nullptr;           // in the file
    const char* option = nullptr;        // on the command line without its dashes; null: file only
    const char* default_text = nullptr;  // as --help and the manual give it
    bool reloadable = true;              // false: a reload keeps the running value
    Kind kind = Kind::kText;
    long min = 0, max = 0;       // kNumber
    const char* unit = nullptr;  // kNumber
    // Where it lands: the member of its kind's type.
    Lands<std::vector<Endpoint>> endpoints;  // kListen, kMetrics
    Lands<std::vector<Cidr>> cidrs;          // kAllow
    Lands<std::string> text;                 // kDirectory, kFileName, kText
    Lands<SourceSpec> source;                // kSource
    Lands<int> number;                       // kNumber
    Lands<bool> flag;                        // kOnOff
    int Settings::*line = nullptr;           // where the file's parser notes the line, if anywhere
};

// The row of file key `key`, or of command-line option `option` (without dashes); nullptr
// when there is none.
const Setting* FindSettingByKey(const std::string& key);
const Setting* FindSettingByOption(const std::string& option);

// Stores `value` for `setting` in `out`; false, with `why` (a text that follows the setting's
// name), when the value is not one it takes.
bool ParseSetting(const Setting& setting, Origin origin, const std::string& value, Settings* out,
                  std::string* why);

// Overlays what `layer` sets on `config`.
void OverlaySettings(const Settings& layer, Config* config);

// Gives `next` the running values of the settings a reload may not change.
void KeepRestartOnlySettings(const Config& running, Config* next);

// Prints one line per setting: key, --option or "-" (file only), "reload" or "restart", and
// the default, separated by tabs (vornagent --list-settings, read by the documents' tests).
void PrintSettings(std::FILE* out);

}  // namespace vorn::agent
