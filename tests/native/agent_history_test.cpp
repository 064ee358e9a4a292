// Version 3, history pages, as docs/protocol.md describes them, read by a client written from
// that document: every page form and refusal, the budget, paging through a day, and the
// agent's socket answering pages beside polls whose bytes do not change.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/stat.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "agent/history_keeper.h"
#include "agent/history_pages.h"
#include "agent/options.h"
#include "agent/server.h"
#include "history/history_file.h"
#include "history/store.h"
#include "tests/native/agent_test_support.h"
#include "tests/native/history_client.h"

namespace vorn::agent {
namespace {

namespace hc = history_client;
using testing::Loopback;
using testing::UdpClient;

// 2025-12-01 00:00:00 UTC, a multiple of every step; the agent's clock is kNow.
constexpr std::int64_t kT0 = 1764547200;
constexpr std::int64_t kNow = kT0 + 2 * 86400 + 5;

sockaddr_in Source(std::uint8_t last) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(0x7F000000u | last);
    return sa;
}

history::Sample Sample(std::int32_t cpu, std::int32_t vm12, bool cpu_alarm) {
    history::Sample s;
    s.values[proto::kCpu] = cpu;
    s.values[proto::kVM12] = vm12;
    s.alarm_mask = cpu_alarm ? 1u << proto::kCpu : 0;
    return s;
}

class HistoryPagesTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Two days by the half minute: CPU climbs 0.1 degC a sample, in alarm above 150.0.
        for (std::int64_t t = kT0; t <= kNow - 5; t += 30) {
            const auto cpu = static_cast<std::int32_t>((t - kT0) / 30);
            store_->Record(t, Sample(cpu, -12049, cpu > 1500));
        }
        // Then the last five seconds, every second, with VM12 missing at kNow - 2.
        for (std::int64_t t = kNow - 4; t <= kNow; ++t)
            store_->Record(t, Sample(455, t == kNow - 2 ? history::kGap : -12000, false));
        latest_.readings[proto::kCpu].high = 80.0;  // the source's limit
        pages_.SetInterval(1000);
    }

    std::optional<hc::Reply> Ask(const hc::Request& r, std::uint8_t source = 1,
                                 HistoryBudget::Clock::time_point at = {}) {
        const std::vector<std::uint8_t> d = hc::Encode(r);
        const sockaddr_in from = Source(source);
        std::uint8_t out[proto::kHistoryMaxDatagram];
        std::size_t size = 0;
        last_ = pages_.Answer(reinterpret_cast<const sockaddr*>(&from), d.data(), d.size(), kNow,
                              at == HistoryBudget::Clock::time_point{} ? clock_ : at, latest_, out,
                              &size);
        if (last_ != HistoryPages::Outcome::kPage && last_ != HistoryPages::Outcome::kRefusal)
            return std::nullopt;
        EXPECT_LE(size, d.size()) << "a reply is never longer than its request";
        return hc::Decode(std::vector<std::uint8_t>(out, out + size), r);
    }

    std::unique_ptr<history::Store> store_ = std::make_unique<history::Store>();
    HistoryPages pages_{store_.get()};
    readings::Snapshot latest_;
    HistoryBudget::Clock::time_point clock_ = HistoryBudget::Clock::now();
    HistoryPages::Outcome last_{};
};

TEST_F(HistoryPagesTest, SamplesPageCarriesValuesGapsAndTheHeader) {
    const auto r = Ask({7, proto::kVM12, 0, 0, -9, 1232});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 0);
    EXPECT_EQ(r->now, kNow);
    EXPECT_EQ(r->first, kNow - 9);
    EXPECT_EQ(r->step, 1u);
    EXPECT_EQ(r->extra, 1000u) << "the sampling interval";
    ASSERT_EQ(r->count, 10) << "up to the current slot and no further";
    // kNow-9 .. kNow-5: kNow-5 is a half-minute sample, the seconds between are gaps.
    EXPECT_EQ(r->slots[0][1], hc::kGap);
    EXPECT_EQ(r->slots[4][1], -12049);
    EXPECT_EQ(r->slots[5][1], -12000);
    EXPECT_EQ(r->slots[7][1], hc::kGap) << "no VM12 at kNow - 2";
    EXPECT_EQ(r->slots[9][1], -12000);
    EXPECT_EQ(r->low, hc::kGap);
    EXPECT_EQ(r->high, hc::kGap);
}

