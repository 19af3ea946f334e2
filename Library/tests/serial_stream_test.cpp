#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "Orvane/HardwareAPI/Device.h"
#include "Orvane/HardwareAPI/SerialStream.h"
#include "Orvane/HardwareAPI/Varnix3.h"
#include "PtyPair.h"

using Orvane::HardwareAPI::Devices::Device;
using Orvane::HardwareAPI::IO::SerialStream;
using OrvaneTest::PtyPair;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

void SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::size_t CountFds() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
        ++n;
    }
    return n;
}

// Bytes waiting on the line for the library's side, after giving them time to arrive.
int WaitingBytes(const PtyPair& pty) {
    pollfd p{pty.slave(), POLLIN, 0};
    poll(&p, 1, 1000);
    int n = 0;
    ioctl(pty.slave(), FIONREAD, &n);
    return n;
}

std::string PortLine(const std::string& name, int error, const std::string& text) {
    return "[err] Library/src/SerialStream:39> unable to open port '" + name + "': [" +
           std::to_string(error) + "] " + text + "\n";
}

std::string StreamLine(const std::string& name, int error, const std::string& text) {
    return "[err] Library/src/SerialStream:18> unable to open stream '" + name + "': [" +
           std::to_string(error) + "] " + text + "\n";
}

std::vector<std::uint8_t> Read(SerialStream& s, std::size_t n) {
    std::vector<char> buffer(n);
    s.read(buffer.data(), static_cast<std::streamsize>(n));
    return std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + s.gcount());
}

void Write(SerialStream& s, const std::vector<std::uint8_t>& bytes) {
    s.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

class ReplyReader : public Device {
public:
    using Device::Device;
    using Device::ReadReply;
};

}  // namespace

// Open result codes and the lines a failed open prints. "@pty" and "@file" stand for a
// pseudo-terminal and a plain file made by the fixture.
struct OpenCase {
    const char* name;
    std::string port;
    int code;
    int error;
    const char* text;
};

void PrintTo(const OpenCase& c, std::ostream* os) {
    *os << c.name;
}

class SerialOpenTest : public testing::TestWithParam<OpenCase> {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/orvane-plain-XXXXXX";
        const int fd = mkstemp(pattern);
        ASSERT_GE(fd, 0);
        close(fd);
        file_ = pattern;
    }
    void TearDown() override { unlink(file_.c_str()); }

    std::string Port() const {
        const std::string& p = GetParam().port;
        return p == "@pty" ? pty_.path() : p == "@file" ? file_ : p;
    }

    PtyPair pty_;
    std::string file_;
};

TEST_P(SerialOpenTest, ReportsCodeAndLines) {
    const OpenCase& c = GetParam();
    const std::string port = Port();
    const std::size_t fds = CountFds();
    {
        CaptureStderr();
        SerialStream s(port.c_str(), false);
        EXPECT_EQ(GetCapturedStderr(), "");
        EXPECT_TRUE(s.bad());  // no buffer until Open

        CaptureStderr();
        EXPECT_EQ(s.Open(), c.code);
        EXPECT_EQ(GetCapturedStderr(), c.code < 0 ? PortLine(port, c.error, c.text) : "");
        EXPECT_TRUE(s.good());
    }
    {
        CaptureStderr();
        SerialStream s(port.c_str(), true);
        EXPECT_EQ(
            GetCapturedStderr(),
            c.code < 0 ? PortLine(port, c.error, c.text) + StreamLine(port, c.error, c.text) : "");
        EXPECT_TRUE(s.good());
    }
    EXPECT_EQ(CountFds(), fds);
}

