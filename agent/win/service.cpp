// The service runs as LocalSystem, stripped of every privilege but the one any process has
// (SeChangeNotifyPrivilege): the service manager removes the others from its token because
// the service declares only that one, and the service removes them itself as it starts.
// LocalSystem's identity is what it needs: HWiNFO's free edition keeps its Gadget values in the
// signed-in user's own registry (HKCU), which a service sees only under HKEY_USERS, and only an
// account that the user's hive admits may read it (the user, SYSTEM, administrators). LocalService
// may not. Starting the agent at each user's logon instead would need no such account, but would
// leave a PC without readings until someone logs on and run one agent per signed-in user on the
// same UDP port. The identity adds no privilege to bind ports or parse requests; HWiNFO's
// Global\ shared memory and LibreHardwareMonitor's loopback page are open to any account.
#include "agent/win/service.h"

#include <windows.h>

#include <cstring>
#include <vector>

#include "agent/signals.h"

namespace vorn::agent::win {

namespace {

constexpr char kDisplayName[] = "vornagent sensor agent";
constexpr char kDescription[] =
    "Serves this PC's hardware-monitor readings (from HWiNFO's shared memory or Gadget values, "
    "or LibreHardwareMonitor) to vornbar over UDP on the loopback addresses.";
// The one privilege the service keeps; the service manager strips the rest from its token.
constexpr char kRequiredPrivileges[] = "SeChangeNotifyPrivilege\0";
constexpr DWORD kStopWaitMs = 15000;

class ScHandle {
public:
    explicit ScHandle(SC_HANDLE h) : h_(h) {}
    ~ScHandle() {
        if (h_)
            CloseServiceHandle(h_);
    }
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;
    SC_HANDLE get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }

private:
    SC_HANDLE h_;
};

std::string ErrorText(DWORD code) {
    char text[256] = "";
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, text, sizeof text, nullptr);
    std::string s(text, n);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == '.'))
        s.pop_back();
    return (s.empty() ? "error" : s) + " (" + std::to_string(code) + ")";
}

int AccessDenied(std::FILE* out, const char* what) {
    std::fprintf(out,
                 "vornagent: no rights to %s the service: run this from a command prompt "
                 "opened with \"Run as administrator\"\n",
                 what);
    return kServiceAccessDenied;
}

// Opens the service manager with `access`; on failure says why and sets `exit`.
SC_HANDLE OpenManager(DWORD access, const char* what, std::FILE* out, int* exit) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, access);
    if (!manager) {
        const DWORD error = GetLastError();
        if (error == ERROR_ACCESS_DENIED) {
            *exit = AccessDenied(out, what);
        } else {
            std::fprintf(out, "vornagent: cannot reach the service manager: %s\n",
                         ErrorText(error).c_str());
            *exit = kServiceFailed;
        }
    }
    return manager;
}

bool WaitForState(SC_HANDLE service, DWORD wanted, DWORD timeout_ms) {
    const DWORD start = GetTickCount();
    for (;;) {
        SERVICE_STATUS status{};
        if (!QueryServiceStatus(service, &status))
            return false;
        if (status.dwCurrentState == wanted)
            return true;
        if (GetTickCount() - start > timeout_ms)
            return false;
        Sleep(100);
    }
}

// The service's state as the service manager sees it; written by the handler and the body.
SERVICE_STATUS_HANDLE g_status_handle = nullptr;
SERVICE_STATUS g_status{};
const std::function<int()>* g_serve = nullptr;

void Report(DWORD state, DWORD exit_code = NO_ERROR) {
    g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_status.dwCurrentState = state;
    g_status.dwControlsAccepted =
        state == SERVICE_RUNNING
            ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PARAMCHANGE
            : 0;
    g_status.dwWin32ExitCode = exit_code == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    g_status.dwServiceSpecificExitCode = exit_code;
    g_status.dwWaitHint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : 5000;
    ++g_status.dwCheckPoint;
    if (g_status_handle)
        SetServiceStatus(g_status_handle, &g_status);
}

DWORD WINAPI OnControl(DWORD control, DWORD, void*, void*) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN:
            Report(SERVICE_STOP_PENDING);
            RequestStop();
            return NO_ERROR;
        case SERVICE_CONTROL_PARAMCHANGE:
            RequestReload();
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

// Removes every privilege but SeChangeNotifyPrivilege from this process's token for good, as
// the service manager does from the privilege list; a second line of defence where it did not.
void DropPrivileges() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return;
    DWORD size = 0;
    GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
    std::vector<BYTE> buffer(size ? size : 1);
    auto* privileges = reinterpret_cast<TOKEN_PRIVILEGES*>(buffer.data());
    LUID keep{};
    if (size && GetTokenInformation(token, TokenPrivileges, privileges, size, &size) &&
        LookupPrivilegeValueA(nullptr, "SeChangeNotifyPrivilege", &keep)) {
        DWORD n = 0;
        for (DWORD k = 0; k < privileges->PrivilegeCount; ++k) {
            const LUID id = privileges->Privileges[k].Luid;
            if (id.LowPart == keep.LowPart && id.HighPart == keep.HighPart)
                continue;
            privileges->Privileges[n].Luid = id;
            privileges->Privileges[n].Attributes = SE_PRIVILEGE_REMOVED;
            ++n;
        }
        privileges->PrivilegeCount = n;
        if (n)
            AdjustTokenPrivileges(token, FALSE, privileges, 0, nullptr, nullptr);
    }
    CloseHandle(token);
}

