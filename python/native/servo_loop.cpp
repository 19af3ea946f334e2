// orvane.haptics.ServoLoop, its effects and their handles over the native servo loop.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <variant>

#include "Orvane/HardwareAPI/ServoLoop.h"
#include "device_info.h"
#include "effect_casters.h"
#include "haptics.h"
#include "initialised.h"
#include "vector3.h"

namespace OrvaneBindings::Haptics {
namespace {

namespace py = pybind11;
using namespace py::literals;
using namespace Orvane::HardwareAPI::Haptics;
using Orvane::HardwareAPI::DeviceInfo;
using Orvane::HardwareAPI::Python::ToVector3;
using Orvane::HardwareAPI::Python::Tuple;

class PyServoLoop;

// Interpreter exit stops the loops still open (zero force) before the process goes.
void StopAllLoops() {
    py::gil_scoped_release unlocked;
    StopAllServoLoops();
}

class PyServoLoop {
public:
    PyServoLoop(const std::string& port, const ServoConfig& config)
        : loop_(std::make_unique<ServoLoop>(port, config)) {
        RaiseIf(loop_->Fault());
    }
    PyServoLoop(const PyServoLoop&) = delete;
    PyServoLoop& operator=(const PyServoLoop&) = delete;
    ~PyServoLoop() {
        py::gil_scoped_release unlocked;
        loop_.reset();  // stops with zero force, closes the port
    }

    ServoLoop& Loop() { return *loop_; }

    // Everything that changes what the loop does refuses once the loop has failed.
    ServoLoop& Usable() {
        if (const auto fault = loop_->Fault()) {
            throw LoopFaultError("the servo loop ended: " + fault.message);
        }
        return *loop_;
    }

    void Start() {
        ServoLoop& loop = Usable();
        Orvane::HardwareAPI::Error error;
        {
            py::gil_scoped_release unlocked;
            error = loop.Start();
        }
        RaiseIf(error);
    }

    void Stop() {
        py::gil_scoped_release unlocked;
        loop_->Stop();
    }

    // The ids added through Python, oldest first, so a viewer can list what the loop renders
    // without the program telling it; ids of removed effects are dropped as they are found.
    // Touched only with the interpreter lock held.
    void Added(EffectId id) {
        if (added_.size() >= 2 * ServoLoop::kMaxEffects) {
            Prune();
        }
        added_.push_back(id);
    }
    const std::vector<EffectId>& Prune() {
        Effect ignored;
        added_.erase(
            std::remove_if(added_.begin(), added_.end(),
                           [&](EffectId id) { return static_cast<bool>(loop_->Get(id, ignored)); }),
            added_.end());
        return added_;
    }

private:
    std::unique_ptr<ServoLoop> loop_;
    std::vector<EffectId> added_;
};

}  // namespace
}  // namespace OrvaneBindings::Haptics

template <>
struct pybind11::detail::type_caster<OrvaneBindings::Haptics::PyServoLoop>
    : initialised_caster<OrvaneBindings::Haptics::PyServoLoop> {};

namespace OrvaneBindings::Haptics {
namespace {

// Names an effect inside a loop, for changing or removing it while the loop runs.
class EffectHandle {
public:
    EffectHandle(py::object owner, EffectId id) : owner_(std::move(owner)), id_(id) {}

    ServoLoop& Loop() const { return owner_.cast<PyServoLoop&>().Loop(); }
    ServoLoop& Usable() const { return owner_.cast<PyServoLoop&>().Usable(); }
    EffectId Id() const { return id_; }

private:
    py::object owner_;  // the PyServoLoop
    EffectId id_;
};

}  // namespace
}  // namespace OrvaneBindings::Haptics

template <>
struct pybind11::detail::type_caster<OrvaneBindings::Haptics::EffectHandle>
    : initialised_caster<OrvaneBindings::Haptics::EffectHandle> {};

