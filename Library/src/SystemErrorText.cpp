#include "SystemErrorText.h"

#include "platform/Platform.h"

namespace Orvane::HardwareAPI {

std::string SystemErrorText(std::uint32_t code) {
    char buffer[256] = {};
    const std::size_t length = Platform::ErrorText(code, buffer, sizeof buffer);
    if (length == 0) {
        return "unknown";
    }
    return std::string(buffer, length);
}

}  // namespace Orvane::HardwareAPI
