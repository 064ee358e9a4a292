// The history store: its three resolutions and their aggregation, gaps, wrap-around, its fixed
// size, clock jumps, and its file (saved, loaded, and set aside when damaged).
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include "history/crc32.h"
#include "history/history_file.h"
#include "history/store.h"
#include "tests/native/agent_test_support.h"

namespace vorn::history {
namespace {

using agent::testing::TempDir;

constexpr int kSamples = 0;
constexpr int kMinutes = 1;
constexpr int kQuarters = 2;
// A Monday at 00:00:00 UTC, a multiple of every step.
constexpr std::int64_t kT0 = 1764547200;

Sample CpuAt(std::int32_t tenths, bool alarm = false) {
    Sample s;
    s.values[proto::kCpu] = tenths;
    s.values[proto::kFan1] = 1200;
    s.alarm_mask = alarm ? 1u << proto::kCpu : 0;
    return s;
}

proto::HistorySlot At(const Store& store, int resolution, std::int64_t time,
                      int reading = proto::kCpu) {
    proto::HistorySlot slot;
    store.Query(resolution, reading, time, 1, &slot);
    return slot;
}

bool IsGap(const proto::HistorySlot& s) {
    return s.min == kGap && s.mean == kGap && s.max == kGap && !s.alarm;
}

std::vector<std::uint8_t> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

TEST(HistoryStore, KeepsEachSecondAndAggregatesMinutesAndQuarterHours) {
    auto store = std::make_unique<Store>();
    // Minute 0: 45.0, 47.5 (in alarm), 44.0; minute 1: -3.5 and -3.0; nothing later.
    store->Record(kT0 + 1, CpuAt(450));
    store->Record(kT0 + 20, CpuAt(475, true));
    store->Record(kT0 + 40, CpuAt(440));
    store->Record(kT0 + 61, CpuAt(-35));
    store->Record(kT0 + 62, CpuAt(-30));

    EXPECT_EQ(At(*store, kSamples, kT0 + 20).mean, 475);
    EXPECT_TRUE(At(*store, kSamples, kT0 + 20).alarm);
    EXPECT_FALSE(At(*store, kSamples, kT0 + 40).alarm);
    EXPECT_TRUE(IsGap(At(*store, kSamples, kT0 + 2))) << "a second without a sample";

    const proto::HistorySlot m0 = At(*store, kMinutes, kT0);
    EXPECT_EQ(m0.min, 440);
    EXPECT_EQ(m0.mean, 455);  // (450 + 475 + 440) / 3
    EXPECT_EQ(m0.max, 475);
    EXPECT_TRUE(m0.alarm);
    const proto::HistorySlot m1 = At(*store, kMinutes, kT0 + 60);
    EXPECT_EQ(m1.min, -35);
    EXPECT_EQ(m1.mean, -33);  // -32.5 rounds away from zero
    EXPECT_EQ(m1.max, -30);
    EXPECT_FALSE(m1.alarm);
    EXPECT_TRUE(IsGap(At(*store, kMinutes, kT0 + 120)));

    const proto::HistorySlot q0 = At(*store, kQuarters, kT0);
    EXPECT_EQ(q0.min, -35);
    EXPECT_EQ(q0.max, 475);
    EXPECT_EQ(q0.mean, (450 + 475 + 440 - 35 - 30 + 2) / 5);
    EXPECT_TRUE(q0.alarm);
    EXPECT_EQ(At(*store, kQuarters, kT0, proto::kFan1).mean, 1200);
    EXPECT_EQ(store->newest(), kT0 + 62);
}

TEST(HistoryStore, AReadingWithoutValueIsAGapInEveryResolution) {
    auto store = std::make_unique<Store>();
    Sample none;
    store->Record(kT0, none);
    store->Record(kT0 + 1, CpuAt(500));
    for (int r : {kSamples, kMinutes, kQuarters})
        EXPECT_TRUE(IsGap(At(*store, r, kT0, proto::kVP12))) << r;
    EXPECT_TRUE(IsGap(At(*store, kSamples, kT0)));
    // A missing value does not pull the minute's aggregate.
    EXPECT_EQ(At(*store, kMinutes, kT0).min, 500);
    EXPECT_EQ(At(*store, kMinutes, kT0).mean, 500);
}

TEST(HistoryStore, RingsWrapAroundAndForgetOnlyWhatFellOut) {
    auto store = std::make_unique<Store>();
    store->Record(kT0, CpuAt(100));
    // An hour and a bit later the second ring has gone round: that second is gone there.
    for (std::int64_t t = kT0 + 60; t <= kT0 + 3700; t += 60)
        store->Record(t, CpuAt(static_cast<std::int32_t>(t - kT0)));
    EXPECT_TRUE(IsGap(At(*store, kSamples, kT0)));
    EXPECT_EQ(At(*store, kSamples, kT0 + 3660).mean, 3660);
    EXPECT_EQ(At(*store, kMinutes, kT0).mean, 100) << "the minute ring keeps 48 hours";
    // 49 hours later the minute ring has gone round too; the quarter-hour ring still holds it.
    store->Record(kT0 + 49 * 3600, CpuAt(7));
    EXPECT_TRUE(IsGap(At(*store, kMinutes, kT0)));
    EXPECT_EQ(At(*store, kQuarters, kT0).min, 60);
    EXPECT_EQ(At(*store, kQuarters, kT0).max, 840);
    // 36 days later the first day is gone; the sample of 34 days ago is still there.
    store->Record(kT0 + 36 * 86400, CpuAt(9));
    EXPECT_TRUE(IsGap(At(*store, kQuarters, kT0)));
    EXPECT_EQ(At(*store, kQuarters, kT0 + 49 * 3600).mean, 7);
    EXPECT_EQ(At(*store, kQuarters, kT0 + 36 * 86400).mean, 9);
}

TEST(HistoryStore, SizeIsFixedAndWithinItsBudget) {
    const std::size_t size = Store::SerializedSize();
    EXPECT_LT(FileSize(), 1536u * 1024u);
    EXPECT_EQ(FileSize(), kFileHeaderSize + size);
    TempDir dir;
    const std::string path = dir.path() + "/history";
    auto store = std::make_unique<Store>();
    ASSERT_TRUE(SaveHistory(*store, path, nullptr));
    EXPECT_EQ(ReadAll(path).size(), FileSize());
    // A month of a sample every 7 seconds does not make it any larger.
    for (std::int64_t t = kT0; t < kT0 + 31 * 86400; t += 7)
        store->Record(t, CpuAt(static_cast<std::int32_t>(t % 1000)));
    ASSERT_TRUE(SaveHistory(*store, path, nullptr));
    EXPECT_EQ(ReadAll(path).size(), FileSize());
    EXPECT_EQ(Store::SerializedSize(), size);
}

TEST(HistoryStore, ClockSetForwardsLeavesGapsAndKeepsTheRest) {
    auto store = std::make_unique<Store>();
    store->Record(kT0, CpuAt(300));
    store->Record(kT0 + 3 * 3600 + 5, CpuAt(310));
    EXPECT_EQ(At(*store, kMinutes, kT0).mean, 300);
    EXPECT_TRUE(IsGap(At(*store, kMinutes, kT0 + 3600)));
    EXPECT_TRUE(IsGap(At(*store, kSamples, kT0 + 3 * 3600 + 4)));
    EXPECT_EQ(At(*store, kSamples, kT0 + 3 * 3600 + 5).mean, 310);
    // Forwards by years: every ring is cleared, with bounded work, and goes on.
    store->Record(kT0 + 400LL * 86400 * 365, CpuAt(320));
    EXPECT_TRUE(IsGap(At(*store, kQuarters, kT0)));
    EXPECT_EQ(At(*store, kQuarters, kT0 + 400LL * 86400 * 365).mean, 320);
}

TEST(HistoryStore, ClockSetBackwardsDropsWhatWasStampedAheadOnly) {
    auto store = std::make_unique<Store>();
    store->Record(kT0, CpuAt(100));
    store->Record(kT0 + 3600, CpuAt(200));
    store->Record(kT0 + 7200, CpuAt(300));
    // A step back of a second or two: the sample is dropped, nothing is lost.
    store->Record(kT0 + 7199, CpuAt(999));
    EXPECT_EQ(At(*store, kMinutes, kT0 + 7200).max, 300);
    EXPECT_EQ(store->newest(), kT0 + 7200);
    // Set back by 90 minutes: what was recorded after the new time goes, the rest stays.
    store->Record(kT0 + 1800, CpuAt(150));
    EXPECT_EQ(store->newest(), kT0 + 1800);
    EXPECT_EQ(At(*store, kMinutes, kT0).mean, 100);
    EXPECT_EQ(At(*store, kMinutes, kT0 + 1800).mean, 150);
    EXPECT_TRUE(IsGap(At(*store, kMinutes, kT0 + 3600)));
    EXPECT_TRUE(IsGap(At(*store, kMinutes, kT0 + 7200)));
    EXPECT_EQ(At(*store, kQuarters, kT0 + 1800).mean, 150) << "the quarter starts afresh";
    EXPECT_TRUE(IsGap(At(*store, kQuarters, kT0 + 3600)));
    // The rings go on from there.
    store->Record(kT0 + 1860, CpuAt(160));
    EXPECT_EQ(At(*store, kMinutes, kT0 + 1860).mean, 160);
    EXPECT_EQ(At(*store, kQuarters, kT0 + 1800).max, 160);
    // Before 1970: ignored.
    store->Record(-5, CpuAt(1));
    EXPECT_EQ(store->newest(), kT0 + 1860);
}

TEST(HistoryFile, SavesAndLoadsEverySlotAndTheOpenSlotsMean) {
    TempDir dir;
    const std::string path = dir.path() + "/history";
    auto store = std::make_unique<Store>();
    for (std::int64_t t = kT0; t < kT0 + 3 * 3600; t += 13)
        store->Record(t, CpuAt(static_cast<std::int32_t>((t * 7) % 900 - 300), t % 5 == 0));
    std::string error;
    ASSERT_TRUE(SaveHistory(*store, path, &error)) << error;
    EXPECT_FALSE(Exists(path + ".new"));
    auto loaded = std::make_unique<Store>();
    const LoadResult result = LoadHistory(loaded.get(), path);
    ASSERT_EQ(result.outcome, LoadOutcome::kLoaded) << result.message;
    EXPECT_EQ(loaded->newest(), store->newest());
    for (int r : {kSamples, kMinutes, kQuarters}) {
        const std::int64_t step = kRingShapes[r].step;
        const std::size_t n = static_cast<std::size_t>(4 * 3600 / step);
        std::vector<proto::HistorySlot> a(n), b(n);
        store->Query(r, proto::kCpu, kT0 - 3600, n, a.data());
        loaded->Query(r, proto::kCpu, kT0 - 3600, n, b.data());
        for (std::size_t i = 0; i < n; ++i) {
            ASSERT_EQ(a[i].mean, b[i].mean) << r << " " << i;
            ASSERT_EQ(a[i].min, b[i].min);
            ASSERT_EQ(a[i].max, b[i].max);
            ASSERT_EQ(a[i].alarm, b[i].alarm);
        }
    }
    // The open quarter hour goes on with its exact sums after the restart.
    const std::int64_t next = store->newest() + 1;
    store->Record(next, CpuAt(555));
    loaded->Record(next, CpuAt(555));
    EXPECT_EQ(At(*loaded, kQuarters, next).mean, At(*store, kQuarters, next).mean);
    EXPECT_EQ(At(*loaded, kMinutes, next).mean, At(*store, kMinutes, next).mean);
}

TEST(HistoryFile, ADamagedForeignOrFutureFileIsSetAsideOnce) {
    TempDir dir;
    const std::string path = dir.path() + "/history";
    auto store = std::make_unique<Store>();
    store->Record(kT0, CpuAt(420));
    ASSERT_TRUE(SaveHistory(*store, path, nullptr));
    const std::vector<std::uint8_t> good = ReadAll(path);

    std::vector<std::uint8_t> flipped = good;
    flipped[good.size() / 2] ^= 0x10;
    std::vector<std::uint8_t> future = good;
    future[11] = 2;  // format version 2, with its header CRC made right again
    std::uint8_t header[kFileHeaderSize];
    std::copy(future.begin(), future.begin() + kFileHeaderSize, header);
    const std::uint32_t crc = Crc32(0, header, 44);
    for (int i = 0; i < 4; ++i)
        future[44 + i] = static_cast<std::uint8_t>(crc >> (24 - 8 * i));
    const struct {
        const char* name;
        std::vector<std::uint8_t> bytes;
        const char* says;
    } cases[] = {
        {"flipped", flipped, "damaged"},
        {"cut", std::vector<std::uint8_t>(good.begin(), good.end() - 100), "cut short"},
        {"longer",
         [&] {
             auto v = good;
             v.push_back(0);
             return v;
         }(),
         "damaged"},
        {"foreign", std::vector<std::uint8_t>(good.size(), 'x'), "not a history file"},
        {"empty", {}, "too short"},
        {"future", future, "format version 2"},
    };
    for (const auto& c : cases) {
        WriteAll(path, c.bytes);
        auto loaded = std::make_unique<Store>();
        loaded->Record(kT0 + 5, CpuAt(1));
        const LoadResult result = LoadHistory(loaded.get(), path);
        EXPECT_EQ(result.outcome, LoadOutcome::kSetAside) << c.name;
        EXPECT_NE(result.message.find(c.says), std::string::npos)
            << c.name << ": " << result.message;
        EXPECT_NE(result.message.find(path + ".bad"), std::string::npos) << result.message;
        EXPECT_EQ(result.message.find('\n'), std::string::npos);
        EXPECT_EQ(loaded->newest(), -1) << c.name << ": starts afresh";
        EXPECT_FALSE(Exists(path)) << c.name;
        EXPECT_EQ(ReadAll(path + ".bad"), c.bytes) << c.name;
        // Afterwards the next save and load work as ever.
        ASSERT_TRUE(SaveHistory(*store, path, nullptr));
        EXPECT_EQ(LoadHistory(loaded.get(), path).outcome, LoadOutcome::kLoaded);
        EXPECT_EQ(At(*loaded, kSamples, kT0).mean, 420);
    }
    std::remove(path.c_str());
    auto fresh = std::make_unique<Store>();
    EXPECT_EQ(LoadHistory(fresh.get(), path).outcome, LoadOutcome::kMissing);
}

TEST(HistoryFile, ASaveThatCannotBeWrittenLeavesTheOldFile) {
    TempDir dir;
    auto store = std::make_unique<Store>();
    std::string error;
    EXPECT_FALSE(SaveHistory(*store, dir.path() + "/missing/dir/history", &error));
    EXPECT_NE(error.find("cannot write"), std::string::npos) << error;
}

}  // namespace
}  // namespace vorn::history
