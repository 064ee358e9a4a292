// The driver's own tests: process control and window reading against a stand-in dialog of the
// same kind as the bar, profile parsing, and the responder against the wire protocol.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cwchar>
#include <string>
#include <thread>

#include "protocol/sensor_protocol.h"
#include "tests/e2e/bar_driver.h"

namespace vorn::e2e {
namespace {

std::string FakeBarPath() {
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    return DirectoryOf(self) + "\\vorn_e2e_fake_bar.exe";
}

constexpr DWORD kStartMs = 20000;
constexpr DWORD kEndMs = 10000;

// ---- Process control and reading windows ------------------------------------------------------

class FakeBarTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(FileExists(FakeBarPath())) << FakeBarPath();
        KillLeftoverBars(FakeBarPath());
    }
};

TEST_F(FakeBarTest, WaitForBarFindsTheDialogWithChildrenInCreationOrder) {
    BarProcess p(FakeBarPath());
    ASSERT_TRUE(p.Start("hello there"));
    EXPECT_NE(p.Pid(), 0u);
    HWND bar = p.WaitForBar(kStartMs);
    ASSERT_NE(bar, nullptr);
    EXPECT_TRUE(p.Running());
    EXPECT_TRUE(IsVisible(bar));
    EXPECT_TRUE(p.EverShowedWindow());
    EXPECT_EQ(WindowTitle(bar), "FAKE - hello there");
    EXPECT_EQ(ControlText(bar, 1005), "hello there");
    EXPECT_EQ(ControlText(bar, 4242), "");
    EXPECT_EQ(ExStyle(bar) & WS_EX_TOOLWINDOW, WS_EX_TOOLWINDOW);
    EXPECT_EQ(Style(bar) & WS_POPUP, static_cast<LONG>(WS_POPUP));

    const auto kids = Children(bar);
    const int wantIds[] = {1004, 1001, 1002, 1003, 1005, 1006, 1007, 1008};
    ASSERT_EQ(kids.size(), std::size(wantIds));
    for (std::size_t i = 0; i < kids.size(); ++i) {
        EXPECT_EQ(kids[i].id, wantIds[i]) << "child " << i;
        EXPECT_EQ(kids[i].className, i < 4 ? "Button" : "Static") << "child " << i;
    }
    EXPECT_EQ(kids[0].exStyle & WS_EX_STATICEDGE, WS_EX_STATICEDGE);
    EXPECT_EQ(kids[4].style & SS_SUNKEN, SS_SUNKEN);
    EXPECT_EQ(kids[4].text, "hello there");
    // Child rectangles are in screen pixels, inside the dialog.
    const RECT outer = WindowRect(bar);
    EXPECT_GE(kids[4].rect.left, outer.left);
    EXPECT_LE(kids[4].rect.right, outer.right);
    EXPECT_GT(kids[4].rect.left, kids[1].rect.left);
}

TEST_F(FakeBarTest, WaitForControlTextSeesLaterWrites) {
    BarProcess p(FakeBarPath());
    ASSERT_TRUE(p.Start());
    HWND bar = p.WaitForBar(kStartMs);
    ASSERT_NE(bar, nullptr);
    std::string last;
    EXPECT_TRUE(WaitForControlText(
        bar, 1006, [](const std::string& t) { return t == "tick 3"; }, 10000, &last))
        << last;
    EXPECT_FALSE(WaitForControlText(
        bar, 1006, [](const std::string& t) { return t == "never"; }, 300, &last));
    EXPECT_EQ(last.rfind("tick ", 0), 0u) << last;
}

TEST_F(FakeBarTest, CheckStateReadsAndClickToggles) {
    BarProcess p(FakeBarPath());
    ASSERT_TRUE(p.Start());
    HWND bar = p.WaitForBar(kStartMs);
    ASSERT_NE(bar, nullptr);
    // The stand-in sets the focus last in its initialisation, as the bar does.
    EXPECT_TRUE(WaitForFocus(bar, 1001, 5000)) << FocusedId(bar);
    EXPECT_FALSE(WaitForFocus(bar, 1005, 200));
    EXPECT_EQ(CheckState(bar, 1002), BST_CHECKED);
    EXPECT_EQ(CheckState(bar, 1001), BST_UNCHECKED);
    EXPECT_EQ(CheckState(bar, 4242), -1);
    ClickButton(bar, 1001);
    const auto start = std::chrono::steady_clock::now();
    while (CheckState(bar, 1001) != BST_CHECKED &&
           std::chrono::steady_clock::now() - start < std::chrono::seconds(5)) {
        Sleep(10);
    }
    EXPECT_EQ(CheckState(bar, 1001), BST_CHECKED);
    EXPECT_TRUE(p.Running());
}

