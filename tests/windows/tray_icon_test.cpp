// CTrayIcon against a recording shell (every call is logged with the record it carried),
// and once against the real shell of Wine. The pictures come from the program's own
// icon resources, linked into this test program.
#include "res/resource.h"
#include "tests/windows/icon_pixels.h"
#include "tray/tray_icon.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
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

HWND FakeWindow(UINT_PTR n) {
    return reinterpret_cast<HWND>(n);
}

TRAYICONINFO Info(HWND wnd, UINT id, const char* instance = nullptr) {
    TRAYICONINFO info;
    info.hInstance = GetModuleHandleA(nullptr);
    info.hWnd = wnd;
    info.uID = id;
    info.pszInstance = instance;
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
        CTrayIcon::SetShellNotifyForTest(RecordShell);
    }
    void TearDown() override { CTrayIcon::SetShellNotifyForTest(nullptr); }

    // The bar's own configuration: three pictures, the callback message and a tip.
    static void ConfigureLikeTheBar(CTrayIcon& tray, HWND wnd, UINT id,
                                    const char* instance = nullptr) {
        ASSERT_TRUE(tray.Create(Info(wnd, id, instance), 3));
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
}

// --- Identifiers made from the instance's name ------------------------------------------

// Configures `tray` like the bar for `instance`, with an identifier the manager makes, adds
// the icon and returns the identifier the shell was given (0 if no call reached it).
UINT AddedIdentifier(CTrayIcon& tray, HWND wnd, const char* instance) {
    if (!tray.Create(Info(wnd, 0, instance), 3))
        return 0;
    tray.SetCallbackMessage(WM_TRAY_NOTIFY);
    tray.AddIcon(IDI_TRAY_IDLE);
    const size_t before = g_log.size();
    tray.Add();
    return g_log.size() == before + 1 ? g_log.back().uID : 0;
}

TEST_F(TrayIconTest, OneSectionGetsTheSameIdentifierAtEveryStart) {
    UINT starts[3] = {};
    // Each start has another window; the section's name decides, in any case of letters
    // (profile sections ignore case).
    const char* const spellings[3] = {"SERVER2", "SERVER2", "server2"};
    for (UINT i = 0; i < 3; ++i) {
        CTrayIcon tray;
        starts[i] = AddedIdentifier(tray, FakeWindow(0x10 * (i + 1)), spellings[i]);
    }
    EXPECT_NE(starts[0], 0u);
    EXPECT_EQ(starts[1], starts[0]);
    EXPECT_EQ(starts[2], starts[0]);

    // A manager created again after Destroy is a new start of the same instance.
    CTrayIcon tray;
    const UINT first = AddedIdentifier(tray, FakeWindow(0x40), "SERVER2");
    tray.Destroy();
    EXPECT_EQ(AddedIdentifier(tray, FakeWindow(0x50), "SERVER2"), first);
}

TEST_F(TrayIconTest, IdentifiersOfSectionsAreTheSameInEveryVersion) {
    // Windows stores each user's choice for the icon under this number: a change to how it
    // is made hides every user's icon in the overflow once more.
    EXPECT_EQ(CTrayIcon::PreferredId("VORNBAR"), 0x1242FD09u);
    EXPECT_EQ(CTrayIcon::PreferredId("SERVER2"), 0x1CBF0E1Au);
    EXPECT_EQ(CTrayIcon::PreferredId("nas"), 0x095657A9u);
    EXPECT_EQ(CTrayIcon::PreferredId(""), 0x011E9DC5u);
    EXPECT_EQ(CTrayIcon::PreferredId(nullptr), CTrayIcon::PreferredId(""));
}

TEST_F(TrayIconTest, EveryCallOfAnInstanceCarriesItsIdentifier) {
    CTrayIcon tray;
    ConfigureLikeTheBar(tray, FakeWindow(0x10), 0, "VORNBAR");
    tray.Add();
    tray.Modify(TRAY_SLOT_OK);
    tray.Restore();
    tray.Delete();
    tray.Destroy();
    ASSERT_EQ(g_log.size(), 5u);
    for (const ShellCall& c : g_log) {
        EXPECT_EQ(c.uID, CTrayIcon::PreferredId("VORNBAR"));
        EXPECT_EQ(c.cbSize, static_cast<DWORD>(NOTIFYICONDATAA_V1_SIZE)) << "no GUID form";
        EXPECT_TRUE(c.tailClean);
    }
}

TEST_F(TrayIconTest, TwoSectionsSideBySideGetDifferentIdentifiers) {
    CTrayIcon first;
    CTrayIcon second;
    const UINT a = AddedIdentifier(first, FakeWindow(0x10), "VORNBAR");
    const UINT b = AddedIdentifier(second, FakeWindow(0x20), "SERVER2");
    EXPECT_NE(a, b);
    EXPECT_EQ(a, CTrayIcon::PreferredId("VORNBAR")) << "each keeps its own";
    EXPECT_EQ(b, CTrayIcon::PreferredId("SERVER2")) << "each keeps its own";
}

