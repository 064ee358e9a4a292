#include "agent/modes.h"

#include "agent/agent.h"
#include "agent/ask.h"
#include "agent/log.h"
#include "agent/settings_table.h"
#include "vornbar_version.h"

namespace vorn::agent {

int RunMode(const CommandLine& command_line, const char* platform_help, std::FILE* (*open_log)()) {
    switch (command_line.mode) {
        case CommandLine::Mode::kHelp:
            std::fputs(HelpText(), stdout);
            std::fputs(platform_help, stdout);
            return 0;
        case CommandLine::Mode::kVersion:
            std::puts("vornagent " VORN_VERSION_TEXT);
            return 0;
        case CommandLine::Mode::kList:
            return ListInputs(command_line, stdout);
        case CommandLine::Mode::kCheck:
            return CheckConfig(command_line, stdout);
        case CommandLine::Mode::kListSettings:
            PrintSettings(stdout);
            return 0;
        case CommandLine::Mode::kAsk:
            return PrintAskResult(command_line.ask_host, AskAgent(command_line.ask_host), stdout,
                                  stderr);
        case CommandLine::Mode::kServe:
            break;
    }
    std::FILE* out = open_log ? open_log() : stderr;
    int status;
    {
        Log log(out);
        status = Serve(command_line, log);
    }
    if (out != stderr)
        std::fclose(out);
    return status;
}

std::string ServiceArguments(const CommandLine& command_line,
                             std::string (*full_path)(const std::string&)) {
    std::string arguments;
    const std::vector<std::string>& words = command_line.serving_options;
    for (std::size_t k = 0; k + 1 < words.size(); k += 2) {
        const std::string& name = words[k];
        const std::string kept = name == "--config" ? full_path(words[k + 1]) : words[k + 1];
        arguments += (arguments.empty() ? "" : " ") + name + " " + QuoteWindowsArgument(kept);
    }
    return arguments;
}

std::string QuoteWindowsArgument(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos)
        return arg;
    std::string out = "\"";
    std::size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, '\\');
    return out + "\"";
}

}  // namespace vorn::agent
