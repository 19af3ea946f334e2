#include "haptics/MujocoApi.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/SharedLibrary.h"

namespace Orvane::HardwareAPI::Haptics {
namespace {

constexpr MujocoLayout kLayouts[] = {
    {4000001, "4.0.1",
     // mjModel: nq, nv, nbody, opt.timestep
     0, 8, 48, 792,
     // mjData: time, ncon, qpos, qvel, xpos, xfrc_applied
     160648, 160560, 160688, 160696, 160848, 160760,
     // mjSTATE_TIME, _QPOS, _QVEL, _XFRC_APPLIED, mjOBJ_BODY
     1, 2, 4, 256, 1},
};

template <typename F>
bool Find(void* handle, const char* name, F& function, std::string& missing) {
    function = reinterpret_cast<F>(Platform::SharedLibrarySymbol(handle, name));
    if (function == nullptr) {
        missing += missing.empty() ? name : std::string(", ") + name;
    }
    return function != nullptr;
}

using ErrorHook = void (*)(const char*);

thread_local int t_traps = 0;
std::atomic<ErrorHook> g_previous_hook{nullptr};

void OnFatalError(const char* message) {
    if (t_traps > 0) {
        MujocoFatal fatal{};
        std::snprintf(fatal.message, sizeof fatal.message, "%s", message ? message : "");
        throw fatal;
    }
    if (ErrorHook previous = g_previous_hook.load(); previous != nullptr) {
        previous(message);
        return;
    }
    // What MuJoCo does without a handler: say so and end.
    std::fprintf(stderr, "ERROR: %s\n", message ? message : "");
    std::exit(EXIT_FAILURE);
}

}  // namespace

bool MujocoErrorTrap::Install(const MujocoLibrary& library) {
    auto* hook = static_cast<ErrorHook*>(library.Symbol("mju_user_error"));
    if (hook == nullptr) {
        return false;
    }
    static std::mutex installing;
    std::lock_guard<std::mutex> hold(installing);
    if (*hook != &OnFatalError) {
        g_previous_hook.store(*hook);
        *hook = &OnFatalError;
    }
    return true;
}

MujocoErrorTrap::MujocoErrorTrap() {
    ++t_traps;
}

MujocoErrorTrap::~MujocoErrorTrap() {
    --t_traps;
}

const MujocoLayout* KnownMujocoLayout(int version) {
    for (const MujocoLayout& layout : kLayouts) {
        if (layout.version == version) {
            return &layout;
        }
    }
    return nullptr;
}

const char* KnownMujocoReleases() {
    return "4.0.1";
}

MujocoLibrary::~MujocoLibrary() {
    Platform::CloseSharedLibrary(handle_);
}

Error MujocoLibrary::Open(const char* path) {
    if (path == nullptr || *path == '\0') {
        return {ErrorKind::NoDevice, "no MuJoCo library given (the mujoco package's libmujoco)"};
    }
    char reason[512] = "";
    handle_ = Platform::OpenSharedLibrary(path, reason, sizeof reason);
    if (handle_ == nullptr) {
        return {ErrorKind::NoDevice,
                std::string("cannot load MuJoCo from '") + path + "': " + reason};
    }
    std::string missing;
    MujocoApi& a = api_;
    Find(handle_, "mj_version", a.version, missing);
    Find(handle_, "mj_versionString", a.version_string, missing);
    Find(handle_, "mj_step1", a.step1, missing);
    Find(handle_, "mj_step2", a.step2, missing);
    Find(handle_, "mj_forward", a.forward, missing);
    Find(handle_, "mj_resetData", a.reset_data, missing);
    Find(handle_, "mj_name2id", a.name2id, missing);
    Find(handle_, "mj_stateSize", a.state_size, missing);
    Find(handle_, "mj_getState", a.get_state, missing);
    Find(handle_, "mj_objectVelocity", a.object_velocity, missing);
    if (!missing.empty()) {
        return {ErrorKind::NoDevice,
                std::string("'") + path + "' is not a MuJoCo library: it lacks " + missing};
    }
    layout_ = KnownMujocoLayout(a.version());
    if (layout_ == nullptr) {
        const char* release = a.version_string();
        return {ErrorKind::NoDevice, std::string("MuJoCo ") + (release ? release : "?") +
                                         " is not a release this library knows (it knows " +
                                         KnownMujocoReleases() + "); install one of those"};
    }
    return {};
}

void* MujocoLibrary::Symbol(const char* name) const {
    return handle_ != nullptr ? Platform::SharedLibrarySymbol(handle_, name) : nullptr;
}

}  // namespace Orvane::HardwareAPI::Haptics
