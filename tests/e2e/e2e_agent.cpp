// The plug-in and the bar against the real native agent. Run by tests/e2e/with_agent.sh, which
// starts vornagent on loopback with tests/fixtures-e2e/agent-readings.txt as its source and
// hands its address over in VORN_AGENT_HOST.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "plugin_api/vornplug.h"
#include "res/resource.h"
#include "tests/e2e/bar_test.h"

namespace vorn::e2e {
namespace {

constexpr DWORD kAppearMs = 30000;
constexpr DWORD kTextMs = 10000;

// The readings file in real units, and the texts the agent sends for them: temperatures with
// one decimal, voltages with two, fans with none, a minus sign and no plus sign.
struct Reading {
    const char* key;
    const char* text;
};
constexpr std::array<Reading, LMDATA_FIELDS> kExpected = {{{"TCPU=45.04", "45.0"},
                                                           {"TPWR=38.46", "38.5"},
                                                           {"TSYS=29.96", "30.0"},
                                                           {"VVID=1.349", "1.35"},
                                                           {"VVTT=1.1", "1.10"},
                                                           {"V33V=3.312", "3.31"},
                                                           {"VP05=5.018", "5.02"},
                                                           {"VM05=-5.04", "-5.04"},
                                                           {"VP12=12.031", "12.03"},
                                                           {"VM12=-12.049", "-12.05"},
                                                           {"FAN1=2812.4", "2812"},
                                                           {"FAN2=1499.6", "1500"},
                                                           {"FAN3=0", "0"}}};

std::string AgentHost() {
    const char* host = std::getenv("VORN_AGENT_HOST");
    return host != nullptr ? host : "";
}

class AgentTest : public ::testing::Test {
protected:
    void SetUp() override {
        host_ = AgentHost();
        ASSERT_FALSE(host_.empty()) << "VORN_AGENT_HOST is not set: run this program through "
                                       "tests/e2e/with_agent.sh";
    }

