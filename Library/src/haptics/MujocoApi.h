// The few functions and structure fields of the MuJoCo library that a scene uses: the
// functions found by name at run time in the library the program loaded, the fields where
// the headers of that library's release put them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "Orvane/HardwareAPI/Error.h"

namespace Orvane::HardwareAPI::Haptics {

// Where the fields live in one release's mjModel and mjData (bytes from the start), and the
// values of the constants used. Every release's row is compiled from that release's own
// headers (MujocoLayoutFromHeaders.h); one list names the fields so that the struct, the rows
// written by scripts/update-mujoco-layouts.sh and the comparisons cannot disagree on them.
#define ORVANE_MUJOCO_LAYOUT_FIELDS(X)                                           \
    X(int, version) /* as mj_version() gives it */                               \
    /* mjModel */                                                                \
    X(std::size_t, count_bytes) /* size of the model's counts (nq, nv, nbody) */ \
    X(std::size_t, nq)                                                           \
    X(std::size_t, nv)                                                           \
    X(std::size_t, nbody)                                                        \
    X(std::size_t, timestep) /* opt.timestep */                                  \
    X(std::size_t, body_weldid)                                                  \
    X(std::size_t, body_mocapid)                                                 \
    X(std::size_t, body_jntnum)                                                  \
    X(std::size_t, body_jntadr)                                                  \
    X(std::size_t, jnt_type)                                                     \
    X(std::size_t, geom_bodyid)                                                  \
    X(std::size_t, body_mass)                                                    \
    X(std::size_t, body_subtreemass)                                             \
    /* mjData; nbuffer, narena and buffer tell what the data was made for */     \
    X(std::size_t, nbuffer)                                                      \
    X(std::size_t, narena)                                                       \
    X(std::size_t, buffer)                                                       \
    X(std::size_t, time)                                                         \
    X(std::size_t, ncon)                                                         \
    X(std::size_t, qpos)                                                         \
    X(std::size_t, qvel)                                                         \
    X(std::size_t, qacc)                                                         \
    X(std::size_t, xpos)                                                         \
    X(std::size_t, xfrc_applied)                                                 \
    X(std::size_t, contact)                                                      \
    X(std::size_t, contact_size)                                                 \
    X(std::size_t, contact_geom1)                                                \
    X(std::size_t, contact_geom2)                                                \
    X(std::size_t, warning)                                                      \
    X(std::size_t, warning_size)                                                 \
    X(std::size_t, warning_number)                                               \
    X(int, warn_badqpos)                                                         \
    X(int, warn_badqvel)                                                         \
    X(int, warn_badqacc)                                                         \
    /* mjtState bits, mjtObj and mjtJoint values */                              \
    X(int, state_time)                                                           \
    X(int, state_qpos)                                                           \
    X(int, state_qvel)                                                           \
    X(int, state_xfrc_applied)                                                   \
    X(int, object_body)                                                          \
    X(int, joint_free)                                                           \
    X(int, joint_slide)

struct MujocoLayout {
#define ORVANE_MUJOCO_LAYOUT_MEMBER(type, name) type name;
    ORVANE_MUJOCO_LAYOUT_FIELDS(ORVANE_MUJOCO_LAYOUT_MEMBER)
#undef ORVANE_MUJOCO_LAYOUT_MEMBER
};

// The layout of the release whose mj_version() is `version` (`release` as its
// mj_versionString() names it); Unsupported naming the releases this build can step when it
// has no row for that one.
Error ChooseMujocoLayout(int version, const char* release, const MujocoLayout*& layout);

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
    void* (*copy_model)(void* dest, const void* src);
    void* (*make_data)(const void* m);
    void* (*copy_data)(void* dest, const void* m, const void* src);
    void (*delete_model)(void* m);
    void (*delete_data)(void* d);
};

// A MuJoCo library opened from `path`, its functions found and its release checked.
class MujocoLibrary {
public:
    MujocoLibrary() = default;
    MujocoLibrary(const MujocoLibrary&) = delete;
    MujocoLibrary& operator=(const MujocoLibrary&) = delete;
    ~MujocoLibrary();

    // Unsupported when the file is not a MuJoCo library, or a release this build has no layout
    // for (the message names the releases it has).
    Error Open(const char* path);
    const char* Release() const { return release_; }

    const MujocoApi& Api() const { return api_; }
    const MujocoLayout& Layout() const { return *layout_; }
    // Any other function by name, for callers that need more (tests build models).
    void* Symbol(const char* name) const;

private:
    void* handle_ = nullptr;
    MujocoApi api_{};
    const MujocoLayout* layout_ = nullptr;
    char release_[32] = "";
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

// A model's count (nq, nv, nbody), whatever width the release gives it.
inline std::int64_t ReadCount(const void* base, std::size_t offset, std::size_t bytes) {
    return bytes == sizeof(std::int32_t) ? ReadField<std::int32_t>(base, offset)
                                         : ReadField<std::int64_t>(base, offset);
}

template <typename T>
void WriteField(void* base, std::size_t offset, const T& value) {
    std::memcpy(static_cast<char*>(base) + offset, &value, sizeof value);
}

}  // namespace Orvane::HardwareAPI::Haptics
