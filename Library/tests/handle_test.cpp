#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "Orvane/HardwareAPI/Handle.h"

namespace {

using Orvane::HardwareAPI::Devices::Handle;
using Orvane::HardwareAPI::Devices::HandleErrorResponse;
using Orvane::HardwareAPI::Devices::HandleInfo;
using Orvane::HardwareAPI::Devices::HandleStatusMessage;
using Bytes = std::vector<std::uint8_t>;

std::stringstream StreamOf(const Bytes& bytes) {
    return std::stringstream(std::string(bytes.begin(), bytes.end()),
                             std::ios::in | std::ios::out | std::ios::binary);
}

Bytes WrittenTo(const std::stringstream& s) {
    const std::string text = s.str();
    return Bytes(text.begin(), text.end());
}

// Counts the block writes that reach it.
class WriteCounter : public std::streambuf {
public:
    int writes = 0;
    std::string out;

protected:
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        ++writes;
        out.append(s, static_cast<std::size_t>(n));
        return n;
    }
    int_type overflow(int_type c) override {
        ++writes;
        out.push_back(traits_type::to_char_type(c));
        return c;
    }
};

// Notes every callback in order, with copies of what it was given.
class RecordingHandle : public Handle {
public:
    using Handle::Handle;

    std::vector<std::string> calls;
    std::vector<unsigned> info_fields;
    HandleInfo info_record;
    std::uint16_t status_device_id = 0;
    std::array<float, 4> status_quaternion{};
    std::vector<unsigned> status_fields;  // error flag, sensor level, user data length
    Bytes status_user_data;
    const float* quaternion_pointer = nullptr;
    const std::uint8_t* user_data_pointer = nullptr;
    HandleStatusMessage status_record;
    bool record_holds_given_pointers = false;
    std::vector<unsigned> error_fields;
    HandleErrorResponse error_record;
    bool throw_from_info = false;

    void OnReceiveHandleInfo(std::uint8_t tool, std::uint16_t id, std::uint8_t model,
                             std::uint8_t hardware, std::uint8_t firmware) override {
        calls.push_back("info");
        info_fields = {tool, id, model, hardware, firmware};
        if (throw_from_info) {
            throw std::runtime_error("callback failed");
        }
    }
    void OnReceiveHandleInfoRecord(const HandleInfo& info) override {
        calls.push_back("info record");
        info_record = info;
    }
    void OnReceiveHandleStatusMessage(std::uint16_t id, const float* q, std::uint8_t flag,
                                      std::uint8_t level, std::uint8_t length,
                                      const std::uint8_t* data) override {
        calls.push_back("status");
        status_device_id = id;
        std::copy_n(q, 4, status_quaternion.begin());
        status_fields = {flag, level, length};
        status_user_data.assign(data, data + length);
        quaternion_pointer = q;
        user_data_pointer = data;
    }
    void OnReceiveHandleStatusMessageRecord(const HandleStatusMessage& status) override {
        calls.push_back("status record");
        status_record = status;
        record_holds_given_pointers =
            quaternion_pointer == status.quaternion && user_data_pointer == status.user_data.data();
    }
    void OnReceiveHandleErrorResponse(std::uint16_t id, std::uint8_t code) override {
        calls.push_back("error");
        error_fields = {id, code};
    }
    void OnReceiveHandleErrorResponseRecord(const HandleErrorResponse& error) override {
        calls.push_back("error record");
        error_record = error;
    }
};

// Status message 0xDA: id 0x0102, flag 1, sensor 200, quaternion (1.5, -2.25, 0, 3).
Bytes StatusMessage(const Bytes& user_data) {
    Bytes m = {0xDA,
               0x02,
               0x01,
               0x01,
               0xC8,  //
               0x00,
               0x00,
               0xC0,
               0x3F,  // 1.5
               0x00,
               0x00,
               0x10,
               0xC0,  // -2.25
               0x00,
               0x00,
               0x00,
               0x00,  // 0
               0x00,
               0x00,
               0x40,
               0x40,  // 3
               static_cast<std::uint8_t>(user_data.size())};
    m.insert(m.end(), user_data.begin(), user_data.end());
    return m;
}

struct Message {
    const char* name;
    Bytes bytes;
    int count;
    std::vector<std::string> calls;
};