TEST_F(FakeBarTest, EscapeReachesTheDialogManagerAsCancel) {
    BarProcess p(FakeBarPath());
    ASSERT_TRUE(p.Start());
    HWND bar = p.WaitForBar(kStartMs);
    ASSERT_NE(bar, nullptr);
    PressKey(bar, VK_ESCAPE);
    ASSERT_TRUE(p.WaitForExit(kEndMs));
    EXPECT_EQ(p.ExitCode(), 12u);
}

TEST_F(FakeBarTest, EnterReachesTheDialogManagerAsOk) {
    BarProcess p(FakeBarPath());
    ASSERT_TRUE(p.Start());
    HWND bar = p.WaitForBar(kStartMs);
    ASSERT_NE(bar, nullptr);
    PressKey(bar, VK_RETURN);
    ASSERT_TRUE(p.WaitForExit(kEndMs));
    EXPECT_EQ(p.ExitCode(), 11u);
}

TEST_F(FakeBarTest, ClickButtonSendsItsClick) {
    BarProcess p(FakeBarPath());
    ASSERT_TRUE(p.Start());
    HWND bar = p.WaitForBar(kStartMs);
    ASSERT_NE(bar, nullptr);
    ClickButton(bar, 1004);
    ASSERT_TRUE(p.WaitForExit(kEndMs));
    EXPECT_EQ(p.ExitCode(), 13u);
}

TEST_F(FakeBarTest, ProcessEndingUnseenIsReportedAsNeverShowingAWindow) {
    BarProcess p(FakeBarPath());
    ASSERT_TRUE(p.Start("--hidden-exit"));
    ASSERT_TRUE(p.WaitForExitWatchingWindows(kStartMs));
    EXPECT_FALSE(p.EverShowedWindow());
    EXPECT_EQ(p.ExitCode(), 7u);
    EXPECT_FALSE(p.Running());
}

TEST_F(FakeBarTest, BrieflyShownWindowIsNoticed) {
    BarProcess p(FakeBarPath());
    ASSERT_TRUE(p.Start("--flash"));
    ASSERT_TRUE(p.WaitForExitWatchingWindows(kStartMs));
    EXPECT_TRUE(p.EverShowedWindow());
    EXPECT_EQ(p.ExitCode(), 8u);
}

TEST_F(FakeBarTest, WaitForBarGivesNullWhenTheProcessEnds) {
    BarProcess p(FakeBarPath());
    ASSERT_TRUE(p.Start("--hidden-exit"));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(p.WaitForBar(kStartMs), nullptr);
    // It gave up because the process ended, not because the time ran out.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kStartMs));
    EXPECT_FALSE(p.Running());
}

TEST_F(FakeBarTest, KillAndLeftoverSweepEndRunningProcesses) {
    BarProcess p(FakeBarPath());
    ASSERT_TRUE(p.Start());
    ASSERT_NE(p.WaitForBar(kStartMs), nullptr);
    p.Kill();
    EXPECT_FALSE(p.Running());

    DWORD pid = 0;
    {
        BarProcess orphan(FakeBarPath());
        ASSERT_TRUE(orphan.Start());
        ASSERT_NE(orphan.WaitForBar(kStartMs), nullptr);
        pid = orphan.Pid();
        EXPECT_EQ(KillLeftoverBars(FakeBarPath()), 1);
        EXPECT_TRUE(orphan.WaitForExit(kEndMs));
    }
    HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (h != nullptr) {
        EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
        CloseHandle(h);
    }
}

TEST_F(FakeBarTest, DestructorEndsAStillRunningProcess) {
    DWORD pid = 0;
    HANDLE watch = nullptr;
    {
        BarProcess p(FakeBarPath());
        ASSERT_TRUE(p.Start());
        ASSERT_NE(p.WaitForBar(kStartMs), nullptr);
        pid = p.Pid();
        watch = OpenProcess(SYNCHRONIZE, FALSE, pid);
        ASSERT_NE(watch, nullptr);
    }
    EXPECT_EQ(WaitForSingleObject(watch, 0), WAIT_OBJECT_0);
    CloseHandle(watch);
}

