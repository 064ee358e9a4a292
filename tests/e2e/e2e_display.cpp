// The bar's display slots, its status slot and its monitor thread, seen from outside: the real
// VORNBAR.exe under Wine, fed by a loopback responder, read through its controls and the profile
// it leaves behind.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "res/resource.h"
#include "tests/e2e/bar_test.h"

namespace vorn::e2e {
namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD kTextMs = 10000;  // a poll's texts, once it is due
// "Ends quickly": generous for Wine on a loaded machine, yet below the ten-second Get and the
// sixty-second pause that a close must cut short; the benchmark measures the figure.
constexpr DWORD kCloseMs = 7000;
constexpr int kValueSlots = 13;

// Readings in record order: CPU PWR SYS VID VTT 3.3V +5V -5V +12V -12V FAN1 FAN2 FAN3.
const std::array<std::string, 13> kReadings = {"45.0", "38.5", "30.0",  "1.35",  "1.10",
                                               "3.31", "5.02", "-5.04", "12.03", "-12.05",
                                               "2812", "1500", "0"};

// One value item as the bar lays it out: default label, line format and record field.
struct Item {
    const char* label;
    const char* format;
    int field;
};

// Items 1 to 13 in display order.
const std::array<Item, 13> kItems = {{{"CPU :", "%5s  %5s", 0},
                                      {"PWR :", "%5s  %5s", 1},
                                      {"SYS :", "%5s  %5s", 2},
                                      {"FAN1:", "%5s  %5s", 10},
                                      {"FAN2:", "%5s  %5s", 11},
                                      {"FAN3:", "%5s  %5s", 12},
                                      {"VID :", "%5s  %5s", 3},
                                      {"VTT :", "%5s  %5s", 4},
                                      {"3.3V:", "%5s  %5s", 5},
                                      {"+5V :", "%5s  +%4s", 6},
                                      {"-5V :", "%5s  %5s", 7},
                                      {"+12V:", "%5s +%5s", 8},
                                      {"-12V:", "%5s %6s", 9}}};

// A value line built with the item's own format, whatever the label's length.
std::string Line(int item, const std::string& label, const std::string& reading) {
    const Item& it = kItems[static_cast<std::size_t>(item - 1)];
    std::vector<char> buf(label.size() + reading.size() + 32);
    std::snprintf(buf.data(), buf.size(), it.format, label.c_str(), reading.c_str());
    return buf.data();
}

std::string ValueLine(int item) {
    const Item& it = kItems[static_cast<std::size_t>(item - 1)];
    return Line(item, it.label, kReadings[static_cast<std::size_t>(it.field)]);
}

std::string ErrorLine(int item) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%5s  %5s", kItems[static_cast<std::size_t>(item - 1)].label,
                  "ERROR");
    return buf;
}

int SlotId(int slot) {
    return IDC_SLOT00 + slot;
}

// The texts of all fourteen slots, left to right.
std::vector<std::string> AllSlots(HWND bar) {
    std::vector<std::string> texts;
    for (int s = 0; s < 14; ++s) {
        texts.push_back(ControlText(bar, SlotId(s)));
    }
    return texts;
}

class BarDisplayTest : public BarTest {
protected:
    // BarTest::SetUp starts the responder with these readings.
    BarDisplayTest() { responder_.SetReadings(kReadings); }

    HWND Start(BarProcess& bar, const std::vector<std::string>& lines) {
        return BarTest::Start(bar, lines, kTextMs);
    }

    static bool WaitText(HWND bar, int id, const std::string& want, DWORD ms = kTextMs) {
        std::string last;
        const bool ok = WaitForControlText(
            bar, id, [&](const std::string& t) { return t == want; }, ms, &last);
        EXPECT_TRUE(ok) << "control " << id << ": \"" << last << "\", want \"" << want << "\"";
        return ok;
    }

    // Clicks IDC_INDICATOR and returns once the bar has handled the click.
    static void ClickIndicator(HWND bar) {
        HWND button = GetDlgItem(bar, IDC_INDICATOR);
        ASSERT_NE(button, nullptr);
        // A sent BM_CLICK returns after the button has sent its BN_CLICKED to the bar.
        DWORD_PTR result = 0;
        ASSERT_NE(
            SendMessageTimeoutA(button, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &result),
            0);
    }

