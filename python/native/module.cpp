#include "haptics.h"
#include "main_interpreter.h"

#define PyInit__haptics OrvanePybindInit__haptics
PYBIND11_MODULE(_haptics, m) {
    m.doc() =
        "Native part of orvane.haptics: the servo loop, its effects and fixtures, couplings and "
        "scenes, the handle listener.";
    Orvane::HardwareAPI::Python::RegisterLoopFault(m);
    OrvaneBindings::Haptics::RegisterFixtures(m);
    OrvaneBindings::Haptics::RegisterEffects(m);
    OrvaneBindings::Haptics::RegisterServoLoop(m);
    OrvaneBindings::Haptics::RegisterTouch(m);
    OrvaneBindings::Haptics::RegisterHandleListener(m);
}
#undef PyInit__haptics
ORVANE_MAIN_INTERPRETER_ENTRY(_haptics)
