// Error numbers and their texts from the system's own message table.
#include "win32/Win32.h"

#include "platform/Platform.h"

namespace Orvane::HardwareAPI::Platform {

std::uint32_t LastError() {
    return GetLastError();
}

std::size_t ErrorText(std::uint32_t code, char* buffer, std::size_t size) {
    // Some system texts hold insert markers such as "%1"; with no arguments to put there
    // they must be left as they stand, or FormatMessageA would read arguments that do not
    // exist. The trailing line break of a system text is kept.
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                       buffer, static_cast<DWORD>(size), nullptr);
    return length;
}

}  // namespace Orvane::HardwareAPI::Platform