TEST_F(HistoryPagesTest, MinutesAndQuarterHoursCarryMinimumMeanMaximumAlarmsAndLimits) {
    // Minute kT0 + 1 day holds the samples 2880 and 2881 (CPU 288.0 and 288.1), in alarm.
    const auto m = Ask({8, proto::kCpu, 1, 2, kT0 + 86400, 1232});
    ASSERT_TRUE(m);
    EXPECT_EQ(m->status, 0);
    EXPECT_EQ(m->first, kT0 + 86400);
    EXPECT_EQ(m->step, 60u);
    ASSERT_EQ(m->count, 2) << "the most slots wanted";
    EXPECT_EQ(m->slots[0], (std::array<std::int32_t, 3>{2880, 2881, 2881}));
    EXPECT_TRUE(m->alarms[0]);
    EXPECT_EQ(m->high, 800) << "the source's 80.0 degC";
    EXPECT_EQ(m->low, hc::kGap);
    // The configuration's limit over the source's.
    readings::AlarmSettings alarms;
    alarms.readings[proto::kCpu].high = {readings::LimitSetting::Kind::kValue, 75.5};
    alarms.readings[proto::kCpu].low = {readings::LimitSetting::Kind::kValue, -3.5};
    pages_.SetAlarms(alarms);
    const auto q = Ask({9, proto::kCpu, 2, 0, kT0, 1232});
    ASSERT_TRUE(q);
    EXPECT_EQ(q->high, 755);
    EXPECT_EQ(q->low, -35);
    EXPECT_EQ(q->step, 900u);
    EXPECT_EQ(q->count, 97) << "as many as fit in 1232 bytes";
    EXPECT_EQ(q->slots[0], (std::array<std::int32_t, 3>{0, 15, 29}));  // mean of 0..29 is 14.5
    EXPECT_FALSE(q->alarms[0]);
    EXPECT_TRUE(q->alarms[50]);
    // A quarter hour before the first sample is a gap.
    const auto before = Ask({10, proto::kCpu, 2, 1, kT0 - 900, 1232});
    ASSERT_TRUE(before);
    EXPECT_EQ(before->slots[0], (std::array<std::int32_t, 3>{hc::kGap, hc::kGap, hc::kGap}));
    EXPECT_FALSE(before->alarms[0]);
}

TEST_F(HistoryPagesTest, ThePageIsAsLongAsTheRequestAllows) {
    // 48 + 4n + ceil(n/8) <= S: 53 bytes take one sample, 1232 take 287.
    for (const auto& [size, res, n] : std::vector<std::tuple<std::size_t, int, int>>{
             {53, 0, 1}, {62, 0, 3}, {1232, 0, 287}, {61, 1, 1}, {85, 1, 3}, {1232, 1, 97}}) {
        const auto r = Ask({11, proto::kCpu, static_cast<std::uint8_t>(res), 0,
                            res == 0 ? -1000 : kT0 + 86400, size});
        ASSERT_TRUE(r) << size;
        EXPECT_EQ(r->status, 0) << size;
        EXPECT_EQ(r->count, n) << size << " bytes, resolution " << res;
    }
}

