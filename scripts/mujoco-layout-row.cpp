// Prints the row of Library/src/haptics/MujocoLayouts.inc for the MuJoCo release whose
// headers it is compiled against (scripts/update-mujoco-layouts.sh builds and runs it).
#include <cstdio>

#include "haptics/MujocoLayoutFromHeaders.h"

static_assert(sizeof(void*) == 8, "the library reads these rows in 64-bit programs only");

int main() {
    using Orvane::HardwareAPI::Haptics::MujocoLayoutFromHeaders;
    const auto l = MujocoLayoutFromHeaders();
    std::printf("{\n");
#define ORVANE_PRINT_FIELD(type, name) \
    std::printf("    .%s = %lld,\n", #name, static_cast<long long>(l.name));
    ORVANE_MUJOCO_LAYOUT_FIELDS(ORVANE_PRINT_FIELD)
#undef ORVANE_PRINT_FIELD
    std::printf("},\n");
    return 0;
}
