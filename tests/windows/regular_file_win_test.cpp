// ReadRegularFile on Windows: a disk file is read (capped), while a named pipe, a device or a
// directory in its place is refused at once, never waited on.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "readings/regular_file.h"

namespace {

using vorn::readings::ReadRegularFile;

std::string TempPath(const char* name) {
    char dir[MAX_PATH];
    GetTempPathA(sizeof dir, dir);
    return std::string(dir) + name;
}

TEST(RegularFileWin, ADiskFileIsReadAndCapped) {
    const std::string path = TempPath("vorn-regular-file-test.txt");
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("TCPU=40\nTSYS=30\n", f);
    std::fclose(f);
    const auto whole = ReadRegularFile(path, 1024);
    EXPECT_TRUE(whole.ok) << whole.error;
    EXPECT_EQ(whole.text, "TCPU=40\nTSYS=30\n");
    EXPECT_FALSE(whole.truncated);
    EXPECT_EQ(whole.mode, -1);  // no permission bits here
    const auto cut = ReadRegularFile(path, 4);
    EXPECT_TRUE(cut.ok);
    EXPECT_EQ(cut.text, "TCPU");
    EXPECT_TRUE(cut.truncated);
    DeleteFileA(path.c_str());
    const auto missing = ReadRegularFile(path, 1024);
    EXPECT_FALSE(missing.ok);
    EXPECT_EQ(missing.error.rfind("cannot be opened", 0), 0u) << missing.error;
}

TEST(RegularFileWin, APipeADeviceOrADirectoryIsRefusedAtOnce) {
    const std::string pipe_name = "\\\\.\\pipe\\vorn-regular-file-test";
    const HANDLE pipe = CreateNamedPipeA(pipe_name.c_str(), PIPE_ACCESS_DUPLEX,
                                         PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    // Nothing is ever written to the pipe: reading it would wait for good.
    const auto from_pipe = ReadRegularFile(pipe_name, 1024);
    EXPECT_FALSE(from_pipe.ok);
    EXPECT_EQ(from_pipe.error, "is not a regular file");
    CloseHandle(pipe);
    const auto device = ReadRegularFile("NUL", 1024);
    EXPECT_FALSE(device.ok);
    EXPECT_EQ(device.error, "is not a regular file");
    char dir[MAX_PATH];
    GetTempPathA(sizeof dir, dir);
    EXPECT_FALSE(ReadRegularFile(dir, 1024).ok);
}

}  // namespace
