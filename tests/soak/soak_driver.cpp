// soak_driver: runs the real bar against the fault relay and watches what it shows.
//
//   soak_driver PORT TIMEOUT_MS DONE_FILE EXPECT_CPU MAX_SECONDS
//
// Writes a fast-polling profile (HostName = the relay, MonitorTimer 0, IconTimer 0, DelayTimer
// 0, SocketTimer TIMEOUT_MS), starts VORNBAR.exe, takes the thirteen value lines of the first
// complete reading as the reference (the CPU line must hold EXPECT_CPU), then reads the lines
// over and over until DONE_FILE exists: every line must show its reference or "ERROR". Ends
// the bar with Escape and prints its figures, ErrorCounter from the profile among them.
// Exit status: 0 when the bar started, stayed up, showed no wrong reading and ended on Escape.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "res/resource.h"
#include "tests/e2e/bar_driver.h"

namespace e2e = vorn::e2e;

namespace {

constexpr int kLines = 13;

// Text of a value line in one WM_GETTEXT with a fixed buffer: reading the length first races
// with the bar's updates and can cut a line short.
std::string LineText(HWND bar, int id) {
    HWND ctl = GetDlgItem(bar, id);
    char buf[256] = {};
    DWORD_PTR got = 0;
    if (ctl == nullptr ||
        !SendMessageTimeoutA(ctl, WM_GETTEXT, sizeof buf, reinterpret_cast<LPARAM>(buf),
                             SMTO_ABORTIFHUNG, e2e::kSendTimeoutMs, &got)) {
        return "";
    }
    return std::string(buf, got < sizeof buf ? got : sizeof buf - 1);
}

bool IsErrorLine(const std::string& text) {
    return text.find("ERROR") != std::string::npos;
}

std::string ValueOf(const std::string& profile, const char* key) {
    for (const auto& [k, v] : e2e::SectionEntries(profile, "VORNBAR")) {
        if (_stricmp(k.c_str(), key) == 0)
            return v;
    }
    return "";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr,
                     "usage: soak_driver PORT TIMEOUT_MS DONE_FILE EXPECT_CPU MAX_SECONDS\n");
        return 2;
    }
    const std::string port = argv[1];
    const std::string timeout = argv[2];
    const std::string done = argv[3];
    const std::string expect_cpu = argv[4];
    const DWORD max_ms = static_cast<DWORD>(std::atoi(argv[5])) * 1000u;

    e2e::CleanStart();
    e2e::WriteProfileText("[VORNBAR]\r\nHostName=127.0.0.1:" + port + "\r\nSocketTimer=" + timeout +
                          "\r\nMonitorTimer=0\r\nIconTimer=0\r\nDelayTimer=0\r\nSaveIni=1\r\n"
                          "DefaultIndicator=4\r\n");
    e2e::BarProcess bar(e2e::BarExePath());
    if (!bar.Start()) {
        std::printf("soak_driver: cannot start %s\n", e2e::BarExePath().c_str());
        return 1;
    }
    HWND hwnd = bar.WaitForBar(60000);
    if (!hwnd || !e2e::WaitForFocus(hwnd, IDC_TOPMOST, 30000)) {
        std::printf("soak_driver: the bar did not come up\n");
        return 1;
    }
    std::printf("bar_started pid %lu\n", static_cast<unsigned long>(bar.Pid()));
    std::fflush(stdout);

    // The reference: the first complete set of readings (the relay passes the first polls).
    std::string reference[kLines];
    const DWORD t0 = GetTickCount();
    bool complete = false;
    while (!complete && GetTickCount() - t0 < 30000 && bar.Running()) {
        complete = true;
        for (int i = 0; i < kLines; ++i) {
            reference[i] = LineText(hwnd, IDC_SLOT01 + i);
            if (reference[i].empty() || IsErrorLine(reference[i]))
                complete = false;
        }
        if (!complete)
            Sleep(10);
    }
    if (!complete || reference[0].find(expect_cpu) == std::string::npos) {
        std::printf("soak_driver: no reference reading (CPU line '%s', want %s)\n",
                    reference[0].c_str(), expect_cpu.c_str());
        return 1;
    }
    std::printf("reference_cpu_line %s\n", reference[0].c_str());

    long samples = 0;
    long wrong = 0;
    long error_lines = 0;
    const DWORD start = GetTickCount();
    while (!e2e::FileExists(done) && bar.Running() && GetTickCount() - start < max_ms) {
        for (int i = 0; i < kLines; ++i) {
            const std::string text = LineText(hwnd, IDC_SLOT01 + i);
            ++samples;
            if (IsErrorLine(text)) {
                ++error_lines;
            } else if (text != reference[i]) {
                if (++wrong <= 5)
                    std::printf("wrong_reading line %d '%s' (want '%s')\n", i + 1, text.c_str(),
                                reference[i].c_str());
            }
        }
        Sleep(2);
    }
    const bool reached = e2e::FileExists(done);
    const bool alive = bar.Running();
    e2e::PressKey(hwnd, VK_ESCAPE);
    const bool ended = bar.WaitForExit(20000);
    if (!ended)
        bar.Kill();
    const std::string profile = e2e::ReadProfileText();
    std::printf("display_samples %ld\n", samples);
    std::printf("error_lines_seen %ld\n", error_lines);
    std::printf("wrong_readings %ld\n", wrong);
    std::printf("bar_alive_at_end %d\n", alive ? 1 : 0);
    std::printf("bar_ended %d exit_code %lu\n", ended ? 1 : 0,
                static_cast<unsigned long>(bar.ExitCode()));
    std::printf("errors_counted %s\n", ValueOf(profile, "ErrorCounter").c_str());
    if (!reached)
        std::printf("soak_driver: the relay did not finish within %s s\n", argv[5]);
    return reached && alive && ended && wrong == 0 ? 0 : 1;
}
