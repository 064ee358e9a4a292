#include "settings/bar_settings.h"

#include <climits>
#include <cstring>

const char kDefaultHostName[] = "localhost";

namespace {

// The label keys and their defaults, in display order.
constexpr const char* kLabelKeys[BAR_LABELS] = {
    "StringTCPU", "StringTPWR", "StringTSYS", "StringFAN1", "StringFAN2",
    "StringFAN3", "StringVVID", "StringVVTT", "StringV33V", "StringVP05",
    "StringVM05", "StringVP12", "StringVM12"};
constexpr const char* kLabelDefaults[BAR_LABELS] = {
    "CPU :", "PWR :", "SYS :", "FAN1:", "FAN2:", "FAN3:", "VID :",
    "VTT :", "3.3V:", "+5V :", "-5V :", "+12V:", "-12V:"};

// Visits every key of the profile in the given order. `loading` picks the load order,
// otherwise the save order; `f(name, int*, CString*, default int, default text, always)`.
template <typename F>
void ForEachKey(BarSettings& s, const BarRect& window, bool loading, F&& f) {
    f("HostName", nullptr, &s.m_strHostName, 0, kDefaultHostName, false);
    f("SocketTimer", &s.m_nSocketTimer, nullptr, 2000, nullptr, false);
    f("MonitorTimer", &s.m_nMonitorTimer, nullptr, 60, nullptr, false);
    f("IconTimer", &s.m_nIconTimer, nullptr, 300, nullptr, false);
    if (loading)
        f("DelayTimer", &s.m_nDelayTimer, nullptr, 3, nullptr, false);
    char names[BAR_ITEMS][16];
    for (int k = 0; k < BAR_ITEMS; ++k) {
        // "Indicator%02d" by hand: a printf here would pull mingw-w64's formatter in.
        std::memcpy(names[k], "Indicator", 9);
        names[k][9] = static_cast<char>('0' + k / 10 % 10);
        names[k][10] = static_cast<char>('0' + k % 10);
        names[k][11] = '\0';
        f(names[k], &s.m_nIndicator[k], nullptr, k, nullptr, false);
    }
    for (int k = 0; k < BAR_LABELS; ++k) {
        f(kLabelKeys[k], nullptr, &s.m_strLabel[k], 0, kLabelDefaults[k], false);
    }
    f("Top", &s.m_rcWindow.top, nullptr, window.top, nullptr, false);
    f("Left", &s.m_rcWindow.left, nullptr, window.left, nullptr, false);
    f("Right", &s.m_rcWindow.right, nullptr, window.right, nullptr, false);
    f("Bottom", &s.m_rcWindow.bottom, nullptr, window.bottom, nullptr, false);
    f("Stick", &s.m_bStick, nullptr, 0, nullptr, false);
    f("TopMost", &s.m_bTopMost, nullptr, 0, nullptr, false);
    if (loading) {
        f("TitleHostOnly", &s.m_bTitleHostOnly, nullptr, 0, nullptr, false);
        f("SaveIni", &s.m_bSaveIni, nullptr, 1, nullptr, false);
        f("DefaultIndicator", &s.m_nStatusMode, nullptr, 0, nullptr, false);
    } else {
        f("DefaultIndicator", &s.m_nStatusMode, nullptr, 0, nullptr, false);
        f("SaveIni", &s.m_bSaveIni, nullptr, 1, nullptr, true);
        f("ErrorCounter", &s.m_nErrorCounter, nullptr, 0, nullptr, true);
    }
    // The history window's keys come after the forty that older versions wrote, in the same
    // order for loading and saving.
    f("HistoryLeft", &s.m_rcHistory.left, nullptr, 0, nullptr, false);
    f("HistoryTop", &s.m_rcHistory.top, nullptr, 0, nullptr, false);
    f("HistoryRight", &s.m_rcHistory.right, nullptr, 0, nullptr, false);
    f("HistoryBottom", &s.m_rcHistory.bottom, nullptr, 0, nullptr, false);
    f("HistorySpan", &s.m_nHistorySpan, nullptr, 1, nullptr, false);
}

}  // namespace

void LoadBarSettings(BarSettings& s, CProfileServices& profile, const BarRect& window) {
    const char* section = s.m_strSection;
    ForEachKey(
        s, window, true,
        [&](const char* key, int* number, CString* text, int defNumber, const char* defText, bool) {
            if (number == &s.m_nHistorySpan) {
                *number = ClampHistorySpan(
                    static_cast<int>(profile.GetProfileInt(section, key, defNumber)));
            } else if (number != nullptr) {
                *number = static_cast<int>(profile.GetProfileInt(section, key, defNumber));
            } else {
                *text = profile.GetProfileString(section, key, defText);
            }
        });
}

void SaveBarSettings(BarSettings& s, CProfileServices& profile, const BarRect* placement) {
    const char* section = s.m_strSection;
    const bool saving = s.m_bSaveIni != 0;
    if (saving && placement != nullptr)
        s.m_rcWindow = *placement;
    const int errors = __atomic_load_n(&s.m_nErrorCounter, __ATOMIC_ACQUIRE);
    ForEachKey(s, BarRect{}, false,
               [&](const char* key, int* number, CString* text, int, const char*, bool always) {
                   if (!saving && !always)
                       return;
                   if (number == &s.m_nErrorCounter) {
                       profile.WriteProfileInt(section, key, errors);
                   } else if (number == &s.m_nHistorySpan) {
                       profile.WriteProfileInt(section, key, ClampHistorySpan(*number));
                   } else if (number != nullptr) {
                       profile.WriteProfileInt(section, key, *number);
                   } else {
                       profile.WriteProfileString(section, key, *text);
                   }
               });
}

int ClampHistorySpan(int span) {
    return span < 0 || span > 3 ? 1 : span;
}

unsigned int SecondsToPauseMs(int seconds) {
    if (seconds <= 0)
        return 0;
    constexpr int kMaxSeconds = INT_MAX / 1000;
    return static_cast<unsigned int>(seconds > kMaxSeconds ? kMaxSeconds : seconds) * 1000u;
}

unsigned int MillisecondsToPauseMs(int milliseconds) {
    return milliseconds <= 0 ? 0u : static_cast<unsigned int>(milliseconds);
}