    // Closes the bar with WM_CLOSE; returns the milliseconds until the process had ended.
    static long CloseAndTime(BarProcess& bar, HWND hwnd) {
        const auto start = Clock::now();
        Post(hwnd, WM_CLOSE, 0, 0);
        const bool ended = bar.WaitForExit(kCloseMs);
        const long ms = static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
        EXPECT_TRUE(ended) << "still running " << ms << " ms after WM_CLOSE";
        return ms;
    }

    // Polls until the responder has seen `n` requests.
    bool WaitForRequests(int n, DWORD ms = kTextMs) {
        const auto start = Clock::now();
        while (responder_.Requests() < n && Clock::now() - start < std::chrono::milliseconds(ms)) {
            Sleep(10);
        }
        EXPECT_GE(responder_.Requests(), n);
        return responder_.Requests() >= n;
    }

    static void EndWithEscape(BarProcess& bar, HWND hwnd) {
        PressKey(hwnd, VK_ESCAPE);
        EXPECT_TRUE(bar.WaitForExit(5000)) << "Escape did not end the program";
    }
};

// ---- Value lines ------------------------------------------------------------------------------

TEST_F(BarDisplayTest, ReadingsFillTheThirteenSlotsWithTheWorkedExamplesInDisplayOrder) {
    BarProcess bar;
    HWND hwnd = Start(bar, {"DelayTimer=1", "MonitorTimer=60", "IconTimer=0"});
    ASSERT_NE(hwnd, nullptr);
    // Before the delay has run out, the value slots are still empty.
    const auto early = AllSlots(hwnd);
    if (responder_.Requests() == 0) {
        for (int s = 1; s < 14; ++s) {
            EXPECT_EQ(early[static_cast<std::size_t>(s)], "") << "slot " << s;
        }
    }
    ASSERT_TRUE(WaitText(hwnd, SlotId(13), ValueLine(13)));
    for (int item = 1; item <= kValueSlots; ++item) {
        EXPECT_EQ(ControlText(hwnd, SlotId(item)), ValueLine(item)) << "item " << item;
    }
    // The worked examples, character for character.
    EXPECT_EQ(ControlText(hwnd, SlotId(1)), "CPU :   45.0");
    EXPECT_EQ(ControlText(hwnd, SlotId(4)), "FAN1:   2812");
    EXPECT_EQ(ControlText(hwnd, SlotId(6)), "FAN3:      0");
    EXPECT_EQ(ControlText(hwnd, SlotId(10)), "+5V :  +5.02");
    EXPECT_EQ(ControlText(hwnd, SlotId(12)), "+12V: +12.03");
    EXPECT_EQ(ControlText(hwnd, SlotId(13)), "-12V: -12.05");
    // The status slot keeps the host text the initialisation wrote.
    EXPECT_EQ(ControlText(hwnd, SlotId(0)), responder_.HostText());
    EXPECT_EQ(responder_.Requests(), 1);
    EndWithEscape(bar, hwnd);
}

// With no delay the first poll can start while the bar is still being made; its readings must
// reach the slots all the same, at every start, and not wait for the next poll a minute later.
TEST_F(BarDisplayTest, FirstPollWithoutDelayShowsItsReadingsAtEveryStart) {
    constexpr int kStarts = 10;
    for (int start = 1; start <= kStarts; ++start) {
        SCOPED_TRACE("start " + std::to_string(start));
        const int before = responder_.Requests();
        BarProcess bar;
        HWND hwnd = Start(bar, {"DelayTimer=0", "MonitorTimer=60", "IconTimer=0"});
        ASSERT_NE(hwnd, nullptr);
        // The first request has been answered: its readings are due in every value slot.
        ASSERT_TRUE(WaitForRequests(before + 1));
        ASSERT_TRUE(WaitText(hwnd, SlotId(13), ValueLine(13)));
        for (int item = 1; item <= kValueSlots; ++item) {
            EXPECT_EQ(ControlText(hwnd, SlotId(item)), ValueLine(item)) << "item " << item;
        }
        // They came from the first poll: the second is a minute away.
        EXPECT_EQ(responder_.Requests(), before + 1);
        EndWithEscape(bar, hwnd);
    }
}

