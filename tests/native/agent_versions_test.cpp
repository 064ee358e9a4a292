// The agent answers each version in kind: a version 1 request gets exactly the version 1
// reply it always got, a version 2 request the same readings with the alarm mask, and any
// other version nothing. The readings come from the Intel fixture tree through the example
// mapping, with limits from the configuration on top of the chip's own.
#include <gtest/gtest.h>

#include <netinet/in.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "agent/config.h"
#include "agent/server.h"
#include "readings/hwmon_source.h"
#include "tests/native/agent_test_support.h"

namespace vorn::agent {
namespace {

using testing::Loopback;
using testing::UdpClient;

// The example configuration and four limits: TCPU (45.0) over a configured 40, VP12 (12.19,
// in1 * 12) over a configured 12.1 though inside the chip's scaled 11.04..12.96, FAN1 (1125)
// under a configured 1200; FAN3 (812) is below the chip's own minimum and flagged by the chip.
Settings ExampleWithLimits() {
    std::ifstream in(VORN_AGENT_EXAMPLE_CONFIG);
    std::stringstream text;
    text << in.rdbuf();
    text << "TCPU.max = 40\nVP12.max = 12.1\nFAN1.min = 1200\nTSYS.max = none\n"
            "hysteresis.voltage = 1%\n";
    Settings s;
    ConfigError e;
    EXPECT_TRUE(ParseConfigText(text.str(), &s, &e)) << e.line << ": " << e.message;
    return s;
}

constexpr std::uint16_t kExpectedMask =
    (1u << proto::kCpu) | (1u << proto::kVP12) | (1u << proto::kFan1) | (1u << proto::kFan3);

// The version 1 reply to request `id`, written out by hand from the fixture's readings.
proto::Datagram HandWrittenVersion1Reply(std::uint32_t id) {
    const char* const texts[proto::kFieldCount] = {"45.0", "-3.5", "31.0",  "1.35",  "1.06",
                                                   "3.30", "5.01", "-5.03", "12.19", "-12.06",
                                                   "1125", "0",    "812"};
    proto::Datagram d{};
    std::memcpy(d.data(), "VNRS", 4);
    d[4] = 1;
    d[8] = static_cast<std::uint8_t>(id >> 24);
    d[9] = static_cast<std::uint8_t>(id >> 16);
    d[10] = static_cast<std::uint8_t>(id >> 8);
    d[11] = static_cast<std::uint8_t>(id);
    for (int k = 0; k < proto::kFieldCount; ++k)
        std::memcpy(d.data() + 12 + 8 * k, texts[k], std::strlen(texts[k]));
    return d;
}

class AgentVersions : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(server_.Listen({Loopback(AF_INET, 0)}, &error)) << error;
        to_ = server_.Bound()[0];
        const Settings s = ExampleWithLimits();
        refresher_ = testing::SampledRefresher(
            std::make_unique<readings::HwmonSource>(testing::Fixture("sysfs/intel-nct6775"),
                                                    s.mapping, testing::QuietWarnings()),
            std::chrono::hours(1), s.alarms);
    }

    std::optional<std::vector<std::uint8_t>> Exchange(const proto::Datagram& d, int wait_ms = 300) {
        EXPECT_TRUE(client_.SendTo(to_, d.data(), d.size()));
        server_.ServeOnce(1000, -1, *refresher_, allow_);
        return client_.Receive(wait_ms);
    }

    Server server_;
    std::unique_ptr<readings::Refresher> refresher_;
    AllowList allow_{DefaultAllow()};
    Endpoint to_;
    UdpClient client_{AF_INET};
};

TEST_F(AgentVersions, Version1RequestGetsTheVersion1ReplyByteForByte) {
    for (const std::uint32_t id : {0x01020304u, 0xFFFFFFFFu}) {
        const auto reply = Exchange(proto::EncodeRequest(id, proto::kVersion1));
        ASSERT_TRUE(reply);
        const proto::Datagram expected = HandWrittenVersion1Reply(id);
        EXPECT_EQ(*reply, std::vector<std::uint8_t>(expected.begin(), expected.end()));
    }
}

TEST_F(AgentVersions, Version2RequestGetsTheSameReadingsAndTheAlarmMask) {
    EXPECT_EQ(refresher_->Latest()->alarm_mask, kExpectedMask);
    const auto reply = Exchange(proto::EncodeRequest(0x0BADCAFEu, proto::kVersion2));
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->size(), proto::kDatagramSize);
    EXPECT_EQ((*reply)[4], 2);
    EXPECT_EQ((*reply)[116], kExpectedMask >> 8);
    EXPECT_EQ((*reply)[117], kExpectedMask & 0xFF);
    // Apart from its version and its mask, it is the version 1 reply.
    std::vector<std::uint8_t> as_v1 = *reply;
    as_v1[4] = 1;
    as_v1[116] = as_v1[117] = 0;
    const proto::Datagram v1 = HandWrittenVersion1Reply(0x0BADCAFEu);
    EXPECT_EQ(as_v1, std::vector<std::uint8_t>(v1.begin(), v1.end()));
    std::uint16_t mask = 0;
    EXPECT_TRUE(proto::DecodeReply(reply->data(), reply->size(), 0x0BADCAFEu, proto::kVersion2,
                                   nullptr, nullptr, &mask));
    EXPECT_EQ(mask, kExpectedMask);
}

