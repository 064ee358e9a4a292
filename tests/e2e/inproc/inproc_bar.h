// Runs the real bar dialog inside a test program, so that a test can see what no other process
// can: the pop-up menu's items, the live menu handles, and every call the bar makes to the shell.
// The bar runs on a thread of its own (its user-interface thread); the test drives it from its
// own thread with messages. The test program must be stamped with its checksum, like the bar.
#pragma once

#include <windows.h>

#include <chrono>
#include <string>
#include <vector>

namespace vorn::e2e::inproc {

// Profile file of the bar in the test program: the same name as the real program's.
constexpr const char kProfileName[] = "VORNBAR.INI";

// One call of the bar to the shell, as the recording seam saw it.
struct ShellCall {
    DWORD message = 0;  // NIM_ADD, NIM_MODIFY or NIM_DELETE
    DWORD cbSize = 0;
    HWND hWnd = nullptr;
    UINT uID = 0;
    UINT uFlags = 0;
    UINT uCallbackMessage = 0;
    HICON hIcon = nullptr;
    std::string tip;
    DWORD threadId = 0;
    std::chrono::steady_clock::time_point at;
};

// Replaces the tray manager's shell call with a recorder for the life of the object.
class ShellRecorder {
public:
    ShellRecorder();
    ~ShellRecorder();
    ShellRecorder(const ShellRecorder&) = delete;
    ShellRecorder& operator=(const ShellRecorder&) = delete;

    // Every call so far, in order.
    std::vector<ShellCall> Calls() const;
    // Polls until at least `count` calls have been made; false on time-out.
    bool WaitForCalls(size_t count, DWORD timeoutMs) const;
};

// The bar dialog on a thread of this process.
class InProcBar {
public:
    InProcBar() = default;
    // Ends a bar still running (WM_CLOSE, bounded wait).
    ~InProcBar();
    InProcBar(const InProcBar&) = delete;
    InProcBar& operator=(const InProcBar&) = delete;

    // Starts the user-interface thread, which runs the bar modally with `commandTail` as the
    // command line after the program's name.
    bool Start(const std::string& commandTail = "");
    // The bar window once it is visible and its initialisation has ended; null on time-out.
    HWND WaitForBar(DWORD timeoutMs);
    // True once the modal run has returned and the dialog object is gone.
    bool WaitForExit(DWORD timeoutMs);
    // The result of the modal run (valid after WaitForExit).
    INT_PTR Result() const { return result_; }
    // The bar's user-interface thread.
    DWORD ThreadId() const { return threadId_; }
    HWND Hwnd() const { return hwnd_; }

private:
    static DWORD WINAPI ThreadProc(LPVOID self);

    std::string commandTail_;
    HANDLE thread_ = nullptr;
    DWORD threadId_ = 0;
    HWND hwnd_ = nullptr;
    INT_PTR result_ = 0;
};

// One item of a menu as read in this process.
struct MenuItem {
    UINT id = 0;
    UINT type = 0;   // MFT_ flags
    UINT state = 0;  // MFS_ flags
    std::wstring text;
};

// A visible pop-up menu window ("#32768") of the thread; null when none is open.
HWND OpenPopupMenu(DWORD threadId);
// Polls for OpenPopupMenu; null on time-out.
HWND WaitForPopupMenu(DWORD threadId, DWORD timeoutMs);
// Polls until no pop-up menu of the thread is open.
bool WaitForNoPopupMenu(DWORD threadId, DWORD timeoutMs);
// The menu that a pop-up menu window shows (MN_GETHMENU).
HMENU MenuOfPopup(HWND popup);
// Items of a menu, top to bottom.
std::vector<MenuItem> ReadMenu(HMENU menu);
// Presses a key in an open pop-up menu.
void PressMenuKey(HWND popup, UINT vk);
// Live menu handles of this process (every menu, however made).
int LiveMenus();

// Top-level visible windows of the thread with the given class.
std::vector<HWND> ThreadWindows(DWORD threadId, const char* className);

}  // namespace vorn::e2e::inproc
