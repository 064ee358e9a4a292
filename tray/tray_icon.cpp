#include "tray/tray_icon.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <vector>

// The record handed to the shell is the first form of NOTIFYICONDATAA, which ends with a
// 64-byte tip; the shell reads nothing beyond it.
static const DWORD kRecordSize = NOTIFYICONDATAA_V1_SIZE;
static const size_t kTipBytes = 64;
static_assert(offsetof(NOTIFYICONDATAA, szTip) + kTipBytes * sizeof(CHAR) <=
                  sizeof(NOTIFYICONDATAA),
              "the first form fits the record");
#if defined(_WIN32) && !defined(_WIN64)
static_assert(offsetof(NOTIFYICONDATAA, szTip) + kTipBytes == 88,
              "the first form is 88 bytes with 32-bit handles");
#endif

namespace {
const int kTraySize = 16;

// Made identifiers lie in [kIdFloor, kIdFloor + kIdSpan + kIdProbes): never 0, clear of the
// small numbers programs pick by hand, and never wrapping while the next free one is sought.
const UINT kIdFloor = 0x10000;
const UINT kIdSpan = 0x7FFF0000;
// How many identifiers from the preferred one upward a manager tries before it shares.
const UINT kIdProbes = 64;

// Test seam; the real function unless a test replaced it.
CTrayIcon::ShellNotifyFn g_shellNotify = Shell_NotifyIconA;

// FNV-1a over the upper-cased text, both bytes of each UTF-16 unit. Written out here, not
// taken from a library, because its results must never change: users' choices depend on it.
UINT UpperCaseHash(std::vector<wchar_t> text) {
    if (!text.empty())
        CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
    UINT hash = 2166136261u;
    for (wchar_t unit : text) {
        for (int shift = 0; shift < 16; shift += 8) {
            hash ^= (static_cast<UINT>(unit) >> shift) & 0xFFu;
            hash *= 16777619u;
        }
    }
    return hash;
}

// The ANSI text in UTF-16, so that case folds as the profile functions fold section names.
std::vector<wchar_t> Widen(LPCSTR text) {
    if (text == nullptr || text[0] == '\0')
        return {};
    const int units = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (units <= 1)
        return {};
    std::vector<wchar_t> wide(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), units);
    wide.resize(static_cast<size_t>(units - 1));  // without the terminator
    return wide;
}

// The shell keeps its settings per program path, so claims are too: a copy of the program
// elsewhere keeps its own identifiers.
UINT ProgramPathHash() {
    std::vector<wchar_t> path(32768, L'\0');
    const DWORD len = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    path.resize(len < path.size() ? len : path.size());
    return UpperCaseHash(std::move(path));
}

// Holds a critical section for one scope. Critical sections are recursive, and the manager
// relies on it: Destroy holds m_lock while it calls Delete, which takes m_lock again.
class Hold {
public:
    explicit Hold(CRITICAL_SECTION& cs) : m_cs(cs) { EnterCriticalSection(&m_cs); }
    ~Hold() { LeaveCriticalSection(&m_cs); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

private:
    CRITICAL_SECTION& m_cs;
};
}  // namespace

CTrayIcon::CTrayIcon()
    : m_hInstance(nullptr),
      m_hNotifyWnd(nullptr),
      m_uID(0),
      m_nid(),
      m_phIcons(nullptr),
      m_nIcons(0),
      m_nMaxIcons(0),
      m_bInitialized(FALSE),
      m_nShownSlot(TRAY_SLOT_IDLE),
      m_bAdded(FALSE),
      m_hIdClaim(nullptr) {
    std::memset(&m_nid, 0, sizeof m_nid);
    InitializeCriticalSection(&m_lock);
}

CTrayIcon::~CTrayIcon() {
    Destroy();
    DeleteCriticalSection(&m_lock);
}

BOOL CTrayIcon::Create(const TRAYICONINFO& info, UINT capacity) {
    if (m_bInitialized)
        return TRUE;
    // calloc checks the size for overflow; one slot at least so that capacity 0 is not a failure.
    HICON* table = static_cast<HICON*>(std::calloc(capacity ? capacity : 1, sizeof(HICON)));
    if (!table)
        return FALSE;
    m_phIcons = table;
    m_hInstance = info.hInstance;
    m_hNotifyWnd = info.hWnd;
    m_uID = info.uID;
    m_nMaxIcons = capacity;
    if (m_uID == 0)
        m_uID = ClaimId(info.pszInstance);
    std::memset(&m_nid, 0, sizeof m_nid);
    m_nid.cbSize = kRecordSize;
    m_nid.hWnd = m_hNotifyWnd;
    m_nid.uID = m_uID;
    m_nid.uFlags = NIF_ICON;
    m_nShownSlot = TRAY_SLOT_IDLE;
    m_bAdded = FALSE;
    m_bInitialized = TRUE;
    return TRUE;
}