TEST_F(AgentVersions, RequestsOfAnyOtherVersionGetNoReply) {
    for (const std::uint8_t version : {0, 3, 4, 0x42, 0xFF}) {
        proto::Datagram d = proto::EncodeRequest(77, proto::kVersion2);
        d[4] = version;
        EXPECT_FALSE(Exchange(d, 50)) << int{version};
    }
    EXPECT_EQ(server_.counters().malformed, 5u);
    EXPECT_EQ(server_.counters().answered, 0u);
    EXPECT_TRUE(Exchange(proto::EncodeRequest(78, proto::kVersion2)));
}

TEST(AgentAlarmList, ListShowsTheLimitsAndMarksARaisedChipAlarm) {
    readings::HwmonSource source(testing::Fixture("sysfs/intel-nct6775"), readings::MappingTable{},
                                 testing::QuietWarnings());
    const std::string text = readings::FormatListing(source, source.List());
    EXPECT_NE(text.find("812 RPM      min 900 ALARM "), std::string::npos) << text;
    EXPECT_NE(text.find("1.016 V      min 0.920 max 1.080      "), std::string::npos) << text;
    EXPECT_EQ(text.find("ALARM"), text.rfind("ALARM")) << "only fan3's flag is raised";
}

TEST(AgentAlarmConfig, LimitKeysAreParsedAndBadOnesNamed) {
    Settings s;
    ConfigError e;
    ASSERT_TRUE(
        ParseConfigText("TCPU.max = 80\nFAN1.min = 300\nVP12.min = 11.4\nVP12.max = 12.6\n"
                        "TSYS.max = none\nTCPU.hysteresis = 3\nFAN2.hysteresis = 5%\n"
                        "hysteresis.temperature = 1.5\nhysteresis.fan = 10%\n",
                        &s, &e))
        << e.line << ": " << e.message;
    using Kind = readings::LimitSetting::Kind;
    const auto& r = s.alarms.readings;
    EXPECT_EQ(r[proto::kCpu].high.kind, Kind::kValue);
    EXPECT_EQ(r[proto::kCpu].high.value, 80.0);
    EXPECT_EQ(r[proto::kCpu].low.kind, Kind::kFromSource);
    EXPECT_EQ(r[proto::kFan1].low.value, 300.0);
    EXPECT_EQ(r[proto::kVP12].low.value, 11.4);
    EXPECT_EQ(r[proto::kVP12].high.value, 12.6);
    EXPECT_EQ(r[proto::kSys].high.kind, Kind::kNone);
    EXPECT_EQ(r[proto::kCpu].hysteresis->amount, 3.0);
    EXPECT_TRUE(r[proto::kFan2].hysteresis->percent);
    EXPECT_EQ(s.alarms.temperature.amount, 1.5);
    EXPECT_TRUE(s.alarms.fan.percent);
    EXPECT_EQ(s.alarms.voltage.amount, 2.0);  // default 2 %
    EXPECT_TRUE(s.alarms.voltage.percent);
    EXPECT_EQ(Resolve(s, Settings{}).alarms.readings[proto::kCpu].high.value, 80.0);

    const struct {
        const char* text;
        int line;
        const char* says;
    } bad[] = {
        {"TCPU.max = hot", 1, "TCPU.max must be a number or none"},
        {"TCPU.max = 80\nTCPU.max = 90", 2, "already set on line 1"},
        {"VP12.min = 12.6\nVP12.max = 11.4", 2, "VP12.min must be below VP12.max"},
        {"TCPU.hysteresis = -1", 1, "TCPU.hysteresis must be a number or a percentage"},
        {"hysteresis.humidity = 2", 1, "unknown key 'hysteresis.humidity'"},
        {"hysteresis.fan = lots", 1, "hysteresis.fan must be"},
        {"TCPU.maximum = 80", 1, ".min, .max or .hysteresis"},
    };
    for (const auto& b : bad) {
        Settings t;
        ConfigError err;
        EXPECT_FALSE(ParseConfigText(b.text, &t, &err)) << b.text;
        EXPECT_EQ(err.line, b.line) << b.text;
        EXPECT_NE(err.message.find(b.says), std::string::npos) << b.text << ": " << err.message;
    }
}

}  // namespace
}  // namespace vorn::agent
