// The UDP server in this process, on loopback: what it answers and what it drops.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <unistd.h>

#include <cstring>

#include "agent/server.h"
#include "tests/native/agent_test_support.h"

namespace vorn::agent {
namespace {

using testing::Ask;
using testing::Loopback;
using testing::UdpClient;

class AgentServer : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(server_.Listen({Loopback(AF_INET, 0), Loopback(AF_INET6, 0)}, &error)) << error;
        const std::vector<Endpoint> bound = server_.Bound();
        ASSERT_EQ(bound.size(), 2u);
        v4_ = bound[0];
        v6_ = bound[1];
        ASSERT_NE(testing::PortOf(v4_), 0);
    }

    // Lets the server answer whatever has arrived, then waits for one datagram.
    std::optional<std::vector<std::uint8_t>> Exchange(UdpClient& c, const Endpoint& to,
                                                      const void* data, std::size_t len,
                                                      int wait_ms = 300) {
        EXPECT_TRUE(c.SendTo(to, data, len));
        server_.ServeOnce(1000, -1, *refresher_, allow_);
        return c.Receive(wait_ms);
    }

    std::atomic<int> reads_{0};
    Server server_;
    // Samples once at the start and then not for an hour: requests cost no sensor reads.
    std::unique_ptr<readings::Refresher> refresher_ =
        testing::SampledRefresher(std::make_unique<testing::FixedSource>(
            testing::ReadingsOf({{proto::kVM12, -12.049}, {proto::kFan1, 2812.4}}), &reads_));
    AllowList allow_{DefaultAllow()};
    Endpoint v4_;
    Endpoint v6_;
};

TEST_F(AgentServer, AnswersAValidRequestWithTheSameIdAndTheReadings) {
    for (int family : {AF_INET, AF_INET6}) {
        UdpClient client(family);
        const proto::Datagram req = proto::EncodeRequest(0xC0FFEE01u + family);
        auto reply = Exchange(client, family == AF_INET ? v4_ : v6_, req.data(), req.size());
        ASSERT_TRUE(reply) << family;
        ASSERT_EQ(reply->size(), proto::kDatagramSize);
        proto::ReplyStatus status;
        proto::Fields fields;
        ASSERT_TRUE(proto::DecodeReply(reply->data(), reply->size(), 0xC0FFEE01u + family, &status,
                                       &fields));
        EXPECT_EQ(status, proto::ReplyStatus::kReadings);
        EXPECT_STREQ(fields[proto::kVM12].data(), "-12.05");
        EXPECT_STREQ(fields[proto::kFan1].data(), "2812");
        EXPECT_STREQ(fields[proto::kCpu].data(), "-");
    }
    EXPECT_EQ(server_.counters().answered, 2u);
}

TEST_F(AgentServer, DropsEveryMalformedDatagramWithoutReply) {
    UdpClient client(AF_INET);
    const proto::Datagram good = proto::EncodeRequest(7);
    std::vector<std::vector<std::uint8_t>> bad;
    bad.emplace_back();  // empty datagram
    bad.emplace_back(good.begin(), good.end() - 1);
    std::vector<std::uint8_t> longer(good.begin(), good.end());
    longer.push_back(0);
    bad.push_back(longer);
    bad.emplace_back(4096, 0);
    for (std::size_t at : {0u, 3u, 4u, 5u, 6u, 7u, 12u, 60u, 127u}) {
        std::vector<std::uint8_t> d(good.begin(), good.end());
        d[at] ^= 0x40;
        bad.push_back(d);
    }
    // A reply sent back at the agent is not a request either.
    const proto::Datagram reply = proto::EncodeReply(7, proto::ReplyStatus::kReadings, {});
    bad.emplace_back(reply.begin(), reply.end());
    for (const auto& d : bad) {
        EXPECT_FALSE(Exchange(client, v4_, d.data(), d.size(), 50)) << d.size();
    }
    EXPECT_EQ(server_.counters().malformed, bad.size());
    EXPECT_EQ(server_.counters().answered, 0u);
    // The server still answers afterwards.
    EXPECT_TRUE(Exchange(client, v4_, good.data(), good.size()));
}

TEST_F(AgentServer, IgnoresSourcesOutsideTheAllowList) {
    Cidr other;
    ASSERT_TRUE(ParseCidr("192.0.2.0/24", &other));
    allow_ = AllowList({other});
    UdpClient client(AF_INET);
    const proto::Datagram req = proto::EncodeRequest(9);
    EXPECT_FALSE(Exchange(client, v4_, req.data(), req.size(), 200));
    EXPECT_EQ(server_.counters().refused, 1u);
    EXPECT_EQ(reads_, 1);  // the refresher's first sample only: a request costs no read
}

TEST_F(AgentServer, AFloodWithinOneIntervalCostsOneRead) {
    UdpClient client(AF_INET);
    constexpr int kRequests = 200;
    int answered = 0;
    for (int i = 0; i < kRequests; ++i) {
        const proto::Datagram req = proto::EncodeRequest(static_cast<std::uint32_t>(i));
        ASSERT_TRUE(client.SendTo(v4_, req.data(), req.size()));
        if (i % 50 == 49) {
            for (int round = 0;
                 round < 100 && server_.counters().answered < static_cast<std::uint64_t>(i + 1);
                 ++round) {
                server_.ServeOnce(100, -1, *refresher_, allow_);
            }
            while (client.Receive(100))
                ++answered;
        }
    }
    EXPECT_EQ(answered, kRequests);
    EXPECT_EQ(reads_, 1);
}

TEST_F(AgentServer, ReturnsFalseWhenTheWakeDescriptorIsReadable) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    EXPECT_TRUE(server_.ServeOnce(10, fds[0], *refresher_, allow_));
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    EXPECT_FALSE(server_.ServeOnce(1000, fds[0], *refresher_, allow_));
    close(fds[0]);
    close(fds[1]);
}

TEST(AgentServerListen, FailsNamingTheAddressInUse) {
    Server first;
    std::string error;
    ASSERT_TRUE(first.Listen({Loopback(AF_INET, 0)}, &error));
    const Endpoint taken = first.Bound()[0];
    Server second;
    EXPECT_FALSE(second.Listen({taken}, &error));
    EXPECT_NE(error.find(FormatEndpoint(reinterpret_cast<const sockaddr*>(&taken.addr))),
              std::string::npos)
        << error;
    EXPECT_TRUE(second.Bound().empty());
}

}  // namespace
}  // namespace vorn::agent
