// The bar's tray pictures: the slots of CTrayIcon's picture table and the icon each one
// shows. The one definition of both: the monitor thread's cycle (sensor/) names the slots,
// the tray manager shows slot 0 first, and the bar loads the icons in slot order. Portable.
#pragma once

#include "res/resource.h"

enum TraySlot : unsigned int {
    TRAY_SLOT_IDLE = 0,   // between polls
    TRAY_SLOT_OK = 1,     // a moment after a good poll
    TRAY_SLOT_ERROR = 2,  // a moment after a failed poll
    TRAY_SLOTS = 3        // not a slot: how many there are
};

// The icon resource that picture slot `slot` shows; 0 for a number that is no slot.
constexpr unsigned int TraySlotIcon(unsigned int slot) {
    return slot == TRAY_SLOT_IDLE    ? IDI_TRAY_IDLE
           : slot == TRAY_SLOT_OK    ? IDI_TRAY_OK
           : slot == TRAY_SLOT_ERROR ? IDI_TRAY_ERROR
                                     : 0;
}