TEST(BarExePathTest, NamesTheProgramNextToTheTestUnlessOverridden) {
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    SetEnvironmentVariableA("VORN_BAR_EXE", nullptr);
    _putenv("VORN_BAR_EXE=");
    EXPECT_EQ(BarExePath(), DirectoryOf(self) + "\\VORNBAR.exe");
    _putenv("VORN_BAR_EXE=C:\\elsewhere\\VORNBAR.exe");
    EXPECT_EQ(BarExePath(), "C:\\elsewhere\\VORNBAR.exe");
    _putenv("VORN_BAR_EXE=");
}

// ---- The profile ------------------------------------------------------------------------------

TEST(SectionEntriesTest, KeepsFileOrderDuplicatesAndSkipsBlankLines) {
    const std::string text =
        "[VORNBAR]\r\nHostName=alpha\r\n\r\nSocketTimer = 2000 \r\nHostName=beta\r\n"
        "; a comment\r\n[Other]\r\nHostName=gamma\r\n";
    const auto e = SectionEntries(text, "VORNBAR");
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(e[0], (std::pair<std::string, std::string>{"HostName", "alpha"}));
    EXPECT_EQ(e[1], (std::pair<std::string, std::string>{"SocketTimer", "2000"}));
    EXPECT_EQ(e[2], (std::pair<std::string, std::string>{"HostName", "beta"}));
}

TEST(SectionEntriesTest, ComparesSectionNamesWithoutCase) {
    const std::string text = "[server2]\nA=1\n[Server3]\nA=3\n[SERVER2]\nB=2\n";
    const auto e = SectionEntries(text, "SERVER2");
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0].first, "A");
    EXPECT_EQ(e[0].second, "1");
    EXPECT_EQ(e[1].first, "B");
    EXPECT_EQ(SectionEntries(text, "Server3").size(), 1u);
}

TEST(SectionEntriesTest, MissingSectionOrEmptyTextGivesNothing) {
    EXPECT_TRUE(SectionEntries("[A]\nx=1\n", "B").empty());
    EXPECT_TRUE(SectionEntries("", "A").empty());
    EXPECT_TRUE(SectionEntries("x=1\ny=2\n", "A").empty());
}

TEST(SectionEntriesTest, KeepsEqualsSignsInsideValuesAndLinesWithoutOne) {
    const auto e = SectionEntries("[A]\nx=a=b\nlonely\nempty=\n", "A");
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(e[0].second, "a=b");
    EXPECT_EQ(e[1].first, "lonely");
    EXPECT_EQ(e[1].second, "");
    EXPECT_EQ(e[2].first, "empty");
    EXPECT_EQ(e[2].second, "");
}

TEST(SectionNamesTest, ListsSectionsInFileOrder) {
    const auto n = SectionNames("[VORNBAR]\nA=1\n\n [SERVER2] \nB=2\n[x]\n");
    ASSERT_EQ(n.size(), 3u);
    EXPECT_EQ(n[0], "VORNBAR");
    EXPECT_EQ(n[1], "SERVER2");
    EXPECT_EQ(n[2], "x");
    EXPECT_TRUE(SectionNames("A=1\n").empty());
}

// A profile name of our own, so that this never touches the bar's file.
constexpr const char* kScratch = "VORNE2ET.INI";

TEST(ProfileFileTest, WrittenTextIsWhatTheProfileApiReadsByBareName) {
    WriteProfileText("[S]\r\nKey=from file\r\nNum=-42\r\n", kScratch);
    char buf[64] = {};
    GetPrivateProfileStringA("S", "Key", "", buf, sizeof buf, kScratch);
    EXPECT_STREQ(buf, "from file");
    EXPECT_EQ(static_cast<int>(GetPrivateProfileIntA("S", "Num", 0, kScratch)), -42);
    RemoveProfile(kScratch);
    EXPECT_FALSE(FileExists(ProfilePath(kScratch)));
    EXPECT_EQ(ReadProfileText(kScratch), "");
}

