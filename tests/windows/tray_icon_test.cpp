// CTrayIcon against a recording shell (every call is logged with the record it carried),
// and once against the real shell of Wine. The pictures come from the program's own
// icon resources, linked into this test program.
#include "res/resource.h"
#include "tests/windows/icon_pixels.h"
#include "tray/tray_icon.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Reads the manager's private state (declared a friend by CTrayIcon).
class CTrayIconProbe {
public:
    static UINT Icons(const CTrayIcon& t) { return t.m_nIcons; }
    static UINT Capacity(const CTrayIcon& t) { return t.m_nMaxIcons; }
    static BOOL Initialized(const CTrayIcon& t) { return t.m_bInitialized; }
    static const HICON* Table(const CTrayIcon& t) { return t.m_phIcons; }
};

namespace {

struct ShellCall {
    DWORD message;
    DWORD cbSize;
    HWND hWnd;
    UINT uID;
    UINT uFlags;
    UINT uCallbackMessage;
    HICON hIcon;
    HICON hIconAfterPause;  // hIcon read again after the recorder paused
    std::string tip;
    bool tailClean;  // every byte after the first form's tip still zero
    BOOL result;
};

std::mutex g_logLock;
std::vector<ShellCall> g_log;
bool g_forwardToShell = false;
DWORD g_pauseInShell = 0;  // ms the recorder waits inside each call

BOOL WINAPI RecordShell(DWORD message, PNOTIFYICONDATAA data) {
    ShellCall c;
    c.message = message;
    c.cbSize = data->cbSize;
    c.hWnd = data->hWnd;
    c.uID = data->uID;
    c.uFlags = data->uFlags;
    c.uCallbackMessage = data->uCallbackMessage;
    c.hIcon = data->hIcon;
    if (g_pauseInShell)
        Sleep(g_pauseInShell);
    c.hIconAfterPause = data->hIcon;
    c.tip.assign(data->szTip, strnlen(data->szTip, sizeof data->szTip));
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(data);
    c.tailClean = true;
    for (size_t i = NOTIFYICONDATAA_V1_SIZE; i < sizeof *data; ++i)
        c.tailClean = c.tailClean && bytes[i] == 0;
    c.result = g_forwardToShell ? Shell_NotifyIconA(message, data) : TRUE;
    std::lock_guard<std::mutex> hold(g_logLock);
    g_log.push_back(c);
    return c.result;
}

// A fixed clock for MakeUniqueId, and a pause that records what it was asked for.
decltype(_timeb::time) g_clockSeconds = 0;
unsigned short g_clockMillis = 0;
std::vector<DWORD> g_pauses;
int g_clockReadsAfterPause = 0;
int g_clockReads = 0;

void __cdecl FixedClock(struct _timeb* now) {
    now->time = g_clockSeconds;
    now->millitm = g_clockMillis;
    ++g_clockReads;
    if (!g_pauses.empty())
        ++g_clockReadsAfterPause;
}

void WINAPI RecordPause(DWORD ms) {
    g_pauses.push_back(ms);
}

HWND FakeWindow(UINT_PTR n) {
    return reinterpret_cast<HWND>(n);
}

TRAYICONINFO Info(HWND wnd, UINT id) {
    TRAYICONINFO info;
    info.hInstance = GetModuleHandleA(nullptr);
    info.hWnd = wnd;
    info.uID = id;
    return info;
}

bool IsLiveIcon(HICON icon) {
    ICONINFO ii;
    if (!GetIconInfo(icon, &ii))
        return false;
    if (ii.hbmColor)
        DeleteObject(ii.hbmColor);
    if (ii.hbmMask)
        DeleteObject(ii.hbmMask);
    return true;
}

using vorn::test::PixelsOfColour;

class TrayIconTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_log.clear();
        g_forwardToShell = false;
        g_pauseInShell = 0;
        g_pauses.clear();
        g_clockReads = 0;
        g_clockReadsAfterPause = 0;
        CTrayIcon::SetShellNotifyForTest(RecordShell);
        CTrayIcon::SetClockForTest(FixedClock, RecordPause);
    }
    void TearDown() override {
        CTrayIcon::SetShellNotifyForTest(nullptr);
        CTrayIcon::SetClockForTest(nullptr, nullptr);
    }

    // The bar's own configuration: three pictures, the callback message and a tip.
    static void ConfigureLikeTheBar(CTrayIcon& tray, HWND wnd, UINT id) {
        ASSERT_TRUE(tray.Create(Info(wnd, id), 3));
        tray.SetCallbackMessage(WM_TRAY_NOTIFY);
        tray.SetTip("VORNBAR - host");
        tray.AddIcon(IDI_TRAY_IDLE);
        tray.AddIcon(IDI_TRAY_OK);
        tray.AddIcon(IDI_TRAY_ERROR);
    }

    // The picture that each slot shows, as the shell sees it.
    static std::vector<HICON> ShownPictures(CTrayIcon& tray, UINT slots) {
        std::vector<HICON> pictures;
        for (UINT s = 0; s < slots; ++s) {
            const size_t before = g_log.size();
            tray.Modify(s);
            pictures.push_back(g_log.size() == before + 1 ? g_log.back().hIcon : nullptr);
        }
        return pictures;
    }
};