TEST_F(HistoryPagesTest, EveryRefusalHasItsCode) {
    struct Case {
        const char* what;
        hc::Request request;
        int status;
    };
    const Case cases[] = {
        {"reading 13", {1, 13, 0, 0, 0, 1232}, 2},
        {"resolution 3", {2, 0, 3, 0, 0, 1232}, 3},
        {"52 bytes for a sample", {3, 0, 0, 0, 0, 52}, 4},
        {"60 bytes for a minute", {4, 0, 1, 0, 0, 60}, 4},
        {"48 bytes", {5, 0, 2, 0, 0, 48}, 4},
        {"an hour ago by the second", {6, 0, 0, 0, -3600, 1232}, 5},
        {"49 hours ago by the minute", {7, 0, 1, 0, -49 * 3600, 1232}, 5},
        {"after now", {8, 0, 0, 0, kNow + 1, 1232}, 5},
        {"the year 1970", {9, 0, 2, 0, 1, 1232}, 5},
        {"the farthest past", {10, 0, 2, 0, INT64_MIN, 1232}, 5},
    };
    for (const Case& c : cases) {
        const auto r = Ask(c.request);
        ASSERT_TRUE(r) << c.what;
        EXPECT_EQ(r->status, c.status) << c.what;
        EXPECT_EQ(r->now, kNow) << c.what;
    }
    // Out of range names the oldest slot kept, and that slot is served.
    const auto range = Ask({11, 0, 0, 0, -3600, 1232});
    EXPECT_EQ(range->first, kNow - 3599);
    EXPECT_EQ(range->step, 1u);
    const auto oldest = Ask({12, 0, 0, 1, range->first, 1232});
    EXPECT_EQ(oldest->status, 0);
    EXPECT_EQ(Ask({13, 0, 0, 1, -3599, 1232})->status, 0);
    // History off.
    HistoryPages off(nullptr);
    const hc::Request req{14, 0, 0, 0, 0, 1232};
    const std::vector<std::uint8_t> d = hc::Encode(req);
    const sockaddr_in from = Source(1);
    std::uint8_t out[proto::kHistoryMaxDatagram];
    std::size_t size = 0;
    EXPECT_EQ(off.Answer(reinterpret_cast<const sockaddr*>(&from), d.data(), d.size(), kNow, clock_,
                         latest_, out, &size),
              HistoryPages::Outcome::kRefusal);
    const auto r = hc::Decode(std::vector<std::uint8_t>(out, out + size), req);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 1);
}

TEST_F(HistoryPagesTest, MalformedRequestsGetNoReply) {
    std::vector<std::vector<std::uint8_t>> bad;
    auto good = hc::Encode({1, 0, 0, 0, 0, 128});
    for (std::size_t at : {5u, 6u, 7u, 24u, 47u, 127u}) {
        auto d = good;
        d[at] ^= 1;
        bad.push_back(d);
    }
    bad.push_back(hc::Encode({1, 0, 0, 0, 0, 47}));
    bad.push_back(hc::Encode({1, 0, 0, 0, 0, 1233}));
    for (const auto& d : bad) {
        const sockaddr_in from = Source(1);
        std::uint8_t out[proto::kHistoryMaxDatagram];
        std::size_t size = 0;
        EXPECT_EQ(pages_.Answer(reinterpret_cast<const sockaddr*>(&from), d.data(), d.size(), kNow,
                                clock_, latest_, out, &size),
                  HistoryPages::Outcome::kMalformed)
            << d.size();
    }
}

TEST_F(HistoryPagesTest, EveryReadingsDayLoadsInPagesThatMeetExactly) {
    int pages = 0;
    for (std::uint8_t reading = 0; reading < proto::kFieldCount; ++reading) {
        std::int64_t start = -86400;
        std::vector<std::array<std::int32_t, 3>> day;
        for (int guard = 0; guard < 100 && day.size() < 1441; ++guard) {
            const auto r = Ask({static_cast<std::uint32_t>(pages), reading, 1, 0, start, 1232});
            ASSERT_TRUE(r);
            ASSERT_EQ(r->status, 0);
            ++pages;
            if (day.empty()) {
                EXPECT_EQ(r->first, kT0 + 86400);
            }
            day.insert(day.end(), r->slots.begin(), r->slots.end());
            start = r->first + r->count * 60;
            if (r->first + (r->count - 1) * 60 == (kNow / 60) * 60)
                break;
        }
        ASSERT_EQ(day.size(), 1441u) << "a day and the current minute";
        if (reading == proto::kCpu) {
            for (std::size_t i = 0; i + 1 < day.size(); ++i)
                EXPECT_EQ(day[i][0], static_cast<std::int32_t>(2880 + 2 * i)) << i;
        }
    }
    EXPECT_EQ(pages, 13 * 15);
}