void CTrayIcon::SetCallbackMessage(UINT msg) {
    if (!m_bInitialized)
        return;
    m_nid.uFlags |= NIF_MESSAGE;
    m_nid.uCallbackMessage = msg;
}

void CTrayIcon::SetTip(LPCSTR text) {
    if (!m_bInitialized)
        return;
    m_nid.uFlags |= NIF_TIP;
    size_t len = 0;
    if (text)
        while (len < kTipBytes - 1 && text[len] != '\0')
            ++len;
    if (len)
        std::memcpy(m_nid.szTip, text, len);
    m_nid.szTip[len] = '\0';
}

void CTrayIcon::AddIcon(UINT resourceId) {
    if (m_nIcons >= m_nMaxIcons)
        return;
    LoadIconAt(resourceId, m_nIcons);
    ++m_nIcons;
}

void CTrayIcon::LoadIconAt(UINT id, UINT slot) {
    LoadIconAt(id, slot, kTraySize, kTraySize);
}

void CTrayIcon::LoadIconAt(UINT id, UINT slot, int cx, int cy) {
    if (!m_bInitialized || slot >= m_nMaxIcons)
        return;
    m_phIcons[slot] = static_cast<HICON>(LoadImageA(
        m_hInstance, MAKEINTRESOURCEA(static_cast<WORD>(id)), IMAGE_ICON, cx, cy, LR_DEFAULTCOLOR));
}

void CTrayIcon::Add() {
    Add(TRAY_SLOT_IDLE);
}

void CTrayIcon::Add(UINT slot) {
    Hold hold(m_lock);
    if (!m_bInitialized || slot >= m_nMaxIcons)
        return;
    m_nShownSlot = slot;
    m_bAdded = TRUE;
    Notify(NIM_ADD, m_phIcons[slot]);
}

void CTrayIcon::Modify(UINT slot) {
    Hold hold(m_lock);
    if (!m_bInitialized || slot >= m_nMaxIcons)
        return;
    m_nShownSlot = slot;
    Notify(NIM_MODIFY, m_phIcons[slot]);
}

void CTrayIcon::Delete() {
    Hold hold(m_lock);
    if (!m_bInitialized)
        return;
    m_bAdded = FALSE;
    Notify(NIM_DELETE, nullptr);
}

void CTrayIcon::Restore() {
    Hold hold(m_lock);
    if (!m_bInitialized || !m_bAdded || m_nShownSlot >= m_nMaxIcons)
        return;
    Notify(NIM_ADD, m_phIcons[m_nShownSlot]);
}

void CTrayIcon::Destroy() {
    Hold hold(m_lock);
    if (m_bInitialized) {
        Delete();  // takes m_lock again on this thread (recursive)
        m_hInstance = nullptr;
        m_hNotifyWnd = nullptr;
        m_uID = 0;
        std::memset(&m_nid, 0, sizeof m_nid);
        if (m_phIcons) {
            for (UINT i = 0; i < m_nMaxIcons; ++i)
                if (m_phIcons[i])
                    DestroyIcon(m_phIcons[i]);
            std::free(m_phIcons);
            m_phIcons = nullptr;
            m_nMaxIcons = 0;
            m_nIcons = 0;
        }
        m_nShownSlot = TRAY_SLOT_IDLE;
        // Released only once the icon is gone, so that no other instance shows it meanwhile.
        if (m_hIdClaim) {
            CloseHandle(m_hIdClaim);
            m_hIdClaim = nullptr;
        }
    }
    m_bInitialized = FALSE;
}

UINT CTrayIcon::PreferredId(LPCSTR instance) {
    return kIdFloor + UpperCaseHash(Widen(instance)) % kIdSpan;
}

UINT CTrayIcon::ClaimId(LPCSTR instance) {
    const UINT preferred = PreferredId(instance);
    const UINT program = ProgramPathHash();
    // A named mutex per identifier: the first instance to create it owns the identifier, and
    // the system closes it when that instance ends, however it ends.
    for (UINT probe = 0; probe < kIdProbes; ++probe) {
        const UINT id = preferred + probe;
        char name[64];
        // user32's formatter: the C library's would add its whole printf to the bar.
        wsprintfA(name, "Local\\vornbar-tray-%08X-%08X", program, id);
        SetLastError(ERROR_SUCCESS);
        HANDLE claim = CreateMutexA(nullptr, FALSE, name);
        if (claim && GetLastError() != ERROR_ALREADY_EXISTS) {
            m_hIdClaim = claim;
            return id;
        }
        if (claim)
            CloseHandle(claim);
    }
    // Every candidate is held: share the preferred one; the window still tells the icons apart.
    return preferred;
}

void CTrayIcon::Notify(DWORD message, HICON picture) {
    m_nid.hIcon = picture;
    g_shellNotify(message, &m_nid);  // the shell's answer changes nothing here
}

void CTrayIcon::SetShellNotifyForTest(ShellNotifyFn fn) {
    g_shellNotify = fn ? fn : Shell_NotifyIconA;
}
