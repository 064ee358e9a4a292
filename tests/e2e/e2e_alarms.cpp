// Alarms end to end: the real native agent reads an hwmon fixture tree whose CPU temperature
// is above the chip's temp1_max, and the bar runs inside this program, so that the calls of its
// tray icon to the shell are recorded. The CPU slot turns white on red (read back from the
// screen), the others stay as they are, and the tray rests on the alarm picture. With the chip
// gone the poll fails: ERROR lines are never red and the tray rests on idle. The test then
// rewrites the temperature: just below the limit the alarm holds (hysteresis), two degrees
// below it ends, and slot and tray return to normal. Run by tests/e2e/with_agent.sh, which
// hands over the agent's address (VORN_AGENT_HOST) and the fixture's copy (VORN_AGENT_SYSFS).
#include <windows.h>

#include <shellapi.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "res/resource.h"
#include "tests/e2e/bar_test.h"
#include "tests/e2e/inproc/inproc_bar.h"
#include "tests/windows/icon_pixels.h"

namespace vorn::e2e {
namespace {

using inproc::InProcBar;
using inproc::ShellCall;
using inproc::ShellRecorder;

constexpr DWORD kAppearMs = 30000;
constexpr DWORD kChangeMs = 10000;
constexpr COLORREF kRed = RGB(255, 0, 0);
constexpr COLORREF kWhite = RGB(255, 255, 255);

enum Picture { kUnknown = -1, kIdle = 0, kOk = 1, kError = 2, kAlarm = 3 };

// Which tray picture an icon is, by its colours: the ring in bright red, green or magenta, or
// the alarm's yellow triangle.
Picture PictureOf(HICON icon) {
    const int red = test::PixelsOfColour(icon, RGB(255, 0, 0));
    const int green = test::PixelsOfColour(icon, RGB(0, 255, 0));
    const int magenta = test::PixelsOfColour(icon, RGB(255, 0, 255));
    const int yellow = test::PixelsOfColour(icon, RGB(255, 255, 0));
    if (yellow > 0 && green == 0 && magenta == 0)
        return kAlarm;
    if (red > 0 && green == 0 && magenta == 0 && yellow == 0)
        return kIdle;
    if (green > 0 && red == 0 && magenta == 0 && yellow == 0)
        return kOk;
    if (magenta > 0 && red == 0 && green == 0 && yellow == 0)
        return kError;
    return kUnknown;
}

// The colours on screen inside a slot's frame.
struct SlotPixels {
    int total = 0;
    int red = 0;
    int white = 0;
};

SlotPixels ReadSlot(HWND bar, int id) {
    SlotPixels p;
    HWND slot = GetDlgItem(bar, id);
    RECT rc{};
    if (slot == nullptr || !GetClientRect(slot, &rc))
        return p;
    POINT origin{0, 0};
    ClientToScreen(slot, &origin);
    const int w = rc.right, h = rc.bottom;
    if (w <= 0 || h <= 0)
        return p;
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    HBITMAP bmp = CreateCompatibleBitmap(screen, w, h);
    HGDIOBJ old = SelectObject(mem, bmp);
    BitBlt(mem, 0, 0, w, h, screen, origin.x, origin.y, SRCCOPY);
    SelectObject(mem, old);
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    std::vector<RGBQUAD> px(static_cast<size_t>(w) * h);
    const int rows = GetDIBits(mem, bmp, 0, h, px.data(), &bi, DIB_RGB_COLORS);
    DeleteObject(bmp);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
    if (rows != h)
        return p;
    for (const RGBQUAD& q : px) {
        const COLORREF c = RGB(q.rgbRed, q.rgbGreen, q.rgbBlue);
        ++p.total;
        p.red += c == kRed;
        p.white += c == kWhite;
    }
    return p;
}

bool LooksInAlarm(const SlotPixels& p) {
    return p.total > 0 && p.red * 2 > p.total && p.white > 0;
}

bool LooksNormal(const SlotPixels& p) {
    return p.total > 0 && p.red == 0;
}

// Writes a sysfs value into the agent's fixture copy in one step (a rename), so the agent
// never reads a half-written file.
bool WriteSysfs(const std::string& relative, const std::string& value) {
    const char* root = std::getenv("VORN_AGENT_SYSFS");
    if (root == nullptr)
        return false;
    std::string dir = std::string("Z:") + root;
    for (char& c : dir)
        c = c == '/' ? '\\' : c;
    std::string target = dir + "\\" + relative;
    for (char& c : target)
        c = c == '/' ? '\\' : c;
    const std::string scratch = dir + "\\value.new";
    std::FILE* f = std::fopen(scratch.c_str(), "wb");
    if (f == nullptr)
        return false;
    const bool written = std::fputs((value + "\n").c_str(), f) >= 0;
    std::fclose(f);
    return written && MoveFileExA(scratch.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING);
}

// Renames a file or folder of the agent's fixture copy.
bool MoveSysfs(const std::string& from, const std::string& to) {
    const char* root = std::getenv("VORN_AGENT_SYSFS");
    if (root == nullptr)
        return false;
    std::string a = std::string("Z:") + root + "/" + from;
    std::string b = std::string("Z:") + root + "/" + to;
    for (std::string* p : {&a, &b})
        for (char& c : *p)
            c = c == '/' ? '\\' : c;
    return MoveFileExA(a.c_str(), b.c_str(), 0) != FALSE;
}

class AlarmTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* host = std::getenv("VORN_AGENT_HOST");
        ASSERT_NE(host, nullptr) << "run this program through tests/e2e/with_agent.sh";
        ASSERT_NE(std::getenv("VORN_AGENT_SYSFS"), nullptr) << "the agent reads no fixture tree";
        host_ = host;
        CleanStart();
    }
    void TearDown() override {
        if (hwnd_ != nullptr && !bar_.WaitForExit(0)) {
            PostMessageA(hwnd_, WM_CLOSE, 0, 0);
            bar_.WaitForExit(5000);
        }
        RemoveProfile();
    }

