// The configuration file, the command line and how the two combine.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

#include "agent/agent.h"
#include "agent/config.h"
#include "agent/modes.h"
#include "agent/options.h"
#include "agent/settings_table.h"
#include "readings/hwmon_source.h"
#include "tests/native/agent_test_support.h"

namespace vorn::agent {
namespace {

// The error of a configuration text, parsed and its mapping checked against its source.
ConfigError ErrorOf(const std::string& text) {
    Settings s;
    ConfigError e;
    const bool ok = ParseConfigText(text, &s, &e) &&
                    CheckMappings(s, s.source ? s.source->kind : SourceSpec::Kind::kHwmon, &e);
    EXPECT_FALSE(ok) << text;
    return e;
}

// A mapping's selector as the hwmon source reads it.
readings::HwmonSelector Hwmon(const Mapping& m) {
    readings::HwmonSelector s;
    std::string why;
    EXPECT_TRUE(readings::ParseHwmonSelector("it", m.selector, &s, &why)) << why;
    return s;
}

// --check FILE with the hwmon tree at `sysfs`: by default one that does not exist, so that
// only the syntax is checked whatever this machine's sensors are.
CommandLine CheckOf(const std::string& path, const std::string& sysfs = "/nonexistent") {
    CommandLine cl;
    cl.mode = CommandLine::Mode::kCheck;
    cl.check_path = path;
    cl.overrides.sysfs = sysfs;
    return cl;
}

// What CheckConfig prints for `path`, and its exit status in `status`.
std::string CheckOutput(const std::string& path, int* status,
                        const std::string& sysfs = "/nonexistent") {
    char buf[2048] = {};
    std::FILE* out = fmemopen(buf, sizeof buf - 1, "w");
    *status = CheckConfig(CheckOf(path, sysfs), out);
    std::fclose(out);
    return buf;
}

std::string Show(const Endpoint& ep) {
    return FormatEndpoint(reinterpret_cast<const sockaddr*>(&ep.addr));
}

TEST(AgentConfig, ShippedExampleMapsAllThirteenReadings) {
    Settings s;
    ConfigError e;
    ASSERT_TRUE(LoadConfigFile(VORN_AGENT_EXAMPLE_CONFIG, &s, &e)) << e.line << ": " << e.message;
    for (int k = 0; k < proto::kFieldCount; ++k)
        EXPECT_TRUE(s.mapping[k].mapped()) << k;
    EXPECT_EQ(Hwmon(s.mapping[proto::kCpu]).chip, "coretemp");
    EXPECT_EQ(Hwmon(s.mapping[proto::kCpu]).input, "Package id 0");
    EXPECT_EQ(s.mapping[proto::kVM12].scale, 6.0);
    EXPECT_EQ(s.mapping[proto::kVM12].offset, -18.3);
    ASSERT_TRUE(s.listen.has_value());
    EXPECT_EQ(s.listen->size(), 2u);
}

TEST(AgentConfig, ReadsEverySetting) {
    Settings s;
    ConfigError e;
    ASSERT_TRUE(
        ParseConfigText("# comment\r\n"
                        "  listen = 127.0.0.1:1234 [::1]:1235\n"
                        "allow=10.0.0.0/8\n"
                        "allow = 192.168.0.0/16 ::1\n"
                        "\n"
                        "sysfs = /tmp/fake\n"
                        "source = file:/run/readings\n"
                        "interval = 250\n"
                        "FAN1 = nct6775 / fan2\n"
                        "VM12 = it87/in5\n"
                        "VM12.offset = -0.5\n"
                        "VM12.scale = 1e1\n",
                        &s, &e))
        << e.line << ": " << e.message;
    ASSERT_TRUE(s.listen && s.allow && s.sysfs && s.source && s.interval_ms);
    EXPECT_EQ(Show((*s.listen)[0]), "127.0.0.1:1234");
    EXPECT_EQ(Show((*s.listen)[1]), "[::1]:1235");
    ASSERT_EQ(s.allow->size(), 3u);
    EXPECT_EQ(FormatCidr((*s.allow)[2]), "::1/128");
    EXPECT_EQ(*s.sysfs, "/tmp/fake");
    EXPECT_EQ(s.source->kind, SourceSpec::Kind::kFile);
    EXPECT_EQ(s.source->location, "/run/readings");
    EXPECT_EQ(*s.interval_ms, 250);
    EXPECT_EQ(Hwmon(s.mapping[proto::kFan1]).chip, "nct6775");
    EXPECT_EQ(Hwmon(s.mapping[proto::kFan1]).input, "fan2");
    EXPECT_EQ(Hwmon(s.mapping[proto::kVM12]).chip, "it87");
    EXPECT_EQ(s.mapping[proto::kVM12].scale, 10.0);
    EXPECT_EQ(s.mapping[proto::kVM12].offset, -0.5);
    EXPECT_FALSE(s.mapping[proto::kCpu].mapped());
}

TEST(AgentConfig, ErrorsNameTheLineAndTheCause) {
    struct Case {
        const char* text;
        int line;
        const char* says;
    } cases[] = {
        {"TCPU = coretemp / temp1\nnonsense\n", 2, "KEY = VALUE"},
        {"\n\nTCPUX = a / b\n", 3, "unknown key 'TCPUX'"},
        {"TCPU = coretemp temp1\n", 1, "CHIP / INPUT"},
        {"TCPU = / temp1\n", 1, "no chip name"},
        {"TCPU = coretemp /\n", 1, "no input name"},
        {"TCPU = core temp / temp1\n", 1, "blank"},
        {"TCPU = a / b\n# x\nTCPU = c / d\n", 3, "already mapped on line 1"},
        {"VP12 = a / in1\nVP12.scale = twelve\n", 2, "must be a number"},
        {"VP12 = a / in1\nVP12.scale = 0\n", 2, "must not be zero"},
        {"VP12 = a / in1\nVP12.offset = 1\nVP12.offset = 2\n", 3, "already set on line 2"},
        {"VP12 = a / in1\nVP12.offset = nan\n", 2, "must be a number"},
        {"VP12 = a / in1\nVP12.gain = 2\n", 2, "unknown key 'VP12.gain'"},
        {"\nVM05.scale = 2\n", 2, "no input mapped"},
        {"listen = 127.0.0.1\n", 1, "listen address '127.0.0.1'"},
        {"listen = 127.0.0.1:80 [::1]:x\n", 1, "'[::1]:x'"},
        {"allow = 10.0.0.0/40\n", 1, "allow entry '10.0.0.0/40'"},
        {"interval = -1\n", 1, "interval"},
        {"interval = 3600001\n", 1, "interval"},
        {"source = snmp\n", 1, "source must be"},
        {"source = file:\n", 1, "source must be"},
        {"rate = 1000001\n", 1, "rate must be"},
        {"rate = 20/s\n", 1, "rate must be"},
        {"sysfs = relative/dir\n", 1, "absolute"},
        {"listen =\n", 1, "missing value"},
        {" = 5\n", 1, "missing key"},
        {"TCPU = a / b\x01\n", 1, "control character"},
    };
    for (const Case& c : cases) {
        const ConfigError e = ErrorOf(c.text);
        EXPECT_EQ(e.line, c.line) << c.text;
        EXPECT_NE(e.message.find(c.says), std::string::npos) << c.text << " -> " << e.message;
    }
}

TEST(AgentConfig, OversizedOrMissingFileIsRefusedWithoutALine) {
    testing::TempDir dir;
    const std::string big = dir.Write("big.conf", std::string((1 << 20) + 1, '#'));
    ConfigError e;
    EXPECT_FALSE(LoadConfigFile(big, nullptr, &e));
    EXPECT_EQ(e.line, 0);
    EXPECT_NE(e.message.find("larger than 1 MiB"), std::string::npos) << e.message;
    EXPECT_FALSE(LoadConfigFile(dir.path() + "/none.conf", nullptr, &e));
    EXPECT_EQ(e.line, 0);
}

TEST(AgentConfig, CommandLineWinsOverFileAndFileOverDefaults) {
    Settings file;
    ASSERT_TRUE(
        ParseConfigText("listen = 127.0.0.1:1000\ninterval = 100\nsysfs = /f\n"
                        "TCPU = k10temp / Tctl\n",
                        &file, nullptr));
    const char* argv[] = {"vornagent", "--interval", "900", "--listen=[::1]:2000"};
    CommandLine cl;
    std::string error;
    ASSERT_TRUE(ParseCommandLine(4, argv, &cl, &error)) << error;
    const Config c = Resolve(file, cl.overrides);
    ASSERT_EQ(c.listen.size(), 1u);
    EXPECT_EQ(Show(c.listen[0]), "[::1]:2000");
    EXPECT_EQ(c.interval_ms, 900);
    EXPECT_EQ(c.sysfs, "/f");
    EXPECT_EQ(Hwmon(c.mapping[proto::kCpu]).input, "Tctl");
    // Nothing set anywhere: loopback on the protocol's port, loopback admitted.
    const Config d = Resolve(Settings{}, Settings{});
    ASSERT_EQ(d.listen.size(), 2u);
    EXPECT_EQ(Show(d.listen[0]), "127.0.0.1:29870");
    EXPECT_EQ(Show(d.listen[1]), "[::1]:29870");
    EXPECT_EQ(d.allow.size(), 2u);
    EXPECT_EQ(d.interval_ms, 500);
    EXPECT_EQ(d.sysfs, "/sys");
    EXPECT_EQ(d.source.kind, SourceSpec::Kind::kHwmon);
}

TEST(AgentCommandLine, ReadsEveryOption) {
    const char* argv[] = {"vornagent", "--config",      "/etc/v.conf", "--listen",    "127.0.0.1:0",
                          "--listen",  "[::1]:0",       "--allow",     "10.0.0.0/8",  "--allow=::1",
                          "--sysfs",   "/tmp/s",        "--source",    "file:/tmp/r", "--interval",
                          "0",         "--rate=1000000"};
    CommandLine cl;
    std::string error;
    ASSERT_TRUE(ParseCommandLine(17, argv, &cl, &error)) << error;
    EXPECT_EQ(cl.mode, CommandLine::Mode::kServe);
    EXPECT_EQ(cl.config_path, "/etc/v.conf");
    EXPECT_EQ(cl.overrides.listen->size(), 2u);
    EXPECT_EQ(cl.overrides.allow->size(), 2u);
    EXPECT_EQ(*cl.overrides.sysfs, "/tmp/s");
    EXPECT_EQ(cl.overrides.source->location, "/tmp/r");
    EXPECT_EQ(*cl.overrides.interval_ms, 0);
    EXPECT_EQ(*cl.overrides.rate, 1000000);

    const char* list[] = {"vornagent", "--list"};
    ASSERT_TRUE(ParseCommandLine(2, list, &cl, &error));
    EXPECT_EQ(cl.mode, CommandLine::Mode::kList);
    const char* check[] = {"vornagent", "--check", "x.conf"};
    ASSERT_TRUE(ParseCommandLine(3, check, &cl, &error));
    EXPECT_EQ(cl.mode, CommandLine::Mode::kCheck);
    EXPECT_EQ(cl.check_path, "x.conf");
}

TEST(AgentCommandLine, RejectsBadArgumentsNamingThem) {
    const std::vector<std::vector<const char*>> bad = {
        {"vornagent", "--listen"},
        {"vornagent", "--listen", "nowhere"},
        {"vornagent", "--allow", "1.2.3/8"},
        {"vornagent", "--interval", "5s"},
        {"vornagent", "--source", "ipmi"},
        {"vornagent", "--frobnicate"},
        {"vornagent", "--list=yes"},
        {"vornagent", "stray"},
        {"vornagent", "--rate", "-1"},
        {"vornagent", "--rate=1e3"},
        {"vornagent", "--"},
        {"vornagent", "--source="},
    };
    for (const auto& args : bad) {
        std::string error;
        EXPECT_FALSE(ParseCommandLine(static_cast<int>(args.size()), args.data(), nullptr, &error))
            << args.back();
        EXPECT_FALSE(error.empty());
    }
}

TEST(AgentConfig, AReloadTakesTheReloadableSettingsAndKeepsTheOthers) {
    Settings before, after;
    ASSERT_TRUE(
        ParseConfigText("listen = 127.0.0.1:1000\nmetrics = 9100\nhistory = on\n"
                        "allow = 10.0.0.0/8\nrate = 5\ninterval = 100\n",
                        &before, nullptr));
    ASSERT_TRUE(
        ParseConfigText("listen = 127.0.0.1:2000\nmetrics = 9200\nhistory = off\n"
                        "history_file = /tmp/h\nallow = 192.168.0.0/16\nrate = 7\n"
                        "interval = 300\nprometheus.timeout = 900\n",
                        &after, nullptr));
    const Config running = Resolve(before, Settings{});
    Config next = Resolve(after, Settings{});
    KeepRestartOnlySettings(running, &next);
    ASSERT_EQ(next.listen.size(), 1u);
    EXPECT_EQ(Show(next.listen[0]), "127.0.0.1:1000");
    ASSERT_EQ(next.metrics.size(), 2u);
    EXPECT_EQ(Show(next.metrics[0]), "127.0.0.1:9100");
    EXPECT_TRUE(next.history);
    EXPECT_EQ(next.history_file, "");
    ASSERT_EQ(next.allow.size(), 1u);
    EXPECT_EQ(FormatCidr(next.allow[0]), "192.168.0.0/16");
    EXPECT_EQ(next.rate, 7);
    EXPECT_EQ(next.interval_ms, 300);
    EXPECT_EQ(next.prometheus_timeout_ms, 900);
}

TEST(AgentCommandLine, KeepsTheServingOptionsInTheirOrderForTheService) {
    const char* argv[] = {"vornagent", "--rate=0", "--config",    "a b.conf",      "--history",
                          "off",       "--listen", "127.0.0.1:0", "--metrics=9100"};
    CommandLine cl;
    std::string error;
    ASSERT_TRUE(ParseCommandLine(9, argv, &cl, &error)) << error;
    const std::vector<std::string> expected = {"--rate",    "0",   "--config", "a b.conf",
                                               "--history", "off", "--listen", "127.0.0.1:0",
                                               "--metrics", "9100"};
    EXPECT_EQ(cl.serving_options, expected);
    const char* check[] = {"vornagent", "--check", "x.conf", "--list"};
    ASSERT_TRUE(ParseCommandLine(4, check, &cl, &error)) << error;
    EXPECT_TRUE(cl.serving_options.empty());
}

TEST(AgentCommandLine, TheServiceIsGivenTheServingOptionsQuotedWithTheConfigurationMadeFull) {
    const char* argv[] = {"vornagent",      "--listen=127.0.0.1:0", "--config", "my dir\\a.conf",
                          "--history-file", "C:\\h \"x\"\\",        "--rate",   "0"};
    CommandLine cl;
    std::string error;
    ASSERT_TRUE(ParseCommandLine(8, argv, &cl, &error)) << error;
    const std::string arguments =
        ServiceArguments(cl, [](const std::string& path) { return "C:\\work\\" + path; });
    EXPECT_EQ(arguments,
              "--listen 127.0.0.1:0 --config \"C:\\work\\my dir\\a.conf\" "
              "--history-file \"C:\\h \\\"x\\\"\\\\\" --rate 0");
    // Nothing to keep: an empty command line.
    const char* bare[] = {"vornagent"};
    ASSERT_TRUE(ParseCommandLine(1, bare, &cl, &error)) << error;
    EXPECT_EQ(ServiceArguments(cl, [](const std::string& path) { return path; }), "");
}

TEST(AgentCommandLine, QuotesWindowsArgumentsSoThatTheyReadBackWhole) {
    EXPECT_EQ(QuoteWindowsArgument("plain"), "plain");
    EXPECT_EQ(QuoteWindowsArgument(""), "\"\"");
    EXPECT_EQ(QuoteWindowsArgument("a b"), "\"a b\"");
    EXPECT_EQ(QuoteWindowsArgument("C:\\dir\\"), "C:\\dir\\");
    EXPECT_EQ(QuoteWindowsArgument("C:\\my dir\\"), "\"C:\\my dir\\\\\"");
    EXPECT_EQ(QuoteWindowsArgument("say \"hi\""), "\"say \\\"hi\\\"\"");
}

TEST(AgentCommandLine, ListsEverySettingWithItsOptionAndWhetherAReloadChangesIt) {
    CommandLine cl;
    std::string error;
    const char* argv[] = {"vornagent", "--list-settings"};
    ASSERT_TRUE(ParseCommandLine(2, argv, &cl, &error)) << error;
    EXPECT_EQ(cl.mode, CommandLine::Mode::kListSettings);
    char buf[4096] = {};
    std::FILE* out = fmemopen(buf, sizeof buf - 1, "w");
    PrintSettings(out);
    std::fclose(out);
    const std::string listed = buf;
    for (const char* line :
         {"listen\t--listen\trestart\t127.0.0.1:29870 [::1]:29870\n", "rate\t--rate\treload\t20\n",
          "history_file\t--history-file\trestart\t", "prometheus.timeout\t-\treload\t1500\n"}) {
        EXPECT_NE(listed.find(line), std::string::npos) << line << " in\n" << listed;
    }
}

TEST(AgentCommandLine, HelpDocumentsEveryOption) {
    const std::string help = HelpText();
    for (const char* option :
         {"--config", "--listen", "--allow", "--sysfs", "--source hwmon", "--source file:PATH",
          "--interval", "--stale", "--list", "--check", "--help", "SIGHUP", "SIGTERM"}) {
        EXPECT_NE(help.find(option), std::string::npos) << option;
    }
}

TEST(AgentCheck, ReportsFileLineAndReasonOrOk) {
    testing::TempDir dir;
    const std::string good = dir.Write("good.conf", "TCPU = coretemp / temp1\n");
    const std::string bad = dir.Write("bad.conf", "TCPU = coretemp / temp1\n\nFAN9 = a / b\n");
    char buf[512] = {};
    std::FILE* out = fmemopen(buf, sizeof buf - 1, "w");
    EXPECT_EQ(CheckConfig(CheckOf(bad), out), 1);
    std::fclose(out);
    EXPECT_EQ(std::string(buf), bad + ":3: unknown key 'FAN9'\n");
    std::fill(std::begin(buf), std::end(buf), 0);
    out = fmemopen(buf, sizeof buf - 1, "w");
    EXPECT_EQ(CheckConfig(CheckOf(good), out), 0);
    std::fclose(out);
    EXPECT_NE(std::string(buf).find("ok; 1 of 13 mapped"), std::string::npos) << buf;
    std::fill(std::begin(buf), std::end(buf), 0);
    out = fmemopen(buf, sizeof buf - 1, "w");
    EXPECT_EQ(CheckConfig(CheckOf(dir.path() + "/missing.conf"), out), 1);
    std::fclose(out);
    EXPECT_NE(std::string(buf).find("missing.conf: cannot open"), std::string::npos) << buf;
}

TEST(AgentCheck, SelectorsThatMatchNothingInTheHwmonTreeAreNamedWithTheirLineAndFail) {
    testing::TempDir dir;
    int status = 0;
    const std::string sysfs = testing::Fixture("sysfs/intel-nct6775");
    const std::string conf = dir.Write("c.conf",
                                       "TCPU = coretemp / Package id 0\n"
                                       "TPWR = nct6776 / AUXTIN0\n"
                                       "# fans\n"
                                       "FAN3 = nct6775 / fan9\n");
    std::string out = CheckOutput(conf, &status, sysfs);
    EXPECT_EQ(status, 1) << out;
    EXPECT_NE(out.find(conf + ":2: TPWR: matches nothing: no chip 'nct6776' here (chips: "),
              std::string::npos)
        << out;
    EXPECT_NE(out.find(conf + ":4: FAN3: matches nothing: chip 'nct6775' has no input or label "
                              "'fan9'"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find(conf + ":1: TCPU: reads "), std::string::npos) << out;
    EXPECT_NE(out.find("2 of 3 mapping lines match nothing"), std::string::npos) << out;
    EXPECT_EQ(out.find("ok;"), std::string::npos) << out;

    // Where the tree is missing, nothing can be matched: the syntax alone passes, and says so.
    out = CheckOutput(conf, &status, dir.path() + "/no-such-sysfs");
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("ok; 3 of 13 mapped"), std::string::npos) << out;
    EXPECT_NE(out.find("checked the syntax only: no hwmon inputs under " + dir.path() +
                       "/no-such-sysfs/class/hwmon"),
              std::string::npos)
        << out;

    // Lines that all match pass and say so.
    const std::string good =
        dir.Write("g.conf", "TCPU = coretemp / Package id 0\nFAN2 = nct6775 / fan2\n");
    out = CheckOutput(good, &status, sysfs);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("ok; 2 of 13 mapped"), std::string::npos) << out;
    EXPECT_NE(out.find("every mapping line matches"), std::string::npos) << out;
}

TEST(AgentCheck, MappingSelectorsAreCheckedByTheSourceInForceNamingTheLine) {
    testing::TempDir dir;
    int status = 0;
    // hwmon (the default) wants CHIP / INPUT.
    const std::string hwmon =
        dir.Write("hwmon.conf", "# x\nTCPU = coretemp / temp1\nFAN1 = fan2\n");
    EXPECT_EQ(CheckOutput(hwmon, &status),
              hwmon + ":3: FAN1 needs CHIP / INPUT, for example " + "'coretemp / temp1'\n");
    EXPECT_EQ(status, 1);
    // The readings file names its readings itself: a mapping line is not read, so not refused.
    const std::string file =
        dir.Write("file.conf", "source = file:/run/r.txt\nFAN1 = fan2\nFAN1.scale = 2\n");
    EXPECT_NE(CheckOutput(file, &status).find("ok; 1 of 13 mapped"), std::string::npos);
    EXPECT_EQ(status, 0);

    // The command line's source is the one in force when the agent loads the file.
    CommandLine cl;
    cl.config_path = file;
    Config config;
    std::string error;
    EXPECT_TRUE(LoadConfig(cl, &config, &error)) << error;
    const char* argv[] = {"vornagent", "--config", file.c_str(), "--source", "hwmon"};
    ASSERT_TRUE(ParseCommandLine(5, argv, &cl, &error)) << error;
    EXPECT_FALSE(LoadConfig(cl, &config, &error));
    EXPECT_EQ(error, file + ":2: FAN1 needs CHIP / INPUT, for example 'coretemp / temp1'");
}

TEST(AgentConfig, StaleBoundIsSetInMillisecondsOrDefaultsToThreeIntervals) {
    Settings file;
    ConfigError e;
    ASSERT_TRUE(ParseConfigText("stale = 2500\ninterval = 100\n", &file, &e)) << e.message;
    EXPECT_EQ(StaleAfter(Resolve(file, Settings{})).count(), 2500);
    const char* argv[] = {"vornagent", "--stale=700"};
    CommandLine cl;
    std::string error;
    ASSERT_TRUE(ParseCommandLine(2, argv, &cl, &error)) << error;
    EXPECT_EQ(StaleAfter(Resolve(file, cl.overrides)).count(), 700);
    // Three intervals, and never less than a second.
    Settings slow;
    ASSERT_TRUE(ParseConfigText("interval = 2000\n", &slow, &e));
    EXPECT_EQ(StaleAfter(Resolve(slow, Settings{})).count(), 6000);
    EXPECT_EQ(StaleAfter(Resolve(Settings{}, Settings{})).count(), 1500);
    EXPECT_EQ(StaleAfter(Resolve(file, Settings{})).count(), 2500);
    ASSERT_TRUE(ParseConfigText("interval = 0\n", &slow, &e));
    EXPECT_EQ(StaleAfter(Resolve(slow, Settings{})).count(), 1000);
    for (const char* bad : {"0", "-5", "10800001", "1s", ""}) {
        const char* args[] = {"vornagent", "--stale", bad};
        EXPECT_FALSE(ParseCommandLine(3, args, nullptr, &error)) << bad;
        EXPECT_FALSE(ParseConfigText(std::string("stale = ") + bad + "\n", nullptr, &e)) << bad;
    }
    EXPECT_EQ(ErrorOf("\nstale = 0\n").line, 2);
}

// The password file: read whole, one newline dropped, refused when others may read it or when
// it is no regular file; a bare name is a systemd credential.
TEST(AgentPasswordFile, ReadsAnOwnerOnlyFileOrACredentialAndRefusesTheRest) {
    testing::TempDir dir;
    auto secret = [&](const std::string& name, const std::string& text, mode_t mode) {
        const std::string path = dir.Write(name, text);
        EXPECT_EQ(chmod(path.c_str(), mode), 0);
        return path;
    };
    auto load = [&](const std::string& config_text, std::string* password, ConfigError* e) {
        Settings s;
        const bool ok = LoadConfigFile(dir.Write("agent.conf", config_text), &s, e);
        if (ok)
            *password = SourceSettingsOf(Resolve(s, Settings{})).password;
        return ok;
    };
    std::string password;
    ConfigError e;
    const std::string plain = secret("pw", "s3cret pass\n", 0600);
    ASSERT_TRUE(
        load("prometheus.user = bar\nprometheus.password_file = " + plain + "\n", &password, &e))
        << e.message;
    EXPECT_EQ(password, "s3cret pass");
    ASSERT_TRUE(load("prometheus.password_file = " + secret("crlf", "a:b\r\n", 0400) + "\n",
                     &password, &e));
    EXPECT_EQ(password, "a:b");
    ASSERT_TRUE(
        load("prometheus.password_file = " + secret("two", "pw\n\n", 0600) + "\n", &password, &e));
    EXPECT_EQ(password, "pw\n");  // one newline only is dropped

    const std::string fifo = dir.path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct Bad {
        std::string text;
        int line;
        const char* says;
    };
    for (const Bad& bad : {
             Bad{"#\nprometheus.password_file = " + secret("open", "pw\n", 0644) + "\n", 2,
                 "may be read by other users (mode 0644)"},
             Bad{"prometheus.password_file = " + secret("group", "pw\n", 0640) + "\n", 1,
                 "chmod 600"},
             Bad{"prometheus.password_file = " + fifo + "\n", 1, "is not a regular file"},
             Bad{"prometheus.password_file = " + secret("empty", "\n", 0600) + "\n", 1, "is empty"},
             Bad{"prometheus.password_file = " + dir.path() + "/none\n", 1, "cannot be opened"},
             Bad{"prometheus.password_file = sub/pw\n", 1, "absolute path"},
             Bad{"prometheus.password = x\nprometheus.password_file = " + plain + "\n", 2,
                 "not both"},
         }) {
        password.clear();
        EXPECT_FALSE(load(bad.text, &password, &e)) << bad.text;
        EXPECT_EQ(e.line, bad.line) << bad.text;
        EXPECT_NE(e.message.find(bad.says), std::string::npos) << e.message;
        EXPECT_TRUE(password.empty());
    }

    // A password written in the configuration itself is taken, with a warning when other
    // users may read the file.
    Settings inline_password;
    const std::string config = dir.Write("inline.conf", "prometheus.password = pw\n");
    ASSERT_EQ(chmod(config.c_str(), 0644), 0);
    ASSERT_TRUE(LoadConfigFile(config, &inline_password, &e)) << e.message;
    ASSERT_EQ(inline_password.warnings.size(), 1u);
    EXPECT_NE(inline_password.warnings[0].find("inline.conf:1: prometheus.password in a file "
                                               "other users may read (mode 0644)"),
              std::string::npos)
        << inline_password.warnings[0];
    ASSERT_EQ(chmod(config.c_str(), 0600), 0);
    Settings private_password;
    ASSERT_TRUE(LoadConfigFile(config, &private_password, &e)) << e.message;
    EXPECT_TRUE(private_password.warnings.empty());

    // A bare name: the credential systemd placed in $CREDENTIALS_DIRECTORY.
    const char* before = std::getenv("CREDENTIALS_DIRECTORY");
    const std::string saved = before ? before : "";
    unsetenv("CREDENTIALS_DIRECTORY");
    EXPECT_FALSE(load("prometheus.password_file = pw\n", &password, &e));
    EXPECT_NE(e.message.find("CREDENTIALS_DIRECTORY is not set"), std::string::npos) << e.message;
    setenv("CREDENTIALS_DIRECTORY", dir.path().c_str(), 1);
    EXPECT_TRUE(load("prometheus.password_file = pw\n", &password, &e)) << e.message;
    EXPECT_EQ(password, "s3cret pass");
    if (before)
        setenv("CREDENTIALS_DIRECTORY", saved.c_str(), 1);
    else
        unsetenv("CREDENTIALS_DIRECTORY");
}

}  // namespace
}  // namespace vorn::agent
