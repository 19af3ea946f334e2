// The layouts of the MuJoCo releases this library can step, one row per release, written by
// scripts/update-mujoco-layouts.sh from each release's own headers: the build needs no MuJoCo,
// and the release is picked when a scene opens the library the program loaded.
#include <iterator>

#include "haptics/MujocoApi.h"

namespace Orvane::HardwareAPI::Haptics {
namespace {

constexpr MujocoLayout kLayouts[] = {
#include "haptics/MujocoLayouts.inc"
};

// mj_version() counts major * 1000000 + minor * 1000 + patch.
std::string ReleaseName(int version) {
    return std::to_string(version / 1000000) + "." + std::to_string(version / 1000 % 1000) + "." +
           std::to_string(version % 1000);
}

std::string KnownReleases() {
    std::string names;
    const std::size_t count = std::size(kLayouts);
    for (std::size_t i = 0; i < count; ++i) {
        names += (i == 0 ? "" : i + 1 == count ? " and " : ", ") + ReleaseName(kLayouts[i].version);
    }
    return names;
}

}  // namespace

Error ChooseMujocoLayout(int version, const char* release, const MujocoLayout*& layout) {
    layout = nullptr;
    // The rows are written on a 64-bit machine; MuJoCo's structures hold pointers, so they
    // would be wrong for any other build.
    if constexpr (sizeof(void*) != 8) {
        return {ErrorKind::Unsupported,
                "this build cannot step MuJoCo scenes: its layouts are for "
                "64-bit programs"};
    }
    for (const MujocoLayout& known : kLayouts) {
        if (known.version == version) {
            layout = &known;
            return {};
        }
    }
    return {ErrorKind::Unsupported,
            std::string("MuJoCo ") + (release != nullptr ? release : "?") +
                " is not a release this library can step (it steps MuJoCo " + KnownReleases() +
                ")"};
}

}  // namespace Orvane::HardwareAPI::Haptics
