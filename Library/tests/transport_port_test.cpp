#include <gtest/gtest.h>

#include <cstdint>
#include <thread>
#include <vector>

#include "PtyPair.h"
#include "platform/Realtime.h"
#include "transport/Port.h"

namespace {

using namespace Orvane::HardwareAPI;
using Transport::In;
constexpr std::int64_t kMs = 1'000'000;

std::int64_t Now() {
    return Platform::MonotonicNs();
}

TEST(TransportPort, MissingPortIsUnavailableAndSaysWhy) {
    Transport::Port port;
    const Error e = port.Open("/dev/orvane-no-such-port");
    EXPECT_EQ(e.kind, ErrorKind::PortUnavailable);
    EXPECT_EQ(e.message, "No such file or directory");
    EXPECT_FALSE(port.IsOpen());
    std::uint8_t byte[1];
    EXPECT_EQ(port.Read(byte, In(0)).error, ErrorKind::DeviceLost);
}

// What is there comes out byte for byte at once; a full span ends the read before its
// deadline; a short one waits for the deadline and no longer.
TEST(TransportPort, ReadsWhatArrivedByTheDeadline) {
    OrvaneTest::PtyPair pty;
    Transport::Port port;
    ASSERT_FALSE(port.Open(pty.path()));
    pty.Send({0x00, 0x0A, 0x0D, 0x11, 0x13, 0xFF});
    std::uint8_t in[8] = {};
    std::int64_t began = Now();
    // Short of the span: the rest is waited for, up to the deadline.
    Transport::Transfer t = port.Read(in, began + 100 * kMs);
    EXPECT_EQ(t.error, ErrorKind::None);
    EXPECT_EQ(t.bytes, 6u);
    EXPECT_EQ(std::vector<std::uint8_t>(in, in + 6),
              (std::vector<std::uint8_t>{0x00, 0x0A, 0x0D, 0x11, 0x13, 0xFF}));
    EXPECT_GE(Now() - began, 100 * kMs);

    pty.Send({1, 2, 3});
    began = Now();
    t = port.Read(std::span(in, 3), began + 5000 * kMs);
    EXPECT_EQ(t.bytes, 3u);
    EXPECT_LT(Now() - began, 2000 * kMs);  // full: no wait for the deadline

    began = Now();
    t = port.Read(in, began - kMs);  // past: what is waiting, without a wait
    EXPECT_EQ(t.bytes, 0u);
    EXPECT_EQ(t.error, ErrorKind::None);
    EXPECT_LT(Now() - began, 2000 * kMs);
}

TEST(TransportPort, AHangUpEndsAReadAtOnceAsDeviceLost) {
    OrvaneTest::PtyPair pty;
    Transport::Port port;
    ASSERT_FALSE(port.Open(pty.path()));
    pty.Send({0x7E});
    std::thread unplug([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        pty.HangUp();
    });
    std::uint8_t in[4];
    const std::int64_t began = Now();
    const Transport::Transfer t = port.Read(in, began + 10'000 * kMs);
    unplug.join();
    EXPECT_EQ(t.bytes, 1u);
    EXPECT_EQ(in[0], 0x7E);
    EXPECT_EQ(t.error, ErrorKind::DeviceLost);
    EXPECT_LT(Now() - began, 5000 * kMs);
}

TEST(TransportPort, WritesEveryByteAsGiven) {
    OrvaneTest::PtyPair pty;
    Transport::Port port;
    ASSERT_FALSE(port.Open(pty.path()));
    const std::uint8_t out[] = {0x0A, 0x0D, 0x11, 0x13, 0x00, 0xC8};
    const Transport::Transfer t = port.Write(out, In(1000 * kMs));
    EXPECT_EQ(t.bytes, sizeof out);
    EXPECT_EQ(t.error, ErrorKind::None);
    EXPECT_EQ(pty.Expect(sizeof out), std::vector<std::uint8_t>(out, out + sizeof out));
}

}  // namespace
