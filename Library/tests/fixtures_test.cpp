#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <variant>

#include "haptics/Fixtures.h"

namespace Orvane::HardwareAPI::Haptics {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

using Fixture = std::variant<PlaneGuide, LineGuide, Sphere, Box>;

Vec3 ForceOf(const Fixture& f, const Vec3& x, const Vec3& v) {
    return std::visit(
        [&](const auto& fixture) {
            if constexpr (requires { Normalised(fixture); }) {
                return FixtureForce(Normalised(fixture), x, v);
            } else {
                return FixtureForce(fixture, x, v);
            }
        },
        f);
}

std::string ProblemOf(const Fixture& f) {
    return std::visit([](const auto& fixture) { return FixtureProblem(fixture); }, f);
}

struct ForceCase {
    const char* name;
    Fixture fixture;
    Vec3 x, v, want;
};

class FixtureForceTest : public ::testing::TestWithParam<ForceCase> {};

TEST_P(FixtureForceTest, MatchesHandComputedForce) {
    const ForceCase& c = GetParam();
    ASSERT_EQ(ProblemOf(c.fixture), "");
    const Vec3 got = ForceOf(c.fixture, c.x, c.v);
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(got[i], c.want[i], 1e-9) << "component " << i;
    }
}

const PlaneGuide kPlane{{0, 0, 0.1}, {0, 0, 2}, 100, 2};
const LineGuide kLine{{0, 0, 0}, {0, 0, 3}, 100, 10};
const Sphere kBall{{0, 0, 0}, 0.1, 200, 5, false};
const Sphere kBallInside{{0, 0, 0}, 0.1, 200, 0, true};
const Box kBox{{0, 0, 0}, {0.2, 0.1, 0.4}, 100, 0, false};
const Box kCube{{0, 0, 0}, {0.2, 0.2, 0.2}, 100, 0, false};
const Box kRoom{{-0.1, -0.1, -0.1}, {0.1, 0.1, 0.1}, 100, 1, true};