class BarFailingHostTest : public BarDisplayTest,
                           public ::testing::WithParamInterface<TestResponder::Mode> {};

TEST_P(BarFailingHostTest, FailedPollsShowErrorLinesCountInStatusAndSaveTheCount) {
    responder_.SetMode(GetParam());
    BarProcess bar;
    // Polls at 1 s, 3 s, 5 s...; the close after the second leaves two failed polls.
    HWND hwnd = Start(bar, {"DelayTimer=1", "MonitorTimer=2", "IconTimer=0", "SocketTimer=300",
                            "DefaultIndicator=4"});
    ASSERT_NE(hwnd, nullptr);
    ASSERT_TRUE(WaitText(hwnd, SlotId(0), "ERR :      1"));
    for (int item = 1; item <= kValueSlots; ++item) {
        EXPECT_TRUE(WaitText(hwnd, SlotId(item), ErrorLine(item), 1000)) << "item " << item;
    }
    EXPECT_EQ(ControlText(hwnd, SlotId(10)), "+5V :  ERROR");
    EXPECT_EQ(ControlText(hwnd, SlotId(12)), "+12V:  ERROR");
    EXPECT_EQ(ControlText(hwnd, SlotId(13)), "-12V:  ERROR");
    ASSERT_TRUE(WaitText(hwnd, SlotId(0), "ERR :      2", 6000));
    CloseAndTime(bar, hwnd);
    EXPECT_EQ(responder_.Requests(), 2);
    EXPECT_EQ(Saved("ErrorCounter"), "2");
    EXPECT_EQ(Saved("DefaultIndicator"), "4");
}

INSTANTIATE_TEST_SUITE_P(SilentAndNoSensors, BarFailingHostTest,
                         ::testing::Values(TestResponder::kSilent, TestResponder::kNoSensors),
                         [](const auto& info) {
                             return info.param == TestResponder::kSilent ? "Silent" : "NoSensors";
                         });

TEST_F(BarDisplayTest, ReadingsReturnWhenTheAgentRecovers) {
    responder_.SetMode(TestResponder::kNoSensors);
    BarProcess bar;
    HWND hwnd = Start(bar, {"DelayTimer=0", "MonitorTimer=1", "IconTimer=0", "SocketTimer=300"});
    ASSERT_NE(hwnd, nullptr);
    ASSERT_TRUE(WaitText(hwnd, SlotId(1), "CPU :  ERROR"));
    ASSERT_TRUE(WaitText(hwnd, SlotId(13), "-12V:  ERROR"));
    responder_.SetMode(TestResponder::kReadings);
    for (int item = 1; item <= kValueSlots; ++item) {
        EXPECT_TRUE(WaitText(hwnd, SlotId(item), ValueLine(item), 5000)) << "item " << item;
    }
    CloseAndTime(bar, hwnd);
    // At least the first poll failed, and at least the last one did not.
    const int failed = std::atoi(Saved("ErrorCounter").c_str());
    EXPECT_GE(failed, 1);
    EXPECT_LE(failed, responder_.Requests() - 1);
}

// ---- Status slot ------------------------------------------------------------------------------

TEST_F(BarDisplayTest, FiveIndicatorClicksPassThroughEveryModeBackToTheFirst) {
    BarProcess bar;
    // No poll during the test: the error count stays 0.
    HWND hwnd = Start(bar, {"DelayTimer=600"});
    ASSERT_NE(hwnd, nullptr);
    ASSERT_TRUE(WaitText(hwnd, SlotId(0), responder_.HostText()));
    const std::vector<std::string> after = {"VORNBAR", "MON :     60", "SOCK:   2000",
                                            "ERR :      0", responder_.HostText()};
    for (const auto& want : after) {
        ClickIndicator(hwnd);
        EXPECT_EQ(ControlText(hwnd, SlotId(0)), want);
    }
    // Three more: the mode in force at exit is the monitor pause.
    for (int i = 0; i < 2; ++i) {
        ClickIndicator(hwnd);
    }
    EXPECT_EQ(ControlText(hwnd, SlotId(0)), "MON :     60");
    // Only the status slot changed.
    for (int s = 1; s < 14; ++s) {
        EXPECT_EQ(ControlText(hwnd, SlotId(s)), "") << "slot " << s;
    }
    CloseAndTime(bar, hwnd);
    EXPECT_EQ(Saved("DefaultIndicator"), "2");
    EXPECT_EQ(Saved("ErrorCounter"), "0");
}

