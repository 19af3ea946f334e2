#include "platform/SharedLibrary.h"

#include <cstdio>

#include "platform/Platform.h"
#include "win32/Win32.h"

namespace Orvane::HardwareAPI::Platform {

void* OpenSharedLibrary(const char* path, char* error, std::size_t size) {
    HMODULE library = LoadLibraryA(path);
    if (library == nullptr && size > 0) {
        const std::uint32_t code = LastError();
        char text[200] = "";
        ErrorText(code, text, sizeof text);
        std::snprintf(error, size, "cannot load '%s': %s (error %u)", path, text,
                      static_cast<unsigned>(code));
    }
    return reinterpret_cast<void*>(library);
}

void* SharedLibrarySymbol(void* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void CloseSharedLibrary(void* library) {
    if (library != nullptr) {
        FreeLibrary(static_cast<HMODULE>(library));
    }
}

}  // namespace Orvane::HardwareAPI::Platform
