#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "haptics/ForceModel.h"
#include "haptics/Histogram.h"
#include "haptics/VecMath.h"

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

struct ProblemCase {
    const char* name;
    Effect effect;
    const char* problem;  // a part of the text; empty: no problem
};

class CheckEffectTest : public ::testing::TestWithParam<ProblemCase> {};

TEST_P(CheckEffectTest, NamesWhatIsWrong) {
    const ProblemCase& c = GetParam();
    const Error refused = CheckEffect(c.effect);
    if (*c.problem == '\0') {
        EXPECT_EQ(refused.kind, ErrorKind::None) << refused.message;
    } else {
        EXPECT_EQ(refused.kind, ErrorKind::BadArgument);
        EXPECT_NE(refused.message.find(c.problem), std::string::npos) << refused.message;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Effects, CheckEffectTest,
    ::testing::Values(
        ProblemCase{"damper_negative", Damper{-20}, "damper's damping must be a finite number"},
        ProblemCase{"spring_negative", Spring{{}, -5, 0}, "spring's stiffness and damping"},
        ProblemCase{"spring_infinite", Spring{{}, kInf, 0}, "spring's stiffness and damping"},
        ProblemCase{"spring_center", Spring{{0, kNaN, 0}, 1, 0}, "spring's center must be finite"},
        ProblemCase{"spring_huge_ok", Spring{{1e300, 0, 0}, 1e300, 1e300}, ""},
        ProblemCase{"constant_inf", ConstantForce{{kInf, 0, 0}}, "constant force's force"},
        ProblemCase{"constant_huge_ok", ConstantForce{{1e200, 1e200, 0}}, ""},
        ProblemCase{"wall_damping", Wall{{}, {1, 0, 0}, 1, -1}, "wall's stiffness and damping"},
        ProblemCase{"wall_point", Wall{{kInf, 0, 0}, {1, 0, 0}, 1, 0}, "wall's point"},
        ProblemCase{"wall_normal_inf", Wall{{}, {kInf, 0, 0}, 1, 0},
                    "wall's normal must be finite"},
        ProblemCase{"wall_normal_zero", Wall{{}, {0, 0, 0}, 1, 0}, "must have a direction"},
        ProblemCase{"wall_normal_huge_ok", Wall{{}, {1e200, 0, 0}, 1, 0}, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CheckEffectTest, WallNormalsBecomeUnitLengthWhateverTheirSize) {
    for (const auto& [normal, want] : {std::pair<Vec3, Vec3>{{1e200, 0, 0}, {1, 0, 0}},
                                       {{0, -3e300, 4e300}, {0, -0.6, 0.8}},
                                       {{1e-320, 0, 0}, {1, 0, 0}}}) {
        const Effect e = Normalised(Wall{{}, normal, 1, 0});
        ExpectNear(std::get<Wall>(e).normal, want);
    }
}

double WireNormOf(const Vec3& f) {
    double sum = 0;
    for (double c : f) {
        EXPECT_EQ(static_cast<double>(static_cast<float>(c)), c) << "not a single-precision value";
        sum += c * c;
    }
    return std::sqrt(sum);
}

// Random directions at any magnitude, as the command and as an effect: what goes out is
// single precision, never longer than max_force, pointing where the input pointed.
TEST(ForceModelTest, ClampedForceIsWithinMaxForceInSinglePrecisionAndKeepsItsDirection) {
    std::mt19937_64 random(17);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::uniform_int_distribution<int> exponent(-3, 300);
    for (double max_force : {5.0, 0.1, 3.3, 1e30}) {
        ForceModel model(Limits(max_force));
        for (int i = 0; i < 25000; ++i) {
            const double size = std::pow(10.0, exponent(random));
            Vec3 in{unit(random) * size, unit(random) * size, unit(random) * size};
            if (i % 7 == 0) {
                in[i % 3] = (i % 2 != 0 ? 1e39 : -1e200);
            }
            const Effect as_effect[] = {ConstantForce{in}};
            for (const ForceResult& r : {model.Compute(in, 0.0, nullptr, 0, {}, {}),
                                         model.Compute({}, 0.0, as_effect, 1, {}, {})}) {
                ASSERT_FALSE(r.non_finite);
                const double norm = WireNormOf(r.force);
                ASSERT_LE(norm, max_force) << in[0] << " " << in[1] << " " << in[2];
                const double in_norm = Norm(in);
                if (in_norm > max_force * 1.001) {
                    ASSERT_TRUE(r.clamped);
                    ASSERT_GT(norm, max_force * 0.9999);
                    ASSERT_GT(Dot(Over(in, in_norm), Over(r.force, norm)), 1 - 1e-6);
                }
            }
        }
    }
}

TEST(ForceModelTest, HugeButFiniteGainsGiveAClampedForceNotZero) {
    ForceModel model(Limits(5.0));
    const Effect effects[] = {Spring{{0, 0, 1e300}, 1e300, 1e300}, Damper{1e308}};
    ForceResult r = model.Compute({}, 0.0, effects, 1, {}, {});
    EXPECT_TRUE(r.clamped);
    ExpectNear(r.force, {0, 0, 5});
    r = model.Compute({}, 0.0, effects + 1, 1, {}, {-1, 0, 0});
    ExpectNear(r.force, {5, 0, 0});
    const Effect wall[] = {Wall{{1e300, 0, 0}, {1, 0, 0}, 1e300, 0}};
    ExpectNear(model.Compute({}, 0.0, wall, 1, {}, {}).force, {5, 0, 0});
}

TEST(ForceModelTest, WatchdogRampScalesTheClampedCommand) {
    ForceModel model(Limits(5.0));
    // 20 N asks for more than the arm may get: 5 N, then half of that half-way down.
    EXPECT_NEAR(model.Compute({20, 0, 0}, 0.0, nullptr, 0, {}, {}).force[0], 5.0, 1e-6);
    const ForceResult r = model.Compute({20, 0, 0}, 0.125, nullptr, 0, {}, {});
    EXPECT_NEAR(r.force[0], 2.5, 1e-6);
    EXPECT_TRUE(r.clamped);
}

TEST(ForceModelTest, MaxForceIsBoundedToWhatSinglePrecisionCarries) {
    for (double bad : {0.0, -1.0, 1e300, kInf, kNaN}) {
        EXPECT_EQ(ForceLimitsProblem(Limits(bad)),
                  "max_force must be a finite number above 0 and at most 1e30");
    }
    EXPECT_EQ(ForceLimitsProblem(Limits(kMaxForceLimit)), "");
    // Unchecked, the model still never sends an infinity.
    ForceModel model(Limits(1e300));
    const ForceResult r = model.Compute({1e39, -1e39, 0}, 0.0, nullptr, 0, {}, {});
    EXPECT_FALSE(r.non_finite);
    EXPECT_LE(WireNormOf(r.force), kMaxForceLimit);
    EXPECT_GT(r.force[0], 1e29);
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