TEST_F(TrayIconTest, SectionsThatDifferInOneCharacterGetDifferentIdentifiers) {
    std::set<UINT> ids;
    std::vector<std::string> names;
    for (int i = 0; i < 500; ++i)
        names.push_back("HOST" + std::to_string(i));
    for (char c = '!'; c <= '~'; ++c)
        if (c < 'a' || c > 'z')  // lower case is the same section as upper case
            names.push_back(std::string("SERVER") + c);
    names.push_back("\x93\x8c\x8b\x9e");  // two Japanese characters in code page 932
    names.push_back("\x93\x8c\x8b\x9f");
    for (const std::string& name : names) {
        const UINT id = CTrayIcon::PreferredId(name.c_str());
        EXPECT_NE(id, 0u) << name;
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), names.size());
}

TEST_F(TrayIconTest, SecondBarOnOneSectionTakesAnotherIdentifierAndTheFirstKeepsItsOwn) {
    const UINT preferred = CTrayIcon::PreferredId("NAS");
    std::unique_ptr<CTrayIcon> first(new CTrayIcon);
    ASSERT_EQ(AddedIdentifier(*first, FakeWindow(0x10), "NAS"), preferred);

    UINT second = 0;
    {
        CTrayIcon tray;
        second = AddedIdentifier(tray, FakeWindow(0x20), "NAS");
        EXPECT_NE(second, 0u);
        EXPECT_NE(second, preferred) << "the second bar took over the first one's icon";
        CTrayIcon third;
        const UINT id = AddedIdentifier(third, FakeWindow(0x30), "NAS");
        EXPECT_NE(id, preferred);
        EXPECT_NE(id, second);
    }
    // While the first runs, a restarted second bar finds the same identifier again.
    {
        CTrayIcon tray;
        EXPECT_EQ(AddedIdentifier(tray, FakeWindow(0x40), "NAS"), second);
    }

    // The first bar's own calls still carry its identifier.
    g_log.clear();
    first->Modify(TRAY_SLOT_OK);
    first->Restore();
    first->Delete();
    ASSERT_EQ(g_log.size(), 3u);
    for (const ShellCall& c : g_log)
        EXPECT_EQ(c.uID, preferred);

    // Once the first has ended, the next bar on the section gets the section's identifier.
    first.reset();
    CTrayIcon next;
    EXPECT_EQ(AddedIdentifier(next, FakeWindow(0x50), "NAS"), preferred);
}

TEST_F(TrayIconTest, AnExplicitIdentifierClaimsNothing) {
    CTrayIcon owner;
    ConfigureLikeTheBar(owner, FakeWindow(0x10), CTrayIcon::PreferredId("NAS"));
    CTrayIcon bar;
    EXPECT_EQ(AddedIdentifier(bar, FakeWindow(0x20), "NAS"), CTrayIcon::PreferredId("NAS"));
}

// The other process of the next test: holds the identifier of a section until it is ended.
// Run only by that test, through its name (GoogleTest skips disabled tests otherwise).
TEST_F(TrayIconTest, DISABLED_HoldTheIdentifierOfASectionInAnotherProcess) {
    const char* pid = std::getenv("VORN_TRAY_TEST_PARENT");
    ASSERT_NE(pid, nullptr);
    CTrayIcon tray;
    ASSERT_NE(AddedIdentifier(tray, FakeWindow(0x10), "OTHER PROCESS"), 0u);
    HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE,
                              (std::string("vornbar-tray-test-ready-") + pid).c_str());
    ASSERT_NE(ready, nullptr);
    SetEvent(ready);
    CloseHandle(ready);
    Sleep(60000);  // ended by the parent well before
}

TEST_F(TrayIconTest, ABarInAnotherProcessKeepsItsIdentifierUntilItsProcessEnds) {
    const std::string pid = std::to_string(GetCurrentProcessId());
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, ("vornbar-tray-test-ready-" + pid).c_str());
    ASSERT_NE(ready, nullptr);
    char self[MAX_PATH] = {};
    ASSERT_GT(GetModuleFileNameA(nullptr, self, MAX_PATH), 0u);
    std::string command =
        std::string("\"") + self +
        "\" --gtest_also_run_disabled_tests "
        "--gtest_filter=TrayIconTest.DISABLED_HoldTheIdentifierOfASectionInAnotherProcess";
    SetEnvironmentVariableA("VORN_TRAY_TEST_PARENT", pid.c_str());
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    const BOOL started = CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                                        nullptr, &si, &pi);
    SetEnvironmentVariableA("VORN_TRAY_TEST_PARENT", nullptr);
    ASSERT_TRUE(started);
    HANDLE waits[2] = {ready, pi.hProcess};
    const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, 60000);
    if (woke != WAIT_OBJECT_0)
        TerminateProcess(pi.hProcess, 1);  // never left behind by a failed test
    ASSERT_EQ(woke, WAIT_OBJECT_0) << "the other process did not claim its identifier";

    const UINT preferred = CTrayIcon::PreferredId("OTHER PROCESS");
    {
        CTrayIcon tray;
        EXPECT_NE(AddedIdentifier(tray, FakeWindow(0x20), "OTHER PROCESS"), preferred);
    }
    // Ended as a crash would end it: the system gives its identifier back.
    TerminateProcess(pi.hProcess, 1);
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 30000), WAIT_OBJECT_0);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    CloseHandle(ready);
    CTrayIcon tray;
    EXPECT_EQ(AddedIdentifier(tray, FakeWindow(0x30), "OTHER PROCESS"), preferred);
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
