// What both mains (Linux and Windows) do with a parsed command line, and the command line a
// Windows service is given to serve with the same settings.
#pragma once

#include <cstdio>
#include <string>

#include "agent/options.h"

namespace vorn::agent {

// Runs the mode `command_line` names: the help (with `platform_help` after it), the version,
// --list, --check, --ask, --list-settings, or serving with its log written to what `open_log`
// opens (stderr when it is null; a file it opened is closed after). Returns the exit status.
int RunMode(const CommandLine& command_line, const char* platform_help, std::FILE* (*open_log)());

// The arguments of a service that serves as `command_line` does: its serving options in their
// order, each as "--name VALUE" quoted for a Windows command line, with --config's file made
// full by `full_path`, as the service starts in another folder.
std::string ServiceArguments(const CommandLine& command_line,
                             std::string (*full_path)(const std::string&));

// Quotes one argument for a Windows command line so that the C runtime reads it back whole.
std::string QuoteWindowsArgument(const std::string& arg);

}  // namespace vorn::agent