// --- Configuration and the shell record ---------------------------------------------

TEST_F(TrayIconTest, AddHandsTheShellTheWholeConfigurationWithTheIdlePicture) {
    CTrayIcon tray;
    ConfigureLikeTheBar(tray, FakeWindow(0x1234), 77);
    tray.Add();
    ASSERT_EQ(g_log.size(), 1u);
    const ShellCall& c = g_log[0];
    EXPECT_EQ(c.message, static_cast<DWORD>(NIM_ADD));
    EXPECT_EQ(c.cbSize, static_cast<DWORD>(NOTIFYICONDATAA_V1_SIZE));
    EXPECT_EQ(c.hWnd, FakeWindow(0x1234));
    EXPECT_EQ(c.uID, 77u);
    EXPECT_EQ(c.uFlags, static_cast<UINT>(NIF_ICON | NIF_MESSAGE | NIF_TIP));
    EXPECT_EQ(c.uCallbackMessage, static_cast<UINT>(WM_TRAY_NOTIFY));
    EXPECT_EQ(c.tip, "VORNBAR - host");
    EXPECT_NE(c.hIcon, nullptr);
    EXPECT_TRUE(c.tailClean);
}

TEST_F(TrayIconTest, ModifyShowsTheSlotPictureWithAllThreeFlags) {
    CTrayIcon tray;
    ConfigureLikeTheBar(tray, FakeWindow(0x1234), 77);
    tray.Add();
    tray.Modify(TRAY_SLOT_OK);
    tray.Modify(TRAY_SLOT_ERROR);
    tray.Modify(TRAY_SLOT_IDLE);
    ASSERT_EQ(g_log.size(), 4u);
    for (size_t i = 1; i < 4; ++i) {
        EXPECT_EQ(g_log[i].message, static_cast<DWORD>(NIM_MODIFY));
        EXPECT_EQ(g_log[i].uFlags, 0x7u);
        EXPECT_EQ(g_log[i].tip, "VORNBAR - host");
        EXPECT_EQ(g_log[i].uCallbackMessage, static_cast<UINT>(WM_TRAY_NOTIFY));
    }
    // Three different pictures, and idle again at the end.
    EXPECT_NE(g_log[1].hIcon, g_log[0].hIcon);
    EXPECT_NE(g_log[2].hIcon, g_log[0].hIcon);
    EXPECT_NE(g_log[2].hIcon, g_log[1].hIcon);
    EXPECT_EQ(g_log[3].hIcon, g_log[0].hIcon);
}

