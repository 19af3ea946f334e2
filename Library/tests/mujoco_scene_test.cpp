// Against the MuJoCo library of the project's .venv (or ORVANE_MUJOCO_LIBRARY); skipped
// with a message when there is none.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <thread>

#include "Orvane/HardwareAPI/MujocoScene.h"
#include "haptics/MujocoApi.h"
#include "haptics/TouchTable.h"
#include "haptics/Vectors.h"

namespace Orvane::HardwareAPI::Haptics {
// A library that loads everywhere but is no MuJoCo.
#ifdef _WIN32
constexpr const char* kSomeOtherLibrary = "kernel32.dll";
#else
constexpr const char* kSomeOtherLibrary = "libm.so.6";
#endif

namespace {

namespace fs = std::filesystem;

constexpr double kPeriod = 0.001;

// A block fixed to the world with its near face at x = 0.05, and a weightless ball tool.
constexpr const char* kBlockScene = R"(<mujoco>
  <worldbody>
    <geom name="block" type="box" pos="0.1 0 0" size="0.05 0.05 0.05"/>
    <body name="tool" gravcomp="1">
      <freejoint/>
      <geom type="sphere" size="0.01" mass="0.1"/>
    </body>
  </worldbody>
</mujoco>)";

std::string FindMujoco() {
    if (const char* given = std::getenv("ORVANE_MUJOCO_LIBRARY"); given != nullptr) {
        return given;
    }
    std::error_code ec;
    for (fs::path dir = fs::current_path(ec); !dir.empty(); dir = dir.parent_path()) {
        const fs::path lib = dir / ".venv" / "lib";
        if (fs::is_directory(lib, ec)) {
            for (const auto& python : fs::directory_iterator(lib, ec)) {
                const fs::path package = python.path() / "site-packages" / "mujoco";
                if (!fs::is_directory(package, ec)) {
                    continue;
                }
                for (const auto& file : fs::directory_iterator(package, ec)) {
                    if (file.path().filename().string().rfind("libmujoco.so", 0) == 0) {
                        return file.path().string();
                    }
                }
            }
        }
        if (dir == dir.parent_path()) {
            break;
        }
    }
    return {};
}

// A model and its data made by the library itself, as the Python package would make them.
class LoadedModel {
public:
    explicit LoadedModel(const char* xml) {
        path_ = FindMujoco();
        if (path_.empty() || library_.Open(path_.c_str())) {
            return;
        }
        using Load = void* (*)(const char*, const void*, char*, int);
        auto load = reinterpret_cast<Load>(library_.Symbol("mj_loadXML"));
        auto make = reinterpret_cast<void* (*)(const void*)>(library_.Symbol("mj_makeData"));
        delete_model_ = reinterpret_cast<void (*)(void*)>(library_.Symbol("mj_deleteModel"));
        delete_data_ = reinterpret_cast<void (*)(void*)>(library_.Symbol("mj_deleteData"));
        const fs::path file =
            fs::temp_directory_path() /
            ("orvane_scene_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             ".xml");
        std::ofstream(file) << xml;
        char error[500] = "";
        model_ = load(file.string().c_str(), nullptr, error, sizeof error);
        fs::remove(file);
        EXPECT_NE(model_, nullptr) << error;
        data_ = model_ != nullptr ? make(model_) : nullptr;
    }
    ~LoadedModel() {
        if (data_ != nullptr) {
            delete_data_(data_);
        }
        if (model_ != nullptr) {
            delete_model_(model_);
        }
    }
    bool Ready() const { return data_ != nullptr; }
    // Gives the program's model and data back to MuJoCo, as a program may at any time.
    void Free() {
        delete_data_(data_);
        delete_model_(model_);
        data_ = nullptr, model_ = nullptr;
    }
    MujocoSceneParams Params() const {
        MujocoSceneParams p;
        p.library = path_;
        p.model = model_;
        p.data = data_;
        p.stiffness = 100.0;
        p.damping = 1.0;
        p.max_force = 3.0;
        return p;
    }

private:
    std::string path_;
    MujocoLibrary library_;
    void* model_ = nullptr;
    void* data_ = nullptr;
    void (*delete_model_)(void*) = nullptr;
    void (*delete_data_)(void*) = nullptr;
};

constexpr const char* kNoMujoco =
    "no MuJoCo library: pip install mujoco into .venv, or set ORVANE_MUJOCO_LIBRARY";

std::shared_ptr<MujocoScene> Opened(const MujocoSceneParams& p) {
    std::shared_ptr<MujocoScene> scene;
    const Error error = MujocoScene::Open(p, kPeriod, scene);
    EXPECT_FALSE(error) << error.message;
    return scene;
}

// Why the scene was refused; nothing was opened.
Error Refusal(const MujocoSceneParams& p) {
    std::shared_ptr<MujocoScene> scene;
    const Error error = MujocoScene::Open(p, kPeriod, scene);
    EXPECT_TRUE(error);
    EXPECT_EQ(scene, nullptr);
    return error;
}

TEST(MujocoScene, AToolPressedIntoABlockFeelsTheContactNormalWithinTheLimit) {
    LoadedModel model(kBlockScene);
    if (!model.Ready()) {
        GTEST_SKIP() << kNoMujoco;
    }
    MujocoSceneParams p = model.Params();
    p.substeps = 2;
    auto scene = Opened(p);
    ASSERT_TRUE(scene);

    // The arm 3 cm inside the block: the tool stops at its face, the pull stretches.
    Vec3 force{};
    for (int i = 0; i < 500; ++i) {
        force = scene->Step({0.08, 0, 0}, {0, 0, 0});
    }
    SceneSnapshot s;
    scene->Snapshot(s);
    EXPECT_LT(force[0], -2.0);
    EXPECT_LE(std::sqrt(force[0] * force[0] + force[1] * force[1] + force[2] * force[2]),
              3.0 + 1e-9);
    EXPECT_LT(std::fabs(force[1]) + std::fabs(force[2]), 0.05 * std::fabs(force[0]));
    EXPECT_GE(s.contacts, 1);
    EXPECT_LT(s.tool[0], 0.045);
    EXPECT_GT(s.tool[0], 0.03);
    EXPECT_EQ(s.cycle, 500u);
    EXPECT_NEAR(s.time, 0.5, 1e-9);  // two substeps of half a period each
    EXPECT_EQ(s.qpos.size(), 7u);
    EXPECT_EQ(s.force, force);

    // Out of the block the tool follows freely and nothing is felt at rest.
    for (int i = 0; i < 2000; ++i) {
        force = scene->Step({-0.05, 0, 0}, {0, 0, 0});
    }
    scene->Snapshot(s);
    EXPECT_EQ(s.contacts, 0);
    EXPECT_LT(std::fabs(force[0]), 0.05);
    EXPECT_EQ(scene->Stats().cycles, 2500u);
    EXPECT_GT(scene->Stats().step_us.max, 0.0);
}

TEST(MujocoScene, ChangesArriveBetweenCyclesAndSnapshotsAreWhole) {
    LoadedModel model(kBlockScene);
    if (!model.Ready()) {
        GTEST_SKIP() << kNoMujoco;
    }
    auto scene = Opened(model.Params());
    ASSERT_TRUE(scene);
    EXPECT_EQ(scene->SetState({1, 2}, {}).kind, ErrorKind::BadArgument);
    std::vector<double> qpos{-0.2, 0.1, 0, 1, 0, 0, 0}, qvel(6, 0.0);
    EXPECT_EQ(scene->SetState(qpos, {0, 0, 0, std::nan(""), 0, 0}).kind, ErrorKind::BadArgument);
    ASSERT_FALSE(scene->SetState(qpos, qvel));

    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        SceneSnapshot s;
        while (!done.load()) {
            scene->Snapshot(s);
            if (std::fabs(s.time - static_cast<double>(s.cycle) * kPeriod) > 1e-9 ||
                s.qpos.size() != 7) {
                ++torn;
            }
        }
    });
    Vec3 force{};
    for (int i = 0; i < 3000; ++i) {
        force = scene->Step({-0.2, 0.1, 0}, {0, 0, 0});
    }
    done = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
    // The tool was put where the arm is: no pull.
    EXPECT_LT(std::fabs(force[0]) + std::fabs(force[1]), 1e-6);

