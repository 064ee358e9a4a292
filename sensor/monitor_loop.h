// The polling cycle of the monitor thread, and how that thread is stopped.
//
// Start. The thread may start before the bar can show anything (its slot controls and tray
// icon are made later, on the user-interface thread); a write before then would be lost. So
// the first poll waits for the initial delay and for the bar's display-ready signal, whichever
// comes last.
//
// Stop protocol. The thread never holds a lock across a call into the bar, and it can be
// stopped at any point without waiting out a pause or a time-out:
//   1. The user-interface thread raises the StopSignal, then the display-ready signal, so
//      that a thread still waiting for the display wakes and ends. Every pause waits on the
//      StopSignal, so a pause ends at once; between steps the cycle checks it and does
//      nothing more.
//   2. It cancels the plug-in, so a Get in flight returns at once.
//   3. It waits for the thread to end while still taking sent messages, because a slot
//      write is a synchronous call into the user-interface thread. The cycle checks the
//      signal before each write, so at most the one write already under way is taken.
// After the wait the thread has returned: none of its code runs any more.
//
// Portable (std::thread primitives), so that the cycle is tested natively under TSan.
#pragma once

#include <condition_variable>
#include <mutex>

#include "tray/tray_slots.h"

// A one-way signal: raised once, seen by every later wait. Thread-safe.
class StopSignal {
public:
    // Raises the signal and wakes every waiter.
    void Raise();
    // True once the signal has been raised.
    bool Raised() const;
    // Waits up to `ms` milliseconds; true when the signal was raised (at once or meanwhile).
    bool WaitFor(unsigned int ms) const;
    // Waits until the signal is raised.
    void Wait() const;

private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    bool m_raised = false;
};

// What one polling cycle does to the bar. Implemented by the bar; called on the monitor
// thread only.
class PollTarget {
public:
    virtual ~PollTarget() = default;
    // Asks the plug-in for fresh readings; non-zero when they arrived.
    virtual int GetReadings() = 0;
    // Shows tray picture `slot` (TRAY_SLOT_IDLE, TRAY_SLOT_OK, TRAY_SLOT_ERROR or
    // TRAY_SLOT_ALARM).
    virtual void ShowPicture(unsigned int slot) = 0;
    // Formats the thirteen value lines, readings or "ERROR", and writes them into their slots.
    virtual void FormatReadings(int valid) = 0;
    // Counts one failed poll.
    virtual void CountFailure() = 0;
    // Rewrites the status slot when it shows the error count.
    virtual void RefreshErrorStatus() = 0;
    // Tells the bar that a poll has ended (posted, never waited for).
    virtual void PostRefresh() = 0;
    // The picture the tray rests on between polls: TRAY_SLOT_ALARM while a reading of the
    // last poll is past one of its limits, else TRAY_SLOT_IDLE.
    virtual unsigned int RestingPicture() { return TRAY_SLOT_IDLE; }
    // The pauses, already converted and clamped.
    virtual unsigned int InitialDelayMs() = 0;
    virtual unsigned int IconPauseMs() = 0;
    virtual unsigned int PollPauseMs() = 0;
};

// One cycle: get, show the outcome, count a failure, keep the picture for the icon pause,
// back to the resting picture (idle, or alarm), refresh the error count, post the refresh. Stops
// early once `stop` is raised.
void PollOnce(PollTarget& target, const StopSignal& stop);

// The thread's whole life: the initial delay, read once, and the wait for `displayReady`,
// then poll and pause until `stop` is raised. The poll pause is read afresh after every
// poll. Whoever raises `stop` raises `displayReady` after it.
void RunMonitor(PollTarget& target, const StopSignal& stop, const StopSignal& displayReady);
