// Drives the real bar program from outside, the way a user and the profile file see it: starts
// VORNBAR.exe as a child process, finds its window, reads and pokes its controls across the
// process boundary, edits the profile in the Windows directory, and answers the sensor plug-in
// with a loopback responder. Every wait is bounded; nothing here blocks without a time-out.
#pragma once

#include <windows.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vorn::e2e {

// Bounds on a single cross-process message, so a hung bar fails a test instead of hanging it.
constexpr UINT kSendTimeoutMs = 2000;

// Full path of VORNBAR.exe: env VORN_BAR_EXE, else the file next to this test program.
std::string BarExePath();

// Directory part of a full path, without the trailing backslash.
std::string DirectoryOf(const std::string& path);

// True when the file exists.
bool FileExists(const std::string& path);

// A child process of the program under test; killed and reaped by the destructor if still running.
class BarProcess {
public:
    BarProcess() = default;
    explicit BarProcess(std::string exePath) : exe_(std::move(exePath)) {}
    ~BarProcess();
    BarProcess(const BarProcess&) = delete;
    BarProcess& operator=(const BarProcess&) = delete;

    // Starts the exe with the command line "<exe file name>" + (tail empty ? "" : " " + tail),
    // in the exe's own directory.
    bool Start(const std::string& commandTail = "");
    // The visible top-level "#32770" window of the process; null on time-out or when it ended.
    HWND WaitForBar(DWORD timeoutMs);
    // True once the process has ended within the time.
    bool WaitForExit(DWORD timeoutMs);
    // WaitForExit that also records, polling every few ms, whether any visible window appeared.
    bool WaitForExitWatchingWindows(DWORD timeoutMs);
    // True when WaitForBar or WaitForExitWatchingWindows saw a visible top-level window.
    bool EverShowedWindow() const { return everShowed_; }
    // Exit status, or STILL_ACTIVE (259) while running, or ~0 without a process.
    DWORD ExitCode() const;
    // True while the process exists and has not ended.
    bool Running() const;
    // Ends the process at once and waits for it (bounded).
    void Kill();
    // Process id, 0 before Start.
    DWORD Pid() const { return pid_; }

private:
    void NoteVisibleWindows();

    std::string exe_;
    HANDLE process_ = nullptr;
    DWORD pid_ = 0;
    bool everShowed_ = false;
};

// Top-level windows of a process with the given class (any class when null), optionally
// only the visible ones.
std::vector<HWND> TopLevelWindowsOf(DWORD pid, const char* className, bool visibleOnly);

// One child control as read from outside.
struct ChildInfo {
    int id = 0;
    std::string className;
    LONG style = 0;
    LONG exStyle = 0;
    RECT rect{};  // screen coordinates
    std::string text;
};

// Text of the control `id` of the bar (WM_GETTEXT); empty when the control is missing.
std::string ControlText(HWND bar, int id);
// Text of a window (WM_GETTEXT, bounded).
std::string WindowTitle(HWND hwnd);
// GWL_STYLE of a window.
LONG Style(HWND hwnd);
// GWL_EXSTYLE of a window.
LONG ExStyle(HWND hwnd);
// Window rectangle in screen pixels.
RECT WindowRect(HWND hwnd);
// IsWindowVisible.
bool IsVisible(HWND hwnd);
// BM_GETCHECK of the control `id`; -1 when the control is missing or does not answer.
int CheckState(HWND bar, int id);
// The control of the bar that has the keyboard focus (GetGUIThreadInfo); null when none.
HWND FocusedControl(HWND bar);
// Id of that control; 0 when no control of the bar has the focus.
int FocusedId(HWND bar);
// Polls until control `id` has the focus: the bar's initialisation sets it last.
bool WaitForFocus(HWND bar, int id, DWORD timeoutMs);
// Direct children in creation (z) order.
std::vector<ChildInfo> Children(HWND bar);
// Polls the text of control `id` until pred accepts it; *last gets the last text seen.
bool WaitForControlText(HWND bar, int id, std::function<bool(const std::string&)> pred,
                        DWORD timeoutMs, std::string* last = nullptr);

