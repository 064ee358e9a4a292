// The polling cycle's view of the bar: what one cycle of the monitor thread
// (sensor/monitor_loop.h) does to the plug-in, the tray picture and the slots of its bar.
// The bar owns one and starts the monitor thread on it; every member runs on that thread.
#pragma once

#include <windows.h>

#include "sensor/monitor_loop.h"

class CBarDlg;

class CBarPoller final : public PollTarget {
public:
    // Polls for `bar`, which outlives the monitor thread.
    explicit CBarPoller(CBarDlg& bar) : m_bar(bar) {}
    CBarPoller(const CBarPoller&) = delete;
    CBarPoller& operator=(const CBarPoller&) = delete;

    // Start routine of the monitor thread; the parameter is the poller. Returns once the
    // bar's stop signal is raised.
    static DWORD WINAPI ThreadProc(LPVOID param);

private:
    int GetReadings() override;
    void ShowPicture(unsigned int slot) override;
    void FormatReadings(int valid) override;
    void CountFailure() override;
    void RefreshErrorStatus() override;
    void PostRefresh() override;
    unsigned int InitialDelayMs() override;
    unsigned int IconPauseMs() override;
    unsigned int PollPauseMs() override;

    CBarDlg& m_bar;  // not owned
};
