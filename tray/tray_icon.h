// The notification-area (tray) icon of one window, with a small table of pictures loaded
// from icon resources. Every Shell_NotifyIconA call of the program is made here.
#pragma once

#include <windows.h>

#include <shellapi.h>

#include "tray/tray_slots.h"

// What the owner hands to CTrayIcon::Create. uID 0 asks the manager to make an identifier
// from pszInstance, the name of this instance of the program (the bar's profile section).
struct TRAYICONINFO {
    HINSTANCE hInstance;
    HWND hWnd;
    UINT uID;
    LPCSTR pszInstance;  // null is the empty name
};

// Threads: configuration, Add, Delete and Destroy belong to the owner's (user-interface)
// thread; Modify may come from another thread. Add, Modify, Delete and Restore are
// serialised against each other. Operations on an uninitialised manager do nothing.
class CTrayIcon {
public:
    // Empty and uninitialised; the shell record is all zero.
    CTrayIcon();
    // Runs Destroy.
    ~CTrayIcon();
    CTrayIcon(const CTrayIcon&) = delete;
    CTrayIcon& operator=(const CTrayIcon&) = delete;

    // Allocates a table of `capacity` empty slots and fills the shell record; TRUE once
    // initialised (a second call changes nothing and returns TRUE).
    BOOL Create(const TRAYICONINFO& info, UINT capacity);
    // Stores the message that the window receives for mouse events on the icon.
    void SetCallbackMessage(UINT msg);
    // Stores the tip; text of 64 characters or more is cut to 63, null means no text.
    void SetTip(LPCSTR text);
    // Loads icon `resourceId` into the next free slot; the slot is used even if loading fails.
    void AddIcon(UINT resourceId);
    // Loads icon `id` at 16 x 16 into `slot`.
    void LoadIconAt(UINT id, UINT slot);
    // Loads icon `id` at cx x cy into `slot`; the slot owns the picture until Destroy.
    void LoadIconAt(UINT id, UINT slot, int cx, int cy);
    // Puts the icon into the notification area with the idle picture (slot 0).
    void Add();
    // Puts the icon into the notification area with the picture of `slot`.
    void Add(UINT slot);
    // Shows the picture of `slot`.
    void Modify(UINT slot);
    // Takes the icon out of the notification area.
    void Delete();
    // Re-adds the icon with the picture last shown, after the shell has restarted; does
    // nothing unless the icon was added and not deleted since.
    void Restore();
    // Deletes the icon, releases every picture and the table; back to uninitialised.
    void Destroy();
    // The identifier that an instance of this name asks for first, the same at every start
    // and in every version: Windows keeps the user's choice for the icon (on the taskbar or
    // in the overflow) by program path and identifier. Names differing only in case (as
    // profile sections do) give the same identifier. Never 0.
    static UINT PreferredId(LPCSTR instance);

    // Test seam: replaces the shell call; null restores the real one. Not thread-safe; set
    // it before any manager runs.
    typedef BOOL(WINAPI* ShellNotifyFn)(DWORD message, PNOTIFYICONDATAA data);
    static void SetShellNotifyForTest(ShellNotifyFn fn);

private:
    friend class CTrayIconProbe;  // test seam: tests read the counts and the table

    // Hands the record to the shell with hIcon := picture; the caller holds m_lock.
    void Notify(DWORD message, HICON picture);
    // The first identifier from PreferredId(instance) upward that no other live manager of
    // this program holds, in this process or another; holds it in m_hIdClaim until Destroy.
    UINT ClaimId(LPCSTR instance);

    HINSTANCE m_hInstance;
    HWND m_hNotifyWnd;
    UINT m_uID;
    NOTIFYICONDATAA m_nid;
    HICON* m_phIcons;  // m_nMaxIcons entries, owned; freed by Destroy
    UINT m_nIcons;
    UINT m_nMaxIcons;
    BOOL m_bInitialized;

    UINT m_nShownSlot;  // slot of the latest Add or Modify, for Restore
    BOOL m_bAdded;      // between Add and Delete, for Restore
    HANDLE m_hIdClaim;  // named mutex that reserves a made identifier; closed by Destroy
    CRITICAL_SECTION m_lock;
};
