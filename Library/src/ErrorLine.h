// The library's one form of error line on standard error, flushed at once:
// "[err] <source>:<line>> <message>: [<number>] <text>\n".
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "SystemErrorText.h"

namespace Orvane::HardwareAPI {

// The servo loop and the handle listener report their failures as an Error of their own;
// while they open a port and wake its device through the stream classes on a thread, the
// error lines those classes print stay off standard error (the Error says it once).
inline thread_local int quiet_error_lines = 0;

class QuietErrorLines {
public:
    QuietErrorLines() { ++quiet_error_lines; }
    ~QuietErrorLines() { --quiet_error_lines; }
    QuietErrorLines(const QuietErrorLines&) = delete;
    QuietErrorLines& operator=(const QuietErrorLines&) = delete;
};

// `message` is the part between the location and the error number, already formatted.
// The line goes out in one write so that lines from two threads never interleave.
inline void PrintErrorLine(const char* source, unsigned line, const std::string& message,
                           std::uint32_t error) {
    if (quiet_error_lines > 0) {
        return;
    }
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
