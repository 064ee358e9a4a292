// The bar's benchmark, run under Wine by scripts/bench-bar.sh. In one run it measures:
//   (a) WM_CLOSE to process exit while the monitor thread sits in its 60 s pause,
//   (b) WM_CLOSE to process exit while a Get waits on a silent host (SocketTimer 10000),
//       both against the same close of a trivial dialog process (the baseline), in
//       interleaved turns so that outside load falls on all alike; a close in the pause with
//       SaveIni=0 shows how much of (a) is the profile save;
//   (c) the CPU time and the wake-ups (context switches) of the bar over a stretch of polls
//       with MonitorTimer 5, against an idle dialog process measured over the same stretch.
// CPU and context switches come from Linux (/proc/<pid>/stat and the threads' status files,
// read through Wine's Z: drive): Wine 8 answers GetProcessTimes for another process with the
// caller's own times. Prints figures and ratios; exits non-zero only when something cannot be
// started.
//
//   --reps N          turns of (baseline, a, b, a without saving); default 9
//   --cpu-seconds S   length of the CPU stretch; default 60, 0 skips it
//   VORN_BENCH_DEBUG  set: list each wake-up of the bar seen between polls
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "res/resource.h"
#include "tests/e2e/bar_driver.h"

namespace {

using namespace vorn::e2e;
using Clock = std::chrono::steady_clock;

constexpr DWORD kAppearMs = 30000;
constexpr DWORD kCloseLimitMs = 20000;  // a close slower than this counts as hung
constexpr double kCloseTargetMs = 250.0;
constexpr double kCpuTargetPercent = 1.0;
constexpr long kUserHz = 100;  // Linux's USER_HZ on x86

double MsSince(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

std::string FakeBarPath() {
    return DirectoryOf(BarExePath()) + "\\vorn_e2e_fake_bar.exe";
}

void WriteBarProfile(const TestResponder& responder, const std::vector<std::string>& lines) {
    std::string text = "[VORNBAR]\r\nHostName=" + responder.HostText() + "\r\n";
    for (const auto& l : lines) {
        text += l + "\r\n";
    }
    WriteProfileText(text);
}

// Posts WM_CLOSE and returns the milliseconds until the process has ended, or -1.
double TimeClose(BarProcess& p, HWND hwnd) {
    const auto start = Clock::now();
    Post(hwnd, WM_CLOSE, 0, 0);
    if (!p.WaitForExit(kCloseLimitMs)) {
        return -1;
    }
    return MsSince(start);
}

bool WaitUntil(const std::function<bool()>& done, DWORD ms) {
    const auto start = Clock::now();
    while (!done()) {
        if (MsSince(start) > ms) {
            return false;
        }
        Sleep(5);
    }
    return true;
}

// One close of the trivial dialog.
double BaselineClose() {
    BarProcess p(FakeBarPath());
    if (!p.Start("baseline")) {
        return -1;
    }
    HWND hwnd = p.WaitForBar(kAppearMs);
    if (hwnd == nullptr || !WaitForFocus(hwnd, 1001, 5000)) {
        return -1;
    }
    Sleep(200);  // settled, as the bar is before its close
    return TimeClose(p, hwnd);
}

// One close of the bar while its monitor thread pauses for 60 s after a poll.
double PauseClose(TestResponder& responder, const char* extra = "Stick=0") {
    responder.SetMode(TestResponder::kReadings);
    WriteBarProfile(responder, {"DelayTimer=1", "MonitorTimer=60", "IconTimer=0", extra});
    BarProcess p;
    if (!p.Start()) {
        return -1;
    }
    HWND hwnd = p.WaitForBar(kAppearMs);
    if (hwnd == nullptr ||
        !WaitForControlText(
            hwnd, IDC_SLOT13, [](const std::string& t) { return !t.empty(); }, 10000)) {
        return -1;
    }
    Sleep(200);  // the poll has ended; the thread is in its pause
    return TimeClose(p, hwnd);
}

// One close of the bar while a Get waits up to 10 s for a reply that never comes.
double GetClose(TestResponder& responder) {
    responder.SetMode(TestResponder::kSilent);
    WriteBarProfile(responder, {"DelayTimer=0", "MonitorTimer=60", "SocketTimer=10000"});
    const int before = responder.Requests();
    BarProcess p;
    if (!p.Start()) {
        return -1;
    }
    HWND hwnd = p.WaitForBar(kAppearMs);
    if (hwnd == nullptr || !WaitForFocus(hwnd, IDC_TOPMOST, 5000) ||
        !WaitUntil([&] { return responder.Requests() > before; }, 10000)) {
        return -1;
    }
    Sleep(200);  // well inside the 10 s wait
    return TimeClose(p, hwnd);
}

struct Stats {
    double median = 0;
    double max = 0;
    int failed = 0;
};

Stats Summarise(std::vector<double> v) {
    Stats s;
    std::vector<double> ok;
    for (double x : v) {
        if (x < 0) {
            ++s.failed;
        } else {
            ok.push_back(x);
        }
    }
    if (ok.empty()) {
        return s;
    }
    std::sort(ok.begin(), ok.end());
    s.median =
        ok.size() % 2 == 1 ? ok[ok.size() / 2] : (ok[ok.size() / 2 - 1] + ok[ok.size() / 2]) / 2;
    s.max = ok.back();
    return s;
}

// ---- Linux side, through the Z: drive ---------------------------------------------------------

std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::vector<std::string> DirNames(const std::string& dir) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        if (fd.cFileName[0] != '.') {
            names.push_back(fd.cFileName);
        }
    } while (FindNextFileA(h, &fd));
    FindClose(h);
    return names;
}

