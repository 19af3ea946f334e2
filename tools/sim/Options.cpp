#include "Options.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

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

ParseResult ParseOptions(const std::vector<std::string>& args, Options& o) {
    ParseResult result;
    auto fail = [&](std::string message) {
        result.action = ParseResult::Action::Error;
        result.error = std::move(message);
        return result;
    };
    bool have_kind = false;
    bool uuid_given = false;
    bool speed_given = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        std::string value;
        bool inline_value = false;
        if (arg.rfind("--", 0) == 0) {
            const std::size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg.resize(eq);
                inline_value = true;
            }
        }
        // Fetches the option's value, from "--name=value" or from the next argument.
        auto take = [&](std::string& out) {
            if (inline_value) {
                out = value;
                return true;
            }
            if (i + 1 >= args.size()) {
                return false;
            }
            out = args[++i];
            return true;
        };
        auto number = [&](unsigned long max, unsigned long& out) {
            std::string text;
            return take(text) && ParseUnsigned(text, max, out);
        };
        auto flag = [&](bool& target) {
            if (inline_value) {
                return false;
            }
            target = true;
            return true;
        };
        unsigned long n = 0;

        if (arg == "-h" || arg == "--help") {
            result.action = ParseResult::Action::Help;
            return result;
        } else if (arg == "arm" || arg == "handle") {
            if (have_kind) {
                return fail("only one device: arm or handle");
            }
            o.kind = arg == "arm" ? DeviceKind::Arm : DeviceKind::Handle;
            have_kind = true;
        } else if (arg == "--link") {
            if (!take(o.link) || o.link.empty()) {
                return fail("--link needs a path");
            }
        } else if (arg == "--device-id") {
            if (!number(0xFFFF, n)) {
                return fail("--device-id needs a number from 0 to 65535");
            }
            o.device_id = static_cast<std::uint16_t>(n);
        } else if (arg == "--model") {
            if (!number(0xFF, n)) {
                return fail("--model needs a number from 0 to 255");
            }
            o.model_number = static_cast<std::uint8_t>(n);
        } else if (arg == "--hardware-version" || arg == "--firmware-version") {
            if (!number(0xFF, n)) {
                return fail(arg + " needs a number from 0 to 255");
            }
            (arg == "--hardware-version" ? o.hardware_version : o.firmware_version) =
                static_cast<std::uint8_t>(n);
        } else if (arg == "--uuid") {
            std::string text;
            if (!take(text) || !ParseUuid(text, o.uuid)) {
                return fail("--uuid needs 32 hexadecimal digits");
            }
            uuid_given = true;
        } else if (arg == "--stream") {
            std::string text;
            char* end = nullptr;
            if (!take(text) || text.empty() ||
                !((o.stream_hz = std::strtod(text.c_str(), &end)) > 0) || *end != '\0' ||
                o.stream_hz > 1000) {
                return fail("--stream needs a rate above 0 and up to 1000 Hz");
            }
        } else if (arg == "--trace") {
            if (!take(o.trace) || o.trace.empty()) {
                return fail("--trace needs a file name");
            }
        } else if (arg == "--replay") {
            if (!take(o.replay) || o.replay.empty()) {
                return fail("--replay needs a recording's file name");
            }
        } else if (arg == "--speed") {
            std::string text;
            char* end = nullptr;
            if (!take(text) || text.empty() ||
                !((o.replay_speed = std::strtod(text.c_str(), &end)) > 0) || *end != '\0' ||
                !(o.replay_speed <= kMaxReplaySpeed)) {
                return fail("--speed needs a factor above 0 and up to 1000");
            }
            speed_given = true;
        } else if (arg == "--loop") {
            if (!flag(o.replay_loop)) {
                return fail("--loop takes no value");
            }
        } else if (arg == "--latency-us") {
            std::string text;
            if (!take(text) || !ParseLatency(text, o.latency_min_us, o.latency_max_us)) {
                return fail("--latency-us needs MIN:MAX or N microseconds, MIN <= MAX <= 1000000");
            }
        } else if (arg == "--usb-latency") {
            bool on = false;
            if (!flag(on)) {
                return fail("--usb-latency takes no value");
            }
            o.latency_min_us = kUsbLatencyMinUs;
            o.latency_max_us = kUsbLatencyMaxUs;
        } else if (arg == "--delay-ms") {
            if (!number(60000, n)) {
                return fail("--delay-ms needs a number from 0 to 60000");
            }
            o.delay_ms = static_cast<unsigned>(n);
        } else if (arg == "--hangup-after") {
            if (!number(~0UL, n)) {
                return fail("--hangup-after needs a count of replies");
            }
            o.hangup_after = n;
        } else if (arg == "--silent") {
            if (!flag(o.silent)) {
                return fail("--silent takes no value");
            }
        } else if (arg == "--wrong-header") {
            if (!flag(o.wrong_header)) {
                return fail("--wrong-header takes no value");
            }
        } else if (arg == "--short-reply") {
            if (!flag(o.short_reply)) {
                return fail("--short-reply takes no value");
            }
        } else if (arg == "--chatter") {
            if (!flag(o.chatter)) {
                return fail("--chatter takes no value");
            }
        } else {
            return fail("unknown argument '" + args[i] + "'");
        }
    }
    if (!have_kind) {
        return fail("say which device to simulate: arm or handle");
    }
    if (o.kind == DeviceKind::Arm && o.stream_hz > 0) {
        return fail("--stream is for the handle");
    }
    if (o.replay.empty() && (speed_given || o.replay_loop)) {
        return fail("--speed and --loop are for --replay");
    }
    if (o.kind == DeviceKind::Handle && uuid_given) {
        return fail("--uuid is for the arm");
    }
    return result;
}

