// Per-source rate limiting (token buckets in a bounded table), the option that sets it, and
// the server dropping what is over the rate; IPv4-mapped sources met by IPv4 allow entries.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <chrono>
#include <cstring>

#include "agent/config.h"
#include "agent/options.h"
#include "agent/rate_limit.h"
#include "agent/server.h"
#include "tests/native/agent_test_support.h"

namespace vorn::agent {
namespace {

using Clock = RateLimiter::Clock;
using std::chrono::milliseconds;
using std::chrono::seconds;
using testing::Ask;
using testing::UdpClient;

sockaddr_storage V4(const char* text, std::uint16_t port = 1000) {
    sockaddr_storage ss{};
    auto* sa = reinterpret_cast<sockaddr_in*>(&ss);
    sa->sin_family = AF_INET;
    sa->sin_port = htons(port);
    EXPECT_EQ(inet_pton(AF_INET, text, &sa->sin_addr), 1) << text;
    return ss;
}

sockaddr_storage V6(const char* text, std::uint16_t port = 1000) {
    sockaddr_storage ss{};
    auto* sa = reinterpret_cast<sockaddr_in6*>(&ss);
    sa->sin6_family = AF_INET6;
    sa->sin6_port = htons(port);
    EXPECT_EQ(inet_pton(AF_INET6, text, &sa->sin6_addr), 1) << text;
    return ss;
}

const sockaddr* Sa(const sockaddr_storage& ss) {
    return reinterpret_cast<const sockaddr*>(&ss);
}

// Requests admitted out of `count` sent by `source` spread evenly over `span`.
int AdmittedOf(RateLimiter& limiter, const sockaddr_storage& source, int count,
               Clock::duration span, Clock::time_point start) {
    int admitted = 0;
    for (int i = 0; i < count; ++i)
        admitted += limiter.Admit(Sa(source), start + span * i / count) ? 1 : 0;
    return admitted;
}

TEST(AgentRateLimiter, AFloodFromOneSourceGetsTheBurstAndThenTheRate) {
    RateLimiter limiter(20);
    const Clock::time_point t0 = Clock::now();
    // 1000 requests in one second: the burst of 20 and 20 more refilled during that second.
    const int admitted = AdmittedOf(limiter, V4("192.0.2.7"), 1000, seconds(1), t0);
    EXPECT_GE(admitted, 39);
    EXPECT_LE(admitted, 41);
}

TEST(AgentRateLimiter, ABucketRefillsAtTheRate) {
    RateLimiter limiter(10);
    const auto source = V4("192.0.2.7");
    const Clock::time_point t0 = Clock::now();
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(limiter.Admit(Sa(source), t0)) << i;
    EXPECT_FALSE(limiter.Admit(Sa(source), t0));
    EXPECT_FALSE(limiter.Admit(Sa(source), t0 + milliseconds(50)));  // half a token
    EXPECT_TRUE(limiter.Admit(Sa(source), t0 + milliseconds(101)));
    EXPECT_FALSE(limiter.Admit(Sa(source), t0 + milliseconds(102)));
}

TEST(AgentRateLimiter, AOnceAMinuteClientIsNeverLimitedWhileOthersFloodAndChurnTheTable) {
    // A table of 4 entries and a flood from 1000 addresses: the quiet client's entry is
    // evicted again and again, and must still be answered every time.
    RateLimiter limiter(5, 4);
    const auto quiet = V4("198.51.100.1");
    const Clock::time_point t0 = Clock::now();
    int answered = 0;
    for (int minute = 0; minute < 24 * 60; ++minute) {
        const Clock::time_point at = t0 + std::chrono::minutes(minute);
        answered += limiter.Admit(Sa(quiet), at) ? 1 : 0;
        for (int i = 0; i < 50; ++i) {
            char text[32];
            std::snprintf(text, sizeof text, "203.0.113.%d", (minute * 50 + i) % 250);
            limiter.Admit(Sa(V4(text)), at + milliseconds(1 + i));
        }
        ASSERT_LE(limiter.sources(), 4u);
    }
    EXPECT_EQ(answered, 24 * 60);
}

TEST(AgentRateLimiter, OneSourceFloodingDoesNotLimitAnother) {
    RateLimiter limiter(20);
    const Clock::time_point t0 = Clock::now();
    AdmittedOf(limiter, V4("192.0.2.7"), 5000, seconds(1), t0);
    // Another host polling every 100 ms in the same second.
    EXPECT_EQ(AdmittedOf(limiter, V4("192.0.2.8"), 10, seconds(1), t0), 10);
    EXPECT_EQ(limiter.sources(), 2u);
}

TEST(AgentRateLimiter, TheBucketIsPerAddressWhateverThePortOrTheMappedSpelling) {
    RateLimiter limiter(3);
    const Clock::time_point t0 = Clock::now();
    EXPECT_TRUE(limiter.Admit(Sa(V4("192.0.2.7", 1)), t0));
    EXPECT_TRUE(limiter.Admit(Sa(V4("192.0.2.7", 2)), t0));
    EXPECT_TRUE(limiter.Admit(Sa(V6("::ffff:192.0.2.7", 3)), t0));
    EXPECT_FALSE(limiter.Admit(Sa(V6("::ffff:192.0.2.7", 4)), t0));
    EXPECT_FALSE(limiter.Admit(Sa(V4("192.0.2.7", 5)), t0));
    EXPECT_TRUE(limiter.Admit(Sa(V6("2001:db8::7", 5)), t0));
    EXPECT_EQ(limiter.sources(), 2u);
}

TEST(AgentRateLimiter, SourcesPastTheTableShareOneBudgetSoRotatingAddressesBuysNoBursts) {
    // A table of 8 and 200 addresses asking in turn, each ten times a second for two seconds:
    // each of the 8 keeps its own budget (1 + 2 s of rate 1), the other 192 share one.
    RateLimiter limiter(1, 8);
    const Clock::time_point t0 = Clock::now();
    int admitted = 0;
    for (int round = 0; round < 20; ++round) {
        for (int k = 0; k < 200; ++k) {
            char text[32];
            std::snprintf(text, sizeof text, "198.51.100.%d", k);
            const auto at = t0 + milliseconds(100 * round) + std::chrono::microseconds(k);
            admitted += limiter.Admit(Sa(V4(text)), at) ? 1 : 0;
        }
        ASSERT_LE(limiter.sources(), 8u);
    }
    EXPECT_LE(admitted, 9 * 3);
    EXPECT_GE(admitted, 8 + 1);  // every table source its burst, and the overflow its own
    // Once a bucket has had time to refill, a newcomer may take it: nothing is given away.
    EXPECT_TRUE(limiter.Admit(Sa(V4("192.0.2.99")), t0 + seconds(10)));
}

TEST(AgentRateLimiter, AnIpv6SourceIsItsSlash64) {
    RateLimiter limiter(2);
    const Clock::time_point t0 = Clock::now();
    EXPECT_TRUE(limiter.Admit(Sa(V6("2001:db8:0:1::1")), t0));
    EXPECT_TRUE(limiter.Admit(Sa(V6("2001:db8:0:1:ffff:1:2:3")), t0));
    EXPECT_FALSE(limiter.Admit(Sa(V6("2001:db8:0:1::abcd")), t0));  // same /64, budget spent
    EXPECT_TRUE(limiter.Admit(Sa(V6("2001:db8:0:2::1")), t0));      // the next /64
    EXPECT_EQ(limiter.sources(), 2u);
}

TEST(AgentRateLimiter, RateZeroAdmitsEverythingAndKeepsNoTable) {
    RateLimiter limiter(0);
    EXPECT_EQ(AdmittedOf(limiter, V4("192.0.2.7"), 10000, milliseconds(1), Clock::now()), 10000);
    EXPECT_EQ(limiter.sources(), 0u);
}

TEST(AgentRateOption, CommandLineAndFileSetItWithinBoundsAndTheDefaultLimits) {
    Settings none;
    EXPECT_EQ(Resolve(none, none).rate, kDefaultRate);
    EXPECT_GT(kDefaultRate, 0);

    const char* argv[] = {"vornagent", "--rate", "7"};
    CommandLine cl;
    std::string error;
    ASSERT_TRUE(ParseCommandLine(3, argv, &cl, &error)) << error;
    Settings file;
    ConfigError ce;
    ASSERT_TRUE(ParseConfigText("rate = 0\n", &file, &ce)) << ce.message;
    EXPECT_EQ(Resolve(file, none).rate, 0);
    EXPECT_EQ(Resolve(file, cl.overrides).rate, 7);

    for (const char* bad : {"-1", "fast", "1000001", "", "2.5"}) {
        const char* args[] = {"vornagent", "--rate", bad};
        EXPECT_FALSE(ParseCommandLine(3, args, nullptr, &error)) << bad;
        Settings s;
        EXPECT_FALSE(ParseConfigText(std::string("rate = ") + bad + "\n", &s, &ce)) << bad;
    }
    EXPECT_NE(std::string(HelpText()).find("--rate N"), std::string::npos);
}

std::unique_ptr<readings::Refresher> FixedRefresher() {
    return testing::SampledRefresher(
        std::make_unique<testing::FixedSource>(testing::ReadingsOf({{proto::kCpu, 45.0}})));
}

TEST(AgentServerRate, RequestsOverTheRateGetNoReplyAndAreCounted) {
    Server server;
    std::string error;
    ASSERT_TRUE(server.Listen({testing::Loopback(AF_INET, 0)}, &error)) << error;
    const Endpoint ep = server.Bound().at(0);
    const std::unique_ptr<readings::Refresher> refresher = FixedRefresher();
    AllowList allow(DefaultAllow());
    RateLimiter limiter(5);
    UdpClient client(AF_INET);
    for (std::uint32_t id = 1; id <= 30; ++id) {
        const proto::Datagram req = proto::EncodeRequest(id);
        ASSERT_TRUE(client.SendTo(ep, req.data(), req.size()));
    }
    for (int i = 0; i < 20 && server.counters().answered + server.counters().limited < 30; ++i)
        server.ServeOnce(100, -1, *refresher, allow, &limiter);
    int replies = 0;
    while (client.Receive(100))
        ++replies;
    // Sent within a few milliseconds: the burst of 5, perhaps one refilled token.
    EXPECT_GE(replies, 5);
    EXPECT_LE(replies, 6);
    EXPECT_EQ(server.counters().answered, static_cast<std::uint64_t>(replies));
    EXPECT_EQ(server.counters().limited, static_cast<std::uint64_t>(30 - replies));
}

TEST(AgentServerAllow, AnIPv4SourceReachingAnIPv6WildcardIsMatchedByAnIPv4Entry) {
    Endpoint any6;
    ASSERT_TRUE(ParseEndpoint("[::]:0", &any6));
    Server server;
    std::string error;
    ASSERT_TRUE(server.Listen({any6}, &error)) << error;
    const std::uint16_t port = testing::PortOf(server.Bound().at(0));
    const std::unique_ptr<readings::Refresher> refresher = FixedRefresher();
    Cidr v4;
    ASSERT_TRUE(ParseCidr("127.0.0.1/32", &v4));
    UdpClient client(AF_INET);
    const Endpoint to = testing::Loopback(AF_INET, port);

    // Arrives as ::ffff:127.0.0.1; an IPv4 entry admits it.
    AllowList allow({v4});
    const proto::Datagram req = proto::EncodeRequest(42);
    ASSERT_TRUE(client.SendTo(to, req.data(), req.size()));
    server.ServeOnce(1000, -1, *refresher, allow);
    EXPECT_TRUE(client.Receive(500));

    // An IPv6 loopback entry alone does not.
    Cidr v6;
    ASSERT_TRUE(ParseCidr("::1/128", &v6));
    AllowList only6({v6});
    ASSERT_TRUE(client.SendTo(to, req.data(), req.size()));
    server.ServeOnce(1000, -1, *refresher, only6);
    EXPECT_FALSE(client.Receive(200));
    EXPECT_EQ(server.counters().answered, 1u);
    EXPECT_EQ(server.counters().refused, 1u);
}

}  // namespace
}  // namespace vorn::agent