bool ContainsNoCase(std::string hay, std::string needle) {
    std::transform(hay.begin(), hay.end(), hay.begin(), ::tolower);
    std::transform(needle.begin(), needle.end(), needle.begin(), ::tolower);
    return hay.find(needle) != std::string::npos;
}

// The Linux process id of the newest process running `image` in this Wine prefix; 0 if none.
long UnixPidOf(const std::string& image) {
    const char* prefix = std::getenv("WINEPREFIX");
    long best = 0;
    unsigned long long bestStart = 0;
    for (const auto& name : DirNames("Z:\\proc")) {
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const std::string dir = "Z:\\proc\\" + name;
        std::string cmd = ReadWhole(dir + "\\cmdline");
        std::replace(cmd.begin(), cmd.end(), '\0', ' ');
        if (!ContainsNoCase(cmd, image)) {
            continue;
        }
        if (prefix != nullptr && *prefix != '\0' &&
            ReadWhole(dir + "\\environ").find(std::string("WINEPREFIX=") + prefix + '\0') ==
                std::string::npos) {
            continue;
        }
        // Field 22 of stat: start time in ticks since boot.
        const std::string stat = ReadWhole(dir + "\\stat");
        const auto close = stat.rfind(')');
        if (close == std::string::npos) {
            continue;
        }
        std::istringstream rest(stat.substr(close + 2));
        std::string field;
        unsigned long long start = 0;
        for (int i = 3; i <= 22 && rest >> field; ++i) {
            if (i == 22) {
                start = std::strtoull(field.c_str(), nullptr, 10);
            }
        }
        if (best == 0 || start >= bestStart) {
            best = std::strtol(name.c_str(), nullptr, 10);
            bestStart = start;
        }
    }
    return best;
}

// User plus system CPU of a Linux process, all its threads, in milliseconds; -1 when unreadable.
double UnixCpuMs(long pid) {
    const std::string stat = ReadWhole("Z:\\proc\\" + std::to_string(pid) + "\\stat");
    const auto close = stat.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    std::istringstream rest(stat.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14 || i == 15) {
            ticks += std::strtod(field.c_str(), nullptr);
        }
    }
    return ticks * 1000.0 / kUserHz;
}

// Context switches (voluntary and not) of every thread of a Linux process: how often it ran.
long long UnixSwitches(long pid) {
    const std::string task = "Z:\\proc\\" + std::to_string(pid) + "\\task";
    long long total = 0;
    for (const auto& tid : DirNames(task)) {
        std::istringstream in(ReadWhole(task + "\\" + tid + "\\status"));
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
                total += std::strtoll(line.substr(line.find(':') + 1).c_str(), nullptr, 10);
            }
        }
    }
    return total;
}

struct Sample {
    double unixCpu = -1;
    long long switches = -1;
};

