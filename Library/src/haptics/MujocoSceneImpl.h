// What a MuJoCo scene holds between the program's thread, which opens and changes it, and
// the loop thread, which steps it: its own copies of the model and data, and the slots each
// side hands the other.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "Orvane/HardwareAPI/MujocoScene.h"
#include "haptics/Histogram.h"
#include "haptics/MujocoApi.h"
#include "haptics/TripleIndex.h"

namespace Orvane::HardwareAPI::Haptics {

// Everything writers asked for so far: the loop applies what is newer than what it
// applied, so no request is lost when two come between cycles.
struct Request {
    std::uint64_t reset_serial = 0;
    std::uint64_t state_serial = 0;
    bool state_valid = false;  // a reset after the last SetState overrides it
    std::vector<double> qpos, qvel;
};

struct MujocoScene::Impl {
    MujocoLibrary library;
    MujocoSceneParams params;
    void* m = nullptr;  // the scene's own copies
    void* d = nullptr;
    int body = 0;
    int nq = 0, nv = 0, nbody = 0;
    std::int64_t period_ns = 0, budget_ns = 0;

    // Loop thread to readers; readers serialize on `readers`, which the loop never takes.
    std::array<SceneSnapshot, 3> snapshots;
    TripleIndex snapshot_index;
    mutable std::mutex readers;

    // Writers to the loop thread; writers serialize on `writers`, which the loop never takes.
    std::array<Request, 3> requests;
    TripleIndex request_index;
    std::mutex writers;
    Request pending;                                     // writers' side
    std::uint64_t applied_reset = 0, applied_state = 0;  // loop's side

    Histogram step_time;
    std::atomic<std::uint64_t> cycles{0}, overruns{0}, unstable{0};
    // Set once the scene stopped; a Reset clears it.
    std::atomic<bool> failed{false};
    char fault_text[300] = "";   // written before `failed` is first set
    bool fault_written = false;  // loop's side

    // Loop's side: how the scene is going.
    std::uint64_t warnings = 0;  // MuJoCo's instability warnings seen so far
    int overrun_run = 0;         // cycles in a row over the budget
    Vec3 last_good{};            // the force of the last cycle that went right
    Vec3 ramp_from{};
    // The ramp ends after 0.1 s of the loop's cycles or of the clock, whichever is first.
    std::int64_t ramp_cycles = 1, ramp_left = 0, ramp_start_ns = 0;

    ~Impl();
    Error Copy(const void* model, const void* data);
    Error Prepare(double period_s);
    Error ToolProblem() const;
    void Apply(const Request& r);
    void Publish(const Vec3& tool, const Vec3& force);
    void HandOver();
    void Substeps(const Vec3& x, const Vec3& v, Vec3& felt, Vec3& tool, bool& finite);
    std::uint64_t Warnings() const;
    const char* Unstable() const;
    void Stop(const char* format, ...);
    Vec3 RampOut(std::int64_t now_ns);

    const MujocoLayout& L() const { return library.Layout(); }
    const MujocoApi& A() const { return library.Api(); }
    double* Array(std::size_t offset) const { return ReadField<double*>(d, offset); }
    const int* ModelInts(std::size_t offset) const { return ReadField<int*>(m, offset); }
    const double* ModelDoubles(std::size_t offset) const { return ReadField<double*>(m, offset); }
};

// What a stopped scene's force takes to ease out.
inline constexpr double kRampOutS = 0.1;

inline void Bump(std::atomic<std::uint64_t>& counter) {
    counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

inline Error Bad(std::string text) {
    return {ErrorKind::BadArgument, std::move(text)};
}

}  // namespace Orvane::HardwareAPI::Haptics