TEST_F(TrayIconTest, FlagsGrowFromIconToMessageToTip) {
    CTrayIcon tray;
    ASSERT_TRUE(tray.Create(Info(FakeWindow(1), 5), 1));
    tray.AddIcon(IDI_TRAY_IDLE);
    tray.Modify(0);
    tray.SetCallbackMessage(WM_TRAY_NOTIFY);
    tray.Modify(0);
    tray.SetTip("tip");
    tray.Modify(0);
    tray.SetCallbackMessage(0x1234);  // a later message replaces the number, flags stay
    tray.Modify(0);
    ASSERT_EQ(g_log.size(), 4u);
    EXPECT_EQ(g_log[0].uFlags, static_cast<UINT>(NIF_ICON));
    EXPECT_EQ(g_log[1].uFlags, static_cast<UINT>(NIF_ICON | NIF_MESSAGE));
    EXPECT_EQ(g_log[2].uFlags, static_cast<UINT>(NIF_ICON | NIF_MESSAGE | NIF_TIP));
    EXPECT_EQ(g_log[3].uFlags, static_cast<UINT>(NIF_ICON | NIF_MESSAGE | NIF_TIP));
    EXPECT_EQ(g_log[3].uCallbackMessage, 0x1234u);
}

TEST_F(TrayIconTest, SecondCreateKeepsTheFirstConfiguration) {
    CTrayIcon tray;
    ConfigureLikeTheBar(tray, FakeWindow(0x10), 5);
    const std::vector<HICON> first = ShownPictures(tray, 3);
    g_log.clear();

    EXPECT_TRUE(tray.Create(Info(FakeWindow(0x20), 9), 1));
    EXPECT_EQ(CTrayIconProbe::Capacity(tray), 3u);
    EXPECT_EQ(CTrayIconProbe::Icons(tray), 3u);
    const std::vector<HICON> second = ShownPictures(tray, 3);
    EXPECT_EQ(second, first);
    ASSERT_EQ(g_log.size(), 3u);
    for (const ShellCall& c : g_log) {
        EXPECT_EQ(c.hWnd, FakeWindow(0x10));
        EXPECT_EQ(c.uID, 5u);
        EXPECT_EQ(c.uFlags, 0x7u);
    }
    EXPECT_TRUE(g_pauses.empty()) << "an explicit identifier needs no clock";
}

// --- Identifiers from the clock -------------------------------------------------------

TEST_F(TrayIconTest, IdentifierIsSecondsModuloTwoToSixteenThenMilliseconds) {
    g_clockSeconds = 65536L * 27000 + 12;
    g_clockMillis = 345;
    CTrayIcon tray;
    ASSERT_TRUE(tray.Create(Info(FakeWindow(1), 0), 1));
    tray.Delete();
    ASSERT_EQ(g_log.size(), 1u);
    EXPECT_EQ(g_log[0].uID, 786777u);
    EXPECT_EQ(g_pauses, std::vector<DWORD>{50});
    EXPECT_EQ(g_clockReads, 1);
    EXPECT_EQ(g_clockReadsAfterPause, 1) << "the clock is read after the pause";
}

TEST_F(TrayIconTest, IdentifierKeepsOnlyTheLowSixteenBitsOfTheSeconds) {
    g_clockSeconds = 65536L * 3 + 65535;
    g_clockMillis = 999;
    EXPECT_EQ(CTrayIcon::MakeUniqueId(), 65535u * 65536u + 999u);
    g_clockSeconds = 65536L * 30000;
    g_clockMillis = 0;
    EXPECT_EQ(CTrayIcon::MakeUniqueId(), 0u);
    EXPECT_EQ(g_pauses, (std::vector<DWORD>{50, 50}));
}

TEST_F(TrayIconTest, RealClockGivesTheCurrentSecondsAndMilliseconds) {
    CTrayIcon::SetClockForTest(nullptr, nullptr);
    struct _timeb before;
    _ftime(&before);
    const UINT id = CTrayIcon::MakeUniqueId();
    struct _timeb after;
    _ftime(&after);
    const double lo = static_cast<double>(before.time % 65536) + before.millitm / 1000.0;
    const double hi = static_cast<double>(after.time % 65536) + after.millitm / 1000.0;
    const double got = (id >> 16) + (id & 0xFFFF) / 1000.0;
    ASSERT_LT(id & 0xFFFF, 1000u);
    if (hi >= lo) {  // not across a wrap of the low 16 bits
        EXPECT_GE(got, lo + 0.045) << "read after the 50 ms pause";
        EXPECT_LE(got, hi);
    }
}

// --- The picture table ----------------------------------------------------------------

