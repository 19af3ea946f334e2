#include <gtest/gtest.h>

#include <limits>

#include "haptics/RenderPipeline.h"
#include "haptics/Vectors.h"
#include "haptics/Workspace.h"

namespace Orvane::HardwareAPI::Haptics {
namespace {

using namespace Vectors;

constexpr std::int64_t kT0 = 5'000'000'000;
constexpr double kInf = std::numeric_limits<double>::infinity();

// A coupling seen through a scaled workspace, a spring and a command, far beyond 3 N
// together: the clamp takes the whole sum, and the coupling counts only the part of its
// force that went out (its passivity observer works from that).
TEST(RenderPipeline, EveryTermGoesThroughTheClampAndCouplingsCountWhatWentOut) {
    TouchTable touch(0.0);
    RenderPipeline pipeline(ForceLimits{3.0, kInf, 0.0, kInf, 0.0}, touch, 1e-3);
    WorkspaceMap map;
    map.scale = 2.0;
    ASSERT_FALSE(touch.SetWorkspace(map));
    CouplingParams pull;
    pull.target = {0.3, 0.0, 0.0};
    pull.stiffness = 500.0;
    CouplingId id = 0;
    ASSERT_FALSE(touch.AddCoupling(pull, id));
    EffectTable table;
    table.effects[0] = Spring{{0.0, 0.01, 0.0}, 100.0, 0.0};
    table.count = 1;

    pipeline.Restart(kT0);
    LoopState at;
    const Vec3 command{1.0, 0.0, 0.0};
    // A second in: every soft start is over.
    const ForceResult r = pipeline.Render(at, command, kT0, table, kT0 + 1'000'000'000);

    ASSERT_TRUE(r.clamped);
    EXPECT_LE(Norm(r.force), 3.0);
    EXPECT_GT(Norm(r.force), 3.0 * (1 - 1e-6));
    ASSERT_GT(r.touch_share, 0.0);
    ASSERT_LT(r.touch_share, 0.1);
    CouplingState felt;
    ASSERT_FALSE(touch.CouplingStateOf(id, felt));
    const Vec3 spring = EffectForce(table.effects[0], at.position, at.velocity);
    const Vec3 expected =
        Sum(Scaled(Sum(command, spring), r.touch_share), Workspace(map).ForceToDevice(felt.force));
    EXPECT_NEAR(Norm(Difference(r.force, expected)), 0.0, 1e-6);
}

}  // namespace
}  // namespace Orvane::HardwareAPI::Haptics