TEST(ProfileFileTest, WhatTheProfileApiWritesIsReadBackInOrder) {
    RemoveProfile(kScratch);
    WritePrivateProfileStringA("First", "One", "1", kScratch);
    WritePrivateProfileStringA("First", "Two", "two words", kScratch);
    WritePrivateProfileStringA("Second", "Three", "-3", kScratch);
    WritePrivateProfileStringA(nullptr, nullptr, nullptr, kScratch);  // flush the cache
    const std::string text = ReadProfileText(kScratch);
    ASSERT_TRUE(FileExists(ProfilePath(kScratch)));
    const auto names = SectionNames(text);
    ASSERT_EQ(names.size(), 2u) << text;
    EXPECT_EQ(names[0], "First");
    const auto e = SectionEntries(text, "first");
    ASSERT_EQ(e.size(), 2u) << text;
    EXPECT_EQ(e[0], (std::pair<std::string, std::string>{"One", "1"}));
    EXPECT_EQ(e[1], (std::pair<std::string, std::string>{"Two", "two words"}));
    EXPECT_EQ(SectionEntries(text, "Second").at(0).second, "-3");
    RemoveProfile(kScratch);
}

// ---- The prefix's fonts -----------------------------------------------------------------------

// Pixels of a text drawn in one font, for comparing two fonts by what they draw.
std::vector<std::uint32_t> Render(const wchar_t* face, const wchar_t* text, std::wstring* used) {
    constexpr int kW = 400;
    constexpr int kH = 32;
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = kW;
    bi.bmiHeader.biHeight = -kH;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP bmp = CreateDIBSection(dc, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ oldBmp = SelectObject(dc, bmp);
    HFONT font = CreateFontW(-12, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                             OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, NONANTIALIASED_QUALITY,
                             DEFAULT_PITCH, face);
    HGDIOBJ oldFont = SelectObject(dc, font);
    wchar_t name[LF_FACESIZE] = {};
    GetTextFaceW(dc, LF_FACESIZE, name);
    *used = name;
    RECT rc{0, 0, kW, kH};
    FillRect(dc, &rc, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    TextOutW(dc, 2, 2, text, static_cast<int>(wcslen(text)));
    GdiFlush();
    const auto* px = static_cast<const std::uint32_t*>(bits);
    std::vector<std::uint32_t> out(px, px + kW * kH);
    SelectObject(dc, oldFont);
    SelectObject(dc, oldBmp);
    DeleteObject(font);
    DeleteObject(bmp);
    DeleteDC(dc);
    ReleaseDC(nullptr, screen);
    return out;
}

TEST(PrefixFontTest, BarFontIsDrawnWithIpaGothic) {
    // The bar's template names "ＭＳ ゴシック"; the prefix replaces it with IPA Gothic.
    const wchar_t* kBarFace = L"\xFF2D\xFF33 \x30B4\x30B7\x30C3\x30AF";
    const wchar_t* kText = L"\x30B4\x30B7\x30C3\x30AF\x4F53 CPU :   45.0 Wil";
    std::wstring barUsed;
    std::wstring ipaUsed;
    std::wstring otherUsed;
    const auto bar = Render(kBarFace, kText, &barUsed);
    const auto ipa = Render(L"IPAGothic", kText, &ipaUsed);
    const auto other = Render(L"IPAPGothic", kText, &otherUsed);
    ASSERT_EQ(ipaUsed, L"IPAGothic") << "IPA Gothic is not installed (fonts-ipafont-gothic)";
    // The comparison can tell fonts apart: the proportional cut draws differently.
    ASSERT_NE(ipa, other);
    EXPECT_EQ(bar, ipa) << "the bar's font is not drawn with IPA Gothic";
}

// ---- The responder ----------------------------------------------------------------------------

class ResponderTest : public ::testing::Test {
protected:
    void SetUp() override {
        WSADATA wsa;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &wsa), 0);
        ASSERT_TRUE(responder_.Start());
        ASSERT_NE(responder_.Port(), 0);
        sock_ = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        ASSERT_NE(sock_, INVALID_SOCKET);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(responder_.Port());
        ASSERT_EQ(connect(sock_, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    }
    void TearDown() override {
        if (sock_ != INVALID_SOCKET) {
            closesocket(sock_);
        }
        responder_.Stop();
        WSACleanup();
    }

    void SendBytes(const std::uint8_t* data, std::size_t len) {
        ASSERT_EQ(send(sock_, reinterpret_cast<const char*>(data), static_cast<int>(len), 0),
                  static_cast<int>(len));
    }

    // One datagram within the time, or -1.
    int Receive(std::uint8_t* buf, int cap, int timeoutMs) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(sock_, &readable);
        timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
        if (select(0, &readable, nullptr, nullptr, &tv) <= 0) {
            return -1;
        }
        return recv(sock_, reinterpret_cast<char*>(buf), cap, 0);
    }

    bool WaitForRequests(int n) {
        for (int i = 0; i < 200 && responder_.Requests() < n; ++i) {
            Sleep(10);
        }
        return responder_.Requests() >= n;
    }

    TestResponder responder_;
    SOCKET sock_ = INVALID_SOCKET;
};

TEST_F(ResponderTest, AnswersARequestWithTheSetReadings) {
    EXPECT_EQ(responder_.HostText(), "127.0.0.1:" + std::to_string(responder_.Port()));
    const std::array<std::string, 13> texts = {"41.5", "33.0", "29.5",  "1.20",  "1.05",
                                               "3.30", "5.01", "-5.02", "12.10", "-11.98",
                                               "1234", "0",    "-"};
    responder_.SetReadings(texts);
    const auto request = proto::EncodeRequest(0xA1B2C3D4u);
    SendBytes(request.data(), request.size());
    std::uint8_t buf[256];
    const int n = Receive(buf, sizeof buf, 3000);
    ASSERT_EQ(n, 128);
    proto::ReplyStatus status{};
    proto::Fields fields{};
    ASSERT_TRUE(proto::DecodeReply(buf, 128, 0xA1B2C3D4u, &status, &fields));
    EXPECT_EQ(status, proto::ReplyStatus::kReadings);
    for (std::size_t i = 0; i < texts.size(); ++i) {
        EXPECT_EQ(std::string(fields[i].data()), texts[i]) << proto::kFieldNames[i];
    }
    EXPECT_EQ(responder_.Requests(), 1);
    EXPECT_EQ(responder_.Malformed(), 0);
}

TEST_F(ResponderTest, NoSensorsModeAnswersWithStatusOne) {
    responder_.SetMode(TestResponder::kNoSensors);
    const auto request = proto::EncodeRequest(77);
    SendBytes(request.data(), request.size());
    std::uint8_t buf[256];
    ASSERT_EQ(Receive(buf, sizeof buf, 3000), 128);
    proto::ReplyStatus status{};
    proto::Fields fields{};
    ASSERT_TRUE(proto::DecodeReply(buf, 128, 77, &status, &fields));
    EXPECT_EQ(status, proto::ReplyStatus::kNoSensors);
}

TEST_F(ResponderTest, SilentModeCountsButNeverAnswers) {
    responder_.SetMode(TestResponder::kSilent);
    const auto request = proto::EncodeRequest(5);
    SendBytes(request.data(), request.size());
    std::uint8_t buf[256];
    EXPECT_EQ(Receive(buf, sizeof buf, 500), -1);
    EXPECT_TRUE(WaitForRequests(1));
    // Back to answering: the next request gets its reply.
    responder_.SetMode(TestResponder::kReadings);
    const auto again = proto::EncodeRequest(6);
    SendBytes(again.data(), again.size());
    ASSERT_EQ(Receive(buf, sizeof buf, 3000), 128);
    proto::ReplyStatus status{};
    proto::Fields fields{};
    EXPECT_TRUE(proto::DecodeReply(buf, 128, 6, &status, &fields));
}

TEST_F(ResponderTest, MalformedRequestsGetNoReply) {
    auto request = proto::EncodeRequest(9);
    request[0] = 'X';  // wrong magic
    SendBytes(request.data(), request.size());
    const auto good = proto::EncodeRequest(10);
    SendBytes(good.data(), 100);  // too short
    std::uint8_t buf[256];
    EXPECT_EQ(Receive(buf, sizeof buf, 500), -1);
    for (int i = 0; i < 200 && responder_.Malformed() < 2; ++i) {
        Sleep(10);
    }
    EXPECT_EQ(responder_.Malformed(), 2);
    EXPECT_EQ(responder_.Requests(), 0);
}

TEST_F(ResponderTest, StopEndsServingPromptly) {
    const auto start = std::chrono::steady_clock::now();
    responder_.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    const auto request = proto::EncodeRequest(11);
    send(sock_, reinterpret_cast<const char*>(request.data()), 128, 0);
    std::uint8_t buf[256];
    EXPECT_EQ(Receive(buf, sizeof buf, 300), -1);
}

}  // namespace
}  // namespace vorn::e2e
