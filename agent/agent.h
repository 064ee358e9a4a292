// The agent's modes that need the configuration: serve, --list and --check (modes.h runs them).
#pragma once

#include <cstdio>
#include <string>

#include "agent/config.h"
#include "agent/log.h"
#include "agent/options.h"

namespace vorn::agent {

// The configuration in force: defaults, the file named by --config, then the command line.
// On failure `error` reads "FILE:LINE: why" (or "FILE: why").
bool LoadConfig(const CommandLine& command_line, Config* out, std::string* error);

// Serves until SIGTERM or SIGINT; SIGHUP reloads. Returns the exit status.
int Serve(const CommandLine& command_line, Log& log);

// Prints every input the configured source offers, with a mapping line for each, to `out`. Returns
// the exit status.
int ListInputs(const CommandLine& command_line, std::FILE* out);

// Validates the configuration file of --check (with the command line's settings over it) and
// matches its mapping lines against the source where it can be read now; prints the verdict
// to `out`. Returns the exit status: 1 for a wrong line or a selector that matches nothing.
int CheckConfig(const CommandLine& command_line, std::FILE* out);

}  // namespace vorn::agent
