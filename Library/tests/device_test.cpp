#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "Orvane/HardwareAPI/Device.h"
#include "Orvane/HardwareAPI/UUID.h"
#include "SystemErrorText.h"

using Orvane::HardwareAPI::SystemErrorText;
using Orvane::HardwareAPI::Devices::Device;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

// A connection that misbehaves on request: each block read delivers at most `per_read`
// bytes of `input`, each block write accepts at most `accept` bytes, and a call that
// falls short leaves `error` in errno, as a port would. It records every block read.
class FaultBuf : public std::streambuf {
public:
    static constexpr std::streamsize kAll = std::numeric_limits<std::streamsize>::max();

    std::string input;
    std::size_t pos = 0;
    std::streamsize per_read = kAll;
    std::streamsize accept = kAll;
    int error = EIO;
    std::vector<std::streamsize> reads;  // byte counts asked for, one per block read
    std::string written;

    std::size_t Unread() const { return input.size() - pos; }

protected:
    std::streamsize xsgetn(char* s, std::streamsize n) override {
        reads.push_back(n);
        const auto k = std::min({n, per_read, static_cast<std::streamsize>(Unread())});
        std::memcpy(s, input.data() + pos, static_cast<std::size_t>(k));
        pos += static_cast<std::size_t>(k);
        if (k < n) {
            errno = error;
        }
        return k;
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        const auto k = std::min(n, accept);
        written.append(s, static_cast<std::size_t>(k));
        if (k < n) {
            errno = error;
        }
        return k;
    }
};

struct Conn {
    FaultBuf buf;
    std::iostream stream{&buf};
    Device device{stream};
};

// Exposes the reply read the arm's receive operations share.
class ReplyReader : public Device {
public:
    using Device::Device;
    using Device::ReadReply;
};

std::string Bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) {
        s.push_back(static_cast<char>(v));
    }
    return s;
}

void FillWriteBuffer(Device& d, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        d.WriteBuffer()[i] = static_cast<std::uint8_t>(0xA0 + i);
    }
}

}  // namespace

TEST(Device, BuffersStartZeroed) {
    std::stringstream s;
    Device d(s);
    for (std::size_t i = 0; i < 1024; ++i) {
        ASSERT_EQ(d.WriteBuffer()[i], 0);
        ASSERT_EQ(d.ReadBuffer()[i], 0);
    }
}

class WriteBytesTest : public testing::TestWithParam<std::size_t> {};

TEST_P(WriteBytesTest, SendsExactlyTheFirstNBytes) {
    const std::size_t n = GetParam();
    std::stringstream s;
    Device d(s);
    FillWriteBuffer(d, 24);
    CaptureStderr();
    d.WriteBytes(n);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_TRUE(s.good());
    const std::string out = s.str();
    ASSERT_EQ(out.size(), n);
    EXPECT_EQ(0, std::memcmp(out.data(), d.WriteBuffer(), n));
}

INSTANTIATE_TEST_SUITE_P(Lengths, WriteBytesTest, testing::Values(0, 1, 13, 24));

TEST(Device, ReadsHeaderThenPayloadFromBufferStart) {
    std::stringstream s(Bytes({0x2B, 1, 2, 3, 4, 0x00}));
    Device d(s);
    EXPECT_EQ(d.ReadHeaderCode(), 0x2B);
    EXPECT_EQ(d.ReadBytes(4), 4);
    EXPECT_EQ(std::vector<int>(d.ReadBuffer(), d.ReadBuffer() + 4), (std::vector<int>{1, 2, 3, 4}));
    // A zero byte received reads as 0, like a failure, but leaves the stream good.
    EXPECT_EQ(d.ReadHeaderCode(), 0);
    EXPECT_TRUE(s.good());
    // A read of nothing succeeds.
    EXPECT_EQ(d.ReadBytes(0), 0);
    EXPECT_TRUE(s.good());
}

TEST(Device, CountsBeyondTheBuffersTouchNothing) {
    FaultBuf buf;
    buf.input = std::string(2048, 'x');
    std::iostream s(&buf);
    Device d(s);
    d.WriteBytes(1025);
    EXPECT_EQ(d.ReadBytes(1025), 0);
    EXPECT_EQ(buf.written, "");
    EXPECT_TRUE(buf.reads.empty());
    EXPECT_TRUE(s.good());
}