class HandleMessage : public testing::TestWithParam<Message> {};

TEST_P(HandleMessage, FieldFormBeforeRecordForm) {
    auto s = StreamOf(GetParam().bytes);
    RecordingHandle h(s);
    EXPECT_EQ(h.Receive(), GetParam().count);
    EXPECT_EQ(h.calls, GetParam().calls);
    EXPECT_EQ(s.tellg(), static_cast<std::streamoff>(GetParam().bytes.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, HandleMessage,
    testing::Values(
        Message{"Info", {0xD0, 0x05, 0x34, 0x12, 0x02, 0x03, 0x04}, 6, {"info", "info record"}},
        Message{"Status", StatusMessage({1, 2, 3}), 24, {"status", "status record"}},
        Message{"StatusNoData", StatusMessage({}), 21, {"status", "status record"}},
        Message{"Error", {0xDF, 0x07, 0x00, 0x03}, 3, {"error", "error record"}}),
    [](const auto& info) { return info.param.name; });

TEST(Handle, InformationMessage) {
    auto s = StreamOf({0xD0, 0x05, 0x34, 0x12, 0x02, 0x03, 0x04});
    RecordingHandle h(s);
    ASSERT_EQ(h.Receive(), 6);
    EXPECT_EQ(h.info_fields, (std::vector<unsigned>{5, 0x1234, 2, 3, 4}));
    EXPECT_EQ(h.info_record.tool_data_remaining, 5);
    EXPECT_EQ(h.info_record.device_id, 0x1234);
    EXPECT_EQ(h.info_record.device_model_number, 2);
    EXPECT_EQ(h.info_record.hardware_version, 3);
    EXPECT_EQ(h.info_record.firmware_version, 4);
}

TEST(Handle, ErrorResponse) {
    auto s = StreamOf({0xDF, 0x07, 0x00, 0x03});
    RecordingHandle h(s);
    ASSERT_EQ(h.Receive(), 3);
    EXPECT_EQ(h.error_fields, (std::vector<unsigned>{7, 3}));
    EXPECT_EQ(h.error_record.device_id, 7);
    EXPECT_EQ(h.error_record.error_code, 3);
}

TEST(Handle, StatusMessageRecord) {
    const Bytes data = {0x00, 0x7F, 0x80, 0xFF};
    auto s = StreamOf(StatusMessage(data));
    RecordingHandle h(s);
    ASSERT_EQ(h.Receive(), 25);
    EXPECT_EQ(h.status_device_id, 0x0102);
    EXPECT_EQ(h.status_quaternion, (std::array<float, 4>{1.5f, -2.25f, 0.0f, 3.0f}));
    EXPECT_EQ(h.status_fields, (std::vector<unsigned>{1, 200, 4}));
    EXPECT_EQ(h.status_user_data, data);
    EXPECT_TRUE(h.record_holds_given_pointers);

    const HandleStatusMessage& r = h.status_record;
    EXPECT_EQ(r.device_id, 0x0102);
    EXPECT_EQ(r.error_flag, 1);
    EXPECT_EQ(r.hall_effect_sensor_level, 200);
    EXPECT_EQ(r.user_data_length, 4);
    EXPECT_EQ(r.quaternion[1], -2.25f);
    EXPECT_EQ(Bytes(r.user_data.begin(), r.user_data.begin() + 4), data);
    for (std::size_t i = 4; i < r.user_data.size(); ++i) {
        ASSERT_EQ(r.user_data[i], 0) << "byte " << i;
    }
}

TEST(Handle, LongestStatusMessageLeavesTheLastTwoBytesZero) {
    Bytes data(255);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(255 - i % 7);  // no zero byte
    }
    auto s = StreamOf(StatusMessage(data));
    RecordingHandle h(s);
    ASSERT_EQ(h.Receive(), 276);
    EXPECT_EQ(h.status_user_data, data);
    EXPECT_EQ(Bytes(h.status_record.user_data.begin(), h.status_record.user_data.begin() + 255),
              data);
    EXPECT_EQ(h.status_record.user_data[255], 0);
    EXPECT_EQ(h.status_record.user_data[256], 0);
}

TEST(Handle, ArmReplyIsConsumedOneBytePerCall) {
    Bytes reply = {0x0B};
    for (std::uint8_t i = 1; i <= 21; ++i) {
        reply.push_back(i);
    }
    auto s = StreamOf(reply);
    RecordingHandle h(s);
    for (std::size_t i = 0; i < reply.size(); ++i) {
        ASSERT_EQ(h.Receive(), -1);
        ASSERT_EQ(s.tellg(), static_cast<std::streamoff>(i + 1));
    }
    EXPECT_EQ(h.Receive(), -1);  // the line is silent now
    EXPECT_TRUE(h.calls.empty());
}

TEST(Handle, FailedHeaderReadCallsNothing) {
    auto s = StreamOf({});
    RecordingHandle h(s);
    EXPECT_EQ(h.Receive(), -1);
    EXPECT_TRUE(h.calls.empty());
}

struct ShortRead {
    const char* name;
    Bytes bytes;
    int count;
};

class HandleShortRead : public testing::TestWithParam<ShortRead> {};

TEST_P(HandleShortRead, CallbacksStillRunWithTheShortCount) {
    auto s = StreamOf(GetParam().bytes);
    RecordingHandle h(s);
    EXPECT_EQ(h.Receive(), GetParam().count);
    EXPECT_EQ(h.calls.size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, HandleShortRead,
                         testing::Values(ShortRead{"Info", {0xD0, 0x05, 0x34}, 0},
                                         ShortRead{"StatusFixedPart", {0xDA, 0x02, 0x01}, 0},
                                         ShortRead{"Error", {0xDF, 0x07}, 0}),
                         [](const auto& info) { return info.param.name; });

TEST(Handle, ShortUserDataStillCountsTheFixedPart) {
    Bytes m = StatusMessage({0x11, 0x22, 0x33});
    m.pop_back();
    auto s = StreamOf(m);
    RecordingHandle h(s);
    EXPECT_EQ(h.Receive(), 21);
    EXPECT_EQ(h.status_fields, (std::vector<unsigned>{1, 200, 3}));
    EXPECT_EQ(h.status_user_data[0], 0x11);
    EXPECT_EQ(h.status_user_data[1], 0x22);
    EXPECT_EQ(h.Receive(), -1);  // the stream stays at its end
}

TEST(Handle, CallbackExceptionSkipsTheRecordForm) {
    auto s = StreamOf({0xD0, 0x05, 0x34, 0x12, 0x02, 0x03, 0x04, 0xDF, 0x07, 0x00, 0x03});
    RecordingHandle h(s);
    h.throw_from_info = true;
    EXPECT_THROW(h.Receive(), std::runtime_error);
    EXPECT_EQ(h.calls, (std::vector<std::string>{"info"}));
    EXPECT_EQ(h.Receive(), 3);  // the next message is read as usual
}

struct Request {
    const char* name;
    void (*send)(Handle&);
    Bytes wire;
};

class HandleRequest : public testing::TestWithParam<Request> {};

TEST_P(HandleRequest, WritesExactBytes) {
    std::stringstream s(std::ios::in | std::ios::out | std::ios::binary);
    Handle h(s);
    GetParam().send(h);
    EXPECT_EQ(WrittenTo(s), GetParam().wire);
}

// The state message never reads user data it was not given.
INSTANTIATE_TEST_SUITE_P(
    NoData, HandleRequest,
    testing::Values(Request{"LengthZeroIgnoresPointer",
                            [](Handle& h) { h.SendHandleState(0x1234, 0, nullptr); },
                            {0xDB, 0x34, 0x12, 0x00}},
                    Request{"MissingDataWritesNothing",
                            [](Handle& h) { h.SendHandleState(1, 3, nullptr); },
                            {}}),
    [](const auto& info) { return info.param.name; });

TEST(Handle, FullStateMessageIsOneWrite) {
    Bytes data(255);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i);
    }
    WriteCounter counter;
    std::iostream s(&counter);
    Handle h(s);
    h.SendHandleState(0x0201, 255, data.data());
    Bytes expected = {0xDB, 0x01, 0x02, 0xFF};
    expected.insert(expected.end(), data.begin(), data.end());
    EXPECT_EQ(counter.writes, 1);
    EXPECT_EQ(Bytes(counter.out.begin(), counter.out.end()), expected);
}

}  // namespace