Sample Take(long unixPid) {
    Sample s;
    if (unixPid != 0) {
        s.unixCpu = UnixCpuMs(unixPid);
        s.switches = UnixSwitches(unixPid);
    }
    return s;
}

void PrintCpu(const char* what, const Sample& a, const Sample& b, double wallMs) {
    const double cpu = b.unixCpu - a.unixCpu;
    std::printf("  %-28s CPU %8.1f ms = %6.3f %% of one core; wake-ups %6lld (%.2f/s)", what, cpu,
                100.0 * cpu / wallMs, b.switches - a.switches,
                1000.0 * static_cast<double>(b.switches - a.switches) / wallMs);
    std::printf("\n");
}

// Wake-ups after a poll's start that still belong to it: the icon pause (300 ms by default),
// the display writes and the refresh, with room to spare.
constexpr double kPollSpanMs = 1500;
constexpr DWORD kSampleMs = 100;

int CpuStretch(TestResponder& responder, int seconds) {
    responder.SetMode(TestResponder::kReadings);
    WriteBarProfile(responder, {"DelayTimer=0", "MonitorTimer=5"});
    BarProcess bar;
    BarProcess idle(FakeBarPath());
    if (!bar.Start() || !idle.Start("--font")) {
        std::printf("(c) cannot start the programs\n");
        return 1;
    }
    HWND hwnd = bar.WaitForBar(kAppearMs);
    HWND idleHwnd = idle.WaitForBar(kAppearMs);
    if (hwnd == nullptr || idleHwnd == nullptr ||
        !WaitUntil([&] { return responder.Requests() >= 2; }, 20000)) {
        std::printf("(c) the bar did not poll\n");
        return 1;
    }
    const long barPid = UnixPidOf("VORNBAR.exe");
    const long idlePid = UnixPidOf("vorn_e2e_fake_bar.exe");
    const long serverPid = UnixPidOf("wineserver");
    if (barPid == 0 || idlePid == 0) {
        std::printf("(c) Linux process not found (bar %ld, dialog %ld): no figures\n", barPid,
                    idlePid);
        return 1;
    }
    Sleep(1000);  // start-up work is over
    const int requests0 = responder.Requests();
    const auto t0 = Clock::now();
    const Sample b0 = Take(barPid);
    const Sample i0 = Take(idlePid);
    const double s0 = serverPid != 0 ? UnixCpuMs(serverPid) : -1;

    // Sampled every 100 ms: wake-ups in a stretch that neither follows a poll's start closely
    // nor ends with one (the thread wakes just before it sends its request) are the bar's own
    // between polls.
    long long between = 0;
    long long lastSwitches = b0.switches;
    int lastRequests = requests0;
    double lastPollAt = -1e9;
    long long pending = 0;  // wake-ups of the previous stretch, if it was quiet
    double pendingAt = 0;
    const bool debug = std::getenv("VORN_BENCH_DEBUG") != nullptr;
    const auto settle = [&](bool keep) {
        if (keep && pending != 0) {
            between += pending;
            if (debug) {
                std::printf("  %lld wake-ups %.0f ms after a poll\n", pending, pendingAt);
            }
        }
        pending = 0;
    };
    while (MsSince(t0) < seconds * 1000.0) {
        Sleep(kSampleMs);
        const double now = MsSince(t0);
        const long long sw = UnixSwitches(barPid);
        const int req = responder.Requests();
        const bool polled = req != lastRequests;
        settle(!polled);
        if (polled) {
            lastPollAt = now;
            lastRequests = req;
        } else if (now - lastPollAt > kPollSpanMs + kSampleMs) {
            pending = sw - lastSwitches;
            pendingAt = now - lastPollAt;
        }
        lastSwitches = sw;
    }
    settle(true);
    const Sample b1 = Take(barPid);
    const Sample i1 = Take(idlePid);
    const double s1 = serverPid != 0 ? UnixCpuMs(serverPid) : -1;
    const double wall = MsSince(t0);
    const int polls = responder.Requests() - requests0;

    std::printf("(c) %.1f s with MonitorTimer 5: %d polls (Linux pids: bar %ld, dialog %ld)\n",
                wall / 1000.0, polls, barPid, idlePid);
    PrintCpu("bar", b0, b1, wall);
    PrintCpu("idle dialog (baseline)", i0, i1, wall);
    if (s0 >= 0 && s1 >= 0) {
        std::printf("  %-28s CPU %8.1f ms (serves this program's responder and samples too)\n",
                    "the prefix's wineserver", s1 - s0);
    }
    const double barPercent = 100.0 * (b1.unixCpu - b0.unixCpu) / wall;
    const double idlePercent = 100.0 * (i1.unixCpu - i0.unixCpu) / wall;
    const long long barWakes = b1.switches - b0.switches;
    std::printf("  bar CPU %.3f %% of one core (target < %.1f %%): %s; idle dialog %.3f %%\n",
                barPercent, kCpuTargetPercent, barPercent < kCpuTargetPercent ? "met" : "MISSED",
                idlePercent);
    std::printf("  bar wake-ups: %.1f per poll; between polls %lld (%.3f/s; target 0: %s)\n",
                polls > 0 ? static_cast<double>(barWakes - between) / polls : 0.0, between,
                1000.0 * static_cast<double>(between) / wall, between == 0 ? "met" : "MISSED");
    Post(hwnd, WM_CLOSE, 0, 0);
    Post(idleHwnd, WM_CLOSE, 0, 0);
    bar.WaitForExit(5000);
    idle.WaitForExit(5000);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    int reps = 9;
    int cpuSeconds = 60;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--reps") == 0) {
            reps = std::max(1, std::atoi(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--cpu-seconds") == 0) {
            cpuSeconds = std::max(0, std::atoi(argv[i + 1]));
        }
    }
    if (!FileExists(BarExePath()) || !FileExists(FakeBarPath())) {
        std::printf("VORNBAR.exe and vorn_e2e_fake_bar.exe must sit next to this program\n");
        return 1;
    }
    CleanStart();
    TestResponder responder;
    if (!responder.Start()) {
        std::printf("cannot start the loopback responder\n");
        return 1;
    }

    // Warm-up: the first start of each program in a prefix is slow.
    BaselineClose();
    PauseClose(responder);

    std::vector<double> base, pause, get, quiet;
    for (int r = 0; r < reps; ++r) {
        base.push_back(BaselineClose());
        pause.push_back(PauseClose(responder));
        get.push_back(GetClose(responder));
        quiet.push_back(PauseClose(responder, "SaveIni=0"));
        std::printf(
            "turn %d: baseline %.1f ms, pause %.1f ms, Get %.1f ms, pause without "
            "saving %.1f ms\n",
            r + 1, base.back(), pause.back(), get.back(), quiet.back());
        std::fflush(stdout);
    }
    const Stats b = Summarise(base);
    const Stats p = Summarise(pause);
    const Stats g = Summarise(get);
    const Stats q = Summarise(quiet);
    std::printf("\nWM_CLOSE to process exit, %d turns (median / max, ms):\n", reps);
    std::printf("  trivial dialog (baseline)    %7.1f / %7.1f%s\n", b.median, b.max,
                b.failed ? "  (some failed)" : "");
    const auto line = [&](const char* what, const Stats& s) {
        const auto verdict = [&](double v) { return v < kCloseTargetMs ? "met" : "MISSED"; };
        std::printf(
            "  %-28s %7.1f / %7.1f  ratio %.2f, over baseline %+.1f ms; target < %.0f ms: "
            "median %s, max %s%s\n",
            what, s.median, s.max, b.median > 0 ? s.median / b.median : 0.0, s.median - b.median,
            kCloseTargetMs, verdict(s.median), verdict(s.max),
            s.failed ? "  (some failed or hung)" : "");
    };
    line("(a) bar in its 60 s pause", p);
    line("(b) bar inside Get (10 s)", g);
    std::printf(
        "  of (a), the profile save: %.1f ms (the same close with SaveIni=0 writes two keys "
        "instead of forty: %.1f / %.1f)\n",
        p.median - q.median, q.median, q.max);
    std::fflush(stdout);

    int rc = 0;
    if (cpuSeconds > 0) {
        std::printf("\n");
        rc = CpuStretch(responder, cpuSeconds);
    }
    responder.Stop();
    RemoveProfile();
    return rc;
}