    scene->SetState(qpos, qvel);
    scene->Reset();  // after the SetState: wins
    scene->Step({0, 0, 0}, {0, 0, 0});
    SceneSnapshot s;
    scene->Snapshot(s);
    EXPECT_NEAR(s.time, kPeriod, 1e-12);
    EXPECT_LT(std::fabs(s.qpos[0]), 1e-3);
}

TEST(MujocoScene, ANonFiniteArmPositionGivesNoForce) {
    LoadedModel model(kBlockScene);
    if (!model.Ready()) {
        GTEST_SKIP() << kNoMujoco;
    }
    auto scene = Opened(model.Params());
    ASSERT_TRUE(scene);
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(scene->Step({inf, 0, 0}, {0, 0, 0}), (Vec3{}));
    EXPECT_EQ(scene->Stats().unstable, 1u);
    SceneSnapshot s;
    scene->Snapshot(s);
    EXPECT_TRUE(std::isfinite(s.qpos[0]));
}

// Twenty balls over a floor, in a model given too little memory for their contacts:
// MuJoCo fails in the step that first finds them, which would end the process.
std::string CrowdedScene(double height) {
    std::string xml =
        "<mujoco><size memory=\"16K\"/><worldbody><geom type=\"plane\" size=\"1 1 .1\"/>";
    for (int i = 0; i < 20; ++i) {
        xml += "<body pos=\"" + std::to_string(i % 5 * 0.03) + " " + std::to_string(i / 5 * 0.03) +
               " " + std::to_string(height) + "\"><freejoint/><geom size=\"0.01\"/></body>";
    }
    return xml +
           "<body name=\"tool\" gravcomp=\"1\" pos=\"0 0 0.2\"><freejoint/>"
           "<geom size=\"0.01\"/></body></worldbody></mujoco>";
}

