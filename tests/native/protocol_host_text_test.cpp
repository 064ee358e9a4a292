#include "protocol/host_text.h"

#include <gtest/gtest.h>

#include <string>

#include "protocol/sensor_protocol.h"

namespace {

using vorn::proto::HostSpec;
using vorn::proto::ParseHostText;

struct Accepted {
    const char* text;
    const char* host;
    unsigned port;
    bool v6;
};

TEST(HostText, AcceptsEveryWrittenForm) {
    const unsigned def = vorn::proto::kDefaultPort;
    const Accepted cases[] = {
        {"sensors", "sensors", def, false},
        {"sensors.example.org", "sensors.example.org", def, false},
        {"my-host_2", "my-host_2", def, false},
        {"sensors:1", "sensors", 1, false},
        {"sensors:65535", "sensors", 65535, false},
        {"sensors:00080", "sensors", 80, false},
        {"192.0.2.7", "192.0.2.7", def, false},
        {"192.0.2.7:4000", "192.0.2.7", 4000, false},
        {"[::1]", "::1", def, true},
        {"[::1]:4000", "::1", 4000, true},
        {"[2001:db8::7]:29871", "2001:db8::7", 29871, true},
        {"[fe80::1%eth0]:9", "fe80::1%eth0", 9, true},
        {"[::ffff:192.0.2.7]", "::ffff:192.0.2.7", def, true},
        {"::1", "::1", def, true},
        {"2001:db8::7", "2001:db8::7", def, true},
    };
    for (const Accepted& c : cases) {
        SCOPED_TRACE(c.text);
        HostSpec spec;
        ASSERT_TRUE(ParseHostText(c.text, &spec));
        EXPECT_STREQ(spec.host, c.host);
        EXPECT_EQ(spec.port, c.port);
        EXPECT_EQ(spec.literal_v6, c.v6);
    }
}

TEST(HostText, RejectsEmptyBadPortsAndGarbage) {
    const char* const cases[] = {
        "",
        ":",
        ":29870",
        "sensors:",
        "sensors:0",
        "sensors:65536",
        "sensors:99999",
        "sensors:123456",
        "sensors:-1",
        "sensors:+80",
        "sensors:8o",
        "sensors: 80",
        "sensors:80 ",
        " sensors",
        "sen sors",
        "sensors\t",
        "sens/ors",
        "user@sensors",
        "sensors:80:81x",
        "[]",
        "[]:80",
        "[::1",
        "::1]",
        "[::1]80",
        "[::1]:",
        "[::1]:0",
        "[::1]:65536",
        "[::1]x",
        "[::1]]:80",
        "[192.0.2.7]",
        "[sensors]",
        "[fe80::1%]",
        "[::1 ]",
        "\x01\x02",
        "sensors\xff",
    };
    for (const char* text : cases) {
        SCOPED_TRACE(std::string("\"") + text + "\"");
        HostSpec spec;
        EXPECT_FALSE(ParseHostText(text, &spec));
    }
    HostSpec spec;
    EXPECT_FALSE(ParseHostText(nullptr, &spec));
}

TEST(HostText, HostLengthStopsAtTheNameLimit) {
    HostSpec spec;
    const std::string longest(vorn::proto::kMaxHostLength, 'a');
    ASSERT_TRUE(ParseHostText((longest + ":7").c_str(), &spec));
    EXPECT_EQ(std::string(spec.host), longest);
    EXPECT_EQ(spec.port, 7u);
    EXPECT_FALSE(ParseHostText((longest + "a").c_str(), &spec));
    EXPECT_FALSE(ParseHostText((longest + "a:7").c_str(), &spec));
    EXPECT_FALSE(ParseHostText(std::string(100000, 'a').c_str(), &spec));
}

}  // namespace
