// The plug-in through its public interface, against a scripted agent on loopback. Shared by
// the native build (static library) and the Windows build (VORNPLUG.dll under Wine).
#include "plugin_api/vornplug.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "plugin_responder.h"
#include "protocol/sensor_protocol.h"

namespace {

namespace proto = vorn::proto;
using vorn::test::Bytes;
using vorn::test::Outgoing;
using vorn::test::Responder;
using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Thirteen distinct readings that differ from one seed to the next.
proto::Fields Readings(int seed) {
    proto::Fields f{};
    for (int k = 0; k < proto::kFieldCount; ++k) {
        char text[16];
        std::snprintf(text, sizeof text, "%d.%02d", seed % 100, k);
        f[k] = proto::MakeField(text);
    }
    return f;
}

Bytes Reply(std::uint32_t id, const proto::Fields& f,
            proto::ReplyStatus status = proto::ReplyStatus::kReadings) {
    const proto::Datagram d = proto::EncodeReply(id, status, f);
    return Bytes(d.begin(), d.end());
}

// A record whose every byte shows whether Get wrote to it.
LMDATA Untouched() {
    LMDATA data;
    std::memset(&data, 'Z', sizeof data);
    return data;
}

bool IsUntouched(const LMDATA& data) {
    const LMDATA blank = Untouched();
    return std::memcmp(&data, &blank, sizeof data) == 0;
}

// Runs a Get that must fail and returns how many milliseconds it took; the record it was given
// must be left as it was.
long long FailedGetMs(VORNPLUG& plugin, unsigned timeout) {
    LMDATA data = Untouched();
    const auto start = Clock::now();
    EXPECT_EQ(plugin.Get(data, timeout), 0);
    const long long ms = MsSince(start);
    EXPECT_TRUE(IsUntouched(data));
    return ms;
}

void ExpectHolds(const LMDATA& data, const proto::Fields& f) {
    for (int k = 0; k < LMDATA_FIELDS; ++k) {
        SCOPED_TRACE(proto::kFieldNames[k]);
        EXPECT_STREQ(data.szText[k], f[k].data());
    }
}

// Answers every request with Readings(index).
vorn::test::Script AlwaysAnswer() {
    return [](int index, std::uint32_t id) {
        return std::vector<Outgoing>{{Reply(id, Readings(index))}};
    };
}

vorn::test::Script NeverAnswer() {
    return [](int, std::uint32_t) { return std::vector<Outgoing>{}; };
}

// ---- one request, one reply ----

TEST(PluginExchange, ValidReplyFillsAllThirteenFields) {
    Responder agent(AlwaysAnswer());
    ASSERT_TRUE(agent.Listening());
    VORNPLUG plugin;
    ASSERT_NE(plugin.Create(agent.HostText().c_str()), 0);
    LMDATA data = Untouched();
    ASSERT_NE(plugin.Get(data, 2000), 0);
    ExpectHolds(data, Readings(0));
    ASSERT_NE(plugin.Get(data, 2000), 0);
    ExpectHolds(data, Readings(1));
    EXPECT_EQ(agent.Ids().size(), 2u);
}

TEST(PluginExchange, EveryRequestCarriesAFreshUnpredictableId) {
    Responder agent(AlwaysAnswer());
    ASSERT_TRUE(agent.Listening());
    VORNPLUG plugin;
    ASSERT_NE(plugin.Create(agent.HostText().c_str()), 0);
    constexpr int kRounds = 32;
    LMDATA data;
    for (int i = 0; i < kRounds; ++i)
        ASSERT_NE(plugin.Get(data, 2000), 0) << "round " << i;
    const std::vector<std::uint32_t> ids = agent.Ids();
    ASSERT_EQ(ids.size(), static_cast<std::size_t>(kRounds));
    int small_steps = 0;
    for (int i = 0; i < kRounds; ++i) {
        for (int j = i + 1; j < kRounds; ++j)
            EXPECT_NE(ids[i], ids[j]);
        if (i > 0 && ids[i] - ids[i - 1] < 1000u)
            ++small_steps;
    }
    // A counter or a clock steps by little from one request to the next; random ids do not.
    EXPECT_LT(small_steps, 2);
}

TEST(PluginExchange, StatusOneFailsAndLeavesTheRecordAlone) {
    Responder agent([](int, std::uint32_t id) {
        return std::vector<Outgoing>{{Reply(id, proto::Fields{}, proto::ReplyStatus::kNoSensors)}};
    });
    ASSERT_TRUE(agent.Listening());
    VORNPLUG plugin;
    ASSERT_NE(plugin.Create(agent.HostText().c_str()), 0);
    EXPECT_LT(FailedGetMs(plugin, 3000), 1500) << "status 1 is an answer, not a time-out";
}

TEST(PluginExchange, SilentAgentTimesOutAfterTheTimeOut) {
    Responder agent(NeverAnswer());
    ASSERT_TRUE(agent.Listening());
    VORNPLUG plugin;
    ASSERT_NE(plugin.Create(agent.HostText().c_str()), 0);
    for (const unsigned timeout : {300u, 700u}) {
        const long long elapsed = FailedGetMs(plugin, timeout);
        EXPECT_GE(elapsed, static_cast<long long>(timeout));
        EXPECT_LT(elapsed, static_cast<long long>(timeout) + 250);
    }
}

TEST(PluginExchange, ZeroTimeOutLooksOnceWithoutBlocking) {
    Responder agent([](int, std::uint32_t id) {
        return std::vector<Outgoing>{{Reply(id, Readings(3)), 1000}};
    });
    ASSERT_TRUE(agent.Listening());
    VORNPLUG plugin;
    ASSERT_NE(plugin.Create(agent.HostText().c_str()), 0);
    EXPECT_LT(FailedGetMs(plugin, 0), 500);
    // The request did go out all the same.
    for (int i = 0; i < 100 && agent.Ids().empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(agent.Ids().size(), 1u);
}

// ---- what is dropped while the wait goes on ----

struct BadReply {
    const char* name;
    std::function<Bytes(std::uint32_t id)> make;
};

Bytes Spoilt(std::uint32_t id, const std::function<void(Bytes&)>& spoil) {
    Bytes b = Reply(id, Readings(50));
    spoil(b);
    return b;
}

std::vector<BadReply> BadReplies() {
    return {
        {"wrong id", [](std::uint32_t id) { return Reply(id + 1, Readings(50)); }},
        {"127 bytes", [](std::uint32_t id) { return Spoilt(id, [](Bytes& b) { b.pop_back(); }); }},
        {"129 bytes",
         [](std::uint32_t id) { return Spoilt(id, [](Bytes& b) { b.push_back(0); }); }},
        {"400 bytes",
         [](std::uint32_t id) { return Spoilt(id, [](Bytes& b) { b.resize(400, 0); }); }},
        {"empty datagram", [](std::uint32_t) { return Bytes{}; }},
        {"request magic",
         [](std::uint32_t id) { return Spoilt(id, [](Bytes& b) { b[3] = 'Q'; }); }},
        {"version 2", [](std::uint32_t id) { return Spoilt(id, [](Bytes& b) { b[4] = 2; }); }},
        {"status 2", [](std::uint32_t id) { return Spoilt(id, [](Bytes& b) { b[5] = 2; }); }},
        {"reserved byte 6",
         [](std::uint32_t id) { return Spoilt(id, [](Bytes& b) { b[6] = 1; }); }},
        {"reserved byte 127",
         [](std::uint32_t id) { return Spoilt(id, [](Bytes& b) { b[127] = 1; }); }},
        {"unterminated field",
         [](std::uint32_t id) {
             return Spoilt(id, [](Bytes& b) { std::memset(&b[12 + 8 * 4], 'x', 8); });
         }},
        {"non-printable field",
         [](std::uint32_t id) { return Spoilt(id, [](Bytes& b) { b[12 + 8 * 7] = 0x07; }); }},
        {"byte after a field's NUL",
         [](std::uint32_t id) { return Spoilt(id, [](Bytes& b) { b[12 + 8 * 12 + 7] = 'x'; }); }},
        {"status 1 with readings",
         [](std::uint32_t id) { return Spoilt(id, [](Bytes& b) { b[5] = 1; }); }},
    };
}

// Request 2k: the bad datagram, then the right reply. Request 2k+1: the bad datagram alone.
TEST(PluginDropping, BadDatagramsAreDroppedAndTheWaitGoesOn) {
    const std::vector<BadReply> bad = BadReplies();
    Responder agent([&bad](int index, std::uint32_t id) {
        const BadReply& b = bad[static_cast<std::size_t>(index / 2) % bad.size()];
        std::vector<Outgoing> out{{b.make(id)}};
        if (index % 2 == 0)
            out.push_back({Reply(id, Readings(index)), 30});
        return out;
    });
    ASSERT_TRUE(agent.Listening());
    VORNPLUG plugin;
    ASSERT_NE(plugin.Create(agent.HostText().c_str()), 0);
    for (std::size_t i = 0; i < bad.size(); ++i) {
        SCOPED_TRACE(bad[i].name);
        LMDATA data = Untouched();
        ASSERT_NE(plugin.Get(data, 2000), 0);
        ExpectHolds(data, Readings(static_cast<int>(2 * i)));
        data = Untouched();
        EXPECT_EQ(plugin.Get(data, 150), 0);
        EXPECT_TRUE(IsUntouched(data));
    }
}

TEST(PluginDropping, BurstOfBadDatagramsBeforeTheReplyIsSkipped) {
    const std::vector<BadReply> bad = BadReplies();
    Responder agent([&bad](int index, std::uint32_t id) {
        std::vector<Outgoing> out;
        for (const BadReply& b : bad)
            out.push_back({b.make(id)});
        out.push_back({Reply(id, Readings(index))});
        return out;
    });
    ASSERT_TRUE(agent.Listening());
    VORNPLUG plugin;
    ASSERT_NE(plugin.Create(agent.HostText().c_str()), 0);
    LMDATA data = Untouched();
    ASSERT_NE(plugin.Get(data, 2000), 0);
    ExpectHolds(data, Readings(0));
}

TEST(PluginDropping, FloodOfBadDatagramsCannotHoldGetPastItsTimeOut) {
    Responder agent([](int, std::uint32_t id) {
        std::vector<Outgoing> out;
        for (int i = 0; i < 600; ++i)
            out.push_back({Reply(id + 1, Readings(i)), 1});
        return out;
    });
    ASSERT_TRUE(agent.Listening());
    VORNPLUG plugin;
    ASSERT_NE(plugin.Create(agent.HostText().c_str()), 0);
    const long long elapsed = FailedGetMs(plugin, 200);
    EXPECT_GE(elapsed, 200);
    EXPECT_LT(elapsed, 450);
}

TEST(PluginDropping, LateReplyToTheEarlierRequestIsNeverTaken) {
    std::uint32_t first_id = 0;
    Responder agent([&first_id](int index, std::uint32_t id) -> std::vector<Outgoing> {
        switch (index) {
            case 0:  // silent: the first Get times out
                first_id = id;
                return {};
            case 1:  // the late reply to request 0 arrives first
                return {{Reply(first_id, Readings(90))}, {Reply(id, Readings(91)), 30}};
            case 2:  // the late reply alone
                return {{Reply(first_id, Readings(90))}};
            case 3:  // request 3's reply comes after its Get has given up...
                first_id = id;
                return {{Reply(id, Readings(92)), 250}};
            default:  // ...and waits in the queue when request 4 goes out
                return {{Reply(id, Readings(93)), 30}};
        }
    });
    ASSERT_TRUE(agent.Listening());
    VORNPLUG plugin;
    ASSERT_NE(plugin.Create(agent.HostText().c_str()), 0);
    LMDATA data = Untouched();
    EXPECT_EQ(plugin.Get(data, 100), 0);
    ASSERT_NE(plugin.Get(data, 2000), 0);
    ExpectHolds(data, Readings(91));
    data = Untouched();
    EXPECT_EQ(plugin.Get(data, 200), 0);
    EXPECT_TRUE(IsUntouched(data));
    EXPECT_EQ(plugin.Get(data, 100), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    ASSERT_NE(plugin.Get(data, 2000), 0);
    ExpectHolds(data, Readings(93));
}

// ---- errors the socket reports ----

TEST(PluginErrors, ClosedPortFailsAndLaterGetsWorkPromptly) {
    const std::uint16_t port = vorn::test::ClosedPort();
    ASSERT_NE(port, 0);
    VORNPLUG plugin;
    ASSERT_NE(plugin.Create(("127.0.0.1:" + std::to_string(port)).c_str()), 0);
    LMDATA data = Untouched();
    auto start = Clock::now();
    EXPECT_EQ(plugin.Get(data, 3000), 0);
#if !defined(_WIN32)
    // The port unreachable ends the wait (Wine does not report it on a connected UDP socket,
    // so there the Get runs to its time-out).
    EXPECT_LT(MsSince(start), 1000);
#endif
    EXPECT_TRUE(IsUntouched(data));
    // The refusal must not stick: an agent now on that port is answered, at once, every time.
    Responder agent(AlwaysAnswer(), false, port);
    ASSERT_TRUE(agent.Listening());
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        start = Clock::now();
        ASSERT_NE(plugin.Get(data, 2000), 0);
        EXPECT_LT(MsSince(start), 1000);
        ExpectHolds(data, Readings(i));
    }
}

// ---- addresses ----

TEST(PluginAddress, Ipv6LoopbackInBrackets) {
    Responder agent(AlwaysAnswer(), true);
    if (!agent.Listening())
        GTEST_SKIP() << "no IPv6 loopback here";
    VORNPLUG plugin;
    ASSERT_NE(plugin.Create(agent.HostText().c_str()), 0);
    LMDATA data = Untouched();
    ASSERT_NE(plugin.Get(data, 2000), 0);
    ExpectHolds(data, Readings(0));
}

TEST(PluginAddress, BadOrUnresolvableHostMakesCreateFail) {
    VORNPLUG plugin;
    EXPECT_EQ(plugin.Create("no-such-agent.invalid"), 0);
    EXPECT_EQ(plugin.Create("no-such-agent.invalid:4000"), 0);
    EXPECT_EQ(plugin.Create(""), 0);
    EXPECT_EQ(plugin.Create(nullptr), 0);
    EXPECT_EQ(plugin.Create("127.0.0.1:0"), 0);
    EXPECT_EQ(plugin.Create("127.0.0.1:65536"), 0);
    EXPECT_EQ(plugin.Create("[127.0.0.1]:4000"), 0);
    EXPECT_EQ(plugin.Create("[::1"), 0);
    LMDATA data = Untouched();
    EXPECT_EQ(plugin.Get(data, 0), 0);
    EXPECT_TRUE(IsUntouched(data));
}

TEST(PluginAddress, SecondCreateMovesToTheNewHost) {
    Responder first(AlwaysAnswer());
    Responder second(AlwaysAnswer());
    ASSERT_TRUE(first.Listening() && second.Listening());
    VORNPLUG plugin;
    ASSERT_NE(plugin.Create(first.HostText().c_str()), 0);
    ASSERT_NE(plugin.Create(second.HostText().c_str()), 0);
    LMDATA data;
    ASSERT_NE(plugin.Get(data, 2000), 0);
    EXPECT_TRUE(first.Ids().empty());
    EXPECT_EQ(second.Ids().size(), 1u);
    // A failed Create leaves the plug-in closed, not on the old host.
    EXPECT_EQ(plugin.Create(""), 0);
    EXPECT_EQ(plugin.Get(data, 100), 0);
    EXPECT_EQ(second.Ids().size(), 1u);
}

// ---- lifetime ----

TEST(PluginLifetime, DestroyIsHarmlessWhateverCameBefore) {
    {
        VORNPLUG never_created;
        never_created.Destroy();
        never_created.Destroy();
    }
    {
        VORNPLUG failed;
        EXPECT_EQ(failed.Create("no-such-agent.invalid"), 0);
        failed.Destroy();
    }
    Responder agent(AlwaysAnswer());
    ASSERT_TRUE(agent.Listening());
    VORNPLUG plugin;
    ASSERT_NE(plugin.Create(agent.HostText().c_str()), 0);
    plugin.Destroy();
    plugin.Destroy();
    LMDATA data = Untouched();
    EXPECT_EQ(plugin.Get(data, 100), 0);
    EXPECT_TRUE(IsUntouched(data));
    EXPECT_TRUE(agent.Ids().empty());
    // Destroyed is as good as new.
    ASSERT_NE(plugin.Create(agent.HostText().c_str()), 0);
    ASSERT_NE(plugin.Get(data, 2000), 0);
    ExpectHolds(data, Readings(0));
}

TEST(PluginLifetime, GetWithoutCreateFailsAtOnce) {
    VORNPLUG plugin;
    EXPECT_LT(FailedGetMs(plugin, 2000), 500);
}

// ---- cancel ----

TEST(PluginCancel, CancelEndsALongGetPromptly) {
    Responder agent(NeverAnswer());
    ASSERT_TRUE(agent.Listening());
    VORNPLUG plugin;
    ASSERT_NE(plugin.Create(agent.HostText().c_str()), 0);
    LMDATA data = Untouched();
    int result = -1;
    Clock::time_point returned;
    std::thread poller([&] {
        result = plugin.Get(data, 10000);
        returned = Clock::now();
    });
    // Cancel once the request is out, so that the Get is surely waiting.
    for (int i = 0; i < 200 && agent.Ids().empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto cancelled = Clock::now();
    plugin.Cancel();
    poller.join();
    const long long ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(returned - cancelled).count();
    std::printf("Get returned %lld ms after Cancel\n", ms);
    EXPECT_EQ(result, 0);
    EXPECT_LT(ms, 100);
    EXPECT_TRUE(IsUntouched(data));
    // Every later Get fails at once.
    EXPECT_LT(FailedGetMs(plugin, 10000), 500);
}

TEST(PluginCancel, CancelBeforeGetSendsNothing) {
    Responder agent(AlwaysAnswer());
    ASSERT_TRUE(agent.Listening());
    VORNPLUG plugin;
    ASSERT_NE(plugin.Create(agent.HostText().c_str()), 0);
    plugin.Cancel();
    plugin.Cancel();
    EXPECT_LT(FailedGetMs(plugin, 10000), 500);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(agent.Ids().empty());
}

TEST(PluginCancel, CancelBeforeCreateAndAfterDestroyIsHarmless) {
    Responder agent(AlwaysAnswer());
    ASSERT_TRUE(agent.Listening());
    VORNPLUG plugin;
    plugin.Cancel();
    ASSERT_NE(plugin.Create(agent.HostText().c_str()), 0);
    LMDATA data = Untouched();
    EXPECT_EQ(plugin.Get(data, 10000), 0);
    EXPECT_TRUE(IsUntouched(data));
    plugin.Destroy();
    plugin.Cancel();
    VORNPLUG other;
    ASSERT_NE(other.Create(agent.HostText().c_str()), 0);
    other.Destroy();
    other.Cancel();
    EXPECT_EQ(other.Get(data, 100), 0);
}

}  // namespace
