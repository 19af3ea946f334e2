#include <gtest/gtest.h>

#include "Options.h"

using namespace Orvane::Sim;

namespace {

ParseResult Parse(std::vector<std::string> args, Options& o) {
    return ParseOptions(args, o);
}

}  // namespace

TEST(Options, FullCommandLines) {
    Options o;
    ASSERT_EQ(Parse({"arm", "--device-id", "513", "--model=5", "--uuid",
                     "00010203-0405-0607-0809-0a0b0c0d0e0F", "--delay-ms", "20", "--hangup-after",
                     "3", "--silent", "--link", "/tmp/x"},
                    o)
                  .action,
              ParseResult::Action::Run);
    EXPECT_EQ(o.kind, DeviceKind::Arm);
    EXPECT_EQ(o.device_id, 513);
    EXPECT_EQ(o.model_number, 5);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(o.uuid[i], i);
    }
    EXPECT_EQ(o.delay_ms, 20u);
    EXPECT_EQ(o.hangup_after, 3ul);
    EXPECT_TRUE(o.silent);
    EXPECT_EQ(o.link, "/tmp/x");

    Options h;
    ASSERT_EQ(Parse({"--stream", "50", "handle", "--chatter"}, h).action, ParseResult::Action::Run);
    EXPECT_EQ(h.kind, DeviceKind::Handle);
    EXPECT_DOUBLE_EQ(h.stream_hz, 50.0);
    EXPECT_TRUE(h.chatter);
    EXPECT_FALSE(h.model_number);

    EXPECT_EQ(Parse({"arm", "--help"}, o).action, ParseResult::Action::Help);

    Options t;
    ASSERT_EQ(Parse({"arm", "--trace=/tmp/t", "--latency-us", "200:900"}, t).action,
              ParseResult::Action::Run);
    EXPECT_EQ(t.trace, "/tmp/t");
    EXPECT_EQ(t.latency_min_us, 200u);
    EXPECT_EQ(t.latency_max_us, 900u);
    ASSERT_EQ(Parse({"handle", "--usb-latency"}, t).action, ParseResult::Action::Run);
    EXPECT_EQ(t.latency_min_us, 125u);
    EXPECT_EQ(t.latency_max_us, 1000u);
    ASSERT_EQ(Parse({"arm", "--latency-us=40"}, t).action, ParseResult::Action::Run);
    EXPECT_EQ(t.latency_min_us, 40u);
    EXPECT_EQ(t.latency_max_us, 40u);
    // Of the two latency options the later one counts, as they stand on the line.
    Options u;
    ASSERT_EQ(Parse({"arm", "--latency-us", "40", "--usb-latency"}, u).action,
              ParseResult::Action::Run);
    EXPECT_EQ(u.latency_min_us, 125u);
    ASSERT_EQ(Parse({"arm", "--usb-latency", "--latency-us", "40:50"}, u).action,
              ParseResult::Action::Run);
    EXPECT_EQ(u.latency_min_us, 40u);
    EXPECT_EQ(u.latency_max_us, 50u);
    // Numbers are decimal, a leading zero included.
    ASSERT_EQ(Parse({"arm", "--model", "010"}, u).action, ParseResult::Action::Run);
    EXPECT_EQ(u.model_number, 10);

    const ParseResult version = Parse({"--version"}, u);
    ASSERT_EQ(version.action, ParseResult::Action::Version);
    EXPECT_EQ(version.version, "orvane-sim " ORVANE_VERSION);
}

// Where a test or a user reads the reason, it names the option and what it takes.
TEST(Options, ReasonsNameTheOption) {
    Options o;
    EXPECT_EQ(Parse({"arm", "--speed", "2"}, o).error, "--speed and --loop are for --replay");
    EXPECT_EQ(Parse({"arm", "--replay", "x", "--speed", "inf"}, o).error,
              "--speed needs a factor above 0 and up to 1000");
    EXPECT_EQ(Parse({"arm", "--device-id", "0x10"}, o).error,
              "--device-id needs a number from 0 to 65535");
    EXPECT_EQ(Parse({}, o).error, "say which device to simulate: arm or handle");
    EXPECT_NE(Parse({"arm", "--bogus"}, o).error.find("--bogus"), std::string::npos);
    EXPECT_NE(HelpText().find("--hangup-after N"), std::string::npos);
}

class BadOptions : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(BadOptions, AreRefusedWithAReason) {
    Options o;
    const ParseResult r = ParseOptions(GetParam(), o);
    EXPECT_EQ(r.action, ParseResult::Action::Error);
    EXPECT_FALSE(r.error.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadOptions,
    ::testing::Values(std::vector<std::string>{}, std::vector<std::string>{"arm", "handle"},
                      std::vector<std::string>{"arm", "--device-id", "65536"},
                      std::vector<std::string>{"arm", "--model", "-1"},
                      std::vector<std::string>{"arm", "--uuid", "0011"},
                      std::vector<std::string>{"handle", "--uuid",
                                               "000102030405060708090a0b0c0d0e0f"},
                      std::vector<std::string>{"arm", "--stream", "10"},
                      std::vector<std::string>{"handle", "--stream", "0"},
                      std::vector<std::string>{"handle", "--stream", "nan"},
                      std::vector<std::string>{"arm", "--delay-ms"},
                      std::vector<std::string>{"arm", "--silent=1"},
                      std::vector<std::string>{"arm", "--trace"},
                      std::vector<std::string>{"arm", "--link="},
                      std::vector<std::string>{"arm", "--loop"}, std::vector<std::string>{"lamp"},
                      std::vector<std::string>{"arm", "--latency-us", "900:200"},
                      std::vector<std::string>{"arm", "--latency-us", "1:"},
                      std::vector<std::string>{"arm", "--latency-us", "-5"},
                      std::vector<std::string>{"arm", "--latency-us", "0:1000001"},
                      std::vector<std::string>{"arm", "--usb-latency=1"},
                      std::vector<std::string>{"arm", "--frobnicate"}));
