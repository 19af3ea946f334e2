#include <cerrno>
#include <cstring>
#include <string_view>

#include "platform/Platform.h"

namespace Orvane::HardwareAPI::Platform {

std::uint32_t LastError() {
    return static_cast<std::uint32_t>(errno);
}

std::size_t ErrorText(std::uint32_t code, char* buffer, std::size_t size) {
    char scratch[256] = {};
    // GNU strerror_r may return a static text instead of filling the scratch buffer.
    const char* text = strerror_r(static_cast<int>(code), scratch, sizeof scratch);
    if (text == nullptr || std::string_view(text).starts_with("Unknown error")) {
        return 0;
    }
    std::size_t length = std::strlen(text);
    if (length >= size) {
        length = size - 1;
    }
    std::memcpy(buffer, text, length);
    buffer[length] = '\0';
    return length;
}

}  // namespace Orvane::HardwareAPI::Platform
