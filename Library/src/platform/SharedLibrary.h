// Loading a shared library at run time and finding its functions: how the library uses a
// simulation engine that a program brought along, without needing it to build.
#pragma once

#include <cstddef>

namespace Orvane::HardwareAPI::Platform {

// The library at `path`, loaded or found already loaded (then the same instance); nullptr
// on failure, with the system's reason in `error` (size bytes).
void* OpenSharedLibrary(const char* path, char* error, std::size_t size);

// The address of the named function, or nullptr when the library has none by that name.
void* SharedLibrarySymbol(void* library, const char* name);

// Gives back one OpenSharedLibrary; the library stays while others hold it.
void CloseSharedLibrary(void* library);

}  // namespace Orvane::HardwareAPI::Platform
