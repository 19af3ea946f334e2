// The releases the library steps: an unknown one is refused with the known ones named, and
// the row of the installed one is what the compiler reads from its headers.
#include <gtest/gtest.h>

#include <string>

#include "haptics/MujocoApi.h"

#ifdef ORVANE_MUJOCO_HEADERS
#include "haptics/MujocoLayoutFromHeaders.h"
#endif

namespace Orvane::HardwareAPI::Haptics {
namespace {

TEST(MujocoLayouts, EachKnownReleaseHasItsOwnRowAndOthersAreRefusedNamingTheKnownOnes) {
    for (int version : {3017000, 4000000, 4000001}) {
        const MujocoLayout* layout = nullptr;
        EXPECT_FALSE(ChooseMujocoLayout(version, "x", layout)) << version;
        ASSERT_NE(layout, nullptr) << version;
        EXPECT_EQ(layout->version, version);
    }
    // Just outside on either side, a release of the old numbering, and garbage.
    for (int version : {3016000, 4000002, 4001000, 237, 0, -1}) {
        const MujocoLayout* layout = reinterpret_cast<const MujocoLayout*>(&version);
        const Error error = ChooseMujocoLayout(version, "9.9.9", layout);
        EXPECT_EQ(error.kind, ErrorKind::Unsupported) << version;
        EXPECT_EQ(layout, nullptr) << version;
        EXPECT_EQ(error.message,
                  "MuJoCo 9.9.9 is not a release this library can step (it steps MuJoCo "
                  "3.17.0, 4.0.0 and 4.0.1)");
    }
    const MujocoLayout* layout = nullptr;
    EXPECT_NE(ChooseMujocoLayout(1, nullptr, layout).message.find("MuJoCo ? is not"),
              std::string::npos);
}

TEST(MujocoLayouts, TheRowOfTheInstalledReleaseIsWhatItsHeadersSay) {
#ifndef ORVANE_MUJOCO_HEADERS
    GTEST_SKIP() << "no MuJoCo headers found at configure time: pip install mujoco into .venv";
#else
    const MujocoLayout compiled = MujocoLayoutFromHeaders();
    const MujocoLayout* row = nullptr;
    ASSERT_FALSE(ChooseMujocoLayout(compiled.version, "installed", row))
        << "no row for the installed MuJoCo " << compiled.version
        << ": add it to lib.sh's orvane_mujoco_releases and run "
           "scripts/update-mujoco-layouts.sh";
#define ORVANE_EXPECT_FIELD(type, name) \
    EXPECT_EQ(row->name, compiled.name) \
        << #name " differs from the headers: run scripts/update-mujoco-layouts.sh";
    ORVANE_MUJOCO_LAYOUT_FIELDS(ORVANE_EXPECT_FIELD)
#undef ORVANE_EXPECT_FIELD
#endif
}

}  // namespace
}  // namespace Orvane::HardwareAPI::Haptics