INSTANTIATE_TEST_SUITE_P(
    Ports, SerialOpenTest,
    testing::Values(
        OpenCase{"PseudoTerminal", "@pty", 1, 0, ""},
        OpenCase{"MissingPath", "/dev/orvane-no-such-port", -1, 2, "No such file or directory"},
        OpenCase{"MissingName", "orvane-no-such-port", -1, 2, "No such file or directory"},
        OpenCase{"Directory", "/tmp", -2, 21, "Is a directory"},
        OpenCase{"LongName", "/" + std::string(5000, 'x'), -2, 36, "File name too long"},
        OpenCase{"NotATerminal", "/dev/null", -3, 25, "Inappropriate ioctl for device"},
        OpenCase{"PlainFile", "@file", -3, 25, "Inappropriate ioctl for device"}),
    [](const testing::TestParamInfo<OpenCase>& info) { return info.param.name; });

TEST(SerialStream, MissingPortReadsNothingAndWritesFail) {
    CaptureStderr();
    SerialStream reader("/dev/orvane-no-such-port", true);
    SerialStream writer("/dev/orvane-no-such-port", true);
    GetCapturedStderr();
    ASSERT_TRUE(reader.good());
    EXPECT_TRUE(Read(reader, 4).empty());
    EXPECT_TRUE(reader.eof() && reader.fail());
    Write(writer, {0x0A});
    EXPECT_TRUE(writer.bad());
}

// A regular file where the port should be (a typo, or what `echo x > /dev/ttyUSB0` leaves
// when nothing is plugged in) is not a port: the stream reads nothing, writes nothing and
// the file keeps every byte; the write's line names a failure, never "Success".
TEST(SerialStream, RegularFileAtThePortNameIsLeftUnchanged) {
    char pattern[] = "/tmp/orvane-plain-XXXXXX";
    const int fd = mkstemp(pattern);
    ASSERT_GE(fd, 0);
    const std::string data = "user data\n";
    ASSERT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    const std::size_t fds = CountFds();
    {
        CaptureStderr();
        SerialStream s(pattern, true);
        errno = 0;
        Orvane::HardwareAPI::Devices::Varnix3 arm(s);
        arm.SendDeviceWakeup();
        const std::string lines = GetCapturedStderr();
        EXPECT_NE(lines.find("unable to write '1' bytes to stream: [9] Bad file descriptor"),
                  std::string::npos)
            << lines;
        EXPECT_EQ(CountFds(), fds) << "the file stayed open";
        s.clear();
        EXPECT_TRUE(Read(s, 4).empty());
    }
    char content[32] = {};
    EXPECT_EQ(pread(fd, content, sizeof content, 0), static_cast<ssize_t>(data.size()));
    EXPECT_EQ(std::string(content, data.size()), data);
    close(fd);
    unlink(pattern);
}

TEST(SerialStream, NothingReachesThePortBeforeOpen) {
    PtyPair pty;
    SerialStream s(pty.path().c_str(), false);
    Write(s, {0x0A});
    pty.Send({0x55});
    EXPECT_TRUE(Read(s, 1).empty());
    EXPECT_TRUE(pty.Pending(50).empty());
    EXPECT_EQ(WaitingBytes(pty), 1);

    ASSERT_EQ(s.Open(), 1);
    EXPECT_EQ(Read(s, 1), (std::vector<std::uint8_t>{0x55}));
    Write(s, {0x0A});
    EXPECT_EQ(pty.Expect(1), (std::vector<std::uint8_t>{0x0A}));
}

TEST(SerialStream, PortIsExclusiveUntilDestroyed) {
    PtyPair pty;
    const std::string port = pty.path();
    const std::size_t fds = CountFds();
    {
        SerialStream first(port.c_str(), false);
        ASSERT_EQ(first.Open(), 1);

        CaptureStderr();
        SerialStream second(port.c_str(), false);
        EXPECT_EQ(second.Open(), -2);
        EXPECT_EQ(GetCapturedStderr(), PortLine(port, 16, "Device or resource busy"));

        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, STDERR_FILENO);
            SerialStream other(port.c_str(), false);
            _exit(other.Open() == -2 ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "another process opened it";
    }
    SerialStream again(port.c_str(), false);
    EXPECT_EQ(again.Open(), 1);
    EXPECT_EQ(CountFds(), fds + 1);
}