// Every outcome of the three primitives: what is printed and what they yield.
struct FailureCase {
    const char* name;
    std::function<void(Conn&)> setup;
    std::function<int(Device&)> action;  // the primitive's result; 0 for WriteBytes
    const char* stderr_text;
    int result;
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

class FramingFailureTest : public testing::TestWithParam<FailureCase> {};

TEST_P(FramingFailureTest, PrintsExactlyItsLine) {
    const FailureCase& c = GetParam();
    Conn conn;
    c.setup(conn);
    CaptureStderr();
    const int result = c.action(conn.device);
    EXPECT_EQ(GetCapturedStderr(), c.stderr_text);
    EXPECT_EQ(result, c.result);
}

// The stream goes bad (without end-of-file) when a write falls short.
void FailWrite(Conn& c) {
    c.buf.accept = 0;
    c.stream.write("x", 1);
    ASSERT_TRUE(c.stream.bad());
    ASSERT_FALSE(c.stream.eof());
}

// The stream reaches end-of-file when a read falls short.
void ShortRead(Conn& c) {
    char b[2];
    c.stream.read(b, 2);
    ASSERT_TRUE(c.stream.eof());
}

int Write13(Device& d) {
    d.WriteBytes(13);
    return 0;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, FramingFailureTest,
    testing::Values(
        FailureCase{"WriteShort",
                    [](Conn& c) {
                        c.buf.accept = 5;
                        c.buf.error = EIO;
                    },
                    Write13,
                    "[err] Library/src/Device:39> unable to write '13' bytes to stream: "
                    "[5] Input/output error\n",
                    0},
        FailureCase{"WriteErrorWithoutText",
                    [](Conn& c) {
                        c.buf.accept = 0;
                        c.buf.error = 4000;
                    },
                    Write13,
                    "[err] Library/src/Device:39> unable to write '13' bytes to stream: "
                    "[4000] unknown\n",
                    0},
        FailureCase{"WriteAfterEndOfFile", ShortRead, Write13, "", 0},
        FailureCase{"HeaderOnBadStream",
                    [](Conn& c) {
                        FailWrite(c);
                        errno = EPIPE;
                    },
                    [](Device& d) { return int{d.ReadHeaderCode()}; },
                    "[err] Library/src/Device:49> unable to read header code from stream: "
                    "[32] Broken pipe\n",
                    0},
        FailureCase{"HeaderTimesOut", [](Conn&) {},
                    [](Device& d) { return int{d.ReadHeaderCode()}; }, "", 0},
        FailureCase{"PayloadOnBadStream",
                    [](Conn& c) {
                        FailWrite(c);
                        errno = EPIPE;
                    },
                    [](Device& d) { return d.ReadBytes(24); },
                    "[err] Library/src/Device:60> unable to read '24' bytes from stream: "
                    "[32] Broken pipe\n",
                    0},
        FailureCase{"PayloadShort", [](Conn& c) { c.buf.input = "abc"; },
                    [](Device& d) { return d.ReadBytes(24); }, "", 0},
        FailureCase{"PayloadAfterEndOfFile",
                    [](Conn& c) {
                        ShortRead(c);
                        c.buf.input = std::string(30, 'x');
                    },
                    [](Device& d) { return d.ReadBytes(24); }, "", 0}),
    [](const testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

TEST(Device, EndOfFileIsStickyAndSilent) {
    Conn c;
    c.buf.input = std::string(100, 'x');
    c.buf.per_read = 3;  // bytes keep coming, but too slowly for one read
    CaptureStderr();
    EXPECT_EQ(c.device.ReadBytes(5), 0);
    EXPECT_EQ(c.device.ReadHeaderCode(), 0);
    EXPECT_EQ(c.device.ReadBytes(1), 0);
    FillWriteBuffer(c.device, 13);
    c.device.WriteBytes(13);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(c.buf.reads, (std::vector<std::streamsize>{5}));  // nothing reached the line
    EXPECT_EQ(c.buf.written, "");
    EXPECT_EQ(c.buf.Unread(), 97u);
}

// The reply read: header, payload, and the discard read after a wrong header.
struct ReplyCase {
    const char* name;
    std::string input;
    bool fail_write_first;
    int result;
    std::vector<std::streamsize> reads;
    std::size_t unread;
    const char* stderr_text;
};

void PrintTo(const ReplyCase& c, std::ostream* os) {
    *os << c.name;
}

class ReplyReadTest : public testing::TestWithParam<ReplyCase> {};

TEST_P(ReplyReadTest, ReadsOrDiscards) {
    const ReplyCase& c = GetParam();
    FaultBuf buf;
    buf.input = c.input;
    std::iostream s(&buf);
    ReplyReader r(s);
    if (c.fail_write_first) {
        buf.accept = 0;
        s.write("x", 1);
        errno = EIO;
    }
    CaptureStderr();
    EXPECT_EQ(r.ReadReply(0x2B, 24), c.result);
    EXPECT_EQ(GetCapturedStderr(), c.stderr_text);
    EXPECT_EQ(buf.reads, c.reads);
    EXPECT_EQ(buf.Unread(), c.unread);
    if (c.result == 24) {
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.ReadBuffer()), 24),
                  c.input.substr(1, 24));
    }
}

