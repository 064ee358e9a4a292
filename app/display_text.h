// The texts of the bar's display slots: the thirteen value lines and the status text.
// Portable, so that the formats are tested without Windows.
#pragma once

#include "framework/afx_string.h"
#include "plugin_api/vornplug.h"
#include "settings/bar_settings.h"

enum StatusMode {
    STATUS_HOST = 0,     // the host name
    STATUS_SECTION = 1,  // the profile section
    STATUS_MONITOR = 2,  // the pause between polls
    STATUS_SOCKET = 3,   // the plug-in time-out
    STATUS_ERRORS = 4,   // the failed polls
    STATUS_NEXT = 5      // not a mode: advance to the next one
};

// The record field shown by value item `item` (1 to 13); display order differs from
// record order.
int FieldOfItem(int item);

// Value line of `item` (1 to 13) with its label and a reading text. The reading is read
// within its 8 bytes only, whether or not it is terminated there.
CString FormatValueLine(int item, const char* label, const char (&reading)[LMDATA_FIELD_SIZE]);

// The line shown for `item` after a failed poll.
CString FormatErrorLine(const char* label);

// The bar's window title, which the tray icon's tip repeats: "TERVALO - " and the host name,
// or the host name alone when the profile asks for it.
CString FormatWindowTitle(const BarSettings& s);

// The status text of `mode` (0 to 4).
CString FormatStatusText(int mode, const BarSettings& s, int errorCount);

// The mode that advancing from `mode` shows, or -1 when `mode` is not a mode.
int NextStatusMode(int mode);

// The slot that `indicator` names for an item, or -1 when the entry is outside the slot
// table (such an item is not shown).
int SlotOfItem(const int (&indicator)[BAR_ITEMS], int item);
