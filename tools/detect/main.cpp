// orvane-detect: lists the machine's serial ports with their kinds, runs the four detect
// functions and prints what answered where.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "Orvane/HardwareAPI/Detection.h"
#include "Orvane/HardwareAPI/SerialDeviceProvider.h"
#include "Orvane/HardwareAPI/SerialStream.h"

namespace {

namespace HW = Orvane::HardwareAPI;

const char* KindText(HW::PortKind kind) {
    switch (kind) {
        case HW::UsbSerial:
            return "USB serial (looked at for arms)";
        case HW::WiredSerial:
            return "wired serial (looked at for wired handles)";
        case HW::BluetoothSerial:
            return "Bluetooth serial (looked at for wireless handles)";
    }
    return "unknown";
}

// Why a port could not be opened, or nothing when it opens. The open gives a held port back
// before touching it, and one where nothing answered was just probed anyway.
std::string WhyUnopenable(const std::string& port) {
    HW::IO::SerialStream stream(port.c_str(), false);
    const std::int8_t code = stream.Open();
    const int error = static_cast<int>(stream.OpenError());
    if (code == HW::IO::SerialStream::kOpened) {
        return {};
    }
    if (code == HW::IO::SerialStream::kNotFound) {
        return "missing";
    }
    if (code == HW::IO::SerialStream::kSettingsUnreadable) {
        return "not a serial port";
    }
    if (error == EACCES || error == EPERM) {
        return "no permission";
    }
    if (error == EBUSY || error == EWOULDBLOCK) {
        return "held by another program";
    }
    return std::strerror(error);
}

// The library's error lines while `run` runs, kept from standard error: every detect call
// and the summary open the same ports, and each would repeat the same failures.
template <class Run>
std::vector<std::string> ErrorLinesOf(Run run) {
    std::fflush(stderr);
    FILE* kept = std::tmpfile();
    const int saved = dup(STDERR_FILENO);
    if (kept == nullptr || saved < 0 || dup2(fileno(kept), STDERR_FILENO) < 0) {
        run();  // nowhere to keep them: they go out as they come
        return {};
    }
    run();
    std::fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    std::vector<std::string> lines;
    std::rewind(kept);
    char line[4096];
    while (std::fgets(line, sizeof line, kept) != nullptr) {
        lines.emplace_back(line);
    }
    std::fclose(kept);
    return lines;
}

// A port's open failure, which the summary says in its own words.
bool IsOpenFailure(const std::string& line) {
    return line.find("> unable to open port '") != std::string::npos ||
           line.find("> unable to open stream '") != std::string::npos;
}

constexpr const char* kDescription =
    "Lists the serial ports that can carry a device, with their kinds, then probes them:\n"
    "arms on USB serial ports, handles on wired and Bluetooth serial ports. Each probe\n"
    "opens the port, sends a wake-up and waits up to a few seconds for an answer. A port\n"
    "that another program holds open is left untouched; the summary says why a port\n"
    "could not be opened (missing, no permission, held by another program).";

}  // namespace

int main(int argc, char** argv) {
    CLI::App app(kDescription, "orvane-detect");
    app.set_help_flag("-h,--help", "show this text");
    app.set_version_flag("--version", "orvane-detect " ORVANE_VERSION, "show the version");
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {  // --help or --version
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "orvane-detect: %s\n(see orvane-detect --help)\n", e.what());
        return 2;
    }

    const std::vector<HW::SerialPortEntry> ports = HW::ListSerialPorts();
    std::printf("Serial ports:\n");
    if (ports.empty()) {
        std::printf("  none\n");
    }
    for (const auto& entry : ports) {
        std::printf("  %-16s %s\n", entry.port.c_str(), KindText(entry.kind));
    }
    std::fflush(stdout);

    struct Search {
        const char* name;
        std::vector<std::string> (*detect)();
        const char* what;
    };
    const Search searches[] = {
        {"detect_varnix3s", HW::detect_varnix3s, "arm"},
        {"detect_handles", HW::detect_handles, "handle"},
        {"detect_wired_handles", HW::detect_wired_handles, "wired handle"},
        {"detect_wireless_handles", HW::detect_wireless_handles, "wireless handle"},
    };
    std::map<std::string, std::string> answered;  // port -> what answered there
    std::set<std::string> problems;               // error lines already shown
    std::printf("\nProbing:\n");
    for (const Search& s : searches) {
        std::printf("  %-24s", s.name);
        std::fflush(stdout);
        std::vector<std::string> found;
        for (std::string& line : ErrorLinesOf([&] { found = s.detect(); })) {
            if (!IsOpenFailure(line) && problems.insert(line).second) {
                std::fputs(line.c_str(), stderr);
            }
        }
        if (found.empty()) {
            std::printf(" nothing");
        }
        for (const std::string& port : found) {
            std::printf(" %s", port.c_str());
            std::string& what = answered[port];
            // The wired or wireless kind says more than the plain "handle".
            if (what.empty() || what == "handle") {
                what = s.what;
            }
        }
        std::printf("\n");
        std::fflush(stdout);
    }

    std::printf("\nWhat answered where:\n");
    for (const auto& entry : ports) {
        const auto it = answered.find(entry.port);
        if (it != answered.end()) {
            std::printf("  %-16s %s\n", entry.port.c_str(), it->second.c_str());
            continue;
        }
        std::string why;
        for (const std::string& line : ErrorLinesOf([&] { why = WhyUnopenable(entry.port); })) {
            // A lock file says whose the port is.
            const std::size_t at = line.find("' (its lock file ");
            const std::size_t end = line.rfind("): [");
            if (at != std::string::npos && end != std::string::npos && end > at) {
                why += ": " + line.substr(at + 3, end - at - 3);
            }
        }
        std::printf("  %-16s nothing%s%s%s\n", entry.port.c_str(), why.empty() ? "" : " (",
                    why.c_str(), why.empty() ? "" : ")");
    }
    if (ports.empty()) {
        std::printf("  nothing: no serial ports\n");
    }
    return 0;
}
