#include <string>

#include <gtest/gtest.h>

#include "framework/afx_string.h"
#include "framework/command_line.h"

namespace {

TEST(CommandLine, TextAfterTheProgramNameIsKeptWhole) {
    EXPECT_STREQ(SkipProgramName("VORNBAR.exe"), "");
    EXPECT_STREQ(SkipProgramName("VORNBAR.exe SERVER2"), "SERVER2");
    EXPECT_STREQ(SkipProgramName("VORNBAR.exe  \t SERVER2 "), "SERVER2 ");
    EXPECT_STREQ(SkipProgramName("\"C:\\Program Files\\VORNBAR.exe\" host one"), "host one");
    EXPECT_STREQ(SkipProgramName("\"C:\\dir\\VORNBAR.exe\"SECTION"), "SECTION");
    EXPECT_STREQ(SkipProgramName("VORNBAR.exe \"quoted\" rest"), "\"quoted\" rest");
    EXPECT_STREQ(SkipProgramName("VORNBAR.exe    "), "");
    EXPECT_STREQ(SkipProgramName("\"unterminated"), "");
    EXPECT_STREQ(SkipProgramName(""), "");
    EXPECT_STREQ(SkipProgramName(nullptr), "");
}

TEST(CommandLine, ProfileIsNamedAfterTheExecutable) {
    EXPECT_EQ(ProfileNameForModule("C:\\Tools\\VORNBAR.exe"), "VORNBAR.INI");
    EXPECT_EQ(ProfileNameForModule("C:\\Tools\\VORNBAR2.exe"), "VORNBAR2.INI");
    EXPECT_EQ(ProfileNameForModule("/opt/bar/vornbar.EXE"), "vornbar.INI");
    EXPECT_EQ(ProfileNameForModule("D:VORNBAR.exe"), "VORNBAR.INI");
    EXPECT_EQ(ProfileNameForModule("VORNBAR"), "VORNBAR.INI");
}

TEST(CStringFormat, FollowsTheCLibraryRules) {
    CString s;
    s.Format("%5s  %5s", "CPU :", "45.0");
    EXPECT_EQ(s, "CPU :   45.0");
    s.Format("%6d", -42);
    EXPECT_EQ(s, "   -42");
    const std::string longText(10000, 'a');
    s.Format("<%s>", longText.c_str());
    EXPECT_EQ(s.GetLength(), 10002);
    s.Format("%s", "");
    EXPECT_TRUE(s.IsEmpty());
}

TEST(CStringFormat, NullTextsCountAsEmpty) {
    CString s(static_cast<const char*>(nullptr));
    EXPECT_TRUE(s.IsEmpty());
    s = "abc";
    s += nullptr;
    EXPECT_EQ(s, "abc");
    s = static_cast<const char*>(nullptr);
    EXPECT_EQ(s, "");
}

}  // namespace