TEST_F(HistoryPagesTest, TheBudgetRefusesAFloodAndSparesOtherSources) {
    HistoryBudget::Limits limits;
    limits.source_burst = 10;
    limits.source_rate = 10;
    HistoryPages pages(store_.get(), limits);
    const auto t = HistoryBudget::Clock::now();
    auto ask = [&](std::uint8_t source, HistoryBudget::Clock::time_point at,
                   std::size_t* size = nullptr) {
        const hc::Request req{99, 0, 1, 0, -60, 1232};
        const std::vector<std::uint8_t> d = hc::Encode(req);
        const sockaddr_in from = Source(source);
        std::uint8_t out[proto::kHistoryMaxDatagram];
        std::size_t n = 0;
        const auto outcome = pages.Answer(reinterpret_cast<const sockaddr*>(&from), d.data(),
                                          d.size(), kNow, at, latest_, out, &n);
        if (size)
            *size = n;
        std::optional<hc::Reply> r;
        if (outcome == HistoryPages::Outcome::kPage || outcome == HistoryPages::Outcome::kRefusal)
            r = hc::Decode(std::vector<std::uint8_t>(out, out + n), req);
        return std::make_pair(outcome, r);
    };
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(ask(1, t).first, HistoryPages::Outcome::kPage) << i;
    const auto refused = ask(1, t);
    ASSERT_TRUE(refused.second);
    EXPECT_EQ(refused.second->status, 6);
    EXPECT_EQ(refused.second->extra, 100u) << "a token comes back in 100 ms";
    // Within the next 100 ms the flood is dropped without a word; then told again.
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(ask(1, t + std::chrono::milliseconds(i)).first,
                  HistoryPages::Outcome::kOverBudget);
    EXPECT_EQ(ask(1, t + std::chrono::milliseconds(99)).first, HistoryPages::Outcome::kOverBudget);
    // Another source has its own budget.
    EXPECT_EQ(ask(2, t).first, HistoryPages::Outcome::kPage);
    // A tenth of a second later the flooding source has one page again.
    EXPECT_EQ(ask(1, t + std::chrono::milliseconds(101)).first, HistoryPages::Outcome::kPage);
    // Bad requests are paid for too: an unknown reading costs a token.
    HistoryPages strict(store_.get(), limits);
    const hc::Request bad{1, 20, 0, 0, 0, 128};
    const auto d = hc::Encode(bad);
    const sockaddr_in from = Source(3);
    std::uint8_t out[proto::kHistoryMaxDatagram];
    std::size_t n = 0;
    for (int i = 0; i < 10; ++i)
        strict.Answer(reinterpret_cast<const sockaddr*>(&from), d.data(), d.size(), kNow, t,
                      latest_, out, &n);
    strict.Answer(reinterpret_cast<const sockaddr*>(&from), d.data(), d.size(), kNow, t, latest_,
                  out, &n);
    EXPECT_EQ(hc::Decode(std::vector<std::uint8_t>(out, out + n), bad)->status, 6);
}

TEST(HistoryBudgetTable, AFullTableSendsNewSourcesToTheOverflowBucket) {
    HistoryBudget::Limits limits;
    limits.source_burst = 2;
    limits.source_rate = 1;
    limits.max_sources = 4;
    HistoryBudget budget(limits);
    const auto t = HistoryBudget::Clock::now();
    std::uint32_t retry = 0;
    for (std::uint8_t s = 1; s <= 4; ++s) {
        const sockaddr_in from = Source(s);
        EXPECT_EQ(budget.Take(reinterpret_cast<const sockaddr*>(&from), t, &retry),
                  HistoryBudget::Verdict::kTake);
    }
    EXPECT_EQ(budget.sources(), 4u);
    // Sources 5 to 9 share one bucket of two pages while the table's buckets are busy.
    int taken = 0;
    for (std::uint8_t s = 5; s <= 9; ++s) {
        const sockaddr_in from = Source(s);
        taken += budget.Take(reinterpret_cast<const sockaddr*>(&from), t, &retry) ==
                 HistoryBudget::Verdict::kTake;
    }
    EXPECT_EQ(taken, 2);
    EXPECT_EQ(budget.sources(), 4u);
    // Once a bucket has been idle long enough to be full again, a new source takes its place.
    const sockaddr_in late = Source(10);
    EXPECT_EQ(
        budget.Take(reinterpret_cast<const sockaddr*>(&late), t + std::chrono::seconds(3), &retry),
        HistoryBudget::Verdict::kTake);
    EXPECT_EQ(budget.sources(), 4u);
}

