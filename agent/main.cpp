// vornagent: serves this host's hardware-monitor readings to the sensor plug-in.
#include <cstdio>
#include <string>

#include "agent/modes.h"
#include "agent/options.h"

int main(int argc, char** argv) {
    vorn::agent::CommandLine command_line;
    std::string error;
    if (!vorn::agent::ParseCommandLine(argc, argv, &command_line, &error)) {
        std::fprintf(stderr, "vornagent: %s\n", error.c_str());
        return 2;
    }
    return vorn::agent::RunMode(command_line, "", nullptr);
}
