#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "haptics/ForceModel.h"
#include "haptics/Histogram.h"

namespace Orvane::HardwareAPI::Haptics {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

void ExpectNear(const Vec3& got, const Vec3& want) {
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(got[i], want[i], 1e-9) << "component " << i;
    }
}

struct EffectCase {
    const char* name;
    Effect effect;
    Vec3 x, v, want;
};

class EffectForceTest : public ::testing::TestWithParam<EffectCase> {};

TEST_P(EffectForceTest, MatchesHandComputedForce) {
    const EffectCase& c = GetParam();
    ExpectNear(EffectForce(c.effect, c.x, c.v), c.want);
}

INSTANTIATE_TEST_SUITE_P(
    Effects, EffectForceTest,
    ::testing::Values(
        EffectCase{"constant", ConstantForce{{1, 2, 3}}, {5, 5, 5}, {9, 9, 9}, {1, 2, 3}},
        // -200 (0.05, 0.02, 0) - 2 (0.1, 0, -0.5)
        EffectCase{
            "spring", Spring{{0.1, 0, 0}, 200, 2}, {0.15, 0.02, 0}, {0.1, 0, -0.5}, {-10.2, -4, 1}},
        EffectCase{"damper", Damper{5}, {1, 1, 1}, {0.1, -0.2, 0.3}, {-0.5, 1, -1.5}},
        // n = (-1, 0, 0), d = -0.01, v·n = -0.1: (4 + 1) n
        EffectCase{"wall_inside",
                   Wall{{0.25, 0, 0}, {-2, 0, 0}, 400, 10},
                   {0.26, 0, 0},
                   {0.1, 0, 0},
                   {-5, 0, 0}},
        EffectCase{"wall_outside",
                   Wall{{0.25, 0, 0}, {-1, 0, 0}, 400, 10},
                   {0.2, 0, 0},
                   {0.1, 0, 0},
                   {0, 0, 0}},
        EffectCase{"wall_without_direction",
                   Wall{{0, 0, 0}, {0, 0, 0}, 400, 0},
                   {-1, 0, 0},
                   {0, 0, 0},
                   {0, 0, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

ForceLimits Limits(double max_force = 100.0) {
    ForceLimits l;
    l.max_force = max_force;
    l.watchdog_s = 0.1;
    l.watchdog_ramp_s = 0.05;
    return l;
}

TEST(ForceModelTest, EffectsAddToTheCommandAndTheSumIsClampedToMaxForce) {
    ForceModel model(Limits(5.0));
    const Effect effects[] = {ConstantForce{{2, 0, 0}}, ConstantForce{{0, 8, 0}}};
    const ForceResult r = model.Compute({4, 0, 0}, 0.0, effects, 2, {}, {});
    EXPECT_TRUE(r.clamped);
    ExpectNear(r.force, {3, 4, 0});  // (6, 8, 0) scaled to norm 5
    EXPECT_FALSE(model.Compute({1, 0, 0}, 0.0, nullptr, 0, {}, {}).clamped);
}

TEST(ForceModelTest, NonFiniteCommandOrEffectSendsZero) {
    ForceModel model(Limits());
    const Effect stiff[] = {Spring{{0, 0, 0}, kInf, 0}};
    const Effect damper[] = {Damper{1}};
    for (const ForceResult& r : {model.Compute({kNaN, 1, 1}, 0.0, nullptr, 0, {}, {}),
                                 model.Compute({1, 1, 1}, 0.0, stiff, 1, {0.1, 0, 0}, {}),
                                 model.Compute({1, 1, 1}, 0.0, damper, 1, {}, {kNaN, 0, 0})}) {
        EXPECT_TRUE(r.non_finite);
        ExpectNear(r.force, {0, 0, 0});
    }
}

TEST(ForceModelTest, StaleCommandRampsToZeroWhileEffectsGoOn) {
    ForceModel model(Limits());
    const Effect push[] = {ConstantForce{{0, 0, 1}}};
    const Vec3 command{2, 0, 0};
    ForceResult r = model.Compute(command, 0.05, push, 1, {}, {});
    EXPECT_FALSE(r.watchdog_tripped);
    ExpectNear(r.force, {2, 0, 1});
    r = model.Compute(command, 0.125, push, 1, {}, {});  // half-way down the ramp
    EXPECT_TRUE(r.watchdog_tripped);
    ExpectNear(r.force, {1, 0, 1});
    r = model.Compute(command, 0.2, push, 1, {}, {});
    EXPECT_FALSE(r.watchdog_tripped);  // one trip per stale command
    ExpectNear(r.force, {0, 0, 1});
    ExpectNear(model.Compute({kNaN, 0, 0}, 0.5, push, 1, {}, {}).force, {0, 0, 1});
    // Set again: full force at once, and the next staleness trips anew.
    ExpectNear(model.Compute(command, 0.0, push, 1, {}, {}).force, {2, 0, 1});
    EXPECT_TRUE(model.Compute(command, 0.3, push, 1, {}, {}).watchdog_tripped);
}

TEST(ForceModelTest, BrakesAboveMaxSpeedUntilTheArmHasSlowed) {
    ForceLimits limits = Limits();
    limits.max_speed = 0.5;
    limits.brake_damping = 10.0;
    ForceModel model(limits);
    const Effect spring[] = {Spring{{1, 0, 0}, 10, 0}};
    const Vec3 command{0, 0, 3};
    ForceResult r = model.Compute(command, 0.0, spring, 1, {}, {0.6, 0, 0});
    EXPECT_TRUE(r.braking);
    ExpectNear(r.force, {-6, 0, 0});                               // damping only
    r = model.Compute(command, 0.0, spring, 1, {}, {0.45, 0, 0});  // slower, not slow enough
    EXPECT_TRUE(r.braking);
    ExpectNear(r.force, {-4.5, 0, 0});
    r = model.Compute(command, 0.0, spring, 1, {}, {0.3, 0, 0});
    EXPECT_FALSE(r.braking);
    ExpectNear(r.force, {10, 0, 3});
}

TEST(HistogramTest, PercentilesLieWithinABucketOfTheTruth) {
    Histogram h;
    for (std::uint64_t us = 1; us <= 1000; ++us) {
        h.Record(us * 1000);
    }
    const Histogram::Summary s = h.Summarize();
    EXPECT_NEAR(s.p50, 500e3, 500e3 * 0.02);
    EXPECT_NEAR(s.p99, 990e3, 990e3 * 0.02);
    EXPECT_NEAR(s.p999, 999e3, 999e3 * 0.02);
    EXPECT_EQ(s.max, 1000e3);
}

}  // namespace
}  // namespace Orvane::HardwareAPI::Haptics
