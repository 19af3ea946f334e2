// Command line of orvane-sim: which device to play, its identity, and the faults to show.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Orvane::Sim {

enum class DeviceKind { Arm, Handle };

struct Options {
    DeviceKind kind = DeviceKind::Arm;
    std::string link;  // empty: no symbolic link

    // Identity.
    std::uint16_t device_id = 1;
    std::optional<std::uint8_t> model_number;  // default: 4 for the arm, 1 for the handle
    std::uint8_t hardware_version = 1;
    std::uint8_t firmware_version = 1;
    std::array<std::uint8_t, 16> uuid{0x0a, 0x1b, 0x2c, 0x3d, 0x4e, 0x5f, 0x60, 0x71,
                                      0x82, 0x93, 0xa4, 0xb5, 0xc6, 0xd7, 0xe8, 0xf9};
    double stream_hz = 0;  // handle only; 0: answers only
    std::string trace;     // empty: no request log

    // Replay of a recorded session: empty, none.
    std::string replay;
    double replay_speed = 1.0;
    bool replay_loop = false;

    // Each answer goes out a random time in [latency_min_us, latency_max_us] after its
    // request, as over a USB link; both 0: at once.
    unsigned latency_min_us = 0;
    unsigned latency_max_us = 0;

    // Faults.
    bool silent = false;
    bool wrong_header = false;
    bool short_reply = false;
    bool chatter = false;
    unsigned delay_ms = 0;
    std::optional<unsigned long> hangup_after;
};

struct ParseResult {
    enum class Action { Run, Help, Version, Error } action = Action::Run;
    std::string error;    // for Action::Error
    std::string version;  // for Action::Version: the line to print
};

ParseResult ParseOptions(const std::vector<std::string>& args, Options& options);

// The --help text.
std::string HelpText();

// The answer latency of --usb-latency: a USB device answers some 125 us to 1 ms late.
inline constexpr unsigned kUsbLatencyMinUs = 125;
inline constexpr unsigned kUsbLatencyMaxUs = 1000;
inline constexpr unsigned kMaxLatencyUs = 1000000;
inline constexpr double kMaxReplaySpeed = 1000.0;

// "MIN:MAX" or "N" (both ends N) in microseconds, MIN <= MAX <= kMaxLatencyUs.
bool ParseLatency(const std::string& text, unsigned& min_us, unsigned& max_us);

// 32 hexadecimal digits, dashes allowed anywhere (the usual 8-4-4-4-12 form included).
bool ParseUuid(const std::string& text, std::array<std::uint8_t, 16>& out);

}  // namespace Orvane::Sim
