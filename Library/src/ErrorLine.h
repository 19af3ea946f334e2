// The library's one form of error line on standard error, flushed at once:
// "[err] <source>:<line>> <message>: [<number>] <text>\n".
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "SystemErrorText.h"

namespace Orvane::HardwareAPI {

// `message` is the part between the location and the error number, already formatted.
// The line goes out in one write so that lines from two threads never interleave.
inline void PrintErrorLine(const char* source, unsigned line, const std::string& message,
                           std::uint32_t error) {
    const std::string text = SystemErrorText(error);
    std::string out = "[err] ";
    out += source;
    out += ':';
    out += std::to_string(line);
    out += "> ";
    out += message;
    out += ": [";
    out += std::to_string(static_cast<int>(error));
    out += "] ";
    out += text;
    out += '\n';
    std::fwrite(out.data(), 1, out.size(), stderr);
    std::fflush(stderr);
}

}  // namespace Orvane::HardwareAPI
