// Serial ports through the Win32 communications interface: an exclusive, synchronous
// handle on "\\.\" + port name, the line settings in the port's DCB, and reads and writes
// bounded by the port's COMMTIMEOUTS.
#include "win32/Win32.h"

#include <algorithm>
#include <limits>

#include "platform/Platform.h"
#include "platform/Realtime.h"

namespace Orvane::HardwareAPI::Platform {
namespace {

static_assert(sizeof(DCB) == 28, "the line-settings record is 28 bytes on every target");

HANDLE Win32Handle(PortHandle port) {
    return reinterpret_cast<HANDLE>(port);
}

// ReadFile and WriteFile take a 32-bit count.
DWORD Count(std::size_t n) {
    return n > std::numeric_limits<DWORD>::max() ? std::numeric_limits<DWORD>::max()
                                                 : static_cast<DWORD>(n);
}

}  // namespace

PortHandle OpenPort(const std::string& name, OpenOutcome& outcome) {
    const std::string path = "\\\\.\\" + name;
    const HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                      0,  // never shared
                                      nullptr, OPEN_EXISTING,
                                      0,  // plain synchronous I/O
                                      nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        outcome =
            GetLastError() == ERROR_FILE_NOT_FOUND ? OpenOutcome::NotFound : OpenOutcome::Failed;
        return IO::kInvalidPort;
    }
    outcome = OpenOutcome::Opened;
    return reinterpret_cast<PortHandle>(handle);
}

LineOutcome ConfigureLine(PortHandle port) {
    // Only the speed and the frame are ours; every other member stays as the port has it.
    DCB settings{};
    settings.DCBlength = sizeof settings;
    if (!GetCommState(Win32Handle(port), &settings)) {
        return LineOutcome::SettingsUnreadable;
    }
    settings.BaudRate = CBR_115200;
    settings.ByteSize = 8;
    settings.Parity = NOPARITY;
    settings.StopBits = ONESTOPBIT;
    if (!SetCommState(Win32Handle(port), &settings)) {
        return LineOutcome::SettingsRejected;
    }
    return LineOutcome::Configured;
}

bool ApplyTimeouts(PortHandle port, const CommTimeouts& timeouts) {
    COMMTIMEOUTS record{timeouts.ReadIntervalTimeout, timeouts.ReadTotalTimeoutMultiplier,
                        timeouts.ReadTotalTimeoutConstant, timeouts.WriteTotalTimeoutMultiplier,
                        timeouts.WriteTotalTimeoutConstant};
    return SetCommTimeouts(Win32Handle(port), &record) != 0;
}

void RaiseDtr(PortHandle port) {
    const DWORD error = GetLastError();
    EscapeCommFunction(Win32Handle(port), SETDTR);  // some ports refuse it; that is fine
    SetLastError(error);
}

// The port's time-outs are in force (ApplyTimeouts runs before every read), so ReadFile
// itself ends the read when they expire and delivers what arrived.
std::ptrdiff_t ReadPort(PortHandle port, char* destination, std::size_t n, const CommTimeouts&,
                        bool) {
    DWORD got = 0;
    if (!ReadFile(Win32Handle(port), destination, Count(n), &got, nullptr)) {
        return -1;
    }
    return static_cast<std::ptrdiff_t>(got);
}

bool WritePort(PortHandle port, const char* source, std::size_t n, const CommTimeouts&) {
    DWORD sent = 0;
    if (!WriteFile(Win32Handle(port), source, Count(n), &sent, nullptr)) {
        return false;
    }
    // A write time-out completes the call with fewer bytes: that is a failed write too.
    if (sent != n) {
        SetLastError(ERROR_TIMEOUT);
        return false;
    }
    return true;
}

// The port counts its time-outs in whole milliseconds: each read waits the whole ones left,
// and what remains of the last millisecond is read out without a wait.
Transferred ReadBy(PortHandle port, char* destination, std::size_t n, std::int64_t deadline_ns) {
    constexpr std::int64_t kNsPerMs = 1'000'000;
    Transferred out;
    while (out.bytes < n) {
        const std::int64_t left = deadline_ns - MonotonicNs();
        // All zeros would wait for every byte; an interval of MAXDWORD alone returns at once.
        COMMTIMEOUTS t{MAXDWORD, 0, 0, 0, 0};
        if (left >= kNsPerMs) {
            t = {0, 0, static_cast<DWORD>(std::min<std::int64_t>(left / kNsPerMs, MAXDWORD - 1)), 0,
                 0};
        }
        DWORD got = 0;
        if (!SetCommTimeouts(Win32Handle(port), &t) ||
            !ReadFile(Win32Handle(port), destination + out.bytes, Count(n - out.bytes), &got,
                      nullptr)) {
            out.line_lost = true;
            break;
        }
        out.bytes += got;
        if (left <= 0) {
            break;
        }
    }
    return out;
}

Transferred WriteBy(PortHandle port, const char* source, std::size_t n, std::int64_t deadline_ns) {
    constexpr std::int64_t kNsPerMs = 1'000'000;
    Transferred out;
    const std::int64_t left = deadline_ns - MonotonicNs();
    // 0 would mean no bound; a deadline that has passed still lets a free line take the bytes.
    const DWORD ms = static_cast<DWORD>(std::clamp<std::int64_t>(left / kNsPerMs, 1, MAXDWORD - 1));
    COMMTIMEOUTS t{0, 0, 0, 0, ms};
    DWORD sent = 0;
    if (!SetCommTimeouts(Win32Handle(port), &t) ||
        !WriteFile(Win32Handle(port), source, Count(n), &sent, nullptr)) {
        out.line_lost = true;
        return out;
    }
    out.bytes = sent;
    if (sent != n) {
        SetLastError(ERROR_TIMEOUT);
    }
    return out;
}

void ClosePort(PortHandle port) {
    const DWORD error = GetLastError();
    CloseHandle(Win32Handle(port));
    SetLastError(error);
}

}  // namespace Orvane::HardwareAPI::Platform
