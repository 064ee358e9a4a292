// Which sources the agent answers, and the address notations it takes.
#include <gtest/gtest.h>

#include "agent/address.h"
#include "agent/allow_list.h"

namespace vorn::agent {
namespace {

Endpoint At(const std::string& text) {
    Endpoint ep;
    EXPECT_TRUE(ParseEndpoint(text, &ep)) << text;
    return ep;
}

bool Admits(const std::vector<std::string>& entries, const std::string& source) {
    std::vector<Cidr> list;
    for (const std::string& e : entries) {
        Cidr c;
        EXPECT_TRUE(ParseCidr(e, &c)) << e;
        list.push_back(c);
    }
    const Endpoint ep = At(source);
    return AllowList(list).Admits(reinterpret_cast<const sockaddr*>(&ep.addr));
}

TEST(AgentAllowList, DefaultAdmitsLoopbackOnly) {
    const AllowList allow(DefaultAllow());
    for (const char* s : {"127.0.0.1:5", "127.255.0.9:5", "[::1]:5", "[::ffff:127.0.0.1]:5"}) {
        const Endpoint ep = At(s);
        EXPECT_TRUE(allow.Admits(reinterpret_cast<const sockaddr*>(&ep.addr))) << s;
    }
    for (const char* s : {"128.0.0.1:5", "10.0.0.1:5", "[::2]:5", "[fe80::1]:5", "0.0.0.0:5"}) {
        const Endpoint ep = At(s);
        EXPECT_FALSE(allow.Admits(reinterpret_cast<const sockaddr*>(&ep.addr))) << s;
    }
}

TEST(AgentAllowList, PrefixesMatchOnBitBoundaries) {
    EXPECT_TRUE(Admits({"192.168.1.0/24"}, "192.168.1.77:1"));
    EXPECT_FALSE(Admits({"192.168.1.0/24"}, "192.168.2.77:1"));
    EXPECT_TRUE(Admits({"10.32.0.0/11"}, "10.63.255.255:1"));
    EXPECT_FALSE(Admits({"10.32.0.0/11"}, "10.64.0.0:1"));
    EXPECT_TRUE(Admits({"0.0.0.0/0"}, "203.0.113.9:1"));
    EXPECT_TRUE(Admits({"192.0.2.5"}, "192.0.2.5:1"));
    EXPECT_FALSE(Admits({"192.0.2.5"}, "192.0.2.4:1"));
    EXPECT_TRUE(Admits({"2001:db8::/33"}, "[2001:db8:7fff::1]:1"));
    EXPECT_FALSE(Admits({"2001:db8::/33"}, "[2001:db8:8000::1]:1"));
}

TEST(AgentAllowList, IPv4EntriesCoverMappedIPv6SourcesButNotOtherIPv6) {
    EXPECT_TRUE(Admits({"192.168.1.0/24"}, "[::ffff:192.168.1.20]:1"));
    EXPECT_FALSE(Admits({"192.168.1.0/24"}, "[::ffff:192.168.9.20]:1"));
    EXPECT_FALSE(Admits({"0.0.0.0/0"}, "[2001:db8::1]:1"));
    // An IPv6 entry does not admit plain IPv4 sources.
    EXPECT_FALSE(Admits({"::/0"}, "192.0.2.1:1"));
}

TEST(AgentAllowList, EmptyListAdmitsNothing) {
    EXPECT_FALSE(Admits({}, "127.0.0.1:1"));
}

TEST(AgentAllowList, MalformedEntriesAreRejected) {
    for (const char* bad :
         {"", "/", "10.0.0.0/", "10.0.0.0/33", "::/129", "10.0.0/8", "10.0.0.0/8/8", "10.0.0.0/-1",
          "10.0.0.0/x", "host.example/8", "10.0.0.0/0008"}) {
        EXPECT_FALSE(ParseCidr(bad, nullptr)) << bad;
    }
    Cidr c;
    ASSERT_TRUE(ParseCidr("10.1.2.3/8", &c));
    EXPECT_EQ(FormatCidr(c), "10.1.2.3/8");
}

TEST(AgentAddress, EndpointsRoundTrip) {
    for (const char* s : {"127.0.0.1:29870", "[::1]:29870", "0.0.0.0:0", "[fe80::1:2]:65535"}) {
        const Endpoint ep = At(s);
        EXPECT_EQ(FormatEndpoint(reinterpret_cast<const sockaddr*>(&ep.addr)), s);
    }
}

TEST(AgentAddress, MalformedEndpointsAreRejected) {
    for (const char* bad :
         {"", "127.0.0.1", "127.0.0.1:", "127.0.0.1:65536", "127.0.0.1:-1", "127.0.0.1:8o",
          "::1:80", "[::1]", "[::1]80", "[::1:80", "[127.0.0.1]:80", "localhost:80",
          "1.2.3.4:123456", "1.2.3.4:000080", "[::1]:+80"}) {
        EXPECT_FALSE(ParseEndpoint(bad, nullptr)) << bad;
    }
    // The whole port range, written with or without leading zeros up to five digits.
    for (const char* good : {"127.0.0.1:0", "127.0.0.1:65535", "[::1]:00080"}) {
        EXPECT_TRUE(ParseEndpoint(good, nullptr)) << good;
    }
}

}  // namespace
}  // namespace vorn::agent
