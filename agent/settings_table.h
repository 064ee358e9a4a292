// Every setting of the agent in one table: its key in the file, its option on the command
// line, what its value must be, its default, where it lands in Settings and Config, and whether
// a reload may change it. The file's parser, the command line, the merge of the layers and
// --list-settings all read it, so a new setting is one row here and a member in each struct.
#pragma once

#include <cstdio>
#include <string>

#include "agent/config.h"

namespace vorn::agent {

// The file and the command line differ in a few rules: a file line may hold several
// addresses, and a directory in the file must be absolute.
enum class Origin { kFile, kCommandLine };

struct Setting {
    const char* key;           // in the file
    const char* option;        // on the command line without its dashes; nullptr: file only
    const char* default_text;  // as --help and the manual give it
    bool reloadable;           // false: a reload keeps the running value
    // Stores `value` in `out`; false, with `why` (a text that follows the setting's name), when
    // the value is not one this setting takes.
    bool (*parse)(Origin origin, const std::string& value, Settings* out, std::string* why);
    void (*overlay)(const Settings& layer, Config* config);  // the layer's value, if it has one
    void (*carry)(const Config& from, Config* to);           // the value in force, as it is
    int Settings::*line = nullptr;  // where the file's parser notes the line, if anywhere
};

// The table, in the order --help names the settings.
const Setting* SettingsBegin();
const Setting* SettingsEnd();

// The row of file key `key`, or of command-line option `option` (without dashes); nullptr
// when there is none.
const Setting* FindSettingByKey(const std::string& key);
const Setting* FindSettingByOption(const std::string& option);

// Prints one line per setting: key, --option or "-" (file only), "reload" or "restart", and
// the default, separated by tabs (vornagent --list-settings, read by the documents' tests).
void PrintSettings(std::FILE* out);

// Gives `next` the running values of the settings a reload may not change.
void KeepRestartOnlySettings(const Config& running, Config* next);

}  // namespace vorn::agent