TEST(SerialStream, LineIsRawAt115200Baud8N1WithoutFlowControl) {
    PtyPair pty(/*raw=*/false);
    termios t{};
    ASSERT_EQ(tcgetattr(pty.slave(), &t), 0);
    t.c_cflag |= CRTSCTS;
    t.c_iflag |= IXON | IXOFF | IXANY;
    ASSERT_EQ(tcsetattr(pty.slave(), TCSANOW, &t), 0);
    SerialStream s(pty.path().c_str(), true);
    ASSERT_TRUE(s.good());

    ASSERT_EQ(tcgetattr(pty.slave(), &t), 0);
    EXPECT_EQ(cfgetispeed(&t), B115200);
    EXPECT_EQ(cfgetospeed(&t), B115200);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CLOCAL | CREAD | CRTSCTS),
              CS8 | CLOCAL | CREAD);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY), 0u);

    const std::vector<std::uint8_t> wire{0x0A, 0x0D, 0x11, 0x13, 0x00, 0xFF};
    pty.Send(wire);
    EXPECT_EQ(Read(s, wire.size()), wire);
    EXPECT_TRUE(pty.Pending(50).empty()) << "echoed";
    Write(s, wire);
    EXPECT_EQ(pty.Expect(wire.size()), wire);
    EXPECT_TRUE(pty.Pending(50).empty()) << "bytes added on the way out";
}

TEST(SerialStream, SilentLineEndsReadAfterTotalTimeoutAndStaysFailed) {
    PtyPair pty;
    SerialStream s(pty.path().c_str(), true);
    const auto start = Clock::now();
    EXPECT_TRUE(Read(s, 21).empty());
    const double elapsed = SecondsSince(start);  // 1000 + 8 * 21 ms
    EXPECT_GE(elapsed, 0.9);
    EXPECT_LE(elapsed, 2.5);
    EXPECT_TRUE(s.eof() && s.fail());

    Write(s, {0x0A});
    EXPECT_TRUE(pty.Pending(100).empty());
}

TEST(SerialStream, SilenceAfterAByteEndsReadAndLaterCallsNeverReachThePort) {
    PtyPair pty;
    SerialStream s(pty.path().c_str(), true);
    Clock::time_point last_byte;
    std::thread device([&] {
        pty.Send({0x01});
        SleepMs(500);
        pty.Send({0x02});
        last_byte = Clock::now();
    });
    const auto start = Clock::now();
    const auto got = Read(s, 1000);  // the total time-out would be 9 s
    const auto end = Clock::now();
    device.join();
    EXPECT_EQ(got, (std::vector<std::uint8_t>{0x01, 0x02}));
    const double after_last = std::chrono::duration<double>(end - last_byte).count();
    EXPECT_GE(after_last, 0.9);
    EXPECT_LE(after_last, 2.5);
    EXPECT_LT(std::chrono::duration<double>(end - start).count(), 4.0);
    EXPECT_TRUE(s.eof() && s.fail());

    // The error state is sticky: a device on this stream sends nothing and reads nothing.
    ReplyReader d(s);
    pty.Send({0x0B, 0x01, 0x02});
    d.WriteBuffer()[0] = 0x0A;
    CaptureStderr();
    d.WriteBytes(1);
    EXPECT_EQ(d.ReadReply(0x0B, 2), -1);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_TRUE(pty.Pending(100).empty());
    EXPECT_EQ(WaitingBytes(pty), 3);
}