TEST_F(TrayIconTest, FourthAddIconOnCapacityThreeLoadsNothing) {
    CTrayIcon tray;
    ConfigureLikeTheBar(tray, FakeWindow(1), 5);
    const std::vector<HICON> before = ShownPictures(tray, 3);
    tray.AddIcon(IDR_MAINFRAME);
    EXPECT_EQ(CTrayIconProbe::Icons(tray), 3u);
    EXPECT_EQ(ShownPictures(tray, 3), before);
}

TEST_F(TrayIconTest, AddIconLoadsTheNamedIconsIntoSuccessiveSlots) {
    CTrayIcon tray;
    ConfigureLikeTheBar(tray, FakeWindow(1), 5);
    EXPECT_EQ(CTrayIconProbe::Icons(tray), 3u);
    const std::vector<HICON> shown = ShownPictures(tray, 3);
    const COLORREF bright[] = {RGB(255, 0, 0), RGB(0, 255, 0), RGB(255, 0, 255)};
    for (UINT slot = 0; slot < 3; ++slot)
        for (UINT colour = 0; colour < 3; ++colour) {
            const int n = PixelsOfColour(shown[slot], bright[colour]);
            if (colour == slot)
                EXPECT_GT(n, 20) << "slot " << slot;
            else
                EXPECT_EQ(n, 0) << "slot " << slot << " colour " << colour;
        }
}

TEST_F(TrayIconTest, LoadIconAtTakesTheIdentifierAsSixteenBits) {
    CTrayIcon tray;
    ASSERT_TRUE(tray.Create(Info(FakeWindow(1), 5), 1));
    tray.LoadIconAt(0x10000 + IDI_TRAY_OK, 0);
    const std::vector<HICON> shown = ShownPictures(tray, 1);
    EXPECT_GT(PixelsOfColour(shown[0], RGB(0, 255, 0)), 20);
}

TEST_F(TrayIconTest, AddIconAdvancesEvenWhenThePictureFailsToLoad) {
    CTrayIcon tray;
    ASSERT_TRUE(tray.Create(Info(FakeWindow(1), 5), 2));
    tray.AddIcon(4242);  // no such icon
    tray.AddIcon(IDI_TRAY_OK);
    EXPECT_EQ(CTrayIconProbe::Icons(tray), 2u);
    const std::vector<HICON> shown = ShownPictures(tray, 2);
    EXPECT_EQ(shown[0], nullptr) << "the failed slot hands the shell a null picture";
    EXPECT_NE(shown[1], nullptr);
}

TEST_F(TrayIconTest, LoadIconAtReplacesOneSlotAtTheGivenSize) {
    CTrayIcon tray;
    ASSERT_TRUE(tray.Create(Info(FakeWindow(1), 5), 2));
    tray.LoadIconAt(IDR_MAINFRAME, 1, 32, 32);
    tray.LoadIconAt(IDI_TRAY_ERROR, 0);
    EXPECT_EQ(CTrayIconProbe::Icons(tray), 0u) << "LoadIconAt does not count";
    const std::vector<HICON> shown = ShownPictures(tray, 2);
    ICONINFO ii;
    ASSERT_TRUE(GetIconInfo(shown[1], &ii));
    BITMAP bm;
    ASSERT_TRUE(GetObjectA(ii.hbmMask, sizeof bm, &bm));
    EXPECT_EQ(bm.bmWidth, 32);
    DeleteObject(ii.hbmMask);
    if (ii.hbmColor)
        DeleteObject(ii.hbmColor);
    ASSERT_TRUE(GetIconInfo(shown[0], &ii));
    ASSERT_TRUE(GetObjectA(ii.hbmMask, sizeof bm, &bm));
    EXPECT_EQ(bm.bmWidth, 16);
    DeleteObject(ii.hbmMask);
    if (ii.hbmColor)
        DeleteObject(ii.hbmColor);
}

