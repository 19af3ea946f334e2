#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "haptics/ForceModel.h"
#include "haptics/TouchTable.h"
#include "haptics/Vectors.h"

namespace Orvane::HardwareAPI::Haptics {
namespace {

constexpr std::int64_t kMs = 1'000'000;
constexpr std::int64_t kT0 = 5'000'000'000;
constexpr double kDt = 1e-3;

// The table's force with no effects of the loop's, all of it sent; zero when it renders
// nothing.
Vec3 Felt(TouchTable& table, const Vec3& x, const Vec3& v, std::int64_t now) {
    Vec3 f{};
    table.Force(x, v, now, kDt, nullptr, 0, f);
    table.Rendered(1.0);
    return f;
}

CouplingParams Pull(const Vec3& target, double k = 100.0) {
    CouplingParams p;
    p.target = target;
    p.stiffness = k;
    return p;
}

TEST(TouchTable, CouplingsAreSeenThroughTheWorkspaceAndTheirForcesComeBack) {
    TouchTable table(0.0);
    CouplingId id = 0;
    ASSERT_FALSE(table.AddCoupling(Pull({1, 0, 0}), id));
    WorkspaceMap map;
    map.scale = 2.0;
    map.offset = {1, 0, 0};
    ASSERT_FALSE(table.SetWorkspace(map));
    EXPECT_EQ(Felt(table, {0, 0, 0}, {0, 0, 0}, kT0), (Vec3{}));
    // 1 cm at the arm is 2 cm in the scene: -2 N there, twice that at the arm.
    const Vec3 f = Felt(table, {0.01, 0, 0}, {0, 0, 0}, kT0 + kMs);
    EXPECT_NEAR(f[0], -4.0, 1e-9);
    CouplingState state;
    ASSERT_FALSE(table.CouplingStateOf(id, state));
    EXPECT_NEAR(state.force[0], -2.0, 1e-9);
    EXPECT_NEAR(state.offset[0], -0.02, 1e-12);
    // The loop's scene effects go the same way, on top.
    const Effect spring = Spring{{1, 0, 0}, 100, 0};
    Vec3 both{};
    ASSERT_TRUE(table.Force({0.01, 0, 0}, {0, 0, 0}, kT0 + 2 * kMs, kDt, &spring, 1, both));
    EXPECT_NEAR(both[0], -8.0, 1e-9);
}

// Two couplings, one with a huge spring, and a command, through a clamp at 3 N and a scaled,
// rotated workspace: each coupling reports its part of the wire, and the observer works from
// it. A braking loop sends none of it.
TEST(TouchTable, CouplingsReportTheForceTheArmFelt) {
    using namespace Vectors;
    TouchTable table(0.0);
    ForceModel model(ForceLimits{3.0, 0.0, 0.0, 0.0, 0.0}), braking({3.0, 0.0, 0.0, 0.01, 1.0});
    WorkspaceMap map;
    map.scale = 2.0;
    ASSERT_FALSE(RotationFromQuaternion({0.9, 0.1, -0.3, 0.2}, map.rotation));
    ASSERT_FALSE(table.SetWorkspace(map));
    const Workspace w(map);
    CouplingId a = 0, b = 0;
    CouplingParams stiff = Pull({0.3, -0.2, 0.1}, 1e300);
    stiff.passivity = true;
    ASSERT_FALSE(table.AddCoupling(stiff, a));
    ASSERT_FALSE(table.AddCoupling(Pull({-0.1, 0.4, 0}, 500.0), b));
    const Vec3 v{0.05, -0.02, 0.01}, command{1.0, 0.0, 0.0};
    double energy = 0.0;
    CouplingState sa, sb;
    for (int i = 0; i <= 50; ++i) {
        energy -= Dot(sa.force, w.VelocityToScene(v)) * kDt;
        Vec3 touch{};
        table.Force({0.001 * i, 0, 0}, v, kT0 + i * kMs, kDt, nullptr, 0, touch);
        const ForceResult r =
            (i < 50 ? model : braking).Compute(command, 0.0, nullptr, 0, {}, v, touch);
        table.Rendered(r.touch_share);
        ASSERT_FALSE(table.CouplingStateOf(a, sa));
        ASSERT_FALSE(table.CouplingStateOf(b, sb));
        if (i == 50) {
            EXPECT_EQ(sa.force, (Vec3{}));
            break;
        }
        ASSERT_TRUE(r.clamped);
        const Vec3 parts = Sum(w.ForceToDevice(sa.force), w.ForceToDevice(sb.force));
        const Vec3 rest = Difference(r.force, Sum(parts, Scaled(command, r.touch_share)));
        EXPECT_NEAR(Norm(rest), 0.0, 1e-6);
        EXPECT_LE(Norm(sa.force), 3.0 / map.scale * (1 + 1e-12));
        EXPECT_NEAR(sa.observed_energy_j, energy, 1e-9 + 1e-9 * std::fabs(energy));
    }
    EXPECT_LT(energy, 0.0);
}

TEST(TouchTable, AMoveMadeBeforeTheLoopFirstSawTheCouplingIsRendered) {
    TouchTable table(0.0);
    CouplingId id = 0;
    ASSERT_FALSE(table.AddCoupling(Pull({0, 0, 0}), id));
    ASSERT_FALSE(table.MoveTarget(id, {{0.3, 0, 0}, {}, kT0}));
    for (int i = 0; i < 1000; ++i) {
        Felt(table, {0, 0, 0}, {0, 0, 0}, kT0 + i * kMs);
    }
    CouplingState state;
    ASSERT_FALSE(table.CouplingStateOf(id, state));
    EXPECT_EQ(state.target, (Vec3{0.3, 0, 0}));
}

TEST(TouchTable, TheClutchFreesTheArmAndLetsGoWithoutAJump) {
    TouchTable table(0.2);
    table.Restart(kT0 - 1000 * kMs);
    CouplingId id = 0;
    ASSERT_FALSE(table.AddCoupling(Pull({0.01, 0, 0}), id));
    EXPECT_NEAR(Felt(table, {0, 0, 0}, {0, 0, 0}, kT0)[0], 1.0, 1e-9);
    table.Clutch(true);
    EXPECT_EQ(Felt(table, {0, 0, 0}, {0, 0, 0}, kT0 + kMs), (Vec3{}));
    EXPECT_EQ(Felt(table, {0.3, 0.1, 0}, {1, 0, 0}, kT0 + 2 * kMs), (Vec3{}));
    table.Clutch(false);
    // Released 30 cm away: the scene goes on from its held point, eased back in.
    std::int64_t now = kT0 + 3 * kMs;
    double last = Felt(table, {0.3, 0.1, 0}, {0, 0, 0}, now)[0];
    EXPECT_EQ(last, 0.0);
    double largest = 0.0;
    for (; now < kT0 + 400 * kMs; now += kMs) {
        const double f = Felt(table, {0.3, 0.1, 0}, {0, 0, 0}, now)[0];
        largest = std::max(largest, std::fabs(f - last));
        last = f;
    }
    EXPECT_NEAR(last, 1.0, 1e-9);
    EXPECT_LT(largest, 0.02);
    const WorkspaceMap rebased = table.Workspace();
    EXPECT_NEAR(rebased.offset[0], -0.3, 1e-12);
    EXPECT_NEAR(rebased.offset[1], -0.1, 1e-12);
}

TEST(TouchTable, IdsOutliveTheirCouplingsAndBadValuesAreRefused) {
    TouchTable table;
    CouplingId id = 0;
    ASSERT_FALSE(table.AddCoupling(Pull({0.2, 0, 0}), id));
    CouplingState state;
    ASSERT_FALSE(table.CouplingStateOf(id, state));  // before the loop ran
    EXPECT_EQ(state.target, (Vec3{0.2, 0, 0}));
    EXPECT_FALSE(table.RemoveCoupling(id));
    EXPECT_EQ(table.RemoveCoupling(id).kind, ErrorKind::NotFound);
    CouplingId next = 0;
    ASSERT_FALSE(table.AddCoupling(Pull({0, 0, 0}), next));
    EXPECT_NE(next, id);
    // The old id names nothing, not even the coupling now in its slot.
    EXPECT_EQ(table.MoveTarget(id, {{0, 0, 0}, {}, kT0}).kind, ErrorKind::NotFound);
    EXPECT_EQ(table.SetCouplingParams(id, Pull({0, 0, 0})).kind, ErrorKind::NotFound);
    EXPECT_EQ(table.CouplingStateOf(id, state).kind, ErrorKind::NotFound);
    // A bad value is named before an id that names nothing.
    EXPECT_EQ(table.MoveTarget(id, {{0, 0, 0}, {}, 0}).kind, ErrorKind::BadArgument);

    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(table.MoveTarget(next, {{kNaN, 0, 0}, {}, kT0}).kind, ErrorKind::BadArgument);
    EXPECT_EQ(table.MoveTarget(next, {{0, 0, 0}, {}, 0}).kind, ErrorKind::BadArgument);
    EXPECT_EQ(table.SetCouplingParams(next, Pull({0, 0, 0}, -1)).kind, ErrorKind::BadArgument);
    WorkspaceMap mirror;
    mirror.rotation[8] = -1;
    EXPECT_EQ(table.SetWorkspace(mirror).kind, ErrorKind::BadArgument);
    for (std::size_t i = 1; i < TouchTable::kMaxCouplings; ++i) {
        ASSERT_FALSE(table.AddCoupling(Pull({}), id));
    }
    EXPECT_EQ(table.AddCoupling(Pull({}), id).kind, ErrorKind::BadArgument);
    EXPECT_EQ(id, 0u);
}

TEST(TouchTable, AChangeRefusedInAnyPartChangesNothing) {
    TouchTable table(0.0);
    CouplingId id = 0;
    ASSERT_FALSE(table.AddCoupling(Pull({0, 0, 0}), id));
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_TRUE(table.ChangeCoupling(id, Pull({}, 900), {{inf, 0, 0}, {}, kT0}));
    EXPECT_TRUE(table.ChangeCoupling(id, Pull({}, -1), {{0.1, 0, 0}, {}, kT0}));
    CouplingParams ringing = Pull({}, 200);
    ringing.passivity = true;
    ringing.passivity_max_damping = 1e6;  // far beyond what a loop renders without ringing
    EXPECT_TRUE(table.ChangeCoupling(id, ringing, {{0.1, 0, 0}, {}, kT0}));
    EXPECT_NEAR(Felt(table, {0.01, 0, 0}, {0, 0, 0}, kT0)[0], -1.0, 1e-9);
    ASSERT_FALSE(table.ChangeCoupling(id, Pull({}, 200), {{0.02, 0, 0}, {}, kT0}));
    Felt(table, {0.01, 0, 0}, {0, 0, 0}, kT0 + kMs);  // takes the change, starts the move
    EXPECT_NEAR(Felt(table, {0.01, 0, 0}, {0, 0, 0}, kT0 + 1000 * kMs)[0], 2.0, 1e-9);
}

}  // namespace
}  // namespace Orvane::HardwareAPI::Haptics