TEST_F(BarDisplayTest, StatusTextsFollowTheTimerSettings) {
    BarProcess bar;
    HWND hwnd = Start(
        bar, {"DelayTimer=600", "MonitorTimer=1234567", "SocketTimer=-5", "DefaultIndicator=2"});
    ASSERT_NE(hwnd, nullptr);
    EXPECT_TRUE(WaitText(hwnd, SlotId(0), "MON : 1234567"));
    ClickIndicator(hwnd);
    EXPECT_EQ(ControlText(hwnd, SlotId(0)), "SOCK:     -5");
    CloseAndTime(bar, hwnd);
    EXPECT_EQ(Saved("DefaultIndicator"), "3");
}

TEST_F(BarDisplayTest, LoadedModeOfLowBitsFourActsAsTheErrorCountAndIsSavedAsFour) {
    BarProcess bar;
    HWND hwnd = Start(bar, {"DelayTimer=600", "DefaultIndicator=260"});
    ASSERT_NE(hwnd, nullptr);
    EXPECT_TRUE(WaitText(hwnd, SlotId(0), "ERR :      0"));
    ClickIndicator(hwnd);
    EXPECT_EQ(ControlText(hwnd, SlotId(0)), responder_.HostText());
    ClickIndicator(hwnd);
    ClickIndicator(hwnd);
    ClickIndicator(hwnd);
    ClickIndicator(hwnd);
    EXPECT_EQ(ControlText(hwnd, SlotId(0)), "ERR :      0");
    CloseAndTime(bar, hwnd);
    EXPECT_EQ(Saved("DefaultIndicator"), "4");
}

class BarNoModeTest : public BarDisplayTest, public ::testing::WithParamInterface<int> {};

TEST_P(BarNoModeTest, LoadedValueThatIsNoModeLeavesTheStatusEmptyAndAdvancingDoesNothing) {
    const std::string mode = std::to_string(GetParam());
    BarProcess bar;
    HWND hwnd =
        Start(bar, {"DelayTimer=1", "MonitorTimer=60", "IconTimer=0", "DefaultIndicator=" + mode});
    ASSERT_NE(hwnd, nullptr);
    // A poll has come and gone: the status slot is not refreshed by it either.
    ASSERT_TRUE(WaitText(hwnd, SlotId(1), ValueLine(1)));
    EXPECT_EQ(ControlText(hwnd, SlotId(0)), "");
    for (int i = 0; i < 6; ++i) {
        ClickIndicator(hwnd);
        EXPECT_EQ(ControlText(hwnd, SlotId(0)), "") << "after click " << i + 1;
    }
    // Nothing else moved into or out of the slots.
    EXPECT_EQ(ControlText(hwnd, SlotId(1)), ValueLine(1));
    CloseAndTime(bar, hwnd);
    EXPECT_EQ(Saved("DefaultIndicator"), mode);
}

INSTANTIATE_TEST_SUITE_P(FiveSevenAnd255, BarNoModeTest, ::testing::Values(5, 7, 255));

// ---- Indicator map ----------------------------------------------------------------------------

TEST_F(BarDisplayTest, SwappedMapPutsTheStatusRightmostAndMinusTwelveLeftmost) {
    BarProcess bar;
    HWND hwnd = Start(
        bar, {"DelayTimer=1", "MonitorTimer=60", "IconTimer=0", "Indicator00=13", "Indicator13=0"});
    ASSERT_NE(hwnd, nullptr);
    ASSERT_TRUE(WaitText(hwnd, SlotId(0), ValueLine(13)));
    EXPECT_EQ(ControlText(hwnd, SlotId(13)), responder_.HostText());
    for (int item = 1; item <= 12; ++item) {
        EXPECT_EQ(ControlText(hwnd, SlotId(item)), ValueLine(item)) << "item " << item;
    }
    // The status moves with its entry on every advance.
    ClickIndicator(hwnd);
    EXPECT_EQ(ControlText(hwnd, SlotId(13)), "VORNBAR");
    EXPECT_EQ(ControlText(hwnd, SlotId(0)), ValueLine(13));
    CloseAndTime(bar, hwnd);
    EXPECT_EQ(Saved("Indicator00"), "13");
    EXPECT_EQ(Saved("Indicator13"), "0");
}

