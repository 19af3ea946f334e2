// The operating system's message text for an error number, as every error line shows it.
#pragma once

#include <cstdint>
#include <string>

namespace Orvane::HardwareAPI {

// The system's text for `code`, or "unknown" when it has none.
std::string SystemErrorText(std::uint32_t code);

}  // namespace Orvane::HardwareAPI
