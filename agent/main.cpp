// vornagent: serves this host's hardware-monitor readings to the sensor plug-in.
#include <cstdio>
#include <string>

#include "agent/agent.h"
#include "agent/ask.h"
#include "agent/options.h"
#include "agent/settings_table.h"
#include "vornbar_version.h"

int main(int argc, char** argv) {
    using vorn::agent::CommandLine;
    CommandLine command_line;
    std::string error;
    if (!vorn::agent::ParseCommandLine(argc, argv, &command_line, &error)) {
        std::fprintf(stderr, "vornagent: %s\n", error.c_str());
        return 2;
    }
    switch (command_line.mode) {
        case CommandLine::Mode::kHelp:
            std::fputs(vorn::agent::HelpText(), stdout);
            return 0;
        case CommandLine::Mode::kVersion:
            std::puts("vornagent " VORN_VERSION_TEXT);
            return 0;
        case CommandLine::Mode::kList:
            return vorn::agent::ListInputs(command_line, stdout);
        case CommandLine::Mode::kCheck:
            return vorn::agent::CheckConfig(command_line, stdout);
        case CommandLine::Mode::kListSettings:
            vorn::agent::PrintSettings(stdout);
            return 0;
        case CommandLine::Mode::kAsk:
            return vorn::agent::PrintAskResult(command_line.ask_host,
                                               vorn::agent::AskAgent(command_line.ask_host), stdout,
                                               stderr);
        case CommandLine::Mode::kServe:
            break;
    }
    vorn::agent::Log log;
    return vorn::agent::Serve(command_line, log);
}