INSTANTIATE_TEST_SUITE_P(
    Fixtures, FixtureForceTest,
    ::testing::Values(
        // d = 0.02, v·n = 0.5: -2 - 1 along +z; either side, tangential motion free
        ForceCase{"plane_above", kPlane, {0.3, 0.4, 0.12}, {1, 1, 0.5}, {0, 0, -3}},
        ForceCase{"plane_below", kPlane, {0, 0, 0.07}, {0, 0, 0.5}, {0, 0, 2}},
        ForceCase{"plane_on_it", kPlane, {5, -5, 0.1}, {1, 1, 0}, {0, 0, 0}},
        // across (0.03, -0.04): (-3, 4) from the spring, -10 · 0.1 across from the damper
        ForceCase{"line_off", kLine, {0.03, -0.04, 5}, {0.1, 0, 7}, {-4, 4, 0}},
        ForceCase{"line_on_it", kLine, {0, 0, -2}, {0, 0, 3}, {0, 0, 0}},
        // penetration 0.04 · 200 = 8 outwards, plus 5 · 0.2 while moving in
        ForceCase{"ball_inside_still", kBall, {0.06, 0, 0}, {0, 0, 0}, {8, 0, 0}},
        ForceCase{"ball_inside_entering", kBall, {0.06, 0, 0}, {-0.2, 0, 0}, {9, 0, 0}},
        ForceCase{"ball_leaving_fast_never_pulls", kBall, {0.06, 0, 0}, {2, 0, 0}, {0, 0, 0}},
        ForceCase{"ball_surface", kBall, {0, 0.1, 0}, {0, -1, 0}, {0, 0, 0}},
        ForceCase{"ball_outside", kBall, {0.2, 0, 0}, {0, 0, 0}, {0, 0, 0}},
        ForceCase{"ball_center", kBall, {0, 0, 0}, {0, 0, 0}, {0, 0, 20}},
        ForceCase{"workspace_ball_left", kBallInside, {0, 0.13, 0}, {0, 0, 0}, {0, -6, 0}},
        ForceCase{"workspace_ball_within", kBallInside, {0, 0.05, 0}, {0, 0, 0}, {0, 0, 0}},
        // nearest face +y at depth 0.01
        ForceCase{"box_inside", kBox, {0.05, 0.09, 0.2}, {0, 0, 0}, {0, 1, 0}},
        ForceCase{"box_on_face", kBox, {0, 0.05, 0.2}, {0, 0, 0}, {0, 0, 0}},
        ForceCase{"box_outside_corner", kBox, {0.21, 0.11, 0.41}, {0, 0, 0}, {0, 0, 0}},
        ForceCase{"box_center_tie", kCube, {0.1, 0.1, 0.1}, {0, 0, 0}, {-10, 0, 0}},
        ForceCase{"room_corner", kRoom, {0.12, -0.13, 0}, {0, 0, 0}, {-2, 3, 0}},
        ForceCase{"room_returning", kRoom, {0.12, 0, 0}, {-1, 0, 0}, {-1, 0, 0}},
        ForceCase{"room_returning_fast_never_pulls", kRoom, {0.12, 0, 0}, {-5, 0, 0}, {0, 0, 0}},
        ForceCase{"room_within", kRoom, {0.1, -0.1, 0}, {1, 1, 1}, {0, 0, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

struct ProblemCase {
    const char* name;
    Fixture fixture;
    const char* words;  // in the problem; empty: no problem
};

class FixtureProblemTest : public ::testing::TestWithParam<ProblemCase> {};

TEST_P(FixtureProblemTest, NamesWhatIsWrong) {
    const ProblemCase& c = GetParam();
    const std::string problem = ProblemOf(c.fixture);
    if (std::string(c.words).empty()) {
        EXPECT_EQ(problem, "");
    } else {
        EXPECT_NE(problem.find(c.words), std::string::npos) << problem;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, FixtureProblemTest,
    ::testing::Values(
        ProblemCase{"plane_nan_point", PlaneGuide{{kNaN, 0, 0}, {0, 0, 1}, 1, 0}, "point"},
        ProblemCase{"plane_zero_normal", PlaneGuide{{}, {0, 0, 0}, 1, 0}, "direction"},
        ProblemCase{"plane_inf_normal", PlaneGuide{{}, {kInf, 0, 0}, 1, 0}, "finite"},
        ProblemCase{"plane_huge_normal", PlaneGuide{{}, {1e300, 1e300, 0}, 1, 0}, ""},
        ProblemCase{"plane_tiny_normal", PlaneGuide{{}, {0, 1e-320, 0}, 1, 0}, ""},
        ProblemCase{"plane_negative_damping", PlaneGuide{{}, {0, 0, 1}, 1, -1}, "damping"},
        ProblemCase{"line_zero_direction", LineGuide{{}, {0, 0, 0}, 1, 0}, "direction"},
        ProblemCase{"line_nan_stiffness", LineGuide{{}, {1, 0, 0}, kNaN, 0}, "stiffness"},
        ProblemCase{"ball_zero_radius", Sphere{{}, 0, 1, 0, false}, "radius"},
        ProblemCase{"ball_inf_radius", Sphere{{}, kInf, 1, 0, false}, "radius"},
        ProblemCase{"ball_inf_center", Sphere{{0, -kInf, 0}, 1, 1, 0, false}, "center"},
        ProblemCase{"box_flat", Box{{0, 0, 0}, {1, 0, 1}, 1, 0, false}, "below"},
        ProblemCase{"box_inverted", Box{{1, 0, 0}, {0, 1, 1}, 1, 0, true}, "below"},
        ProblemCase{"box_nan", Box{{0, 0, 0}, {1, kNaN, 1}, 1, 0, true}, "finite"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FixtureNormalised, HugeAndTinyDirectionsBecomeUnitVectors) {
    const Vec3 huge = Normalised(PlaneGuide{{}, {1e300, 1e300, 0}, 1, 0}).normal;
    const Vec3 tiny = Normalised(LineGuide{{}, {0, -1e-320, 0}, 1, 0}).direction;
    EXPECT_NEAR(huge[0], std::sqrt(0.5), 1e-15);
    EXPECT_NEAR(huge[1], std::sqrt(0.5), 1e-15);
    EXPECT_EQ(tiny, (Vec3{0, -1, 0}));
}

}  // namespace
}  // namespace Orvane::HardwareAPI::Haptics
