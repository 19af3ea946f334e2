// What a servo loop tells Python about its cycles: the state of one, its statistics, its
// kept history and the cycles a recorder drains, as numpy arrays where numpy is there.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <vector>

#include "Orvane/HardwareAPI/ServoLoop.h"
#include "haptics.h"
#include "vector3.h"

namespace OrvaneBindings::Haptics {

namespace py = pybind11;
using namespace py::literals;
using namespace Orvane::HardwareAPI::Haptics;
using Orvane::HardwareAPI::Python::Tuple;

py::dict PercentileDict(const Percentiles& p) {
    return py::dict("p50"_a = p.p50, "p99"_a = p.p99, "p999"_a = p.p999, "max"_a = p.max);
}

void RegisterLoopState(py::module_& m) {
    py::class_<LoopState> state(m, "LoopState", "One cycle of a servo loop.");
    state.def_readonly("time", &LoopState::time, "Seconds since the loop started.");
    state.def_readonly("sequence", &LoopState::sequence, "The cycle's number; 0 before any.");
    state.def_property_readonly("position", [](const LoopState& s) { return Tuple(s.position); });
    state.def_property_readonly("velocity", [](const LoopState& s) { return Tuple(s.velocity); });
    state.def_property_readonly(
        "force", [](const LoopState& s) { return Tuple(s.force); }, "The force actually sent.");
    state.def("__repr__", [](const LoopState& s) {
        return Format("LoopState(time=%.6f, sequence=%.0f, ", s.time,
                      static_cast<double>(s.sequence)) +
               Format("position=(%g, %g, %g), ", s.position[0], s.position[1], s.position[2]) +
               Format("force=(%g, %g, %g))", s.force[0], s.force[1], s.force[2]);
    });
}

py::dict LoopStatsDict(const ServoLoop& loop) {
    const LoopStats s = loop.Stats();
    return py::dict("rate_hz"_a = s.rate_hz, "cycles"_a = s.cycles,
                    "period_error_us"_a = PercentileDict(s.period_error_us),
                    "exchange_us"_a = PercentileDict(s.exchange_us), "overruns"_a = s.overruns,
                    "clamped"_a = s.clamped, "watchdog_trips"_a = s.watchdog_trips,
                    "non_finite"_a = s.non_finite, "braking"_a = s.braking,
                    "cpu_share"_a = s.cpu_share, "passivity_cycles"_a = s.passivity_cycles,
                    "scene_overruns"_a = s.scene_overruns);
}

py::dict LoopHistory(const ServoLoop& loop) {
    std::vector<HistoryRecord> records;
    {
        py::gil_scoped_release unlocked;
        records = loop.History();
    }
    py::list time, sequence, position, velocity, force, period_error, exchange;
    for (const HistoryRecord& r : records) {
        time.append(r.state.time);
        sequence.append(r.state.sequence);
        position.append(Tuple(r.state.position));
        velocity.append(Tuple(r.state.velocity));
        force.append(Tuple(r.state.force));
        period_error.append(r.period_error_us);
        exchange.append(r.exchange_us);
    }
    py::dict out("time"_a = time, "sequence"_a = sequence, "position"_a = position,
                 "velocity"_a = velocity, "force"_a = force, "period_error_us"_a = period_error,
                 "exchange_us"_a = exchange);
    py::object numpy;
    try {
        numpy = py::module_::import("numpy");
    } catch (const py::error_already_set&) {
        return out;  // lists, then
    }
    for (const char* key : {"time", "period_error_us", "exchange_us"}) {
        out[key] = numpy.attr("asarray")(out[key], "dtype"_a = "float64");
    }
    out["sequence"] = numpy.attr("asarray")(out["sequence"], "dtype"_a = "uint64");
    for (const char* key : {"position", "velocity", "force"}) {
        out[key] = numpy.attr("asarray")(out[key], "dtype"_a = "float64").attr("reshape")(-1, 3);
    }
    return out;
}

// The cycles newer than `after` for a recorder, and how many of them the ring no longer
// held.
py::dict LoopCyclesAfter(const ServoLoop& loop, std::uint64_t after) {
    std::vector<HistoryRecord> records;
    std::uint64_t lost = 0;
    {
        py::gil_scoped_release unlocked;
        records = loop.HistoryAfter(after, lost);
    }
    const auto n = static_cast<py::ssize_t>(records.size());
    py::array_t<double> time(n), period_error(n), exchange(n);
    py::array_t<std::uint64_t> sequence(n);
    py::array_t<double> position({n, py::ssize_t{3}}), velocity({n, py::ssize_t{3}}),
        force({n, py::ssize_t{3}}), commanded({n, py::ssize_t{3}});
    py::array_t<bool> clamped(n), watchdog(n), braking(n), non_finite(n);
    auto t = time.mutable_unchecked<1>();
    auto s = sequence.mutable_unchecked<1>();
    auto pe = period_error.mutable_unchecked<1>();
    auto ex = exchange.mutable_unchecked<1>();
    auto p = position.mutable_unchecked<2>();
    auto v = velocity.mutable_unchecked<2>();
    auto f = force.mutable_unchecked<2>();
    auto c = commanded.mutable_unchecked<2>();
    auto cl = clamped.mutable_unchecked<1>();
    auto wd = watchdog.mutable_unchecked<1>();
    auto br = braking.mutable_unchecked<1>();
    auto nf = non_finite.mutable_unchecked<1>();
    for (py::ssize_t i = 0; i < n; ++i) {
        const HistoryRecord& r = records[static_cast<std::size_t>(i)];
        t(i) = r.state.time;
        s(i) = r.state.sequence;
        pe(i) = r.period_error_us;
        ex(i) = r.exchange_us;
        for (py::ssize_t k = 0; k < 3; ++k) {
            p(i, k) = r.state.position[k];
            v(i, k) = r.state.velocity[k];
            f(i, k) = r.state.force[k];
            c(i, k) = r.commanded[k];
        }
        cl(i) = (r.flags & HistoryRecord::kClamped) != 0;
        wd(i) = (r.flags & HistoryRecord::kWatchdog) != 0;
        br(i) = (r.flags & HistoryRecord::kBraking) != 0;
        nf(i) = (r.flags & HistoryRecord::kNonFinite) != 0;
    }
    return py::dict("time"_a = time, "sequence"_a = sequence, "position"_a = position,
                    "velocity"_a = velocity, "force"_a = force, "commanded_force"_a = commanded,
                    "period_error_us"_a = period_error, "exchange_us"_a = exchange,
                    "clamped"_a = clamped, "watchdog"_a = watchdog, "braking"_a = braking,
                    "non_finite"_a = non_finite, "lost"_a = lost);
}

}  // namespace OrvaneBindings::Haptics
