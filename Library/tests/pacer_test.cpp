// The pacer's grid and how late it reports a cycle; only the arithmetic (Wait sleeps).
#include <gtest/gtest.h>

#include "haptics/Pacer.h"

namespace Orvane::HardwareAPI::Haptics {
namespace {

constexpr std::int64_t kMs = 1'000'000;

TEST(Pacer, ACycleThatStartsLateIsReportedLateAfterTheGridStartsAfresh) {
    Pacer pacer(kMs, 0);
    pacer.Start(0);
    EXPECT_EQ(pacer.Lateness(0), 0);
    // A cycle that ran 41 ms: the next was due at 1 ms and starts at 41 ms.
    EXPECT_TRUE(pacer.Advance(41 * kMs));
    EXPECT_EQ(pacer.Lateness(41 * kMs), 40 * kMs);
    // The grid went on from 41 ms: the cycle after is on time again.
    EXPECT_FALSE(pacer.Advance(41 * kMs + kMs / 2));
    EXPECT_EQ(pacer.Lateness(42 * kMs), 0);
    // Less than a period behind the grid keeps its place, and the lateness shows.
    EXPECT_TRUE(pacer.Advance(43 * kMs + kMs / 2));
    EXPECT_EQ(pacer.Lateness(43 * kMs + kMs / 2), kMs / 2);

    Pacer unpaced(0, 0);
    unpaced.Start(0);
    EXPECT_FALSE(unpaced.Advance(10 * kMs));
    EXPECT_EQ(unpaced.Lateness(10 * kMs), 0);
}

}  // namespace
}  // namespace Orvane::HardwareAPI::Haptics
