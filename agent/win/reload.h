// The reload command: `vornagent --reload` asks running agents to read their configuration
// again, as SIGHUP does on Linux.
#pragma once

#include <cstdio>

namespace vorn::agent::win {

// The event every console agent of a session waits on for the reload command.
constexpr wchar_t kReloadEventName[] = L"Local\\vornagent-reload";

// Asks the vornagent service (through the service manager's "paramchange") and the console
// agents of this session to reload; says which in `out`. Returns 0, or 3 when none runs.
int SendReload(std::FILE* out);

}  // namespace vorn::agent::win
