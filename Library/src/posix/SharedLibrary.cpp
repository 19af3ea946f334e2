#include "platform/SharedLibrary.h"

#include <dlfcn.h>

#include <cstdio>

namespace Orvane::HardwareAPI::Platform {

void* OpenSharedLibrary(const char* path, char* error, std::size_t size) {
    // Resolved in full now, so a missing dependency shows here and not in the loop.
    void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr && size > 0) {
        const char* reason = dlerror();
        std::snprintf(error, size, "%s", reason != nullptr ? reason : "dlopen failed");
    }
    return library;
}

void* SharedLibrarySymbol(void* library, const char* name) {
    return dlsym(library, name);
}

void CloseSharedLibrary(void* library) {
    if (library != nullptr) {
        dlclose(library);
    }
}

}  // namespace Orvane::HardwareAPI::Platform