// PostMessageA.
void Post(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
// SendMessageTimeoutA with kSendTimeoutMs; 0 when it times out.
LRESULT Send(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
// Key press for the bar's dialog manager: WM_KEYDOWN/WM_KEYUP posted to its focused control
// (the bar itself when none), where the modal loop's IsDialogMessage turns Escape into IDCANCEL
// and Enter into the default id, as for real keys.
void PressKey(HWND bar, UINT vk);
// Posts BM_CLICK to the control `id`; the button sends its BN_CLICKED as for a real click.
void ClickButton(HWND bar, int id);

// Windows directory + "\" + name: where a bare profile name lands.
std::string ProfilePath(const char* name = "VORNBAR.INI");
// Deletes the profile file; no error when it is absent.
void RemoveProfile(const char* name = "VORNBAR.INI");
// Replaces the profile file with `content` (written as given: use "\r\n" line ends).
void WriteProfileText(const std::string& content, const char* name = "VORNBAR.INI");
// Whole profile file, or an empty text when absent.
std::string ReadProfileText(const char* name = "VORNBAR.INI");
// Key/value pairs of one section in file order; section names compared without case.
std::vector<std::pair<std::string, std::string>> SectionEntries(const std::string& text,
                                                                const std::string& section);
// Section names in file order.
std::vector<std::string> SectionNames(const std::string& text);

// Kills VORNBAR.exe processes (by full image path) left over by an earlier failed test.
int KillLeftoverBars(const std::string& exePath = BarExePath());
// Start of every test: no leftover bar processes, no profile file.
void CleanStart();

// A sensor agent stand-in on 127.0.0.1 (port chosen by the system), served on its own thread.
class TestResponder {
public:
    enum Mode { kReadings, kSilent, kNoSensors };

    TestResponder();
    ~TestResponder();
    TestResponder(const TestResponder&) = delete;
    TestResponder& operator=(const TestResponder&) = delete;

    // Binds and starts the serving thread; false when the socket cannot be made.
    bool Start();
    // Stops the thread (it notices within one select time-out) and closes the socket.
    void Stop();
    // The bound UDP port, 0 before Start.
    unsigned short Port() const { return port_; }
    // Host text for the program's profile: "127.0.0.1:<port>".
    std::string HostText() const;
    // How it answers from now on.
    void SetMode(Mode mode);
    // The 13 reading texts in record order (CPU ... FAN3) for kReadings replies.
    void SetReadings(const std::array<std::string, 13>& texts);
    // Polls asked so far: well-formed requests (answered or not), but for a version 1 request
    // right after a version 2 one, which is the plug-in's fallback within the same poll.
    int Requests() const { return requests_.load(); }
    // The version 1 fallbacks, counted apart.
    int Fallbacks() const { return fallbacks_.load(); }
    // Leaves poll `n` (counted as Requests counts them) and every later one unanswered until
    // ReleasePolls, or for ten seconds at most. The bar writes its slots only after a poll's
    // answer, one slot at a time: while a poll waits, the slots stay as the previous poll
    // left them, and a test can read them all without meeting a write half done.
    void HoldPollsFrom(int n);
    void ReleasePolls();
    // Datagrams received that were not well-formed requests.
    int Malformed() const { return malformed_.load(); }

private:
    void Serve();

    UINT_PTR socket_;  // a SOCKET; winsock2.h stays out of this header
    unsigned short port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    std::atomic<int> fallbacks_{0};
    std::atomic<int> malformed_{0};
    // Waits while poll `n` is held (or the responder stops).
    void WaitWhileHeld(int n);

    mutable std::mutex mutex_;
    std::condition_variable released_;
    int hold_from_ = 0;  // 0: nothing held
    Mode mode_ = kReadings;
    std::array<std::string, 13> texts_;
};

}  // namespace vorn::e2e
