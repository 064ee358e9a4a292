// vornagent.exe: serves this PC's readings (HWiNFO or LibreHardwareMonitor) to the bar.
// The Windows commands come first (--install, --uninstall, --reload, --service, --console);
// every other option is the agent's own, as on Linux. Without --config the agent reads
// vornagent.conf next to the executable when there is one.
#include <cstdio>
#include <string>
#include <vector>

#include "agent/modes.h"
#include "agent/options.h"
#include "agent/win/paths.h"
#include "agent/win/reload.h"
#include "agent/win/service.h"

namespace {

using vorn::agent::CommandLine;
namespace win = vorn::agent::win;

constexpr char kConfigName[] = "vornagent.conf";
constexpr char kLogName[] = "vornagent.log";
// The service's log is started afresh (the old one kept aside) beyond this size.
constexpr long kLogKeep = 1 << 20;

constexpr char kWindowsHelp[] =
    "\nOn Windows:\n"
    "  --console     serve in this console until Ctrl+C (the default)\n"
    "  --install     register and start the \"vornagent\" service (automatic start, run as\n"
    "                LocalSystem without its privileges, so that it may read the signed-in\n"
    "                user's HWiNFO Gadget values); the options that follow are kept for the\n"
    "                service.\n"
    "                Needs an administrator's command prompt.\n"
    "  --uninstall   stop and remove the service\n"
    "  --reload      make the running service and console agents read their configuration\n"
    "                again\n"
    "  Without --config, vornagent.conf next to vornagent.exe is read when it exists; the\n"
    "  service writes its log to vornagent.log there.\n"
    "  Exit statuses of the service commands: 0 done, 3 already installed or not installed,\n"
    "  4 no rights (not an administrator), 5 refused by the service manager.\n";

enum class Command { kRun, kConsole, kService, kInstall, kUninstall, kReload };

// The service's log file, opened for appending; stderr when it cannot be opened.
std::FILE* OpenServiceLog() {
    const std::string path = win::BesideExecutable(kLogName);
    if (std::FILE* existing = std::fopen(path.c_str(), "rb")) {
        std::fseek(existing, 0, SEEK_END);
        const long size = std::ftell(existing);
        std::fclose(existing);
        if (size > kLogKeep) {
            const std::string old = path + ".old";
            std::remove(old.c_str());
            std::rename(path.c_str(), old.c_str());
        }
    }
    std::FILE* log = std::fopen(path.c_str(), "a");
    return log ? log : stderr;
}

// Takes the Windows command out of argv, leaving the agent's own options in `args` (argv[0]
// first); false, having said why, when two commands are given.
bool SplitCommand(int argc, char** argv, Command* command, std::vector<const char*>* args) {
    *command = Command::kRun;
    args->assign(1, argv[0]);
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const Command named = a == "--console"     ? Command::kConsole
                              : a == "--service"   ? Command::kService
                              : a == "--install"   ? Command::kInstall
                              : a == "--uninstall" ? Command::kUninstall
                              : a == "--reload"    ? Command::kReload
                                                   : Command::kRun;
        if (named == Command::kRun) {
            args->push_back(argv[i]);
            continue;
        }
        if (*command != Command::kRun) {
            std::fprintf(stderr, "vornagent: %s cannot be combined with another command\n",
                         a.c_str());
            return false;
        }
        *command = named;
    }
    return true;
}

// Without --config, vornagent.conf beside the executable when there is one. The service finds
// it there as well, so it is not written into the service's command line.
void UseDefaultConfig(CommandLine* command_line) {
    const std::vector<std::string>& given = command_line->serving_options;
    bool config_given = false;
    for (std::size_t k = 0; k < given.size(); k += 2)
        config_given = config_given || given[k] == "--config";
    const std::string default_config = win::BesideExecutable(kConfigName);
    if (!config_given && win::FileExists(default_config))
        command_line->config_path = default_config;
}

}  // namespace

int main(int argc, char** argv) {
    Command command;
    std::vector<const char*> args;
    if (!SplitCommand(argc, argv, &command, &args))
        return 2;

    if (command == Command::kUninstall || command == Command::kReload) {
        if (args.size() > 1) {
            std::fprintf(stderr, "vornagent: %s takes no other option\n",
                         command == Command::kUninstall ? "--uninstall" : "--reload");
            return 2;
        }
        return command == Command::kUninstall ? win::UninstallService(stdout)
                                              : win::SendReload(stdout);
    }

    CommandLine command_line;
    std::string error;
    if (!vorn::agent::ParseCommandLine(static_cast<int>(args.size()), args.data(), &command_line,
                                       &error)) {
        std::fprintf(stderr, "vornagent: %s\n", error.c_str());
        return 2;
    }
    UseDefaultConfig(&command_line);

    if (command == Command::kInstall) {
        if (command_line.mode != CommandLine::Mode::kServe) {
            std::fprintf(stderr, "vornagent: --install takes the serving options only\n");
            return 2;
        }
        return win::InstallService(win::ExecutablePath(),
                                   vorn::agent::ServiceArguments(command_line, &win::FullPath),
                                   stdout);
    }
    if (command == Command::kService) {
        int status = 1;
        if (!win::RunAsService([&] {
                return status = vorn::agent::RunMode(command_line, kWindowsHelp, &OpenServiceLog);
            })) {
            std::fprintf(stderr,
                         "vornagent: --service is for the service manager; use --console to "
                         "serve in this window, or --install to set up the service\n");
            return 2;
        }
        return status;
    }
    return vorn::agent::RunMode(command_line, kWindowsHelp, nullptr);
}
