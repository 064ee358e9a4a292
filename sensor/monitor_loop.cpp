#include "sensor/monitor_loop.h"

#include <chrono>

void StopSignal::Raise() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_raised = true;
    }
    m_changed.notify_all();
}

bool StopSignal::Raised() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_raised;
}

bool StopSignal::WaitFor(unsigned int ms) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_raised; });
}

void StopSignal::Wait() const {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_raised; });
}

void PollOnce(PollTarget& target, const StopSignal& stop) {
    const int valid = target.GetReadings();
    if (stop.Raised())
        return;
    target.ShowPicture(valid ? TRAY_SLOT_OK : TRAY_SLOT_ERROR);
    target.FormatReadings(valid);
    if (!valid)
        target.CountFailure();
    if (stop.WaitFor(target.IconPauseMs()))
        return;
    target.ShowPicture(target.RestingPicture());
    if (stop.Raised())
        return;
    target.RefreshErrorStatus();
    target.PostRefresh();
}

void RunMonitor(PollTarget& target, const StopSignal& stop, const StopSignal& displayReady) {
    if (stop.WaitFor(target.InitialDelayMs()))
        return;
    displayReady.Wait();
    while (!stop.Raised()) {
        PollOnce(target, stop);
        if (stop.WaitFor(target.PollPauseMs()))
            return;
    }
}
