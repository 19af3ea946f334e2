// Placeholder until detection lands.
#include "Orvane/HardwareAPI/Detection.h"

namespace Orvane::HardwareAPI {}
