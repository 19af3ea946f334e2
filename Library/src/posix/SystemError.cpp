#include <cerrno>
#include <cstring>
#include <string_view>

#include "platform/Platform.h"

namespace Orvane::HardwareAPI::Platform {
namespace {

// strerror_r comes in two forms, and the C library decides which one a program sees: the
// POSIX one returns a status and fills the buffer, the GNU one returns the text, which may
// be a static one instead of the buffer. Overloading on the result takes either.
[[maybe_unused]] const char* TextOf(int status, const char* buffer) {
    return status == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* TextOf(const char* text, const char* /*buffer*/) {
    return text;
}

}  // namespace

std::uint32_t LastError() {
    return static_cast<std::uint32_t>(errno);
}

std::size_t ErrorText(std::uint32_t code, char* buffer, std::size_t size) {
    char scratch[256] = {};
    const char* text = TextOf(strerror_r(static_cast<int>(code), scratch, sizeof scratch), scratch);
    // Numbers without a text of their own get a made-up one ("Unknown error 234").
    if (text == nullptr || *text == '\0' || std::string_view(text).starts_with("Unknown error")) {
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
