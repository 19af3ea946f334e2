// The few functions and structure fields of the MuJoCo library that a scene uses, found at
// run time in the library the program loaded: the project builds without MuJoCo, and the
// scene works with exactly the MuJoCo that made the program's model and data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "Orvane/HardwareAPI/Error.h"

namespace Orvane::HardwareAPI::Haptics {

// Where the fields live in one release's mjModel and mjData (bytes from the start), and the
// values of the constants used; read from that release's headers.
struct MujocoLayout {
    int version;  // as mj_version() gives it
    const char* name;
    // mjModel
    std::size_t nq, nv, nbody;  // 64-bit counts
    std::size_t timestep;       // opt.timestep
    // mjData
    std::size_t time, ncon, qpos, qvel, xpos, xfrc_applied;
    // mjtState bits and mjtObj values
    int state_time, state_qpos, state_qvel, state_xfrc_applied;
    int object_body;
};

// The layout of the release with that version number; nullptr for one not known here.
const MujocoLayout* KnownMujocoLayout(int version);
// The releases known here, for messages ("4.0.1").
const char* KnownMujocoReleases();

// mjModel* and mjData* travel as void*: the library never looks inside but through the
// layout above.
struct MujocoApi {
    int (*version)();
    const char* (*version_string)();
    void (*step1)(const void* m, void* d);
    void (*step2)(const void* m, void* d);
    void (*forward)(const void* m, void* d);
    void (*reset_data)(const void* m, void* d);
    int (*name2id)(const void* m, int type, const char* name);
    int (*state_size)(const void* m, int signature);
    void (*get_state)(const void* m, const void* d, double* state, int signature);
    void (*object_velocity)(const void* m, const void* d, int type, int id, double* result,
                            int local);
};

// A MuJoCo library opened from `path`, its functions found and its release checked.
class MujocoLibrary {
public:
    MujocoLibrary() = default;
    MujocoLibrary(const MujocoLibrary&) = delete;
    MujocoLibrary& operator=(const MujocoLibrary&) = delete;
    ~MujocoLibrary();

    // NoDevice when the file is not a MuJoCo library this code knows.
    Error Open(const char* path);

    const MujocoApi& Api() const { return api_; }
    const MujocoLayout& Layout() const { return *layout_; }
    // Any other function by name, for callers that need more (tests build models).
    void* Symbol(const char* name) const;

private:
    void* handle_ = nullptr;
    MujocoApi api_{};
    const MujocoLayout* layout_ = nullptr;
};

// MuJoCo ends the whole process on a fatal error (a model that runs out of memory in a step,
// say) unless the calling thread has a handler. While a Trap lives on a thread, a fatal error
// there throws MujocoFatal out of the MuJoCo call instead; other threads keep their own
// handlers and MuJoCo's usual ending.
struct MujocoFatal {
    char message[256];
};

class MujocoErrorTrap {
public:
    // Installs the process-wide hook on first use; false when the library has none.
    static bool Install(const MujocoLibrary& library);
    MujocoErrorTrap();
    ~MujocoErrorTrap();
    MujocoErrorTrap(const MujocoErrorTrap&) = delete;
    MujocoErrorTrap& operator=(const MujocoErrorTrap&) = delete;

private:
    long slot_ = -1;  // nested traps on one thread leave the slot to the outermost
};

// A field of a MuJoCo structure through the layout; memcpy keeps it free of aliasing
// assumptions.
template <typename T>
T ReadField(const void* base, std::size_t offset) {
    T value;
    std::memcpy(&value, static_cast<const char*>(base) + offset, sizeof value);
    return value;
}

template <typename T>
void WriteField(void* base, std::size_t offset, const T& value) {
    std::memcpy(static_cast<char*>(base) + offset, &value, sizeof value);
}

}  // namespace Orvane::HardwareAPI::Haptics