    // Pictures of the shell calls from `from` on.
    std::vector<Picture> PicturesSince(size_t from) const {
        std::vector<Picture> out;
        const std::vector<ShellCall> calls = shell_.Calls();
        for (size_t i = from; i < calls.size(); ++i)
            out.push_back(PictureOf(calls[i].hIcon));
        return out;
    }

    // Waits until the slots look as `cpuInAlarm` says: the CPU slot red or not, every other
    // value slot never red.
    ::testing::AssertionResult WaitForSlots(bool cpuInAlarm) {
        SlotPixels cpu;
        const DWORD start = GetTickCount();
        do {
            cpu = ReadSlot(hwnd_, IDC_SLOT01);
            if (cpuInAlarm ? LooksInAlarm(cpu) : LooksNormal(cpu)) {
                for (int id = IDC_SLOT02; id <= IDC_SLOT13; ++id) {
                    const SlotPixels other = ReadSlot(hwnd_, id);
                    if (!LooksNormal(other))
                        return ::testing::AssertionFailure()
                               << "slot " << id << " has " << other.red << " red pixels";
                }
                return ::testing::AssertionSuccess();
            }
            Sleep(100);
        } while (GetTickCount() - start < kChangeMs);
        return ::testing::AssertionFailure() << "CPU slot: " << cpu.red << " red and " << cpu.white
                                             << " white of " << cpu.total << " pixels";
    }

    // Waits for the tray to rest on `resting` after at least two more polls that flashed
    // `flash`: every call from `from` on is that flash or that picture, and the last one is
    // that picture.
    ::testing::AssertionResult WaitForTrayRest(size_t from, Picture resting, Picture flash = kOk) {
        const auto flashes = [flash](const std::vector<Picture>& seen) {
            int n = 0;
            for (Picture p : seen)
                n += p == flash;
            return n;
        };
        const DWORD start = GetTickCount();
        std::vector<Picture> seen;
        do {
            seen = PicturesSince(from);
            if (flashes(seen) >= 2 && seen.back() == resting)
                break;
            Sleep(100);
        } while (GetTickCount() - start < kChangeMs);
        std::string list;
        for (Picture p : seen)
            list += std::to_string(p) + " ";
        bool flashed = false;
        for (Picture p : seen) {
            flashed = flashed || p == flash;
            // Pictures before the first flash may still be the previous rest or flash.
            if (flashed && p != flash && p != resting)
                return ::testing::AssertionFailure() << "pictures: " << list;
        }
        if (flashes(seen) < 2 || seen.back() != resting)
            return ::testing::AssertionFailure() << "pictures: " << list;
        return ::testing::AssertionSuccess();
    }