std::string HelpText() {
    return R"(usage: orvane-sim arm|handle [options]

Plays one simulated device on a new pseudo-terminal. The first line of standard output is
the port's path; open it like any serial port (it is already in raw mode). As with a real
port, what the device sends while no program has the port open is lost, and what was sent
and not read is dropped when the last program closes it. The simulator runs until SIGINT
or SIGTERM, then closes the port and removes its --link.

  arm      the three-joint arm: answers the wake-up with its device information (model
           number 4) and every force, position, joint torque, joint angle and current
           request with its reply. Behind it a three-link arm model: forces and joint
           torques drive a damped mass model, position and angle requests servo it
           towards the target, currents follow the torques, joint limits bound the
           workspace. Time passes for the model between requests (at most 20 ms a time).
           Units: m, N, rad, N m, A.
  handle   the handle: answers a wake-up with its information message and a status
           request with a status message (orientation quaternion w, x, y, z turning at a
           steady rate, hall-effect level sweeping 0..255, error flag 0, and as user data
           the bytes of the last state message received). Any other byte gets an error
           response with error code 1.

identity:
  --device-id N          device id, 0..65535 (default 1)
  --model N              model number, 0..255 (default 4 for the arm, 1 for the handle);
                         an arm with another number is not recognised as one
  --hardware-version N   hardware version, 0..255 (default 1)
  --firmware-version N   firmware version, 0..255 (default 1)
  --uuid HEX             arm identifier, 32 hex digits, dashes allowed
                         (default 0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9)
  --stream HZ            handle: also send status messages unprompted, HZ per second,
                         as a wireless handle does (pausing while 512 bytes are unread)

timing:
  --usb-latency          answer each request 125 us to 1 ms after it arrived (uniformly
                         random, replies kept in order), as a device on a USB link does;
                         the simulator goes on serving meanwhile
  --latency-us MIN:MAX   the same with other bounds in microseconds (N: always N us)

faults:
  --silent               read requests, never answer
  --wrong-header         every message starts with the wrong header byte (bits inverted)
  --short-reply          every message lacks its last byte
  --delay-ms N           answer N milliseconds late (0..60000)
  --hangup-after N       after N replies, hang up: the port closes and the simulator exits
  --chatter              send a steady stream of random bytes besides any answers

replay:
  --replay FILE          play a session recorded by the orvane package (an MCAP file with
                         uncompressed chunks; one a killed program left is read up to its
                         last whole chunk). The device answers the wake-up with the
                         recorded device information (in place of the identity options)
                         and, on a replay clock that starts with the first state request,
                         the arm every force and position request with the recorded
                         position and velocity, the handle every status message with the
                         recorded orientation, hall-effect level and error flag, linearly
                         interpolated between records; its joint requests get the joint
                         angles and velocities of that state, its current requests (which
                         a recording does not hold) the model's answers. --trace still
                         logs what the new program sends.
  --speed X              replay clock rate, above 0 and up to 1000 (default 1)
  --loop                 start the recording over at its end (default: hold its last state)

other:
  --trace FILE           write one line per request received to FILE (created or
                         truncated): the time in seconds on the monotonic clock since the
                         simulator started, the header byte as two hex digits, then the
                         request's values: the three floats of a vector request; for the
                         handle's state message its device id and each user data byte, in
                         decimal. Space separated; a request's line is in the file before
                         its answer goes out.
  --link PATH            also make PATH a symbolic link to the port (an existing symbolic
                         link is replaced; any other existing file is left alone and the
                         simulator refuses to start)
  -h, --help             show this text
)";
}

}  // namespace Orvane::Sim
