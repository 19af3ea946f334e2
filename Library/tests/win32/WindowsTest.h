// Helpers for the Windows test program. Each test suite runs against a prepared set of
// ports and registry values; wine_harness.py prepares them and plays the devices.
#pragma once

#include "win32/Win32.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "Orvane/HardwareAPI/SerialStream.h"
#include "SerialBuffer.h"

namespace OrvaneWinTest {

// True when the program runs under wine rather than on Windows.
inline bool UnderWine() {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

inline HANDLE PortOf(Orvane::HardwareAPI::IO::SerialStream& stream) {
    return reinterpret_cast<HANDLE>(BufferOf(stream)->NativeHandle());
}

// Everything `action` writes on standard error.
template <class Action>
std::string StderrOf(Action&& action) {
    testing::internal::CaptureStderr();
    std::forward<Action>(action)();
    return testing::internal::GetCapturedStderr();
}

// How often `needle` occurs in `text`.
inline std::size_t Occurrences(const std::string& text, const std::string& needle) {
    std::size_t count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size())) {
        ++count;
    }
    return count;
}

}  // namespace OrvaneWinTest