// Through the agent's socket: pages and polls in one batch; the poll's bytes are as ever.
TEST(AgentHistorySocket, PagesAndPollsShareTheSocketAndThePollIsUnchanged) {
    Server server;
    std::string error;
    ASSERT_TRUE(server.Listen({Loopback(AF_INET, 0)}, &error)) << error;
    const Endpoint to = server.Bound()[0];
    auto store = std::make_unique<history::Store>();
    const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
    for (std::int64_t t = now - 60; t <= now; ++t)
        store->Record(t, Sample(450, -12049, false));
    HistoryPages pages(store.get());
    server.SetHistory(&pages);
    auto refresher = testing::SampledRefresher(std::make_unique<testing::FixedSource>(
        testing::ReadingsOf({{proto::kCpu, 45.0}, {proto::kVM12, -12.049}})));
    AllowList allow{DefaultAllow()};
    UdpClient client(AF_INET);

    const hc::Request page_request{0xC0FFEEu, proto::kCpu, 0, 30, -29, 300};
    const auto page_bytes = hc::Encode(page_request);
    const proto::Datagram poll = proto::EncodeRequest(0x5EEDu, proto::kVersion2);
    ASSERT_TRUE(client.SendTo(to, page_bytes.data(), page_bytes.size()));
    ASSERT_TRUE(client.SendTo(to, poll.data(), poll.size()));
    server.ServeOnce(1000, -1, *refresher, allow);
    std::optional<std::vector<std::uint8_t>> first = client.Receive(1000);
    std::optional<std::vector<std::uint8_t>> second = client.Receive(1000);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->size(), proto::kDatagramSize) << "the poll is answered first";
    const proto::Datagram expected = proto::EncodeReply(
        0x5EEDu, proto::kVersion2, proto::ReplyStatus::kReadings, refresher->Latest()->fields, 0);
    EXPECT_EQ(*first, std::vector<std::uint8_t>(expected.begin(), expected.end()));
    const auto page = hc::Decode(*second, page_request);
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 0);
    EXPECT_LE(second->size(), page_bytes.size());
    EXPECT_GE(page->count, 29);
    EXPECT_EQ(page->slots[0][1], 450);
    EXPECT_EQ(server.counters().history_pages, 1u);
    EXPECT_EQ(server.counters().answered, 2u);

    // Without history the agent acts as one that never heard of version 3.
    server.SetHistory(nullptr);
    ASSERT_TRUE(client.SendTo(to, page_bytes.data(), page_bytes.size()));
    server.ServeOnce(1000, -1, *refresher, allow);
    EXPECT_FALSE(client.Receive(100));
    EXPECT_EQ(server.counters().malformed, 1u);
}

}  // namespace
}  // namespace vorn::agent

