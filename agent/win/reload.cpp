#include "agent/win/reload.h"

#include <windows.h>

#include "agent/win/service.h"

namespace vorn::agent::win {

namespace {

// True when the service runs and took the "paramchange" control.
bool ReloadService() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager)
        return false;
    bool done = false;
    SC_HANDLE service = OpenServiceA(manager, kServiceName, SERVICE_PAUSE_CONTINUE);
    if (service) {
        SERVICE_STATUS status{};
        done = ControlService(service, SERVICE_CONTROL_PARAMCHANGE, &status) != FALSE;
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return done;
}

bool ReloadConsoleAgents() {
    const HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, kReloadEventName);
    if (!event)
        return false;
    const bool done = SetEvent(event) != FALSE;
    CloseHandle(event);
    return done;
}

}  // namespace

int SendReload(std::FILE* out) {
    const bool service = ReloadService();
    const bool console = ReloadConsoleAgents();
    if (service)
        std::fprintf(out, "vornagent: asked the %s service to reload\n", kServiceName);
    if (console)
        std::fprintf(out, "vornagent: asked the agent running in this session to reload\n");
    if (!service && !console) {
        std::fprintf(out, "vornagent: no running vornagent found to reload\n");
        return kServiceStateConflict;
    }
    return 0;
}

}  // namespace vorn::agent::win
