#include "agent/options.h"

#include "agent/settings_table.h"

namespace vorn::agent {

// The sources differ by platform: hwmon (and its sysfs root) on Linux, HWiNFO or
// LibreHardwareMonitor on Windows, where signals give way to --reload.
#ifdef _WIN32
#define VORN_HELP_SOURCES                                                                        \
    "  --source auto      HWiNFO's shared memory while HWiNFO keeps it updated, otherwise\n"     \
    "                     HWiNFO's Gadget values in the registry while they change, otherwise\n" \
    "                     LibreHardwareMonitor's page http://127.0.0.1:8085/metrics\n"           \
    "                     (the default)\n"                                                       \
    "  --source hwinfo    HWiNFO's shared memory only; map readings as SENSOR / LABEL\n"         \
    "  --source hwinfo-gadget\n"                                                                 \
    "                     HWiNFO's Gadget values only (Software\\HWiNFO64\\VSB in the\n"         \
    "                     registry); map readings as SENSOR / LABEL\n"
#define VORN_HELP_RELOAD                                                                    \
    "vornagent.exe --reload (or restarting the service) reads the configuration again; a\n" \
    "broken one is refused and the running one kept. listen and metrics change only with\n" \
    "a restart. Ctrl+C stops a console agent.\n"
#else
#define VORN_HELP_SOURCES                                                      \
    "  --sysfs DIR        the sysfs root holding class/hwmon (default /sys)\n" \
    "  --source hwmon     read the kernel's hwmon inputs through the mapping (default)\n"
#define VORN_HELP_RELOAD                                                                   \
    "Signals: SIGHUP reloads the configuration (a broken one is refused and the running\n" \
    "one kept; listen and metrics change only with a restart); SIGTERM and SIGINT stop\n"  \
    "the agent.\n"
#endif

const char* HelpText() {
    return "Usage: vornagent [OPTION]...\n"
           "Serves this host's hardware-monitor readings to the vornbar sensor plug-in over UDP.\n"
           "\n"
           "  --config FILE      read settings and the reading mapping from FILE; every option\n"
           "                     below may also be set there, and the command line wins\n"
           "  --listen ADDR:PORT listen on this address (repeatable); [ADDR]:PORT for IPv6;\n"
           "                     port 0 takes a free port, shown on the start line\n"
           "                     (default 127.0.0.1:29870 and [::1]:29870)\n"
           "  --metrics ADDR:PORT\n"
           "                     also serve Prometheus metrics at http://ADDR:PORT/metrics\n"
           "                     (repeatable); :PORT or PORT alone serves 127.0.0.1 and\n"
           "                     [::1]; off unless given; the allow list applies to it too\n"
           "  --allow CIDR       answer requests from this block only (repeatable), ADDR or\n"
           "                     ADDR/BITS; IPv4 blocks also cover IPv4-mapped IPv6 sources\n"
           "                     (default 127.0.0.0/8 and ::1/128, loopback "
           "only)\n" VORN_HELP_SOURCES
           "  --source file:PATH read KEY=VALUE lines from PATH at each sample instead\n"
           "  --source prometheus:URL\n"
           "                     read a Prometheus text endpoint (node_exporter, Libre-\n"
           "                     HardwareMonitor's /metrics, a server's /federate?match[]=...)\n"
           "                     with an HTTP(S) GET per sample (default interval 2000)\n"
           "  --interval MS      read the sensors at most once per MS milliseconds; requests\n"
           "                     in between share that reading (default 500, 2000 for a\n"
           "                     prometheus: source; 0 to 3600000; 0 reads as often as\n"
           "                     every 10 ms)\n"
           "  --stale MS         a sample older than MS milliseconds is not served: the\n"
           "                     reply says \"no sensors\" (status 1), which the bar shows as\n"
           "                     ERROR (default three intervals, at least 1000; 1 to 10800000)\n"
           "  --rate N           answer at most N requests a second per source address, with\n"
           "                     bursts of N; more are dropped (default 20, 0 for no limit)\n"
           "  --history on|off   keep every reading's last hour (each second), 48 hours (each\n"
           "                     minute) and 35 days (each quarter hour) and serve them to\n"
           "                     the bar (default on)\n"
           "  --history-file PATH\n"
           "                     where the history is saved every few minutes and at the stop\n"
           "                     (default /var/lib/vornagent/history when that folder exists;\n"
           "                     on Windows vornagent.history beside the configuration)\n"
           "  --list             print every input of the source with its value, limits and a\n"
           "                     mapping line to paste (each reading proposed once, the other\n"
           "                     inputs as commented alternatives), then exit\n"
           "  --check FILE       validate configuration FILE: name a wrong line, or a mapping\n"
           "                     line that matches no input of the source where the source can\n"
           "                     be read now (else say that only the syntax was checked); exit\n"
           "  --ask HOST[:PORT]  ask the agent at HOST (default port 29870) for its readings\n"
           "                     as the bar's plug-in does, print them with the alarm mask\n"
           "                     and the round-trip time, or say why there is no answer\n"
           "                     (time-out, refused, no sensors); exit 0 only on readings\n"
           "  --help             print this text and exit\n"
           "  --version          print the version and exit\n"
           "\n"
           "A reading that is not mapped or not read this time is sent as '-'; a reply with no\n"
           "reading at all says \"no sensors\", and the bar shows thirteen ERROR "
           "lines.\n" VORN_HELP_RELOAD
           "Exit status: 0 on a clean stop, a valid --check or readings from --ask; 1 on a\n"
           "runtime or configuration error, a mapping line matching nothing, or no readings\n"
           "from --ask; 2 on a bad command line.\n";
}

namespace {

// Notes a serving option for the service's command line.
void Keep(CommandLine* cl, const std::string& name, const std::string& value) {
    cl->serving_options.push_back(name);
    cl->serving_options.push_back(value);
}

}  // namespace

bool ParseCommandLine(int argc, const char* const* argv, CommandLine* out, std::string* error) {
    CommandLine cl;
    auto fail = [error](const std::string& message) {
        if (error)
            *error = message;
        return false;
    };
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool has_value = false;
        const std::size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            has_value = true;
        }
        const Setting* setting =
            arg.rfind("--", 0) == 0 ? FindSettingByOption(arg.substr(2)) : nullptr;
        const bool wants_value = setting || arg == "--config" || arg == "--check" || arg == "--ask";
        if (wants_value && !has_value) {
            if (i + 1 >= argc)
                return fail(arg + " needs a value");
            value = argv[++i];
        } else if (!wants_value && has_value) {
            return fail(arg + " takes no value");
        }
        if (setting) {
            std::string why;
            if (!ParseSetting(*setting, Origin::kCommandLine, value, &cl.overrides, &why))
                return fail(arg + " " + why);
            Keep(&cl, arg, value);
        } else if (arg == "--config") {
            cl.config_path = value;
            Keep(&cl, arg, value);
        } else if (arg == "--help" || arg == "-h") {
            cl.mode = CommandLine::Mode::kHelp;
        } else if (arg == "--version") {
            cl.mode = CommandLine::Mode::kVersion;
        } else if (arg == "--list") {
            cl.mode = CommandLine::Mode::kList;
        } else if (arg == "--list-settings") {
            cl.mode = CommandLine::Mode::kListSettings;
        } else if (arg == "--check") {
            cl.mode = CommandLine::Mode::kCheck;
            cl.check_path = value;
        } else if (arg == "--ask") {
            cl.mode = CommandLine::Mode::kAsk;
            cl.ask_host = value;
        } else {
            return fail("unknown argument '" + arg + "' (see --help)");
        }
    }
    if (out)
        *out = std::move(cl);
    return true;
}

}  // namespace vorn::agent