namespace vorn::agent {
namespace {

using testing::AgentProcess;
using testing::TempDir;

std::optional<hc::Reply> AskAgent(UdpClient& client, const Endpoint& to, const hc::Request& r) {
    const std::vector<std::uint8_t> d = hc::Encode(r);
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (!client.SendTo(to, d.data(), d.size()))
            return std::nullopt;
        while (auto got = client.Receive(1000)) {
            if (auto reply = hc::Decode(*got, r))
                return reply;
        }
    }
    return std::nullopt;
}

// The highest maximum CPU of the last few minutes, by the minute; nothing without a page.
std::optional<std::int32_t> PeakOfLastMinutes(UdpClient& client, const Endpoint& to) {
    const auto page = AskAgent(client, to, {0xAB12u, proto::kCpu, 1, 0, -300, 1232});
    if (!page || page->status != 0)
        return std::nullopt;
    std::int32_t peak = hc::kGap;
    for (const auto& slot : page->slots)
        peak = std::max(peak, slot[2]);
    return peak;
}

// Waits until the agent's current CPU reads `text`, so that the value has been sampled.
bool Sampled(UdpClient& client, const Endpoint& to, const std::string& text) {
    for (int i = 0; i < 100; ++i) {
        const auto a = testing::Ask(client, to, 1000 + static_cast<std::uint32_t>(i), 500);
        if (a && a->Text(proto::kCpu) == text)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

TEST(AgentHistoryProcess, APeakBetweenPollsIsKeptAcrossARestart) {
    TempDir dir;
    const std::string readings = dir.Write("r.txt", "TCPU=40\n");
    const std::string file = dir.path() + "/history";
    const std::vector<std::string> args = {"--listen",         "127.0.0.1:0", "--source",
                                           "file:" + readings, "--interval",  "20",
                                           "--history-file",   file};
    {
        AgentProcess agent;
        ASSERT_TRUE(agent.Start(args));
        const auto eps = agent.WaitListening();
        ASSERT_EQ(eps.size(), 1u) << agent.err();
        EXPECT_NE(agent.err().find("no history at " + file), std::string::npos) << agent.err();
        UdpClient client(AF_INET);
        // Rises to 91.5 and falls back; a bar polling once a minute would see neither end.
        for (const char* v : {"40.0", "60.0", "91.5", "70.0", "40.0"}) {
            dir.Write("r.txt", std::string("TCPU=") + v + "\n");
            ASSERT_TRUE(Sampled(client, eps[0], v)) << v << agent.err();
        }
        EXPECT_EQ(PeakOfLastMinutes(client, eps[0]), 915);
        agent.Signal(SIGTERM);
        ASSERT_EQ(agent.Wait(), 0) << agent.err();
    }
    {
        AgentProcess agent;
        ASSERT_TRUE(agent.Start(args));
        const auto eps = agent.WaitListening();
        ASSERT_EQ(eps.size(), 1u) << agent.err();
        EXPECT_NE(agent.err().find("history loaded from " + file), std::string::npos)
            << agent.err();
        UdpClient client(AF_INET);
        EXPECT_EQ(PeakOfLastMinutes(client, eps[0]), 915) << "the peak survives the restart";
        agent.Signal(SIGTERM);
        ASSERT_EQ(agent.Wait(), 0) << agent.err();
    }
}

TEST(AgentHistoryProcess, ADamagedFileIsSetAsideAndHistoryOffIsSaid) {
    TempDir dir;
    const std::string readings = dir.Write("r.txt", "TCPU=40\n");
    const std::string file = dir.Write("history", std::string(5000, '\x7f'));
    AgentProcess agent;
    ASSERT_TRUE(agent.Start(
        {"--listen", "127.0.0.1:0", "--source", "file:" + readings, "--history-file", file}));
    const auto eps = agent.WaitListening();
    ASSERT_EQ(eps.size(), 1u) << agent.err();
    EXPECT_NE(agent.err().find("set aside as " + file + ".bad"), std::string::npos) << agent.err();
    UdpClient client(AF_INET);
    const auto page = AskAgent(client, eps[0], {5, proto::kCpu, 0, 0, 0, 64});
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 0);
    agent.Signal(SIGTERM);
    ASSERT_EQ(agent.Wait(), 0) << agent.err();

    AgentProcess off;
    ASSERT_TRUE(
        off.Start({"--listen", "127.0.0.1:0", "--source", "file:" + readings, "--history", "off"}));
    const auto off_eps = off.WaitListening();
    ASSERT_EQ(off_eps.size(), 1u) << off.err();
    const auto refusal = AskAgent(client, off_eps[0], {6, proto::kCpu, 0, 0, 0, 64});
    ASSERT_TRUE(refusal);
    EXPECT_EQ(refusal->status, 1);
    off.Signal(SIGTERM);
    ASSERT_EQ(off.Wait(), 0) << off.err();
}

}  // namespace
}  // namespace vorn::agent

