// The history file on Windows: a save replaces the file before it (MoveFileEx), the next start
// reads it back, and a damaged file is set aside beside an older .bad.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>

#include "history/history_file.h"
#include "history/store.h"

namespace vorn::history {
namespace {

std::string TempPath(const char* name) {
    char dir[MAX_PATH];
    GetTempPathA(MAX_PATH, dir);
    return std::string(dir) + name + std::to_string(GetCurrentProcessId());
}

std::int32_t CpuAt(const Store& store, std::int64_t t) {
    proto::HistorySlot slot;
    store.Query(1, proto::kCpu, t, 1, &slot);
    return slot.max;
}

TEST(HistoryFileWindows, SavesOverTheLastFileAndSetsADamagedOneAside) {
    const std::string path = TempPath("vorn-history-");
    constexpr std::int64_t kT0 = 1764547200;
    auto store = std::make_unique<Store>();
    Sample s;
    s.values[proto::kCpu] = 455;
    store->Record(kT0, s);
    std::string error;
    ASSERT_TRUE(SaveHistory(*store, path, &error)) << error;
    s.values[proto::kCpu] = 915;
    store->Record(kT0 + 1, s);
    ASSERT_TRUE(SaveHistory(*store, path, &error)) << error << ": the second save replaces";
    auto loaded = std::make_unique<Store>();
    ASSERT_EQ(LoadHistory(loaded.get(), path).outcome, LoadOutcome::kLoaded);
    EXPECT_EQ(CpuAt(*loaded, kT0), 915);

    for (int round = 0; round < 2; ++round) {  // the second time a .bad is already there
        std::FILE* f = std::fopen(path.c_str(), "r+b");
        ASSERT_TRUE(f);
        std::fseek(f, 1000, SEEK_SET);
        std::fputc(0x55, f);
        std::fclose(f);
        const LoadResult r = LoadHistory(loaded.get(), path);
        EXPECT_EQ(r.outcome, LoadOutcome::kSetAside) << r.message;
        EXPECT_NE(r.message.find(path + ".bad"), std::string::npos) << r.message;
        EXPECT_EQ(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);
        ASSERT_TRUE(SaveHistory(*store, path, &error)) << error;
    }
    DeleteFileA(path.c_str());
    DeleteFileA((path + ".bad").c_str());
}

}  // namespace
}  // namespace vorn::history