TEST(MujocoScene, AFailingStepEndsTheSceneNotTheProcess) {
    const std::string crowded = CrowdedScene(0.05);  // falling
    LoadedModel model(crowded.c_str());
    if (!model.Ready()) {
        GTEST_SKIP() << kNoMujoco;
    }
    auto scene = Opened(model.Params());
    ASSERT_TRUE(scene);
    Vec3 force{1, 1, 1};
    for (int i = 0; i < 300; ++i) {
        force = scene->Step({0.1, 0, 0}, {0, 0, 0});
    }
    EXPECT_EQ(force, (Vec3{}));
    EXPECT_EQ(scene->Fault().kind, ErrorKind::NotRunning);
    EXPECT_NE(scene->Fault().message.find("out of memory"), std::string::npos)
        << scene->Fault().message;
    EXPECT_EQ(scene->Stats().cycles, 300u);

    // Touching the floor from the start: refused when opened.
    LoadedModel touching(CrowdedScene(0.005).c_str());
    const Error error = Refusal(touching.Params());
    EXPECT_EQ(error.kind, ErrorKind::BadArgument);
    EXPECT_NE(error.message.find("fails in MuJoCo"), std::string::npos) << error.message;
}

TEST(MujocoScene, TheLoopsTableHoldsASceneUntilTheLoopLetsGo) {
    LoadedModel model(kBlockScene);
    if (!model.Ready()) {
        GTEST_SKIP() << kNoMujoco;
    }
    std::shared_ptr<MujocoScene> scene = Opened(model.Params());
    ASSERT_TRUE(scene);
    const std::weak_ptr<MujocoScene> watch = scene;
    TouchTable table(0.0);
    table.SetScene(std::move(scene));
    // The arm 1 cm from the tool: the pull of 100 N/m, felt back.
    Vec3 felt{};
    EXPECT_TRUE(table.Force({0.01, 0, 0}, {0, 0, 0}, 1, kPeriod, nullptr, 0, felt));
    EXPECT_NEAR(felt[0], -1.0, 0.05);
    table.SetScene(nullptr);
    EXPECT_FALSE(watch.expired()) << "released while the loop may still step it";
    EXPECT_FALSE(table.Force({0.01, 0, 0}, {0, 0, 0}, 2, kPeriod, nullptr, 0, felt));
    EXPECT_EQ(watch.lock()->Stats().cycles, 1u);
    table.SetScene(nullptr);
    EXPECT_TRUE(watch.expired());
}

