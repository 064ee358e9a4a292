// vornagent as a Windows service: installing, removing and running under the service manager.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

namespace vorn::agent::win {

constexpr char kServiceName[] = "vornagent";

// Exit statuses of the service commands, distinct so that scripts can tell them apart.
enum ServiceExit {
    kServiceOk = 0,
    kServiceStateConflict = 3,  // already installed (--install), not installed (--uninstall)
    kServiceAccessDenied = 4,   // needs an administrator
    kServiceFailed = 5,         // the service manager refused for another reason
};

// Registers the service for `executable` (started automatically, as LocalSystem with no
// privilege but SeChangeNotifyPrivilege) with `arguments` after --service, then starts it.
// Messages go to `out`.
int InstallService(const std::string& executable, const std::string& arguments, std::FILE* out);

// Stops the service (waiting a bounded time) and removes it.
int UninstallService(std::FILE* out);

// Runs `serve` as the service's body until it returns, reporting its state to the service
// manager; a stop or shutdown control reaches `serve` as RequestStop(), "paramchange" as
// RequestReload(). Returns false when the process was not started by the service manager.
bool RunAsService(const std::function<int()>& serve);

}  // namespace vorn::agent::win
