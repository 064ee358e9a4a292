// The start-up check of the program's own file: a copy of VORNBAR.exe with one byte changed
// ends by itself without showing anything and without touching its profile, while an
// unchanged copy runs normally.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "res/resource.h"
#include "tests/e2e/bar_test.h"

namespace vorn::e2e {
namespace {

std::vector<char> ReadFileBytes(const std::string& path) {
    std::vector<char> bytes;
    HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return bytes;
    LARGE_INTEGER size{};
    if (GetFileSizeEx(f, &size)) {
        bytes.resize(static_cast<size_t>(size.QuadPart));
        DWORD read = 0;
        if (!ReadFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) ||
            read != bytes.size()) {
            bytes.clear();
        }
    }
    CloseHandle(f);
    return bytes;
}

bool WriteFileBytes(const std::string& path, const std::vector<char>& bytes) {
    HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const bool ok =
        WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
        written == bytes.size();
    CloseHandle(f);
    return ok;
}

class IntegrityTest : public BarTest {
protected:
    void SetUp() override {
        BarTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        image_ = ReadFileBytes(exe_);
        ASSERT_GT(image_.size(), 0x1000u);
    }
    void TearDown() override {
        for (const auto& name : copies_) {
            KillLeftoverBars(DirectoryOf(exe_) + "\\" + name + ".exe");
            DeleteFileA((DirectoryOf(exe_) + "\\" + name + ".exe").c_str());
            RemoveProfile((name + ".INI").c_str());
        }
        BarTest::TearDown();
    }

    // A copy of the program next to it (so it finds VORNPLUG.dll), named `name`.exe, whose
    // profile names the test responder.
    std::string MakeCopy(const std::string& name, const std::vector<char>& bytes) {
        copies_.push_back(name);
        const std::string path = DirectoryOf(exe_) + "\\" + name + ".exe";
        EXPECT_TRUE(WriteFileBytes(path, bytes));
        WriteProfileText(HostSection(responder_.HostText(), {}), (name + ".INI").c_str());
        return path;
    }

    std::vector<char> image_;
    std::vector<std::string> copies_;
};

TEST_F(IntegrityTest, UnchangedCopyRunsAndEndsWithEscape) {
    BarProcess bar(MakeCopy("VORNCOPY", image_));
    ASSERT_TRUE(bar.Start());
    HWND hwnd = bar.WaitForBar(30000);
    ASSERT_NE(hwnd, nullptr);
    ASSERT_TRUE(WaitForFocus(hwnd, IDC_TOPMOST, 10000));
    PressKey(hwnd, VK_ESCAPE);
    EXPECT_TRUE(bar.WaitForExit(5000));
    EXPECT_NE(ReadProfileText("VORNCOPY.INI").find("ErrorCounter="), std::string::npos);
}

TEST_F(IntegrityTest, CopyWithOneByteChangedEndsUnseenAndLeavesItsProfileAlone) {
    // Bytes that the loader does not need: the DOS stub's message and the end of the file.
    for (size_t at : {size_t{0x60}, image_.size() - 1}) {
        std::vector<char> tampered = image_;
        tampered[at] ^= 0x20;
        const std::string name = "VORNTAMP" + std::to_string(copies_.size());
        BarProcess bar(MakeCopy(name, tampered));
        const std::string before = ReadProfileText((name + ".INI").c_str());
        ASSERT_TRUE(bar.Start());
        EXPECT_TRUE(bar.WaitForExitWatchingWindows(30000)) << "byte " << at;
        EXPECT_FALSE(bar.EverShowedWindow()) << "byte " << at;
        EXPECT_EQ(ReadProfileText((name + ".INI").c_str()), before) << "byte " << at;
        EXPECT_EQ(responder_.Requests(), 0);
    }
}

}  // namespace
}  // namespace vorn::e2e