TEST_F(TrayIconTest, SlotAtOrAboveCapacityIsIgnored) {
    CTrayIcon tray;
    ConfigureLikeTheBar(tray, FakeWindow(1), 5);
    const std::vector<HICON> before = ShownPictures(tray, 3);
    g_log.clear();
    tray.Modify(3);
    tray.Modify(static_cast<UINT>(-1));
    tray.Add(3);
    tray.Add(static_cast<UINT>(-1));
    tray.LoadIconAt(IDR_MAINFRAME, 3);
    tray.LoadIconAt(IDR_MAINFRAME, static_cast<UINT>(-1), 16, 16);
    EXPECT_TRUE(g_log.empty());
    EXPECT_EQ(ShownPictures(tray, 3), before)
        << "the highest slot still works, and no slot changed";
}

TEST_F(TrayIconTest, CapacityZeroIsInitialisedButHoldsNoPicture) {
    CTrayIcon tray;
    EXPECT_TRUE(tray.Create(Info(FakeWindow(1), 5), 0));
    EXPECT_TRUE(CTrayIconProbe::Initialized(tray));
    tray.AddIcon(IDI_TRAY_IDLE);
    tray.LoadIconAt(IDI_TRAY_IDLE, 0);
    tray.Add();
    tray.Modify(0);
    EXPECT_EQ(CTrayIconProbe::Icons(tray), 0u);
    EXPECT_TRUE(g_log.empty());
    tray.Delete();  // not a picture operation: still passed on
    ASSERT_EQ(g_log.size(), 1u);
    EXPECT_EQ(g_log[0].message, static_cast<DWORD>(NIM_DELETE));
}

// --- Teardown ---------------------------------------------------------------------------

TEST_F(TrayIconTest, DeleteThenDestroyRemovesTheIconTwiceAndReleasesEverything) {
    CTrayIcon tray;
    ConfigureLikeTheBar(tray, FakeWindow(0x10), 5);
    tray.Add();
    const std::vector<HICON> pictures = ShownPictures(tray, 3);
    for (HICON p : pictures)
        ASSERT_TRUE(IsLiveIcon(p));
    g_log.clear();

    tray.Delete();
    tray.Destroy();
    ASSERT_EQ(g_log.size(), 2u);
    for (const ShellCall& c : g_log) {
        EXPECT_EQ(c.message, static_cast<DWORD>(NIM_DELETE));
        EXPECT_EQ(c.hIcon, nullptr);
        EXPECT_EQ(c.hWnd, FakeWindow(0x10));
        EXPECT_EQ(c.uID, 5u);
    }
    for (HICON p : pictures)
        EXPECT_FALSE(IsLiveIcon(p)) << "every picture is destroyed";
    EXPECT_FALSE(CTrayIconProbe::Initialized(tray));
    EXPECT_EQ(CTrayIconProbe::Icons(tray), 0u);
    EXPECT_EQ(CTrayIconProbe::Capacity(tray), 0u);
    EXPECT_EQ(CTrayIconProbe::Table(tray), nullptr);

    // Uninitialised again: nothing reaches the shell, not even from the destructor.
    tray.Add();
    tray.Modify(0);
    tray.Delete();
    tray.Restore();
    tray.Destroy();
    EXPECT_EQ(g_log.size(), 2u);
}

TEST_F(TrayIconTest, DestroyOnANeverCreatedManagerThenCreateWorks) {
    CTrayIcon tray;
    tray.Destroy();
    EXPECT_FALSE(CTrayIconProbe::Initialized(tray));
    tray.SetTip("x");
    tray.SetCallbackMessage(1);
    tray.AddIcon(IDI_TRAY_IDLE);
    tray.Add();
    EXPECT_TRUE(g_log.empty());
    EXPECT_EQ(CTrayIconProbe::Icons(tray), 0u);

    ConfigureLikeTheBar(tray, FakeWindow(3), 8);
    tray.Add();
    ASSERT_EQ(g_log.size(), 1u);
    EXPECT_EQ(g_log[0].uFlags, 0x7u);
    EXPECT_NE(g_log[0].hIcon, nullptr);
}

