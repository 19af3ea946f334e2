#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>

#include "haptics/Coupling.h"
#include "haptics/SoftStart.h"

namespace Orvane::HardwareAPI::Haptics {
namespace {

constexpr std::int64_t kMs = 1'000'000;
constexpr std::int64_t kT0 = 1'000'000'000;  // any positive monotonic reading
constexpr double kDt = 1e-3;

CouplingParams Params(double k, double b, double max_force = 0.0, bool passivity = false) {
    CouplingParams p;
    p.stiffness = k;
    p.damping = b;
    p.max_force = max_force;
    p.passivity = passivity;
    return p;
}

TEST(Coupling, PullsTowardsTheTargetWithinItsOwnLimit) {
    CouplingParams p = Params(200, 5);
    p.target = {0.1, 0, 0};
    CouplingRenderer c(p);
    // 200 · 0.05 - 5 · 0.1
    EXPECT_NEAR(c.Force({0.05, 0, 0}, {0.1, 0, 0}, kT0, kDt)[0], 9.5, 1e-12);
    EXPECT_NEAR(c.State().offset[0], 0.05, 1e-12);
    EXPECT_NEAR(c.State().force[0], 9.5, 1e-12);
    p.max_force = 4.0;
    c.SetParams(p);
    EXPECT_NEAR(c.Force({0.05, 0, 0}, {0.1, 0, 0}, kT0, kDt)[0], 4.0, 1e-12);
    // A force whose square would overflow is still limited along its own direction.
    p.stiffness = 1e300;
    c.SetParams(p);
    const Vec3 huge = c.Force({-0.9, 1.0, 0}, {0, 0, 0}, kT0, kDt);
    EXPECT_NEAR(huge[0], 4.0 * std::sqrt(0.5), 1e-12);
    EXPECT_NEAR(huge[1], -4.0 * std::sqrt(0.5), 1e-12);
}

// The largest cycle-to-cycle force change, at 1 kHz, for a target moving at 0.1 m/s that
// a program sends every `interval`, each send reaching the loop up to `jitter` late.
double LargestForceStep(std::int64_t interval, std::int64_t jitter, bool interpolate) {
    CouplingRenderer c(Params(500, 0));
    double last = 0.0, largest = 0.0, held = 0.0;
    std::int64_t next_send = kT0;
    int sends = 0;
    for (std::int64_t now = kT0; now < kT0 + 2000 * kMs; now += kMs) {
        const std::int64_t arrival = next_send + (sends % 3) * jitter / 2;
        if (now >= arrival) {
            const double position = 0.1 * static_cast<double>(next_send - kT0) * 1e-9;
            c.Push({{position, 0, 0}, {0.1, 0, 0}, next_send}, now);
            held = position;
            next_send += interval;
            ++sends;
        }
        const double f = interpolate ? c.Force({0, 0, 0}, {0, 0, 0}, now, kDt)[0] : 500 * held;
        if (now > kT0 + 100 * kMs) {
            largest = std::max(largest, std::fabs(f - last));
        }
        last = f;
    }
    return largest;
}

class CouplingInterpolation : public ::testing::TestWithParam<std::pair<double, std::int64_t>> {};

TEST_P(CouplingInterpolation, ASlowTargetGivesASmoothForce) {
    const auto [rate_hz, jitter] = GetParam();
    const auto interval = static_cast<std::int64_t>(1e9 / rate_hz);
    const double stepped = LargestForceStep(interval, jitter, false);
    const double smooth = LargestForceStep(interval, jitter, true);
    EXPECT_GT(stepped, 0.5 * 500 * 0.1 / rate_hz);
    EXPECT_LE(smooth, stepped / 10) << "stepped " << stepped;
}

INSTANTIATE_TEST_SUITE_P(Rates, CouplingInterpolation,
                         ::testing::Values(std::pair{60.0, std::int64_t{0}},
                                           std::pair{60.0, 3 * kMs}, std::pair{30.0, 5 * kMs}));

TEST(Coupling, ExtrapolatesForAtMostOneIntervalAndDropsStaleUpdates) {
    CouplingRenderer c(Params(100, 0));
    const std::int64_t seen = kT0 + 20 * kMs;
    c.Push({{0, 0, 0}, {0, 0, 0}, kT0}, kT0);
    c.Push({{0.02, 0, 0}, {1, 0, 0}, kT0 + 20 * kMs}, seen);
    c.Push({{5, 5, 5}, {0, 0, 0}, kT0 + 10 * kMs}, seen);  // older than the last: dropped
    Vec3 x, v;
    const std::pair<std::int64_t, double> expected[] = {{0, 0.0},         {10 * kMs, 0.01},
                                                        {20 * kMs, 0.02}, {30 * kMs, 0.03},
                                                        {40 * kMs, 0.04}, {400 * kMs, 0.04}};
    for (const auto& [after, want] : expected) {
        c.TargetAt(seen + after, x, v);
        EXPECT_NEAR(x[0], want, 1e-12) << after / kMs << " ms after";
        EXPECT_EQ(x[1], 0.0);
    }
    EXPECT_EQ(v[0], 0.0);
}

// A 0.2 kg arm held by a hand (a 50 N/m spring with a little damping) and coupled at
// 1000 N/m to a target that follows it two 60 Hz updates late, as a program's proxy that
// lags would: the delay pumps energy into the arm. Returns the arm's largest excursion in
// the first and in the fifth second.
std::pair<double, double> ArmExcursion(bool passivity, CouplingState& state) {
    CouplingRenderer c(Params(1000, 0, 0, passivity));
    double x = 0.01, v = 0.0, sent[2] = {x, x}, first = 0.0, fifth = 0.0;
    std::int64_t next = kT0;
    for (std::int64_t now = kT0; now < kT0 + 5000 * kMs; now += kMs) {
        if (now >= next) {
            c.Push({{sent[0], 0, 0}, {0, 0, 0}, next}, now);
            sent[0] = sent[1], sent[1] = x;
            next += 16'666'667;
        }
        const double f = c.Force({x, 0, 0}, {v, 0, 0}, now, kDt)[0] - 50 * x - 0.2 * v;
        v += f / 0.2 * kDt;
        x += v * kDt;
        if (now < kT0 + 1000 * kMs) {
            first = std::max(first, std::fabs(x));
        } else if (now >= kT0 + 4000 * kMs) {
            fifth = std::max(fifth, std::fabs(x));
        }
    }
    state = c.State();
    return {first, fifth};
}

TEST(CouplingPassivity, KeepsAnArmOnADelayedTargetBounded) {
    CouplingState without, with;
    const auto [wild_first, wild_fifth] = ArmExcursion(false, without);
    const auto [tame_first, tame_fifth] = ArmExcursion(true, with);
    EXPECT_GT(wild_fifth, 100 * wild_first);
    EXPECT_LE(tame_first, 0.0101);
    EXPECT_LT(tame_fifth, tame_first / 10);
    EXPECT_EQ(without.passivity_cycles, 0u);
    EXPECT_GT(with.passivity_cycles, 0u);
    EXPECT_GT(with.dissipated_j, 0.0);
}

// A program's proxy (0.3 kg, 1 N s/m to its ground) coupled at 200 N/m, 2 N s/m to an arm
// (0.1 kg, 10 N s/m) by a 1 kHz loop with a 5 N limit; the program steps the proxy at 500 Hz
// with the opposite of what the arm felt, and the loop sees it `delay` late. The velocity
// the loop reads is off the arm's by up to `noise` either way, at random. The arm's
// peak-to-peak motion and the force's sign changes (beyond 0.05 N) after 1 s of 6.
std::pair<double, int> DelayedProxy(std::int64_t delay, bool passivity,
                                    CouplingRenderer* renderer = nullptr,
                                    double* late_force = nullptr, double noise = 0.0) {
    CouplingRenderer own(Params(200, 2, 0, passivity));
    CouplingRenderer& c = renderer != nullptr ? *renderer : own;
    double xa = 0, va = 0, xp = 0.02, vp = 0, felt = 0, low = 1e9, high = -1e9;
    std::array<std::array<double, 3>, 64> sent{};  // position, velocity, stamp
    int head = 0, tail = 0, sign = 0, changes = 0;
    std::uint32_t seed = 12345;  // the same noise every run
    for (std::int64_t now = kT0; now < kT0 + 6000 * kMs; now += kMs) {
        seed = seed * 1664525u + 1013904223u;
        const double measured = va + noise * (static_cast<double>(seed) / 2147483648.0 - 1.0);
        if ((now - kT0) % (2 * kMs) == 0) {
            vp += (-felt - vp) / 0.3 * 0.002;
            xp += vp * 0.002;
            sent[tail++ % 64] = {xp, vp, static_cast<double>(now)};
        }
        for (; head < tail && sent[head % 64][2] + delay <= now; ++head) {
            const auto& s = sent[head % 64];
            c.Push({{s[0], 0, 0}, {s[1], 0, 0}, static_cast<std::int64_t>(s[2])}, now);
        }
        const double f = c.Force({xa, 0, 0}, {measured, 0, 0}, now, kDt)[0];
        c.Rendered(std::min(1.0, 5.0 / std::fabs(f)));
        felt = c.State().force[0];
        for (int i = 0; i < 10; ++i) {
            va += (felt - 10 * va) / 0.1 * kDt / 10;
            xa += va * kDt / 10;
        }
        if (now >= kT0 + 1000 * kMs) {
            low = std::min(low, xa), high = std::max(high, xa);
            const int s = felt > 0.05 ? 1 : felt < -0.05 ? -1 : 0;
            changes += s != 0 && sign != 0 && s != sign;
            sign = s != 0 ? s : sign;
        }
        if (late_force != nullptr && now >= kT0 + 5000 * kMs) {
            *late_force = std::max(*late_force, std::fabs(felt));
        }
    }
    return {high - low, changes};
}

// At 100 ms no damping the loop may render keeps up with what the delay puts in: the
// coupling gives way instead, and takes the motion down far more than halving it.
TEST(CouplingPassivity, NeverRingsMoreOnADelayedProxy) {
    for (const std::int64_t delay : {20 * kMs, 50 * kMs, 100 * kMs}) {
        const auto [off_motion, off_changes] = DelayedProxy(delay, false);
        const auto [on_motion, on_changes] = DelayedProxy(delay, true);
        if (delay < 100 * kMs) {
            EXPECT_LE(on_changes, off_changes) << delay / kMs << " ms";
        }
        EXPECT_LE(on_motion, delay < 100 * kMs ? off_motion + 1e-5 : off_motion / 4)
            << delay / kMs << " ms";
    }
}

// An arm's velocity reads a few mm/s off at random. Once the delay has run up a debt,
// a damping that worked on that noise would sit at its most and shake a force near zero
// from side to side hundreds of times a second; it only takes out the arm's motion.
TEST(CouplingPassivity, NeverShakesTheForceOnANoisyVelocity) {
    for (const std::int64_t delay : {20 * kMs, 50 * kMs}) {
        const double noise = 0.005 * std::sqrt(3.0);  // 5 mm/s RMS
        const int off = DelayedProxy(delay, false, nullptr, nullptr, noise).second;
        const int on = DelayedProxy(delay, true, nullptr, nullptr, noise).second;
        EXPECT_LE(on, off + 10) << delay / kMs << " ms";
    }
}

// The damping at its most against a target 100 ms late only swaps a slow swing for one
// twice as fast, so the coupling gives way while the delay keeps pumping: in the last
// second the arm feels under half the loop's 5 N that it is thrown against without. A
// steady push draws no energy: the same coupling, on an arm held 2 mm short of a target
// that stays, is back at its full stiffness within a few seconds, though the debt of the
// swinging stands in its observer (a wall that gives way under a push would let a
// remote contact be pushed through).
TEST(CouplingPassivity, GivesWayWhileALongDelayPumpsAndStandsFirmAfter) {
    double without = 0.0, with = 0.0;
    DelayedProxy(100 * kMs, false, nullptr, &without);
    CouplingRenderer c(Params(200, 2, 0, true));
    DelayedProxy(100 * kMs, true, &c, &with);
    EXPECT_GT(without, 4.9);
    EXPECT_LT(with, 2.5);

    const std::int64_t start = kT0 + 6000 * kMs;
    c.Push({{0.002, 0, 0}, {0, 0, 0}, start}, start);
    double f = 0.0;
    for (std::int64_t now = start; now <= start + 3000 * kMs; now += kMs) {
        f = c.Force({0, 0, 0}, {0, 0, 0}, now, kDt)[0];
        c.Rendered(1.0);
    }
    EXPECT_NEAR(f, 200 * 0.002, 1e-9);
    EXPECT_LT(c.State().observed_energy_j, -0.1);
}

// A target going at 0.1 m/s, its 2 ms updates arriving ten at a time every 20 ms and
// stamped 0.5 ms apart, an arm trailing it at its pace: the arm owes energy, and the
// damping (20 N s/m at most) works against the velocity the updates carry, 0.1 m/s, or
// none while the target is held, never against a burst crossing 2 mm in half a millisecond.
TEST(CouplingPassivity, TakesBurstsOfUpdatesAtTheTargetsOwnPace) {
    CouplingRenderer c(Params(200, 0, 0, true));
    double largest = 0.0;
    for (std::int64_t now = kT0; now < kT0 + 1000 * kMs; now += kMs) {
        const std::int64_t t = now - kT0;
        if (t % (20 * kMs) == 0) {
            for (int i = 0; i < 10; ++i) {
                const double sent = 0.1 * 1e-9 * static_cast<double>(t - (18 - 2 * i) * kMs);
                c.Push({{sent, 0, 0}, {0.1, 0, 0}, now - (9 - i) * kMs / 2}, now);
            }
        }
        const double x = 0.1 * 1e-9 * static_cast<double>(t) - 0.02 - 0.001;
        const double f = c.Force({x, 0, 0}, {0.1, 0, 0}, now, kDt)[0];
        if (t >= 200 * kMs) {
            largest = std::max(largest, std::fabs(f - 200 * (c.State().offset[0])));
        }
    }
    EXPECT_GT(c.State().passivity_cycles, 0u);
    EXPECT_LT(largest, 20 * 0.1 * 1.01);
}

TEST(SoftStart, BringsTheForceInWithoutAKick) {
    SoftStart ramp(0.5);
    ramp.Restart(kT0);
    EXPECT_EQ(ramp.Share(kT0 - kMs), 0.0);
    EXPECT_EQ(ramp.Share(kT0), 0.0);
    EXPECT_NEAR(ramp.Share(kT0 + 250 * kMs), 0.5, 1e-12);
    EXPECT_EQ(ramp.Share(kT0 + 500 * kMs), 1.0);
    EXPECT_EQ(ramp.Share(kT0 + 9000 * kMs), 1.0);
    // An arm 5 cm from a 1000 N/m target: 50 N in full, brought in by at most 0.3 N a cycle.
    CouplingRenderer c(Params(1000, 0));
    double last = 0.0, largest = 0.0;
    for (std::int64_t now = kT0; now <= kT0 + 600 * kMs; now += kMs) {
        const double f = c.Force({-0.05, 0, 0}, {0, 0, 0}, now, kDt, ramp.Share(now))[0];
        largest = std::max(largest, f - last);
        last = f;
    }
    EXPECT_NEAR(last, 50.0, 1e-9);
    EXPECT_LT(largest, 0.3);
    EXPECT_EQ(SoftStart(0.0).Share(0), 1.0);
}

}  // namespace
}  // namespace Orvane::HardwareAPI::Haptics
