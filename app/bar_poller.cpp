#include "app/bar_poller.h"

#include "app/bar_dlg.h"

DWORD WINAPI CBarPoller::ThreadProc(LPVOID param) {
    CBarPoller* poller = static_cast<CBarPoller*>(param);
    RunMonitor(*poller, poller->m_bar.m_stop, poller->m_bar.m_displayReady);
    return 0;
}

int CBarPoller::GetReadings() {
    return m_bar.m_plugin.Get(m_bar.m_data, MillisecondsToPauseMs(m_bar.m_nSocketTimer));
}

void CBarPoller::ShowPicture(unsigned int slot) {
    m_bar.m_tray.Modify(slot);
}

void CBarPoller::FormatReadings(int valid) {
    m_bar.FormatReadings(valid);
}

void CBarPoller::CountFailure() {
    __atomic_add_fetch(&m_bar.m_nErrorCounter, 1, __ATOMIC_ACQ_REL);
}

void CBarPoller::RefreshErrorStatus() {
    if (!m_bar.m_stop.Raised())
        ::SendMessageA(m_bar.m_hWnd, WM_BAR_ERRORS, 0, 0);
}

void CBarPoller::PostRefresh() {
    if (CWnd* main = AfxGetMainWnd())
        main->PostMessage(WM_BAR_REFRESH, 0, 0);
}

unsigned int CBarPoller::RestingPicture() {
    return m_bar.m_nAlarmMask != 0 ? TRAY_SLOT_ALARM : TRAY_SLOT_IDLE;
}

unsigned int CBarPoller::InitialDelayMs() {
    return SecondsToPauseMs(m_bar.m_nDelayTimer);
}

unsigned int CBarPoller::IconPauseMs() {
    return MillisecondsToPauseMs(m_bar.m_nIconTimer);
}

unsigned int CBarPoller::PollPauseMs() {
    return SecondsToPauseMs(m_bar.m_nMonitorTimer);
}