TEST_F(TrayIconTest, CreateAfterDestroyStartsFromAnEmptyTable) {
    CTrayIcon tray;
    ConfigureLikeTheBar(tray, FakeWindow(3), 8);
    tray.Destroy();
    ASSERT_TRUE(tray.Create(Info(FakeWindow(4), 9), 2));
    tray.Modify(0);
    ASSERT_EQ(g_log.size(), 2u);  // the Delete of Destroy, then the Modify
    EXPECT_EQ(g_log[1].hIcon, nullptr) << "no picture survives Destroy";
    EXPECT_EQ(g_log[1].uFlags, static_cast<UINT>(NIF_ICON)) << "nor does the configuration";
    EXPECT_EQ(g_log[1].tip, "");
    EXPECT_EQ(g_log[1].hWnd, FakeWindow(4));
    tray.AddIcon(IDI_TRAY_OK);
    EXPECT_EQ(CTrayIconProbe::Icons(tray), 1u);
}

TEST_F(TrayIconTest, DestructorReleasesThePictures) {
    std::vector<HICON> pictures;
    {
        CTrayIcon tray;
        ConfigureLikeTheBar(tray, FakeWindow(3), 8);
        pictures = ShownPictures(tray, 3);
        g_log.clear();
    }
    ASSERT_EQ(g_log.size(), 1u);
    EXPECT_EQ(g_log[0].message, static_cast<DWORD>(NIM_DELETE));
    for (HICON p : pictures)
        EXPECT_FALSE(IsLiveIcon(p));
}

// --- The tip --------------------------------------------------------------------------

TEST_F(TrayIconTest, LongTipsAreCutToSixtyThreeCharacters) {
    CTrayIcon tray;
    ConfigureLikeTheBar(tray, FakeWindow(1), 5);
    for (size_t len : {64u, 100u, 1000u}) {
        std::string text;
        for (size_t i = 0; i < len; ++i)
            text += static_cast<char>('A' + i % 26);
        tray.SetTip(text.c_str());
        tray.Modify(0);
        ASSERT_FALSE(g_log.empty());
        EXPECT_EQ(g_log.back().tip, text.substr(0, 63)) << len;
        EXPECT_TRUE(g_log.back().tailClean) << "nothing written beyond the first form, " << len;
    }
}

TEST_F(TrayIconTest, TipsUpToSixtyThreeCharactersArriveWhole) {
    CTrayIcon tray;
    ConfigureLikeTheBar(tray, FakeWindow(1), 5);
    const std::string full(63, 'x');
    tray.SetTip(full.c_str());
    tray.Modify(0);
    tray.SetTip("short");
    tray.Modify(0);
    tray.SetTip("");
    tray.Modify(0);
    tray.SetTip(nullptr);
    tray.Modify(0);
    ASSERT_EQ(g_log.size(), 4u);
    EXPECT_EQ(g_log[0].tip, full);
    EXPECT_EQ(g_log[1].tip, "short") << "a shorter tip leaves nothing of the longer one";
    EXPECT_EQ(g_log[2].tip, "");
    EXPECT_EQ(g_log[3].tip, "");
    EXPECT_EQ(g_log[3].uFlags, 0x7u);
}

// --- Shell restarts -----------------------------------------------------------------

TEST_F(TrayIconTest, RestoreReAddsWithThePictureLastShown) {
    CTrayIcon tray;
    ConfigureLikeTheBar(tray, FakeWindow(1), 5);
    const std::vector<HICON> pictures = ShownPictures(tray, 3);
    g_log.clear();

    tray.Restore();  // never added: the shell has nothing to get back
    EXPECT_TRUE(g_log.empty());

    tray.Add();
    tray.Modify(TRAY_SLOT_ERROR);
    tray.Restore();
    tray.Modify(3);  // ignored: the shown picture stays the error one
    tray.Restore();
    tray.Modify(TRAY_SLOT_IDLE);
    tray.Restore();
    const DWORD messages[] = {NIM_ADD, NIM_MODIFY, NIM_ADD, NIM_ADD, NIM_MODIFY, NIM_ADD};
    const UINT slots[] = {TRAY_SLOT_IDLE,  TRAY_SLOT_ERROR, TRAY_SLOT_ERROR,
                          TRAY_SLOT_ERROR, TRAY_SLOT_IDLE,  TRAY_SLOT_IDLE};
    ASSERT_EQ(g_log.size(), 6u);
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(g_log[i].message, messages[i]) << i;
        EXPECT_EQ(g_log[i].hIcon, pictures[slots[i]]) << i;
        EXPECT_EQ(g_log[i].uFlags, 0x7u) << i;
        EXPECT_EQ(g_log[i].tip, "VORNBAR - host") << i;
        EXPECT_EQ(g_log[i].uID, 5u) << i;
    }

    tray.Delete();
    tray.Restore();  // removed on purpose: stays removed
    ASSERT_EQ(g_log.size(), 7u);
    EXPECT_EQ(g_log.back().message, static_cast<DWORD>(NIM_DELETE));

    tray.Add(TRAY_SLOT_OK);  // added again, with another picture
    tray.Restore();
    ASSERT_EQ(g_log.size(), 9u);
    EXPECT_EQ(g_log.back().message, static_cast<DWORD>(NIM_ADD));
    EXPECT_EQ(g_log.back().hIcon, pictures[TRAY_SLOT_OK]);
}

