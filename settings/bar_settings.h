// The bar's settings: the group of members that is loaded from the profile when the bar's
// window is created and written back when it is destroyed. Portable.
#pragma once

#include "framework/afx_profile.h"
#include "framework/afx_string.h"

enum { BAR_ITEMS = 14, BAR_LABELS = 13, BAR_SLOTS = 14 };

// A rectangle in screen pixels, edges in the order left, top, right, bottom.
struct BarRect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
};

struct BarSettings {
    int m_nIndicator[BAR_ITEMS] = {};  // slot of each display item; item 0 is the status
    CString m_strSection = "VORNBAR";  // profile section of this instance
    CString m_strLabel[BAR_LABELS];    // labels of the value lines, in display order
    CString m_strHostName;
    int m_nSocketTimer = 0;   // plug-in time-out, milliseconds
    int m_nMonitorTimer = 0;  // pause between polls, seconds
    int m_nIconTimer = 0;     // how long the ok or error tray picture stays, milliseconds
    int m_nDelayTimer = 0;    // pause before the first poll, seconds
    int m_nErrorCounter = 0;  // failed polls of this run; written by the monitor thread
    int m_nStatusMode = 0;    // what the status slot shows
    BarRect m_rcWindow;
    int m_bStick = 0;
    int m_bTopMost = 0;
    int m_bTitleHostOnly = 0;
    int m_bSaveIni = 0;
    // The history window: its restored rectangle (all 0 until it was first placed) and the
    // span it shows (0 to 3: 10 minutes, 1 hour, 24 hours, 30 days).
    BarRect m_rcHistory;
    int m_nHistorySpan = 1;
};

// The host name used when the profile names none.
extern const char kDefaultHostName[];

// Reads every key of the section in load order. `window` is the bar window's current
// rectangle, which supplies the defaults of the four edges.
void LoadBarSettings(BarSettings& s, CProfileServices& profile, const BarRect& window);

// Writes the keys in save order: everything when saving is on, then always SaveIni and
// ErrorCounter, then (when saving is on) the history window's keys, after the forty of old.
// `placement`, when given, replaces the stored rectangle first (the bar's restored position at
// exit); without it the loaded edges are written back unchanged.
void SaveBarSettings(BarSettings& s, CProfileServices& profile, const BarRect* placement);

// A history span as the profile may hold it: 0 to 3, anything else the default 1 (an hour).
int ClampHistorySpan(int span);

// Pauses and time-outs as the program uses them: a negative value counts as 0, and a
// second count is capped so that its milliseconds fit a signed 32-bit integer.
unsigned int SecondsToPauseMs(int seconds);
unsigned int MillisecondsToPauseMs(int milliseconds);