// The block scene with a light body on a slide joint whose spring is far too stiff for the
// time step: MuJoCo's integration of it blows up within a few steps.
constexpr const char* kBlowingUpScene = R"(<mujoco>
  <worldbody>
    <geom name="block" type="box" pos="0.1 0 0" size="0.05 0.05 0.05"/>
    <body name="tool" gravcomp="1">
      <freejoint/>
      <geom type="sphere" size="0.01" mass="0.1"/>
    </body>
    <body name="spring" pos="0 0.3 0">
      <joint type="slide" axis="1 0 0" stiffness="1e9" springref="1e-6"/>
      <geom type="sphere" size="0.01" mass="0.001" contype="0" conaffinity="0"/>
    </body>
  </worldbody>
</mujoco>)";

TEST(MujocoScene, StepsItsOwnCopiesWhateverTheProgramDoesWithItsOwn) {
    LoadedModel model(kBlockScene);
    LoadedModel other(kBlowingUpScene);
    if (!model.Ready() || !other.Ready()) {
        GTEST_SKIP() << kNoMujoco;
    }
    MujocoSceneParams mixed = model.Params();
    mixed.data = other.Params().data;
    const Error error = Refusal(mixed);
    EXPECT_EQ(error.kind, ErrorKind::BadArgument);
    EXPECT_NE(error.message.find("another model"), std::string::npos) << error.message;

    auto scene = Opened(model.Params());
    ASSERT_TRUE(scene);
    auto twin = Opened(model.Params());  // the same model twice
    ASSERT_TRUE(twin);
    model.Free();
    Vec3 force{}, twin_force{};
    for (int i = 0; i < 500; ++i) {
        force = scene->Step({0.08, 0, 0}, {0, 0, 0});
        twin_force = twin->Step({-0.01, 0, 0}, {0, 0, 0});
    }
    EXPECT_LT(force[0], -2.0);
    EXPECT_GT(twin_force[0], -0.5);
    SceneSnapshot s;
    scene->Snapshot(s);
    EXPECT_EQ(s.touching, std::vector<int>{0});  // the block belongs to the world body
    EXPECT_FALSE(scene->Fault());
}

TEST(MujocoScene, AToolBodyMustMoveOnJointsOfItsOwn) {
    const char* cases[][2] = {
        {R"(<mujoco><worldbody><body name="tool"><geom size="0.01"/></body></worldbody></mujoco>)",
         "fixed to the world"},
        {R"(<mujoco><worldbody><body name="tool" mocap="true"><geom size="0.01"/></body>
            </worldbody></mujoco>)",
         "mocap"},
        {R"(<mujoco><worldbody><body><freejoint/><geom size="0.01"/>
            <body name="tool"><geom size="0.01"/></body></body></worldbody></mujoco>)",
         "no joint of its own"},
        {R"(<mujoco><worldbody><body name="tool"><joint type="hinge"/><geom size="0.01"/>
            </body></worldbody></mujoco>)",
         "only turns"},
    };
    for (const auto& c : cases) {
        LoadedModel model(c[0]);
        if (!model.Ready()) {
            GTEST_SKIP() << kNoMujoco;
        }
        const Error error = Refusal(model.Params());
        EXPECT_NE(error.message.find(c[1]), std::string::npos) << error.message;
        EXPECT_NE(error.message.find("needs a free joint"), std::string::npos) << error.message;
    }
    // A damper that the tool's mass cannot follow at this step shakes it: refused, with the
    // bound.
    LoadedModel model(kBlockScene);
    MujocoSceneParams p = model.Params();
    p.damping = 500.0;
    const Error error = Refusal(p);
    EXPECT_NE(error.message.find("damping below 200"), std::string::npos) << error.message;
}