namespace vorn::agent {
namespace {

TEST(AgentHistoryConfig, HistoryKeysInTheFileAndOnTheCommandLine) {
    Settings s;
    ConfigError e;
    ASSERT_TRUE(ParseConfigText("history = off\nhistory_file = /srv/h\n", &s, &e)) << e.message;
    Config c = Resolve(s, Settings{});
    EXPECT_FALSE(c.history);
    EXPECT_EQ(c.history_file, "/srv/h");
    EXPECT_TRUE(Resolve(Settings{}, Settings{}).history) << "on by default";
    EXPECT_FALSE(ParseConfigText("history = maybe\n", &s, &e));
    EXPECT_EQ(e.line, 1);
    EXPECT_NE(e.message.find("history must be on or off"), std::string::npos) << e.message;

    const char* argv[] = {"vornagent", "--history", "on", "--history-file", "/tmp/h2"};
    CommandLine cl;
    std::string error;
    ASSERT_TRUE(ParseCommandLine(5, argv, &cl, &error)) << error;
    c = Resolve(s, cl.overrides);
    EXPECT_TRUE(c.history) << "the command line wins";
    EXPECT_EQ(c.history_file, "/tmp/h2");
    const char* bad[] = {"vornagent", "--history=sometimes"};
    EXPECT_FALSE(ParseCommandLine(2, bad, &cl, &error));
    EXPECT_NE(error.find("--history must be on or off"), std::string::npos) << error;
}

TEST(AgentHistoryConfig, TheDefaultFileIsInTheStateDirectoryWhenThereIsOne) {
    EXPECT_EQ(ChooseHistoryPath("/srv/h", ""), "/srv/h");
    TempDir dir;
    setenv("STATE_DIRECTORY", dir.path().c_str(), 1);
    EXPECT_EQ(ChooseHistoryPath("", ""), dir.path() + "/history");
    setenv("STATE_DIRECTORY", (dir.path() + "/missing").c_str(), 1);
    EXPECT_EQ(ChooseHistoryPath("", ""), "") << "memory only";
    unsetenv("STATE_DIRECTORY");
    EXPECT_EQ(DefaultHistoryPath(""), "/var/lib/vornagent/history");
}

}  // namespace
}  // namespace vorn::agent

namespace vorn::agent {
namespace {

TEST(AgentHistoryKeeper, SavesEveryPeriodAndAtTheStop) {
    TempDir dir;
    const std::string file = dir.path() + "/history";
    char text[4096] = {};
    std::FILE* out = fmemopen(text, sizeof text - 1, "w");
    {
        Log log(out);
        HistoryKeeper keeper(file, log, std::chrono::milliseconds(20));
        keeper.Start();
        readings::Snapshot snapshot = readings::MakeSnapshot(
            testing::ReadingsOf({{proto::kCpu, 61.25}, {proto::kFan1, 1500}}),
            readings::Clock::now(), 1u << proto::kCpu);
        keeper.OnSample(snapshot);
        // The periodic save comes without a stop.
        struct stat st {};
        for (int i = 0; i < 500 && stat(file.c_str(), &st) != 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(static_cast<std::size_t>(st.st_size), history::FileSize());
        snapshot.readings[proto::kCpu].value = 99.0;
        keeper.OnSample(snapshot);
        keeper.Stop();
        keeper.Stop();  // once is enough
    }
    std::fclose(out);
    EXPECT_NE(std::string(text).find("no history at " + file), std::string::npos) << text;
    auto loaded = std::make_unique<history::Store>();
    ASSERT_EQ(history::LoadHistory(loaded.get(), file).outcome, history::LoadOutcome::kLoaded);
    proto::HistorySlot slot;
    loaded->Query(1, proto::kCpu, loaded->newest(), 1, &slot);
    EXPECT_EQ(slot.max, 990) << "the sample after the last periodic save is saved at the stop";
    EXPECT_TRUE(slot.alarm);
    loaded->Query(1, proto::kFan1, loaded->newest(), 1, &slot);
    EXPECT_EQ(slot.mean, 1500);
}

}  // namespace
}  // namespace vorn::agent