namespace OrvaneBindings::Haptics {
namespace {

void RegisterEffectHandle(py::module_& m) {
    py::class_<EffectHandle> handle(m, "EffectHandle",
                                    "An effect inside a servo loop; returned by ServoLoop.add.");
    handle.def_property_readonly(
        "active", [](const EffectHandle& h) { return h.Loop().Active(h.Id()); },
        "Whether the effect is still rendered.");
    handle.def_property_readonly(
        "id", [](const EffectHandle& h) { return h.Id(); },
        "The effect's number in its loop, never given to another effect of that loop.");
    handle.def_property_readonly(
        "effect",
        [](const EffectHandle& h) -> py::object {
            Effect e;
            if (h.Loop().Get(h.Id(), e)) {
                return py::none();  // removed
            }
            return FromEffect(e);
        },
        "A copy of the effect's current parameters, or None once it is removed.");
    handle.def(
        "update",
        [](const EffectHandle& h, const py::kwargs& changes) {
            ServoLoop& loop = h.Usable();
            Effect current;
            RaiseIf(loop.Get(h.Id(), current));
            // Every change is made on a copy, so the loop gets all of them or none.
            py::object copy = FromEffect(current);
            for (const auto& [name, value] : changes) {
                const std::string key = py::str(name);
                if (key.rfind("__", 0) == 0 || !py::hasattr(copy, key.c_str())) {
                    throw py::type_error(std::string(py::str(py::type::of(copy).attr("__name__"))) +
                                         " has no parameter '" + key + "'");
                }
                copy.attr(key.c_str()) = value;
            }
            RaiseIf(loop.Update(h.Id(), ToEffect(copy)));
        },
        "Changes parameters by name, e.g. update(stiffness=300.0); the loop takes them all at "
        "once.");
    handle.def(
        "remove", [](const EffectHandle& h) { static_cast<void>(h.Usable().Remove(h.Id())); },
        "Stops rendering the effect; removing it again does nothing.");
    handle.def("__repr__", [](const EffectHandle& h) {
        Effect e;
        const Orvane::HardwareAPI::Error removed = h.Loop().Get(h.Id(), e);
        return "<EffectHandle " +
               (removed ? std::string("removed") : std::string(py::repr(FromEffect(e)))) + ">";
    });
}

using Orvane::HardwareAPI::Python::ToNumber;

// A safety setting that None turns off (0 never does: the library refuses it).
double OptionalSetting(const py::object& value, const char* name) {
    return value.is_none() ? kOff : ToNumber(value, name);
}

// How many cycles to keep: a whole number, 0 or more.
std::size_t HistoryCycles(const py::object& value) {
    const char* type = Py_TYPE(value.ptr())->tp_name;
    if (PyBool_Check(value.ptr()) || std::strcmp(type, "numpy.bool_") == 0 ||
        std::strcmp(type, "numpy.bool") == 0) {
        throw py::type_error("history must be a whole number of cycles, not a bool");
    }
    const auto index = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
    if (!index) {
        PyErr_Clear();
        throw py::type_error("history must be a whole number of cycles, not " +
                             std::string(py::str(py::type::of(value).attr("__name__"))));
    }
    if (PyObject_RichCompareBool(index.ptr(), py::int_(0).ptr(), Py_LT) == 1) {
        throw py::value_error("history must be 0 or more cycles");
    }
    const unsigned long long n = PyLong_AsUnsignedLongLong(index.ptr());
    if (PyErr_Occurred() || n > kMaxHistory) {
        PyErr_Clear();
        throw py::value_error("history keeps at most " + std::to_string(kMaxHistory) + " cycles");
    }
    return static_cast<std::size_t>(n);
}

}  // namespace

void RegisterServoLoop(py::module_& m) {
    RegisterEffectHandle(m);
    RegisterLoopState(m);

    py::class_<PyServoLoop> loop(m, "ServoLoop",
                                 "A force loop for the arm on its own native thread.");
    // The settings come as Python objects, so each refusal names its setting: TypeError
    // for what is no number (bools and complex values too), ValueError for a value out of
    // the library's range (an int too large for a double too).
    loop.def(
        py::init([](const std::string& port, const py::object& rate_hz, const py::object& max_force,
                    const py::object& watchdog_s, const py::object& max_speed,
                    const py::object& brake_damping, const py::object& history, bool realtime,
                    const py::object& reply_timeout_s, const py::object& watchdog_ramp_s,
                    const py::object& spin_us) {
            ServoConfig c;
            c.rate_hz = ToNumber(rate_hz, "rate_hz");
            c.max_force = ToNumber(max_force, "max_force");
            c.watchdog_s = OptionalSetting(watchdog_s, "watchdog_s");
            c.watchdog_ramp_s = ToNumber(watchdog_ramp_s, "watchdog_ramp_s");
            c.max_speed = OptionalSetting(max_speed, "max_speed");
            c.brake_damping = ToNumber(brake_damping, "brake_damping");
            c.history = HistoryCycles(history);
            c.realtime = realtime;
            c.reply_timeout_s = ToNumber(reply_timeout_s, "reply_timeout_s");
            c.spin_us = ToNumber(spin_us, "spin_us");
            RaiseIf(CheckConfig(c));
            py::gil_scoped_release unlocked;
            return std::make_unique<PyServoLoop>(port, c);
        }),
        "port"_a, "rate_hz"_a = 1000.0, "max_force"_a = 5.0, "watchdog_s"_a = 0.1,
        "max_speed"_a = py::none(), "brake_damping"_a = 10.0, "history"_a = 0, "realtime"_a = true,
        "reply_timeout_s"_a = ServoConfig{}.reply_timeout_s, "watchdog_ramp_s"_a = 0.05,
        "spin_us"_a = ServoConfig{}.spin_us,
        "Opens the port, wakes the arm and reads where it is (state() tells from here on); "
        "raises LoopFault when any of it fails. The loop starts with start() or on "
        "entering a with block.");
    loop.def("start", &PyServoLoop::Start,
             "Starts the loop thread; returns once the loop has the arm's state, or raises "
             "LoopFault (zero force sent, port closed) when the arm sent none in time.");
    loop.def("stop", &PyServoLoop::Stop,
             "Ends the loop, sends zero force and closes the port. Safe to call again.");
    loop.def("__enter__", [](py::object self) {
        self.cast<PyServoLoop&>().Start();
        return self;
    });
    loop.def(
        "__exit__",
        [](PyServoLoop& self, const py::args&) {
            self.Stop();
            return false;
        },
        "Stops the loop (zero force) whatever ended the block.");
    loop.def_property_readonly(
        "device_info",
        [](PyServoLoop& self) {
            return Orvane::HardwareAPI::Python::DeviceInfoDict(self.Loop().Info());
        },
        "The arm's answer to the wake-up.");
    loop.def_property_readonly(
        "realtime",
        [](PyServoLoop& self) {
            const RealtimeReport r = self.Loop().Realtime();
            return py::dict("scheduler"_a = r.scheduler, "priority"_a = r.priority,
                            "memory_locked"_a = r.memory_locked, "message"_a = r.message);
        },
        "What the loop thread got from the system.");
    loop.def_property_readonly("running", [](PyServoLoop& self) { return self.Loop().Running(); });
    loop.def_property_readonly(
        "closed", [](PyServoLoop& self) { return self.Loop().Closed(); },
        "True after stop() or a fault: the port is closed.");
    loop.def_property_readonly(
        "fault",
        [](PyServoLoop& self) -> py::object {
            const auto fault = self.Loop().Fault();
            if (!fault) {
                return py::none();
            }
            return py::str(fault.message);
        },
        "None, or why the loop ended.");
    loop.def_property(
        "force", [](PyServoLoop& self) { return Tuple(self.Loop().Force()); },
        [](PyServoLoop& self, const py::object& force) {
            RaiseIf(self.Usable().SetForce(ToVector3(force, "force")));
        },
        "The commanded force (N); set it again within watchdog_s or it ramps to zero.");
    loop.def(
        "add",
        [](py::object self, const py::object& effect) {
            const Effect e = ToEffect(effect);
            EffectId id = 0;
            PyServoLoop& loop = self.cast<PyServoLoop&>();
            RaiseIf(loop.Usable().Add(e, id));
            loop.Added(id);
            return EffectHandle(self, id);
        },
        "effect"_a, "Adds an effect to the force; returns its handle.");
    loop.def(
        "effects",
        [](py::object self) {
            py::list out;
            for (const EffectId id : self.cast<PyServoLoop&>().Prune()) {
                out.append(EffectHandle(self, id));
            }
            return out;
        },
        "The handles of the effects and fixtures the loop renders now, oldest first (read "
        "their parameters with .effect); removed ones are left out.");
    loop.def(
        "state", [](PyServoLoop& self) { return self.Loop().State(); },
        "The newest cycle, at once: always a state the arm sent (sequence 0 before the loop "
        "ran, from the state request of the constructor).");
    loop.def(
        "stats", [](PyServoLoop& self) { return LoopStatsDict(self.Loop()); },
        "Loop statistics since start.");
    loop.def(
        "history", [](PyServoLoop& self) { return LoopHistory(self.Loop()); },
        "The last cycles kept (history=N), oldest first: NumPy arrays when NumPy is "
        "installed, lists otherwise.");
    loop.def(
        "_drain",
        [](PyServoLoop& self, std::uint64_t after_sequence) {
            return LoopCyclesAfter(self.Loop(), after_sequence);
        },
        "after_sequence"_a,
        "For recorders: the cycles after after_sequence as NumPy arrays, and under 'lost' how "
        "many of them are gone from the loop's ring.");
    auto setting = [](double ServoConfig::*member) {
        return [member](PyServoLoop& self) { return self.Loop().Config().*member; };
    };
    loop.def_property_readonly("rate_hz", setting(&ServoConfig::rate_hz));
    loop.def_property_readonly("max_force", setting(&ServoConfig::max_force));
    auto optional_setting = [](double ServoConfig::*member) {
        return [member](PyServoLoop& self) -> py::object {
            const double value = self.Loop().Config().*member;
            return value == kOff ? py::none() : py::cast(value);
        };
    };
    loop.def_property_readonly("watchdog_s", optional_setting(&ServoConfig::watchdog_s),
                               "None when the watchdog is off.");
    loop.def_property_readonly("max_speed", optional_setting(&ServoConfig::max_speed),
                               "None when the loop never brakes.");

    m.def("_stop_all_loops", &StopAllLoops,
          "Stops every open servo loop (zero force); run at interpreter exit.");
    py::module_::import("atexit").attr("register")(m.attr("_stop_all_loops"));
}

ServoLoop& LoopOf(const py::handle& loop) {
    return loop.cast<PyServoLoop&>().Usable();
}

ServoLoop& LoopOfAny(const py::handle& loop) {
    return loop.cast<PyServoLoop&>().Loop();
}

}  // namespace OrvaneBindings::Haptics