    std::string host_;
    ShellRecorder shell_;
    InProcBar bar_;
    HWND hwnd_ = nullptr;
};

TEST_F(AlarmTest, CpuPastItsLimitTurnsItsSlotRedAndTheTrayToTheAlarmUntilItCoolsDown) {
    ASSERT_TRUE(WriteSysfs("class/hwmon/hwmon0/temp1_input", "85000"));
    WriteProfileText(HostSection(host_, {"DelayTimer=0", "MonitorTimer=1", "IconTimer=200",
                                         "SocketTimer=1000", "TopMost=1"}));
    ASSERT_TRUE(bar_.Start());
    hwnd_ = bar_.WaitForBar(kAppearMs);
    ASSERT_NE(hwnd_, nullptr);
    const auto text = [this](int id, const std::string& want) {
        std::string last;
        const bool ok = WaitForControlText(
            hwnd_, id, [&](const std::string& t) { return t == want; }, kChangeMs, &last);
        return ok ? ::testing::AssertionSuccess()
                  : ::testing::AssertionFailure() << "slot " << id << ": \"" << last << "\"";
    };

    // 85 degrees over a limit of 80: in alarm.
    ASSERT_TRUE(text(IDC_SLOT01, "CPU :   85.0"));
    EXPECT_TRUE(text(IDC_SLOT03, "SYS :   40.0"));
    EXPECT_TRUE(WaitForSlots(true));
    EXPECT_TRUE(WaitForTrayRest(1, kAlarm));

    // The agent reads no sensor at all (the chip is gone): the poll fails, the ERROR lines are
    // never red, and the tray rests on idle between the error flashes.
    size_t from = shell_.Calls().size();
    ASSERT_TRUE(MoveSysfs("class/hwmon/hwmon0", "class/hwmon0.gone"));
    ASSERT_TRUE(text(IDC_SLOT01, "CPU :  ERROR"));
    EXPECT_TRUE(WaitForSlots(false));
    EXPECT_TRUE(WaitForTrayRest(from, kIdle, kError));
    // Back, still at 85 degrees: in alarm again.
    from = shell_.Calls().size();
    ASSERT_TRUE(MoveSysfs("class/hwmon0.gone", "class/hwmon/hwmon0"));
    ASSERT_TRUE(text(IDC_SLOT01, "CPU :   85.0"));
    EXPECT_TRUE(WaitForSlots(true));
    EXPECT_TRUE(WaitForTrayRest(from, kAlarm));

    // 79 degrees: below the limit, but not by the 2 degrees the alarm needs to end.
    from = shell_.Calls().size();
    ASSERT_TRUE(WriteSysfs("class/hwmon/hwmon0/temp1_input", "79000"));
    ASSERT_TRUE(text(IDC_SLOT01, "CPU :   79.0"));
    EXPECT_TRUE(WaitForTrayRest(from, kAlarm));
    EXPECT_TRUE(WaitForSlots(true));

    // 77.5 degrees: the alarm ends, slot and tray are as they always were.
    from = shell_.Calls().size();
    ASSERT_TRUE(WriteSysfs("class/hwmon/hwmon0/temp1_input", "77500"));
    ASSERT_TRUE(text(IDC_SLOT01, "CPU :   77.5"));
    EXPECT_TRUE(WaitForSlots(false));
    EXPECT_TRUE(WaitForTrayRest(from, kIdle));

    PostMessageA(hwnd_, WM_CLOSE, 0, 0);
    ASSERT_TRUE(bar_.WaitForExit(5000));
    EXPECT_GE(std::atoi(Saved("ErrorCounter").c_str()), 2) << "the polls without a chip failed";
}

}  // namespace
}  // namespace vorn::e2e
