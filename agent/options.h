// The agent's command line. Every setting may also come from the configuration file;
// what the command line says wins.
#pragma once

#include <string>
#include <vector>

#include "agent/config.h"

namespace vorn::agent {

struct CommandLine {
    // kListSettings: the settings table, for the documents' tests (not in --help).
    enum class Mode { kServe, kList, kCheck, kAsk, kHelp, kVersion, kListSettings };
    Mode mode = Mode::kServe;
    std::string config_path;  // --config, empty for none
    std::string check_path;   // --check
    std::string ask_host;     // --ask
    Settings overrides;       // the settings' options: --listen, --allow, --source, ...
    // --config and the settings' options in the order given, as words: each "--name", then its
    // value. What a service started with the same settings is given.
    std::vector<std::string> serving_options;
};

// Parses argv[1..argc-1]; options take "--name VALUE" or "--name=VALUE". On failure
// `error` says which argument is wrong.
bool ParseCommandLine(int argc, const char* const* argv, CommandLine* out, std::string* error);

// The --help text, documenting every option.
const char* HelpText();

}  // namespace vorn::agent