void WINAPI ServiceMain(DWORD, char**) {
    DropPrivileges();
    g_status_handle = RegisterServiceCtrlHandlerExA(kServiceName, OnControl, nullptr);
    if (!g_status_handle)
        return;
    Report(SERVICE_RUNNING);
    const int exit_code = (*g_serve)();
    Report(SERVICE_STOPPED, static_cast<DWORD>(exit_code));
}

}  // namespace

int InstallService(const std::string& executable, const std::string& arguments, std::FILE* out) {
    int exit = kServiceOk;
    ScHandle manager(OpenManager(SC_MANAGER_CREATE_SERVICE, "install", out, &exit));
    if (!manager)
        return exit;
    const std::string command =
        "\"" + executable + "\" --service" + (arguments.empty() ? "" : " " + arguments);
    // No account: LocalSystem (see the top of this file for why, and what it keeps).
    ScHandle service(CreateServiceA(manager.get(), kServiceName, kDisplayName, SERVICE_ALL_ACCESS,
                                    SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                    SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr,
                                    nullptr, nullptr, nullptr));
    if (!service) {
        const DWORD error = GetLastError();
        if (error == ERROR_SERVICE_EXISTS || error == ERROR_DUPLICATE_SERVICE_NAME) {
            std::fprintf(out,
                         "vornagent: the %s service is already installed (remove it first with "
                         "--uninstall)\n",
                         kServiceName);
            return kServiceStateConflict;
        }
        if (error == ERROR_ACCESS_DENIED)
            return AccessDenied(out, "install");
        std::fprintf(out, "vornagent: cannot install the service: %s\n", ErrorText(error).c_str());
        return kServiceFailed;
    }
    SERVICE_DESCRIPTIONA description{const_cast<char*>(kDescription)};
    ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_DESCRIPTION, &description);
    char privileges[sizeof kRequiredPrivileges];
    std::memcpy(privileges, kRequiredPrivileges, sizeof privileges);
    SERVICE_REQUIRED_PRIVILEGES_INFOA required{privileges};
    if (!ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO, &required)) {
        // Refused (Wine refuses it): the service still drops them itself as it starts.
        std::fprintf(out,
                     "vornagent: note: the service manager did not take the service's privilege "
                     "list (%s); the service removes its privileges itself when it starts\n",
                     ErrorText(GetLastError()).c_str());
    }
    if (!StartServiceA(service.get(), 0, nullptr)) {
        std::fprintf(out, "vornagent: installed the %s service, but it did not start: %s\n",
                     kServiceName, ErrorText(GetLastError()).c_str());
        return kServiceFailed;
    }
    WaitForState(service.get(), SERVICE_RUNNING, kStopWaitMs);
    std::fprintf(out, "vornagent: installed and started the %s service (%s)\n", kServiceName,
                 command.c_str());
    return kServiceOk;
}

int UninstallService(std::FILE* out) {
    int exit = kServiceOk;
    ScHandle manager(OpenManager(SC_MANAGER_CONNECT, "remove", out, &exit));
    if (!manager)
        return exit;
    ScHandle service(
        OpenServiceA(manager.get(), kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
    if (!service) {
        const DWORD error = GetLastError();
        if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
            std::fprintf(out, "vornagent: the %s service is not installed\n", kServiceName);
            return kServiceStateConflict;
        }
        if (error == ERROR_ACCESS_DENIED)
            return AccessDenied(out, "remove");
        std::fprintf(out, "vornagent: cannot open the service: %s\n", ErrorText(error).c_str());
        return kServiceFailed;
    }
    SERVICE_STATUS status{};
    if (ControlService(service.get(), SERVICE_CONTROL_STOP, &status) &&
        !WaitForState(service.get(), SERVICE_STOPPED, kStopWaitMs)) {
        std::fprintf(out, "vornagent: the service did not stop within %lu s; removing it anyway\n",
                     static_cast<unsigned long>(kStopWaitMs / 1000));
    }
    if (!DeleteService(service.get())) {
        const DWORD error = GetLastError();
        if (error == ERROR_ACCESS_DENIED)
            return AccessDenied(out, "remove");
        if (error == ERROR_SERVICE_MARKED_FOR_DELETE) {
            std::fprintf(out, "vornagent: the %s service is already being removed\n", kServiceName);
            return kServiceStateConflict;
        }
        std::fprintf(out, "vornagent: cannot remove the service: %s\n", ErrorText(error).c_str());
        return kServiceFailed;
    }
    std::fprintf(out, "vornagent: stopped and removed the %s service\n", kServiceName);
    return kServiceOk;
}

bool RunAsService(const std::function<int()>& serve) {
    g_serve = &serve;
    char name[sizeof kServiceName];
    std::memcpy(name, kServiceName, sizeof name);
    const SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    const bool ran = StartServiceCtrlDispatcherA(table) != FALSE;
    g_serve = nullptr;
    return ran;
}

}  // namespace vorn::agent::win
