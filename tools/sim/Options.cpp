#include "Options.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <memory>
#include <utility>

#include <CLI/CLI.hpp>

namespace Orvane::Sim {
namespace {

bool ParseUnsigned(const std::string& text, unsigned long max, unsigned long& out) {
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const unsigned long v = std::strtoul(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v > max) {
        return false;
    }
    out = v;
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

}  // namespace

bool ParseUuid(const std::string& text, std::array<std::uint8_t, 16>& out) {
    std::array<std::uint8_t, 16> bytes{};
    std::size_t digits = 0;
    for (char c : text) {
        if (c == '-') {
            continue;
        }
        const int d = HexDigit(c);
        if (d < 0 || digits >= 32) {
            return false;
        }
        bytes[digits / 2] = static_cast<std::uint8_t>(bytes[digits / 2] << 4 | d);
        ++digits;
    }
    if (digits != 32) {
        return false;
    }
    out = bytes;
    return true;
}

bool ParseLatency(const std::string& text, unsigned& min_us, unsigned& max_us) {
    const std::size_t colon = text.find(':');
    unsigned long lo = 0;
    unsigned long hi = 0;
    if (!ParseUnsigned(text.substr(0, colon), kMaxLatencyUs, lo)) {
        return false;
    }
    hi = lo;
    if (colon != std::string::npos && !ParseUnsigned(text.substr(colon + 1), kMaxLatencyUs, hi)) {
        return false;
    }
    if (lo > hi) {
        return false;
    }
    min_us = static_cast<unsigned>(lo);
    max_us = static_cast<unsigned>(hi);
    return true;
}

namespace {

// A value the option cannot take: the parse stops with the option's own message.
[[noreturn]] void Refuse(std::string message) {
    throw CLI::ValidationError(std::move(message));
}

unsigned long Number(const std::string& text, unsigned long max, const std::string& message) {
    unsigned long n = 0;
    if (!ParseUnsigned(text, max, n)) {
        Refuse(message);
    }
    return n;
}

// A rate or factor above 0 and up to `max` (NaN and infinity refused).
double Positive(const std::string& text, double max, const std::string& message) {
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(v > 0) || !(v <= max)) {
        Refuse(message);
    }
    return v;
}

// What ParseOptions checks once every argument is read.
struct Given {
    bool kind = false;
    bool uuid = false;
    bool speed = false;
};

// The options' callbacks run as their arguments are read, so that of two options with one
// effect (--usb-latency and --latency-us) the later wins.
void Describe(CLI::App& app, Options& o, Given& given) {
    app.description(
        "Plays one simulated device on a new pseudo-terminal. The first line of standard output "
        "is\n"
        "the port's path; open it like any serial port (it is already in raw mode). As with a "
        "real\n"
        "port, what the device sends while no program has the port open is lost, and what was "
        "sent\n"
        "and not read is dropped when the last program closes it. The simulator runs until SIGINT\n"
        "or SIGTERM, then closes the port and removes its --link.");
    auto format = std::make_shared<CLI::Formatter>();
    format->column_width(25);
    format->label("OPTIONS", "options");
    app.formatter(format);
    app.option_defaults()->disable_flag_override();
    const auto value = [&](const char* name, const char* type, const char* group, const char* help,
                           std::function<void(const std::string&)> take) {
        return app.add_option_function<std::string>(name, std::move(take), help)
            ->type_name(type)
            ->group(group)
            ->trigger_on_parse();
    };
    const auto flag = [&](const char* name, const char* group, const char* help,
                          std::function<void()> set) {
        return app
            .add_flag_callback(
                name, [set = std::move(set)] { set(); }, help)
            ->group(group)
            ->trigger_on_parse();
    };

    app.footer(
        "devices:\n"
        "  arm      the three-joint arm: answers the wake-up with its device information (model\n"
        "           number 4) and every force, position, joint torque, joint angle and current\n"
        "           request with its reply. Behind it a three-link arm model: forces and joint\n"
        "           torques drive a damped mass model, position and angle requests servo it\n"
        "           towards the target, currents follow the torques, joint limits bound the\n"
        "           workspace. Time passes for the model between requests (at most 20 ms a time).\n"
        "           Units: m, N, rad, N m, A.\n"
        "  handle   the handle: answers a wake-up with its information message and a status\n"
        "           request with a status message (orientation quaternion w, x, y, z turning at a\n"
        "           steady rate, hall-effect level sweeping 0..255, error flag 0, and as user "
        "data\n"
        "           the bytes of the last state message received). Any other byte gets an error\n"
        "           response with error code 1.");
    app.add_option_function<std::string>(
           "device",
           [&](const std::string& kind) {
               if (given.kind) {
                   Refuse("only one device: arm or handle");
               }
               o.kind = kind == "arm" ? DeviceKind::Arm : DeviceKind::Handle;
               given.kind = true;
           },
           "arm or handle (see devices below)")
        ->type_name("")
        ->check(CLI::IsMember({"arm", "handle"}).description(""))
        ->trigger_on_parse();

    value("--device-id", "N", "identity", "device id, 0..65535 (default 1)",
          [&](const std::string& v) {
              o.device_id = static_cast<std::uint16_t>(
                  Number(v, 0xFFFF, "--device-id needs a number from 0 to 65535"));
          });
    value("--model", "N", "identity",
          "model number, 0..255 (default 4 for the arm, 1 for the handle);\n"
          "an arm with another number is not recognised as one",
          [&](const std::string& v) {
              o.model_number = static_cast<std::uint8_t>(
                  Number(v, 0xFF, "--model needs a number from 0 to 255"));
          });
    value("--hardware-version", "N", "identity", "hardware version, 0..255 (default 1)",
          [&](const std::string& v) {
              o.hardware_version = static_cast<std::uint8_t>(
                  Number(v, 0xFF, "--hardware-version needs a number from 0 to 255"));
          });
    value("--firmware-version", "N", "identity", "firmware version, 0..255 (default 1)",
          [&](const std::string& v) {
              o.firmware_version = static_cast<std::uint8_t>(
                  Number(v, 0xFF, "--firmware-version needs a number from 0 to 255"));
          });
    value("--uuid", "HEX", "identity",
          "arm identifier, 32 hex digits, dashes allowed\n"
          "(default 0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9)",
          [&](const std::string& v) {
              if (!ParseUuid(v, o.uuid)) {
                  Refuse("--uuid needs 32 hexadecimal digits");
              }
              given.uuid = true;
          });
    value("--stream", "HZ", "identity",
          "handle: also send status messages unprompted, HZ per second,\n"
          "as a wireless handle does (pausing while 512 bytes are unread)",
          [&](const std::string& v) {
              o.stream_hz = Positive(v, 1000, "--stream needs a rate above 0 and up to 1000 Hz");
          });

    flag("--usb-latency", "timing",
         "answer each request 125 us to 1 ms after it arrived (uniformly\n"
         "random, replies kept in order), as a device on a USB link does;\n"
         "the simulator goes on serving meanwhile",
         [&] {
             o.latency_min_us = kUsbLatencyMinUs;
             o.latency_max_us = kUsbLatencyMaxUs;
         });
    value("--latency-us", "MIN:MAX", "timing",
          "the same with other bounds in microseconds (N: always N us)", [&](const std::string& v) {
              if (!ParseLatency(v, o.latency_min_us, o.latency_max_us)) {
                  Refuse("--latency-us needs MIN:MAX or N microseconds, MIN <= MAX <= 1000000");
              }
          });

    flag("--silent", "faults", "read requests, never answer", [&] { o.silent = true; });
    flag("--wrong-header", "faults",
         "every message starts with the wrong header byte (bits inverted)",
         [&] { o.wrong_header = true; });
    flag("--short-reply", "faults", "every message lacks its last byte",
         [&] { o.short_reply = true; });
    value("--delay-ms", "N", "faults", "answer N milliseconds late (0..60000)",
          [&](const std::string& v) {
              o.delay_ms = static_cast<unsigned>(
                  Number(v, 60000, "--delay-ms needs a number from 0 to 60000"));
          });
    value("--hangup-after", "N", "faults",
          "after N replies, hang up: the port closes and the simulator exits",
          [&](const std::string& v) {
              o.hangup_after = Number(v, ~0UL, "--hangup-after needs a count of replies");
          });
    flag("--chatter", "faults", "send a steady stream of random bytes besides any answers",
         [&] { o.chatter = true; });

    value("--replay", "FILE", "replay",
          "play a session recorded by the orvane package (an MCAP file with\n"
          "uncompressed chunks; one a killed program left is read up to its\n"
          "last whole chunk). The device answers the wake-up with the\n"
          "recorded device information (in place of the identity options)\n"
          "and, on a replay clock that starts with the first state request,\n"
          "the arm every force and position request with the recorded\n"
          "position and velocity, the handle every status message with the\n"
          "recorded orientation, hall-effect level and error flag, linearly\n"
          "interpolated between records; its joint requests get the joint\n"
          "angles and velocities of that state, its current requests (which\n"
          "a recording does not hold) the model's answers. --trace still\n"
          "logs what the new program sends.",
          [&](const std::string& v) {
              if (v.empty()) {
                  Refuse("--replay needs a recording's file name");
              }
              o.replay = v;
          });
    value("--speed", "X", "replay", "replay clock rate, above 0 and up to 1000 (default 1)",
          [&](const std::string& v) {
              o.replay_speed =
                  Positive(v, kMaxReplaySpeed, "--speed needs a factor above 0 and up to 1000");
              given.speed = true;
          });
    flag("--loop", "replay", "start the recording over at its end (default: hold its last state)",
         [&] { o.replay_loop = true; });

    value("--trace", "FILE", "other",
          "write one line per request received to FILE (created or\n"
          "truncated): the time in seconds on the monotonic clock since the\n"
          "simulator started, the header byte as two hex digits, then the\n"
          "request's values: the three floats of a vector request; for the\n"
          "handle's state message its device id and each user data byte, in\n"
          "decimal. Space separated; a request's line is in the file before\n"
          "its answer goes out.",
          [&](const std::string& v) {
              if (v.empty()) {
                  Refuse("--trace needs a file name");
              }
              o.trace = v;
          });
    value("--link", "PATH", "other",
          "also make PATH a symbolic link to the port (an existing symbolic\n"
          "link is replaced; any other existing file is left alone and the\n"
          "simulator refuses to start)",
          [&](const std::string& v) {
              if (v.empty()) {
                  Refuse("--link needs a path");
              }
              o.link = v;
          });
    app.set_help_flag("-h,--help", "show this text")->group("other");
    app.set_version_flag("--version", "orvane-sim " ORVANE_VERSION, "show the version")
        ->group("other");
}

}  // namespace

ParseResult ParseOptions(const std::vector<std::string>& args, Options& o) {
    ParseResult result;
    auto fail = [&](std::string message) {
        result.action = ParseResult::Action::Error;
        result.error = std::move(message);
        return result;
    };
    CLI::App app("", "orvane-sim");
    Given given;
    Describe(app, o, given);
    // CLI11 takes the arguments last first.
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        result.action = ParseResult::Action::Help;
        return result;
    } catch (const CLI::CallForVersion& e) {
        result.action = ParseResult::Action::Version;
        result.version = e.what();
        return result;
    } catch (const CLI::ParseError& e) {
        return fail(e.what());
    }
    if (!given.kind) {
        return fail("say which device to simulate: arm or handle");
    }
    if (o.kind == DeviceKind::Arm && o.stream_hz > 0) {
        return fail("--stream is for the handle");
    }
    if (o.replay.empty() && (given.speed || o.replay_loop)) {
        return fail("--speed and --loop are for --replay");
    }
    if (o.kind == DeviceKind::Handle && given.uuid) {
        return fail("--uuid is for the arm");
    }
    return result;
}

std::string HelpText() {
    CLI::App app("", "orvane-sim");
    Options o;
    Given given;
    Describe(app, o, given);
    return app.help();
}

}  // namespace Orvane::Sim
