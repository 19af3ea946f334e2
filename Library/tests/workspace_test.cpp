#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "haptics/Workspace.h"

namespace Orvane::HardwareAPI::Haptics {
namespace {

void ExpectNear(const Vec3& got, const Vec3& want) {
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(got[i], want[i], 1e-12) << "component " << i;
    }
}

WorkspaceMap QuarterTurn() {
    WorkspaceMap map;
    map.scale = 2.0;
    map.offset = {1.0, 0.0, 0.0};
    EXPECT_FALSE(RotationFromQuaternion({std::sqrt(0.5), 0, 0, std::sqrt(0.5)}, map.rotation));
    return map;
}

TEST(Workspace, MapsPositionsForwardAndForcesBackWithTheSamePower) {
    const Workspace w(QuarterTurn());
    ASSERT_FALSE(CheckWorkspace(w.Map()));
    // R turns x into y and y into -x; scale 2, then the offset.
    ExpectNear(w.ToScene({0.1, 0.2, 0.3}), {0.6, 0.2, 0.6});
    ExpectNear(w.ForceToDevice({1, 0, 0}), {0, -2, 0});
    const Vec3 v{0.3, -0.7, 0.2}, f{2.0, 1.0, -4.0};
    const Vec3 vs = w.VelocityToScene(v), fd = w.ForceToDevice(f);
    EXPECT_NEAR(f[0] * vs[0] + f[1] * vs[1] + f[2] * vs[2],
                fd[0] * v[0] + fd[1] * v[1] + fd[2] * v[2], 1e-12);
}

TEST(Workspace, ClutchHoldsTheSceneAndResumesWithoutAJump) {
    Workspace w(QuarterTurn());
    const Vec3 held = w.ToScene({0.1, 0.0, 0.0});
    EXPECT_TRUE(w.Clutch(true, {0.1, 0.0, 0.0}));
    EXPECT_FALSE(w.Clutch(true, {0.2, 0.0, 0.0}));
    ExpectNear(w.ToScene({0.3, -0.2, 0.1}), held);
    ExpectNear(w.VelocityToScene({1, 1, 1}), {0, 0, 0});
    ExpectNear(w.ForceToDevice({5, 5, 5}), {0, 0, 0});

    EXPECT_TRUE(w.Clutch(false, {0.3, -0.2, 0.1}));
    ExpectNear(w.ToScene({0.3, -0.2, 0.1}), held);
    // From there on the scene follows the arm again: +1 cm in x is +2 cm in scene y.
    ExpectNear(w.ToScene({0.31, -0.2, 0.1}), {held[0], held[1] + 0.02, held[2]});
    EXPECT_FALSE(CheckWorkspace(w.Map()));
}

TEST(Workspace, RejectsWhatIsNoRigidMap) {
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    auto problem = [](auto change) {
        WorkspaceMap map;
        change(map);
        const Error refused = CheckWorkspace(map);
        EXPECT_EQ(refused.kind, ErrorKind::BadArgument);
        return refused.message;
    };
    EXPECT_NE(problem([](WorkspaceMap& m) { m.scale = 0; }).find("scale"), std::string::npos);
    EXPECT_NE(problem([](WorkspaceMap& m) { m.offset[1] = kNaN; }).find("offset"),
              std::string::npos);
    EXPECT_NE(problem([](WorkspaceMap& m) { m.rotation[0] = -1; }).find("mirror"),
              std::string::npos);
    EXPECT_NE(problem([](WorkspaceMap& m) { m.rotation[1] = 0.5; }).find("orthonormal"),
              std::string::npos);
    EXPECT_NE(problem([](WorkspaceMap& m) { m.rotation[8] = kNaN; }).find("finite"),
              std::string::npos);
    Matrix3 r{};
    EXPECT_EQ(RotationFromQuaternion({0, 0, 0, 0}, r).kind, ErrorKind::BadArgument);
    EXPECT_EQ(RotationFromQuaternion({kNaN, 0, 0, 1}, r).kind, ErrorKind::BadArgument);
    // Any length but zero: a tiny quaternion is still a rotation.
    ASSERT_FALSE(RotationFromQuaternion({0, 0, 0, 1e-300}, r));
    EXPECT_FALSE(CheckWorkspace(WorkspaceMap{1.0, {}, r}));
}

}  // namespace
}  // namespace Orvane::HardwareAPI::Haptics
