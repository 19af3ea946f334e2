#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "Orvane/HardwareAPI/HandleListener.h"
#include "PtyPair.h"
#include "TightAddressSpace.h"

namespace Orvane::HardwareAPI::Haptics {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The handle's end of the line, sending `bytes` every `every` until the test ends.
class Sender {
public:
    Sender(const OrvaneTest::PtyPair& pty, std::vector<std::uint8_t> bytes, milliseconds every)
        : thread_([&pty, bytes, every, this] {
              while (!done_.load()) {
                  if (!bytes.empty()) {
                      pty.Send(bytes);
                  }
                  std::this_thread::sleep_for(every);
              }
          }) {}
    ~Sender() {
        done_.store(true);
        thread_.join();
    }

private:
    std::atomic<bool> done_{false};
    std::thread thread_;
};

enum class Ending { Stop, Destroy };

struct StopCase {
    const char* name;
    std::vector<std::uint8_t> bytes;  // sent again and again
    milliseconds every;
    double request_hz;
    Ending ending;
};

class HandleListenerStopTest : public ::testing::TestWithParam<StopCase> {};

// Whatever the handle does mid-read, the thread is gone within a tenth of a second.
TEST_P(HandleListenerStopTest, EndsPromptly) {
    const StopCase& c = GetParam();
    OrvaneTest::PtyPair pty;
    auto listener =
        std::make_unique<HandleListener>(pty.path(), HandleListenerConfig{c.request_hz});
    ASSERT_FALSE(listener->Fault());
    ASSERT_FALSE(listener->Start());
    Sender sender(pty, c.bytes, c.every);
    std::this_thread::sleep_for(milliseconds(150));
    EXPECT_TRUE(listener->Running());
    const auto began = Clock::now();
    if (c.ending == Ending::Stop) {
        listener->Stop();
        EXPECT_FALSE(listener->Running());
    } else {
        listener.reset();
    }
    EXPECT_LT(Clock::now() - began, milliseconds(100));
}

// A status message of a handle (id 7, no user data) cut after its quaternion's first byte.
const std::vector<std::uint8_t> kStatusStart{0xDA, 0x07, 0x00, 0x00, 0x2A, 0x00};

INSTANTIATE_TEST_SUITE_P(
    Handles, HandleListenerStopTest,
    ::testing::Values(StopCase{"silent", {}, milliseconds(5), 0.0, Ending::Stop},
                      StopCase{"silent_wired", {}, milliseconds(5), 100.0, Ending::Destroy},
                      StopCase{"trickle", {0x55}, milliseconds(5), 0.0, Ending::Stop},
                      StopCase{"trickle_mid_message", kStatusStart, milliseconds(40), 100.0,
                               Ending::Destroy}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HandleListenerTest, BytesThatAreNoHandleMessageEndItWithAFaultThatSaysSo) {
    OrvaneTest::PtyPair pty;
    HandleListener listener(pty.path(), HandleListenerConfig{0.0});
    ASSERT_FALSE(listener.Start());
    Sender sender(pty, {0x55, 0x01}, milliseconds(20));
    const auto until = Clock::now() + std::chrono::seconds(3);
    while (listener.Running() && Clock::now() < until) {
        std::this_thread::sleep_for(milliseconds(10));
    }
    ASSERT_FALSE(listener.Running());
    const Error fault = listener.Fault();
    EXPECT_EQ(fault.kind, ErrorKind::NoDevice);
    EXPECT_EQ(fault.message.rfind("the handle sent bytes that are no handle message: 0x55 0x01 "
                                  "0x55 0x01 0x55 0x01 0x55 0x01 ... (",
                                  0),
              0u)
        << fault.message;
    EXPECT_GT(listener.Stats().unknown_bytes, 8u);
    const Error again = listener.Start();
    EXPECT_EQ(again.kind, ErrorKind::NoDevice);
    EXPECT_NE(again.message.find("the listener failed: "), std::string::npos);
}

// A system that refuses the listener its thread is told as OutOfResources, not thrown, and
// the listener can start once a thread can be had.
TEST(HandleListenerTest, ARefusedThreadIsReportedAndStartCanBeTriedAgain) {
    if (std::getenv("ORVANE_SANITIZED") != nullptr || !OrvaneTest::TightAddressSpace::Possible()) {
        GTEST_SKIP() << "no address space to take away (the sanitizers' mappings need it)";
    }
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            OrvaneTest::PtyPair pty;
            HandleListener listener(pty.path(), HandleListenerConfig{0.0});
            Error refused;
            bool running = true;
            {
                const OrvaneTest::TightAddressSpace tight;
                refused = listener.Start();
                running = listener.Running();
            }
            const Error again = listener.Start();
            std::fprintf(stderr, "out of resources: %d, %s; running: %d; again: %d, running: %d\n",
                         refused.kind == ErrorKind::OutOfResources, refused.message.c_str(),
                         running, static_cast<bool>(again), listener.Running());
            listener.Stop();
            std::exit(0);
        },
        ::testing::ExitedWithCode(0),
        "out of resources: 1, the system refused a thread for the listener; running: 0; "
        "again: 0, running: 1");
}

struct SetupCase {
    const char* name;
    const char* port;  // nullptr: a pseudo-terminal
    double request_hz;
    ErrorKind kind;
    const char* message;
};

class HandleListenerSetupTest : public ::testing::TestWithParam<SetupCase> {};

TEST_P(HandleListenerSetupTest, ReportsWhatItCannotTakeWithoutThrowing) {
    const SetupCase& c = GetParam();
    OrvaneTest::PtyPair pty;
    HandleListener listener(c.port != nullptr ? c.port : pty.path(),
                            HandleListenerConfig{c.request_hz});
    for (const Error& e : {listener.Fault(), listener.Start()}) {
        EXPECT_EQ(e.kind, c.kind);
        EXPECT_NE(e.message.find(c.message), std::string::npos) << e.message;
    }
    EXPECT_FALSE(listener.Running());
    EXPECT_EQ(listener.Snapshot().sequence, 0u);
    listener.Stop();
}

INSTANTIATE_TEST_SUITE_P(
    Setups, HandleListenerSetupTest,
    ::testing::Values(
        SetupCase{"negative_rate", nullptr, -1.0, ErrorKind::BadArgument, "request_hz must be 0"},
        SetupCase{"nan_rate", nullptr, std::nan(""), ErrorKind::BadArgument, "request_hz"},
        SetupCase{"missing_port", "/nonexistent/handle", 100.0, ErrorKind::PortUnavailable,
                  "cannot open the handle's port '/nonexistent/handle'"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace Orvane::HardwareAPI::Haptics