TEST(SerialStream, BlockArrivingInPiecesIsReportedWhole) {
    PtyPair pty;
    SerialStream s(pty.path().c_str(), true);
    std::vector<std::uint8_t> block(200);
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<std::uint8_t>(i * 7);
    }
    std::thread device([&] {
        for (std::size_t i = 0; i < block.size(); i += 50) {
            pty.Send(std::vector<std::uint8_t>(block.begin() + i, block.begin() + i + 50));
            SleepMs(100);
        }
    });
    EXPECT_EQ(Read(s, 200), block);
    device.join();
    EXPECT_TRUE(s.good());
}

TEST(SerialStream, RequestAndReplyThroughDevice) {
    PtyPair pty;
    SerialStream s(pty.path().c_str(), true);
    ReplyReader d(s);
    d.WriteBuffer()[0] = 0x0A;
    d.WriteBytes(1);
    EXPECT_EQ(pty.Expect(1), (std::vector<std::uint8_t>{0x0A}));
    std::vector<std::uint8_t> reply{0x0B};
    for (int i = 0; i < 21; ++i) {
        reply.push_back(static_cast<std::uint8_t>(0xF0 ^ i));
    }
    std::thread device([&] {
        SleepMs(50);
        pty.Send(reply);
    });
    EXPECT_EQ(d.ReadReply(0x0B, 21), 21);
    device.join();
    EXPECT_EQ(std::vector<std::uint8_t>(d.ReadBuffer(), d.ReadBuffer() + 21),
              std::vector<std::uint8_t>(reply.begin() + 1, reply.end()));
    EXPECT_TRUE(s.good());
}

TEST(SerialStream, InAvailOnQuietLineWaitsThenReportsNothing) {
    PtyPair pty;
    SerialStream s(pty.path().c_str(), true);
    const auto start = Clock::now();
    EXPECT_EQ(s.rdbuf()->in_avail(), 0);
    const double elapsed = SecondsSince(start);  // 1000 + 8 ms
    EXPECT_GE(elapsed, 0.9);
    EXPECT_LE(elapsed, 2.5);
    EXPECT_TRUE(s.good());
}

TEST(SerialStream, InAvailLooksOneByteAheadAndTheReadCountsIt) {
    PtyPair pty;
    SerialStream s(pty.path().c_str(), true);
    pty.Send({'A', 'B', 'C'});
    ASSERT_EQ(WaitingBytes(pty), 3);
    EXPECT_EQ(s.rdbuf()->in_avail(), 1);
    EXPECT_EQ(WaitingBytes(pty), 2);
    EXPECT_EQ(s.rdbuf()->in_avail(), 1);  // held, nothing more is read
    EXPECT_EQ(WaitingBytes(pty), 2);
    EXPECT_EQ(Read(s, 3), (std::vector<std::uint8_t>{'A', 'B', 'C'}));
    EXPECT_TRUE(s.good());
}

TEST(SerialStream, PutbackHoldsAnyOneCharacter) {
    PtyPair pty;
    {
        SerialStream s(pty.path().c_str(), true);
        EXPECT_TRUE(s.putback('\xFF').good());
        const auto start = Clock::now();
        EXPECT_EQ(Read(s, 1), (std::vector<std::uint8_t>{0xFF}));
        EXPECT_LT(SecondsSince(start), 0.5);  // served without a port read

        pty.Send({'Z'});
        EXPECT_TRUE(s.putback('X').good());
        EXPECT_EQ(Read(s, 2), (std::vector<std::uint8_t>{'X', 'Z'}));
        EXPECT_TRUE(s.good());
    }
    SerialStream s(pty.path().c_str(), true);
    EXPECT_TRUE(s.putback('a').good());
    EXPECT_TRUE(s.putback('b').bad());  // one deep
}

TEST(SerialStream, HangUpEndsReadAtOnce) {
    PtyPair pty;
    SerialStream s(pty.path().c_str(), true);
    std::thread device([&] {
        pty.Send({1, 2, 3});
        SleepMs(200);
        pty.HangUp();
    });
    const auto start = Clock::now();
    const auto got = Read(s, 100);
    const double elapsed = SecondsSince(start);
    device.join();
    EXPECT_EQ(got, (std::vector<std::uint8_t>{1, 2, 3}));
    EXPECT_LT(elapsed, 0.8);  // the interval time-out alone would take 1 s more
    EXPECT_TRUE(s.eof() && s.fail());
}