TEST_F(BarDisplayTest, SharedSlotShowsTheLaterItemAndUnnamedOrOutOfRangeSlotsStayEmpty) {
    BarProcess bar;
    // CPU joins PWR in slot 2; SYS, FAN1 and FAN2 point outside the table. Slots 1, 3, 4 and 5
    // are then named by no entry. Each poll writes CPU, then PWR into slot 2, so the slots
    // are read while the third poll waits for its answer: its request shows that the second
    // poll has written every slot again, and until it is answered the bar writes none.
    responder_.HoldPollsFrom(3);
    HWND hwnd =
        Start(bar, {"DelayTimer=0", "MonitorTimer=1", "IconTimer=0", "SocketTimer=10000",
                    "Indicator01=2", "Indicator03=14", "Indicator04=-1", "Indicator05=99999"});
    ASSERT_NE(hwnd, nullptr);
    ASSERT_TRUE(WaitText(hwnd, SlotId(13), ValueLine(13)));
    ASSERT_TRUE(WaitForRequests(3));
    EXPECT_EQ(ControlText(hwnd, SlotId(0)), responder_.HostText());
    EXPECT_EQ(ControlText(hwnd, SlotId(1)), "");
    EXPECT_EQ(ControlText(hwnd, SlotId(2)), ValueLine(2));
    EXPECT_EQ(ControlText(hwnd, SlotId(3)), "");
    EXPECT_EQ(ControlText(hwnd, SlotId(4)), "");
    EXPECT_EQ(ControlText(hwnd, SlotId(5)), "");
    for (int item = 6; item <= kValueSlots; ++item) {
        EXPECT_EQ(ControlText(hwnd, SlotId(item)), ValueLine(item)) << "item " << item;
    }
    responder_.ReleasePolls();
    CloseAndTime(bar, hwnd);
    EXPECT_EQ(Saved("Indicator04"), "-1");
    EXPECT_EQ(Saved("Indicator05"), "99999");
    EXPECT_EQ(Saved("ErrorCounter"), "0");
}

TEST_F(BarDisplayTest, StatusOutOfRangeIsNotShownAndAdvancingStillChangesTheMode) {
    BarProcess bar;
    HWND hwnd = Start(bar, {"DelayTimer=1", "MonitorTimer=60", "IconTimer=0", "Indicator00=-1"});
    ASSERT_NE(hwnd, nullptr);
    ASSERT_TRUE(WaitText(hwnd, SlotId(1), ValueLine(1)));
    ClickIndicator(hwnd);
    ClickIndicator(hwnd);
    const auto texts = AllSlots(hwnd);
    EXPECT_EQ(texts[0], "");
    for (int item = 1; item <= kValueSlots; ++item) {
        EXPECT_EQ(texts[static_cast<std::size_t>(item)], ValueLine(item)) << "item " << item;
    }
    CloseAndTime(bar, hwnd);
    EXPECT_EQ(Saved("DefaultIndicator"), "2");
}

TEST_F(BarDisplayTest, StatusSharingAValueSlotInErrorModeIsWrittenAfterTheValues) {
    BarProcess bar;
    HWND hwnd = Start(bar, {"DelayTimer=0", "MonitorTimer=1", "IconTimer=0", "Indicator00=1",
                            "DefaultIndicator=4"});
    ASSERT_NE(hwnd, nullptr);
    ASSERT_TRUE(WaitText(hwnd, SlotId(2), ValueLine(2)));
    // Each poll writes CPU there and then the error count over it.
    ASSERT_TRUE(WaitText(hwnd, SlotId(1), "ERR :      0"));
    EXPECT_GE(responder_.Requests(), 1);
    EXPECT_EQ(ControlText(hwnd, SlotId(0)), "");
    CloseAndTime(bar, hwnd);
}

// ---- Ending while the monitor thread waits -----------------------------------------------------