// --- Two threads ----------------------------------------------------------------------

TEST_F(TrayIconTest, ConcurrentAddAndModifyEachHandTheShellTheirOwnPicture) {
    CTrayIcon tray;
    ConfigureLikeTheBar(tray, FakeWindow(1), 5);
    const std::vector<HICON> pictures = ShownPictures(tray, 3);
    g_log.clear();
    g_pauseInShell = 1;  // the other thread gets its chance while the shell reads the record

    const int rounds = 100;
    std::atomic<int> ready(0);
    auto startTogether = [&ready] {
        ++ready;
        while (ready.load() < 2) {
        }
    };
    std::thread ui([&] {
        startTogether();
        for (int i = 0; i < rounds; ++i)
            tray.Add(TRAY_SLOT_IDLE);
    });
    std::thread monitor([&] {
        startTogether();
        for (int i = 0; i < rounds; ++i)
            tray.Modify(i % 2 ? TRAY_SLOT_OK : TRAY_SLOT_ERROR);
    });
    ui.join();
    monitor.join();

    ASSERT_EQ(g_log.size(), 2u * rounds);
    int mixed = 0;
    for (const ShellCall& c : g_log) {
        if (c.hIcon != c.hIconAfterPause)
            ++mixed;
        if (c.message == NIM_ADD)
            EXPECT_EQ(c.hIcon, pictures[TRAY_SLOT_IDLE]);
        else
            EXPECT_TRUE(c.hIcon == pictures[TRAY_SLOT_OK] || c.hIcon == pictures[TRAY_SLOT_ERROR]);
        EXPECT_EQ(c.uFlags, 0x7u);
    }
    EXPECT_EQ(mixed, 0) << "the record changed while the shell was reading it";
}

// --- The real shell -------------------------------------------------------------------

TEST_F(TrayIconTest, RealShellAcceptsAddModifyAndDelete) {
    g_forwardToShell = true;  // record, and pass every call on to Shell_NotifyIconA
    CTrayIcon::SetClockForTest(nullptr, nullptr);
    HWND wnd = CreateWindowExA(0, "STATIC", "vornbar tray test", WS_POPUP, 0, 0, 10, 10, nullptr,
                               nullptr, GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(wnd, nullptr);
    {
        CTrayIcon tray;
        ConfigureLikeTheBar(tray, wnd, 0);
        tray.Add();
        tray.Modify(TRAY_SLOT_OK);
        tray.Modify(TRAY_SLOT_ERROR);
        tray.Modify(TRAY_SLOT_IDLE);
        tray.Delete();
        tray.Destroy();
    }
    DestroyWindow(wnd);
    ASSERT_EQ(g_log.size(), 6u);
    const DWORD expected[] = {NIM_ADD, NIM_MODIFY, NIM_MODIFY, NIM_MODIFY, NIM_DELETE, NIM_DELETE};
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(g_log[i].message, expected[i]) << i;
        EXPECT_EQ(g_log[i].hWnd, wnd);
        EXPECT_NE(g_log[i].uID, 0u) << "an identifier was made";
    }
    for (size_t i = 0; i < 5; ++i)
        EXPECT_TRUE(g_log[i].result) << "the shell accepted call " << i;
    EXPECT_FALSE(g_log[5].result) << "the second removal is refused, harmlessly";
}

}  // namespace