const std::string kPayload24 = "ABCDEFGHIJKLMNOPQRSTUVWX";

INSTANTIATE_TEST_SUITE_P(
    Replies, ReplyReadTest,
    testing::Values(
        ReplyCase{"Complete", "\x2B" + kPayload24 + "next", false, 24, {1, 24}, 4, ""},
        ReplyCase{"WrongHeaderDiscards1024",
                  "\x2C" + std::string(2000, 'z'),
                  false,
                  -1,
                  {1, 1024},
                  2000 - 1024,
                  ""},
        ReplyCase{"WrongHeaderDiscardsTheRest",
                  "\x2C" + std::string(10, 'z'),
                  false,
                  -1,
                  {1, 1024},
                  0,
                  ""},
        ReplyCase{
            "ShortPayloadNoDiscard", "\x2B" + std::string(10, 'p'), false, -1, {1, 24}, 0, ""},
        ReplyCase{"NothingArrives", "", false, -1, {1}, 0, ""},
        ReplyCase{"AfterFailedWrite",
                  "\x2B" + kPayload24,
                  true,
                  -1,
                  {},
                  25,
                  "[err] Library/src/Device:49> unable to read header code from stream: "
                  "[5] Input/output error\n"
                  "[err] Library/src/Device:60> unable to read '1024' bytes from stream: "
                  "[5] Input/output error\n"}),
    [](const testing::TestParamInfo<ReplyCase>& info) { return info.param.name; });

// After a short payload the stream is at end-of-file: the next request is not sent and
// the next reply read reaches nothing.
TEST(Device, ShortPayloadStopsLaterRequests) {
    FaultBuf buf;
    buf.input = "\x2B" + std::string(3, 'p');
    std::iostream s(&buf);
    ReplyReader r(s);
    EXPECT_EQ(r.ReadReply(0x2B, 24), -1);
    r.WriteBuffer()[0] = 0x0A;
    r.WriteBytes(1);
    EXPECT_EQ(buf.written, "");
    EXPECT_EQ(r.ReadReply(0x2B, 24), -1);
    EXPECT_EQ(buf.reads, (std::vector<std::streamsize>{1, 24}));
}

struct ErrorTextCase {
    std::uint32_t code;
    const char* text;
};

class SystemErrorTextTest : public testing::TestWithParam<ErrorTextCase> {};

TEST_P(SystemErrorTextTest, GivesSystemTextOrUnknown) {
    EXPECT_EQ(SystemErrorText(GetParam().code), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Codes, SystemErrorTextTest,
                         testing::Values(ErrorTextCase{ENOENT, "No such file or directory"},
                                         ErrorTextCase{EIO, "Input/output error"},
                                         ErrorTextCase{ETIMEDOUT, "Connection timed out"},
                                         ErrorTextCase{4000, "unknown"},
                                         ErrorTextCase{0xFFFFFFFFu, "unknown"}));

TEST(UUID, ZeroByDefaultAssignedInOrderCopiedByValue) {
    Orvane::HardwareAPI::UUID id;
    for (std::size_t i = 0; i < 16; ++i) {
        EXPECT_EQ(id[i], 0);
    }
    std::uint8_t source[17];
    for (std::size_t i = 0; i < 17; ++i) {
        source[i] = static_cast<std::uint8_t>(i);
    }
    id.Assign(source);
    Orvane::HardwareAPI::UUID copy = id;
    copy.Assign(source + 1);
    for (std::size_t i = 0; i < 16; ++i) {
        EXPECT_EQ(id[i], i);
        EXPECT_EQ(copy[i], i + 1);
    }
    static_assert(sizeof(Orvane::HardwareAPI::UUID) == 16 &&
                  alignof(Orvane::HardwareAPI::UUID) == 1);
}
