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
                      std::vector<std::string>{"arm", "--latency-us", "900:200"},
                      std::vector<std::string>{"arm", "--latency-us", "1:"},
                      std::vector<std::string>{"arm", "--latency-us", "-5"},
                      std::vector<std::string>{"arm", "--latency-us", "0:1000001"},
                      std::vector<std::string>{"arm", "--usb-latency=1"},
                      std::vector<std::string>{"arm", "--frobnicate"}));
