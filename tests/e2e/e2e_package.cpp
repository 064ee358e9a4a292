// The Windows zip as a user unpacks it (the package_windows_zip test leaves it unpacked and
// names the folder in VORN_UNPACKED_ZIP): the shipped VORNBAR.exe passes its own integrity
// check there (a refused start ends unseen), shows its bar and polls through the shipped
// VORNPLUG.dll; the shipped vornagent.exe runs and accepts the shipped configuration.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "res/resource.h"
#include "tests/e2e/bar_test.h"

namespace vorn::e2e {
namespace {

class ShippedZipTest : public BarTest {
protected:
    void SetUp() override {
        BarTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        const char* dir = std::getenv("VORN_UNPACKED_ZIP");
        ASSERT_TRUE(dir && *dir) << "VORN_UNPACKED_ZIP names no folder (run package_windows_zip)";
        dir_ = dir;
        ASSERT_TRUE(FileExists(dir_ + "\\VORNBAR.exe")) << "no VORNBAR.exe in " << dir_;
    }
    void TearDown() override {
        if (!dir_.empty())
            KillLeftoverBars(dir_ + "\\VORNBAR.exe");
        BarTest::TearDown();
    }

    std::string dir_;
};

TEST_F(ShippedZipTest, ShippedBarPassesItsIntegrityCheckAndPolls) {
    BarProcess bar(dir_ + "\\VORNBAR.exe");
    HWND hwnd = Start(bar, {}, 15000);
    ASSERT_NE(hwnd, nullptr) << "the shipped VORNBAR.exe showed no bar (refused by its "
                                "integrity check, or VORNPLUG.dll did not load)";
    const DWORD deadline = GetTickCount() + 15000;
    while (responder_.Requests() == 0 && GetTickCount() < deadline)
        Sleep(50);
    EXPECT_GT(responder_.Requests(), 0) << "the shipped bar never polled";
    PressKey(hwnd, VK_ESCAPE);
    EXPECT_TRUE(bar.WaitForExit(10000));
}

TEST_F(ShippedZipTest, ShippedAgentAcceptsItsConfiguration) {
    if (!FileExists(dir_ + "\\vornagent.exe"))
        GTEST_SKIP() << "the zip holds no vornagent.exe yet";
    BarProcess agent(dir_ + "\\vornagent.exe");
    ASSERT_TRUE(agent.Start("--check vornagent.conf"));
    ASSERT_TRUE(agent.WaitForExit(30000)) << "vornagent.exe --check did not end";
    EXPECT_EQ(agent.ExitCode(), 0u) << "vornagent.exe refused its shipped vornagent.conf";
}

}  // namespace
}  // namespace vorn::e2e