// How the line fails a write: it is gone before the write, output is held back until the
// write time-out (8 + 8 * n ms), or it is held back and then goes away during the write.
enum class LineFault { HungUp, HeldBack, HeldBackThenHungUp };

struct WriteFault {
    const char* name;
    LineFault fault;
    std::size_t n;
    const char* line;
};

void PrintTo(const WriteFault& c, std::ostream* os) {
    *os << c.name;
}

class WriteFaultTest : public testing::TestWithParam<WriteFault> {};

TEST_P(WriteFaultTest, DevicePrintsWriteLine) {
    const WriteFault& c = GetParam();
    PtyPair pty;
    SerialStream s(pty.path().c_str(), true);
    Device d(s);
    std::thread device;
    if (c.fault == LineFault::HungUp) {
        pty.HangUp();
    } else {
        ASSERT_EQ(tcflow(pty.slave(), TCOOFF), 0);
    }
    if (c.fault == LineFault::HeldBackThenHungUp) {
        device = std::thread([&] {
            SleepMs(100);
            pty.HangUp();
        });
    }
    CaptureStderr();
    const auto start = Clock::now();
    d.WriteBytes(c.n);
    const double elapsed = SecondsSince(start);
    if (device.joinable()) {
        device.join();
    }
    EXPECT_LT(elapsed, 2.0);
    EXPECT_TRUE(s.bad());
    d.WriteBytes(c.n);  // a failed stream tries nothing: the failure that stopped it is reported
    EXPECT_EQ(GetCapturedStderr(), std::string(c.line) + c.line);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, WriteFaultTest,
    testing::Values(WriteFault{"HungUp", LineFault::HungUp, 13,
                               "[err] Library/src/Device:39> unable to write '13' bytes to stream: "
                               "[5] Input/output error\n"},
                    WriteFault{"TimedOut", LineFault::HeldBack, 13,
                               "[err] Library/src/Device:39> unable to write '13' bytes to stream: "
                               "[110] Connection timed out\n"},
                    WriteFault{
                        "HungUpDuringWrite", LineFault::HeldBackThenHungUp, 1000,
                        "[err] Library/src/Device:39> unable to write '1000' bytes to stream: "
                        "[5] Input/output error\n"}),
    [](const testing::TestParamInfo<WriteFault>& info) { return info.param.name; });

TEST(SerialStream, LastCommandBeforeCloseGetsOut) {
    PtyPair pty;
    const std::vector<std::uint8_t> zero_force{0x2A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    {
        SerialStream s(pty.path().c_str(), true);
        Write(s, zero_force);
    }
    EXPECT_EQ(pty.Expect(zero_force.size()), zero_force);
}

TEST(SerialStream, DestroyedQuietlyWhateverExceptionsTheCallerAskedFor) {
    PtyPair pty;
    {
        SerialStream s(pty.path().c_str(), true);
        s.exceptions(std::ios::badbit | std::ios::failbit);
    }
    SerialStream again(pty.path().c_str(), true);  // the port was closed
    EXPECT_TRUE(again.good());
}

TEST(SerialStream, OpenAndCloseLeaveNoDescriptorBehind) {
    PtyPair pty;
    const std::size_t fds = CountFds();
    CaptureStderr();
    for (int i = 0; i < 20; ++i) {
        SerialStream ok(pty.path().c_str(), true);
        SerialStream busy(pty.path().c_str(), true);
        SerialStream missing("/dev/orvane-no-such-port", true);
        SerialStream unconfigured("/dev/null", true);
    }
    GetCapturedStderr();
    EXPECT_EQ(CountFds(), fds);
}