TEST(MujocoScene, AnUnstableSceneStopsAndItsForceEasesOut) {
    LoadedModel model(kBlowingUpScene);
    if (!model.Ready()) {
        GTEST_SKIP() << kNoMujoco;
    }
    auto scene = Opened(model.Params());
    ASSERT_TRUE(scene);
    std::vector<Vec3> forces;
    for (int i = 0; i < 400; ++i) {
        forces.push_back(scene->Step({0.01, 0, 0}, {0, 0, 0}));
    }
    EXPECT_EQ(scene->Fault().kind, ErrorKind::NotRunning);
    EXPECT_NE(scene->Fault().message.find("stopped"), std::string::npos) << scene->Fault().message;
    EXPECT_GE(scene->Stats().unstable, 1u);
    // Eased out from the last force that was right, over 0.1 s of cycles (or of the clock,
    // whichever ends first), never above it.
    for (std::size_t i = 1; i < forces.size(); ++i) {
        EXPECT_TRUE(Vectors::Finite(forces[i]));
        EXPECT_LE(std::fabs(forces[i][0]), std::fabs(forces[i - 1][0]) + 1e-12) << i;
    }
    EXPECT_NE(forces[5], (Vec3{}));
    EXPECT_EQ(forces[150], (Vec3{}));
    // A reset starts it again, and it fails again the same way.
    scene->Reset();
    for (int i = 0; i < 5; ++i) {
        scene->Step({0, 0, 0}, {0, 0, 0});
    }
    EXPECT_TRUE(scene->Fault());
}

TEST(MujocoScene, StepsOverTheirBudgetTooOftenStopTheScene) {
    LoadedModel model(kBlockScene);
    if (!model.Ready()) {
        GTEST_SKIP() << kNoMujoco;
    }
    MujocoSceneParams p = model.Params();
    p.step_budget_s = 1e-9;  // every step is over
    p.overrun_limit = 5;
    auto scene = Opened(p);
    ASSERT_TRUE(scene);
    for (int i = 0; i < 4; ++i) {
        scene->Step({0.01, 0, 0}, {0, 0, 0});
    }
    EXPECT_FALSE(scene->Fault());
    scene->Step({0.01, 0, 0}, {0, 0, 0});
    EXPECT_NE(scene->Fault().message.find("5 steps in a row"), std::string::npos)
        << scene->Fault().message;
    SceneSnapshot before, after;
    scene->Snapshot(before);
    scene->Step({0.01, 0, 0}, {0, 0, 0});
    scene->Snapshot(after);
    EXPECT_EQ(after.time, before.time);  // stopped: nothing stepped
    p.overrun_limit = 0;
    EXPECT_NE(Refusal(p).message.find("overrun_limit"), std::string::npos);
}

struct OpenCase {
    const char* name;
    void (*change)(MujocoSceneParams&);
    ErrorKind kind;
    const char* words;
    bool needs_mujoco;
};

class MujocoSceneOpen : public ::testing::TestWithParam<OpenCase> {};

TEST_P(MujocoSceneOpen, RefusesWithAClearError) {
    const OpenCase& c = GetParam();
    LoadedModel model(kBlockScene);
    if (c.needs_mujoco) {
        if (!model.Ready()) {
            GTEST_SKIP() << kNoMujoco;
        }
    }
    MujocoSceneParams p = model.Params();
    if (!c.needs_mujoco) {
        static int fake_model, fake_data;
        p.model = &fake_model, p.data = &fake_data;
    }
    c.change(p);
    const Error error = Refusal(p);
    EXPECT_EQ(error.kind, c.kind);
    EXPECT_NE(error.message.find(c.words), std::string::npos) << error.message;
}

INSTANTIATE_TEST_SUITE_P(
    Scenes, MujocoSceneOpen,
    ::testing::Values(
        OpenCase{"no_library",
                 [](MujocoSceneParams& p) { p.library = "/nonexistent/libmujoco.so"; },
                 ErrorKind::Unsupported, "cannot load", false},
        OpenCase{"not_mujoco", [](MujocoSceneParams& p) { p.library = kSomeOtherLibrary; },
                 ErrorKind::Unsupported, "lacks mj_version", false},
        OpenCase{"no_model", [](MujocoSceneParams& p) { p.model = nullptr; },
                 ErrorKind::BadArgument, "model", false},
        OpenCase{"nan_stiffness", [](MujocoSceneParams& p) { p.stiffness = std::nan(""); },
                 ErrorKind::BadArgument, "stiffness", false},
        OpenCase{"no_substeps", [](MujocoSceneParams& p) { p.substeps = 0; },
                 ErrorKind::BadArgument, "substeps", false},
        OpenCase{"no_such_body", [](MujocoSceneParams& p) { p.body = "hand"; },
                 ErrorKind::BadArgument, "no body named 'hand'", true},
        OpenCase{"world_body", [](MujocoSceneParams& p) { p.body = "world"; },
                 ErrorKind::BadArgument, "world", true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace Orvane::HardwareAPI::Haptics