TEST_F(BarDisplayTest, CloseDuringTheSixtySecondPauseEndsAtOnceAndSaves) {
    BarProcess bar;
    HWND hwnd = Start(bar, {"DelayTimer=1", "MonitorTimer=60", "IconTimer=0"});
    ASSERT_NE(hwnd, nullptr);
    ASSERT_TRUE(WaitText(hwnd, SlotId(13), ValueLine(13)));
    const long ms = CloseAndTime(bar, hwnd);
    std::printf("close during the pause: %ld ms\n", ms);
    EXPECT_EQ(responder_.Requests(), 1);
    EXPECT_EQ(Saved("ErrorCounter"), "0");
    EXPECT_EQ(Saved("MonitorTimer"), "60");
}

TEST_F(BarDisplayTest, CloseWhileGetWaitsOnASilentHostEndsAtOnceAndCountsNoFailure) {
    responder_.SetMode(TestResponder::kSilent);
    BarProcess bar;
    HWND hwnd =
        Start(bar, {"DelayTimer=0", "MonitorTimer=60", "SocketTimer=10000", "DefaultIndicator=4"});
    ASSERT_NE(hwnd, nullptr);
    // The request has arrived: the Get now waits up to ten seconds for its reply.
    ASSERT_TRUE(WaitForRequests(1));
    ASSERT_EQ(responder_.Requests(), 1);
    const long ms = CloseAndTime(bar, hwnd);
    std::printf("close during Get: %ld ms\n", ms);
    EXPECT_EQ(Saved("ErrorCounter"), "0");
    EXPECT_EQ(Saved("SocketTimer"), "10000");
}

TEST_F(BarDisplayTest, CloseWhileTheErrorStatusIsRefreshedEveryFewMillisecondsEnds) {
    // Polls back to back, each ending in a slot write and a status refresh sent to the window
    // that is being closed.
    responder_.SetMode(TestResponder::kNoSensors);
    BarProcess bar;
    HWND hwnd = Start(bar, {"DelayTimer=0", "MonitorTimer=0", "IconTimer=0", "SocketTimer=300",
                            "DefaultIndicator=4"});
    ASSERT_NE(hwnd, nullptr);
    // Polls come every few milliseconds, so the count can pass any one value between two reads.
    std::string last;
    ASSERT_TRUE(WaitForControlText(
        hwnd, SlotId(0),
        [](const std::string& t) {
            return t.rfind("ERR : ", 0) == 0 && std::atoi(t.c_str() + 6) >= 5;
        },
        kTextMs, &last))
        << "status slot: \"" << last << "\"";
    CloseAndTime(bar, hwnd);
    const int saved = std::atoi(Saved("ErrorCounter").c_str());
    EXPECT_GE(saved, 2);
    // Every failed poll was a request; at most the one in flight at the close was not counted.
    EXPECT_LE(saved, responder_.Requests());
    EXPECT_GE(saved, responder_.Requests() - 1);
}

// ---- Labels -----------------------------------------------------------------------------------

TEST_F(BarDisplayTest, LongLabelLengthensItsLineAndEmptyLabelBecomesFiveBlanks) {
    const std::string longLabel(5000, 'L');
    BarProcess bar;
    HWND hwnd = Start(bar, {"DelayTimer=1", "MonitorTimer=60", "IconTimer=0",
                            "StringTCPU=" + longLabel, "StringTPWR=", "StringFAN3=ABCDEFG"});
    ASSERT_NE(hwnd, nullptr);
    ASSERT_TRUE(WaitText(hwnd, SlotId(13), ValueLine(13)));
    // The profile read buffer holds 4095 characters of a stored text.
    const std::string cut = longLabel.substr(0, 4095);
    EXPECT_EQ(ControlText(hwnd, SlotId(1)), Line(1, cut, "45.0"));
    EXPECT_EQ(ControlText(hwnd, SlotId(1)).size(), 4095u + 7u);
    EXPECT_EQ(ControlText(hwnd, SlotId(2)), "        38.5");
    EXPECT_EQ(ControlText(hwnd, SlotId(6)), "ABCDEFG      0");
    EXPECT_EQ(ControlText(hwnd, SlotId(3)), ValueLine(3));
    CloseAndTime(bar, hwnd);
    EXPECT_EQ(Saved("StringTPWR"), "");
    EXPECT_EQ(Saved("StringTCPU"), cut);
}

}  // namespace
}  // namespace vorn::e2e