    std::string host_;
};

// ---- The plug-in ------------------------------------------------------------------------------

TEST_F(AgentTest, PluginGetReturnsTheAgentsReadingsInRecordOrder) {
    VORNPLUG plugin;
    ASSERT_NE(plugin.Create(host_.c_str()), 0) << host_;
    LMDATA data;
    std::memset(&data, 'x', sizeof data);
    ASSERT_NE(plugin.Get(data, 2000), 0) << "no readings from " << host_;
    for (int f = 0; f < LMDATA_FIELDS; ++f) {
        const char* field = data.szText[f];
        ASSERT_NE(std::memchr(field, '\0', LMDATA_FIELD_SIZE), nullptr) << "field " << f;
        EXPECT_STREQ(field, kExpected[static_cast<std::size_t>(f)].text)
            << "field " << f << " from " << kExpected[static_cast<std::size_t>(f)].key;
    }
    plugin.Destroy();
}

TEST_F(AgentTest, PluginGetsAgainAndAgainOnOneOpening) {
    VORNPLUG plugin;
    ASSERT_NE(plugin.Create(host_.c_str()), 0) << host_;
    for (int i = 0; i < 50; ++i) {
        LMDATA data{};
        ASSERT_NE(plugin.Get(data, 2000), 0) << "Get " << i;
        ASSERT_STREQ(data.szText[LM_VM12], "-12.05") << "Get " << i;
        ASSERT_STREQ(data.szText[LM_FAN1], "2812") << "Get " << i;
    }
}

TEST_F(AgentTest, PluginGetFailsWithDataUntouchedAfterCancel) {
    VORNPLUG plugin;
    ASSERT_NE(plugin.Create(host_.c_str()), 0) << host_;
    plugin.Cancel();
    LMDATA data;
    std::memset(&data, 'x', sizeof data);
    const DWORD start = GetTickCount();
    EXPECT_EQ(plugin.Get(data, 5000), 0);
    EXPECT_LT(GetTickCount() - start, 2000u);
    for (int f = 0; f < LMDATA_FIELDS; ++f) {
        EXPECT_EQ(data.szText[f][0], 'x') << "field " << f;
    }
}

TEST_F(AgentTest, PluginGetHistoryReadsTheAgentsSamplesBesideItsPolls) {
    VORNPLUG plugin;
    ASSERT_NE(plugin.Create(host_.c_str()), 0) << host_;
    LMDATA data{};
    ASSERT_NE(plugin.Get(data, 2000), 0);
    // A minute by the second, then by the minute: the agent has sampled the file since it
    // started, so the newest values are the file's, in fixed units.
    std::vector<VORNHISTSLOT> slots(60);
    VORNHISTORY info{};
    ASSERT_EQ(plugin.GetHistory(LM_VM12, VORNHIST_SAMPLES, -59, 0, info, slots.data(), 60, 2000),
              VORNHIST_OK);
    EXPECT_EQ(info.nStep, 1u);
    EXPECT_EQ(info.nSlots, 60u);
    EXPECT_EQ(info.llFirst, info.llNow - 59);
    int newest = VORNHIST_GAP;
    for (unsigned int i = 0; i < info.nSlots; ++i) {
        if (slots[i].nMean != VORNHIST_GAP)
            newest = slots[i].nMean;
    }
    EXPECT_EQ(newest, -12049) << "-12.049 V";
    ASSERT_EQ(plugin.GetHistory(LM_FAN1, VORNHIST_MINUTES, -60, 0, info, slots.data(), 60, 2000),
              VORNHIST_OK);
    EXPECT_EQ(info.nStep, 60u);
    EXPECT_EQ(slots[info.nSlots - 1].nMax, 2812) << "2812.4 RPM to the nearest";
    // The poll goes on as before on its own socket.
    ASSERT_NE(plugin.Get(data, 2000), 0);
    EXPECT_STREQ(data.szText[LM_FAN1], "2812");
}

// ---- The bar ----------------------------------------------------------------------------------

TEST_F(AgentTest, BarShowsTheAgentsReadingsAndCountsNoFailure) {
    const std::string exe = BarExePath();
    ASSERT_TRUE(FileExists(exe)) << "VORNBAR.exe is not built (looked for " << exe << ")";
    CleanStart();
    WriteProfileText(HostSection(host_, {"DelayTimer=0", "MonitorTimer=1", "IconTimer=0"}));
    BarProcess bar;
    ASSERT_TRUE(bar.Start());
    HWND hwnd = bar.WaitForBar(kAppearMs);
    ASSERT_NE(hwnd, nullptr);

    // Display order, with the lines as the bar's formats lay out the agent's texts.
    const std::vector<std::pair<int, std::string>> want = {
        {IDC_SLOT01, "CPU :   45.0"}, {IDC_SLOT02, "PWR :   38.5"}, {IDC_SLOT03, "SYS :   30.0"},
        {IDC_SLOT04, "FAN1:   2812"}, {IDC_SLOT05, "FAN2:   1500"}, {IDC_SLOT06, "FAN3:      0"},
        {IDC_SLOT07, "VID :   1.35"}, {IDC_SLOT08, "VTT :   1.10"}, {IDC_SLOT09, "3.3V:   3.31"},
        {IDC_SLOT10, "+5V :  +5.02"}, {IDC_SLOT11, "-5V :  -5.04"}, {IDC_SLOT12, "+12V: +12.03"},
        {IDC_SLOT13, "-12V: -12.05"}};
    for (const auto& [id, text] : want) {
        std::string last;
        EXPECT_TRUE(WaitForControlText(
            hwnd, id, [&](const std::string& t) { return t == text; }, kTextMs, &last))
            << "slot " << id << ": \"" << last << "\", want \"" << text << "\"";
    }
    // A few more polls, every one answered.
    Sleep(2500);
    EXPECT_EQ(ControlText(hwnd, IDC_SLOT13), "-12V: -12.05");
    Post(hwnd, WM_CLOSE, 0, 0);
    ASSERT_TRUE(bar.WaitForExit(5000));
    const auto entries = SectionEntries(ReadProfileText(), "VORNBAR");
    std::string count = "<absent>";
    for (const auto& [k, v] : entries) {
        if (k == "ErrorCounter") {
            count = v;
        }
    }
    EXPECT_EQ(count, "0");
    RemoveProfile();
}

}  // namespace
}  // namespace vorn::e2e
