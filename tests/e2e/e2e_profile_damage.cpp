// The profile damage matrix: the real bar started over damaged VORNBAR.INI files. Every time
// it must come up, end normally on Escape, and leave a profile it can start from again, with
// every key of its section present and every number a whole decimal number.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "res/resource.h"
#include "tests/e2e/bar_test.h"

namespace vorn::e2e {
namespace {

constexpr DWORD kAppearMs = 30000;
constexpr DWORD kEndMs = 5000;

bool IsNumberKey(const std::string& key) {
    return key != "HostName" && key.rfind("String", 0) != 0;
}

bool IsWholeNumber(const std::string& s) {
    std::size_t i = !s.empty() && s[0] == '-' ? 1 : 0;
    if (i == s.size())
        return false;
    for (; i < s.size(); ++i) {
        if (s[i] < '0' || s[i] > '9')
            return false;
    }
    return true;
}

// First value of `key` in the VORNBAR section, or nothing when absent.
bool FirstValue(const std::string& text, const std::string& key, std::string* value) {
    for (const auto& [k, v] : SectionEntries(text, "VORNBAR")) {
        if (_stricmp(k.c_str(), key.c_str()) == 0) {
            *value = v;
            return true;
        }
    }
    return false;
}

std::string BinaryGarbage() {
    std::mt19937 rng(20261207);
    std::uniform_int_distribution<int> byte(0, 255);
    std::string s(4096, '\0');
    for (char& c : s)
        c = static_cast<char>(byte(rng));
    return s;
}

struct DamageCase {
    const char* name;
    std::string content;
    // Status line the bar must show at start ("" for no check): proves what it read.
    std::string status;
    // A host name that cannot be resolved: the bar ends by itself, never shown.
    bool ends_unseen = false;
};

std::vector<DamageCase> Cases() {
    const std::string huge(5000, 'W');
    return {
        {"EmptyFile", "", ""},
        {"BinaryGarbage", BinaryGarbage(), ""},
        {"GarbageAroundAGoodSection",
         BinaryGarbage().substr(0, 300) +
             "\r\n[VORNBAR]\r\nSocketTimer=1234\r\n"
             "DefaultIndicator=3\r\n" +
             BinaryGarbage().substr(300, 300),
         "SOCK:   1234"},
        {"MissingSectionHeader", Lines({"SocketTimer=1500", "DefaultIndicator=3"}), ""},
        {"DuplicatedKeys",
         Lines({"[VORNBAR]", "SocketTimer=1500", "DefaultIndicator=3", "SocketTimer=3000",
                "DefaultIndicator=0"}),
         "SOCK:   1500"},
        {"DuplicatedSections",
         Lines({"[VORNBAR]", "SocketTimer=1700", "DefaultIndicator=3", "[VORNBAR]",
                "SocketTimer=3000"}),
         "SOCK:   1700"},
        {"FiveThousandCharacterValues",
         Lines({"[VORNBAR]", "StringTCPU=" + huge, "StringVM12=" + huge, "SocketTimer=" + huge,
                "Indicator03=" + huge, "DelayTimer=0"}),
         ""},
        {"FiveThousandCharacterHostName", Lines({"[VORNBAR]", "HostName=" + huge}), "", true},
        {"OutOfRangeNumbers",
         Lines({"[VORNBAR]", "SocketTimer=-5", "MonitorTimer=99999999999", "IconTimer=2147483648",
                "DelayTimer=-2147483649", "Indicator00=99", "Indicator05=-3", "Indicator13=14",
                "DefaultIndicator=77", "Top=-999999", "Left=999999", "Right=-1", "Bottom=0",
                "Stick=5", "TopMost=-1", "SaveIni=7", "ErrorCounter=-40"}),
         ""},
        {"NonNumericNumbers",
         Lines({"[VORNBAR]", "SocketTimer=abc", "MonitorTimer=12abc",
                "IconTimer=", "DelayTimer= ", "Indicator01=x", "DefaultIndicator=3z", "Top=0x10",
                "Left=1e3", "Stick=yes", "TopMost=true"}),
         ""},
    };
}

// The bar here finds its host (or none) in the damaged file, never a responder.
class ProfileDamage : public BarTest {
protected:
    ProfileDamage() : BarTest(false) {}

