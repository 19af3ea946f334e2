#include "haptics/MujocoApi.h"

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "platform/SharedLibrary.h"

namespace Orvane::HardwareAPI::Haptics {
namespace {

template <typename F>
bool Find(void* handle, const char* name, F& function, std::string& missing) {
    function = reinterpret_cast<F>(Platform::SharedLibrarySymbol(handle, name));
    if (function == nullptr) {
        missing += missing.empty() ? name : std::string(", ") + name;
    }
    return function != nullptr;
}

using ErrorHook = void (*)(const char*);

// The threads inside a trap. A fixed table rather than a thread_local: in a library that
// Python loads at run time, a thread's first touch of a thread_local may allocate, and the
// first touch would be on the loop thread.
constexpr int kTrapThreads = 16;
std::array<std::atomic<std::thread::id>, kTrapThreads> g_trapped{};

bool Trapped() {
    const std::thread::id self = std::this_thread::get_id();
    for (const auto& slot : g_trapped) {
        if (slot.load(std::memory_order_acquire) == self) {
            return true;
        }
    }
    return false;
}

std::atomic<ErrorHook> g_previous_hook{nullptr};

void OnFatalError(const char* message) {
    if (Trapped()) {
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
    if (Trapped()) {
        return;  // an outer trap on this thread holds the slot
    }
    const std::thread::id self = std::this_thread::get_id();
    for (auto& slot : g_trapped) {
        std::thread::id none;
        if (slot.compare_exchange_strong(none, self, std::memory_order_acq_rel)) {
            slot_ = &slot - g_trapped.data();
            return;
        }
    }
    // More threads stepping scenes at once than the table holds: this one keeps MuJoCo's
    // own ending.
}

MujocoErrorTrap::~MujocoErrorTrap() {
    if (slot_ >= 0) {
        g_trapped[static_cast<std::size_t>(slot_)].store(std::thread::id{},
                                                         std::memory_order_release);
    }
}

MujocoLibrary::~MujocoLibrary() {
    Platform::CloseSharedLibrary(handle_);
}

Error MujocoLibrary::Open(const char* path) {
    if (path == nullptr || *path == '\0') {
        return {ErrorKind::Unsupported, "no MuJoCo library given (the mujoco package's libmujoco)"};
    }
    char reason[512] = "";
    handle_ = Platform::OpenSharedLibrary(path, reason, sizeof reason);
    if (handle_ == nullptr) {
        return {ErrorKind::Unsupported,
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
    Find(handle_, "mj_copyModel", a.copy_model, missing);
    Find(handle_, "mj_makeData", a.make_data, missing);
    Find(handle_, "mj_copyData", a.copy_data, missing);
    Find(handle_, "mj_deleteModel", a.delete_model, missing);
    Find(handle_, "mj_deleteData", a.delete_data, missing);
    if (!missing.empty()) {
        return {ErrorKind::Unsupported,
                std::string("'") + path + "' is not a MuJoCo library: it lacks " + missing};
    }
    const char* release = a.version_string();
    std::snprintf(release_, sizeof release_, "%s", release != nullptr ? release : "?");
    return ChooseMujocoLayout(a.version(), release_, layout_);
}

void* MujocoLibrary::Symbol(const char* name) const {
    return handle_ != nullptr ? Platform::SharedLibrarySymbol(handle_, name) : nullptr;
}

}  // namespace Orvane::HardwareAPI::Haptics