    void TearDown() override {
        if (!exe_.empty() && FileExists(exe_)) {
            SetFileAttributesA(ProfilePath().c_str(), FILE_ATTRIBUTE_NORMAL);
        }
        BarTest::TearDown();
    }

    // Starts the bar, waits for the end of its initialisation, reads the status line, ends
    // it with Escape. False (with a failure recorded) when any step goes wrong.
    bool RunOnce(const std::string& what, std::string* status = nullptr) {
        BarProcess bar(exe_);
        if (!bar.Start()) {
            ADD_FAILURE() << what << ": CreateProcess failed";
            return false;
        }
        HWND hwnd = bar.WaitForBar(kAppearMs);
        if (hwnd == nullptr) {
            ADD_FAILURE() << what << ": no bar; "
                          << (bar.Running() ? "still running" : "ended with code ")
                          << (bar.Running() ? 0 : bar.ExitCode());
            return false;
        }
        if (!WaitForFocus(hwnd, IDC_TOPMOST, 10000)) {
            ADD_FAILURE() << what << ": the initialisation did not end";
            return false;
        }
        if (status)
            *status = ControlText(hwnd, IDC_SLOT00);
        PressKey(hwnd, VK_ESCAPE);
        if (!bar.WaitForExit(kEndMs)) {
            ADD_FAILURE() << what << ": Escape did not end the program";
            return false;
        }
        EXPECT_EQ(bar.ExitCode(), 0u) << what;
        return true;
    }

    // The written-back profile: the section has every key, numbers are whole numbers.
    void ExpectSound(const std::string& what) {
        const std::string text = ReadProfileText();
        for (const std::string& key : SavedKeyOrder()) {
            std::string value;
            if (!FirstValue(text, key, &value)) {
                ADD_FAILURE() << what << ": " << key << " missing after the exit";
                continue;
            }
            if (IsNumberKey(key)) {
                EXPECT_TRUE(IsWholeNumber(value)) << what << ": " << key << "=" << value;
            }
        }
        std::string save;
        EXPECT_TRUE(FirstValue(text, "SaveIni", &save) && save != "0") << what;
    }
};

TEST_F(ProfileDamage, TheBarStartsEndsAndWritesASoundProfileOverEveryDamagedFile) {
    for (const DamageCase& c : Cases()) {
        SCOPED_TRACE(c.name);
        KillLeftoverBars(exe_);
        WriteProfileText(c.content);
        if (c.ends_unseen) {
            BarProcess bar(exe_);
            ASSERT_TRUE(bar.Start());
            EXPECT_TRUE(bar.WaitForExitWatchingWindows(60000)) << "did not end by itself";
            EXPECT_FALSE(bar.EverShowedWindow());
            EXPECT_EQ(bar.ExitCode(), 0u);
            continue;
        }
        std::string status;
        if (!RunOnce(std::string(c.name) + " (damaged)", &status))
            continue;
        if (!c.status.empty()) {
            EXPECT_EQ(status, c.status) << c.name << ": what the bar read";
        }
        ExpectSound(std::string(c.name) + " (written back)");
        // What it wrote back is a profile it starts from and writes again.
        const std::string first = ReadProfileText();
        if (RunOnce(std::string(c.name) + " (restart)"))
            ExpectSound(std::string(c.name) + " (written again)");
        std::string a;
        std::string b;
        FirstValue(first, "SocketTimer", &a);
        FirstValue(ReadProfileText(), "SocketTimer", &b);
        EXPECT_EQ(a, b) << c.name << ": a restart keeps the values it read";
    }
}

TEST_F(ProfileDamage, AReadOnlyProfileIsReadAndTheBarEndsNormally) {
    const std::string content =
        Lines({"[VORNBAR]", "SocketTimer=1600", "DefaultIndicator=3", "HostName=127.0.0.1:9"});
    WriteProfileText(content);
    ASSERT_TRUE(SetFileAttributesA(ProfilePath().c_str(), FILE_ATTRIBUTE_READONLY));
    std::string status;
    ASSERT_TRUE(RunOnce("read-only", &status));
    EXPECT_EQ(status, "SOCK:   1600");
    // Saving into it fails silently; where the file system lets the write through anyway (a
    // prefix owned by root), what was written is a sound profile.
    if (ReadProfileText() != content)
        ExpectSound("read-only (written through)");
    EXPECT_NE(GetFileAttributesA(ProfilePath().c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
}

}  // namespace
}  // namespace vorn::e2e
