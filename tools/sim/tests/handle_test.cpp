#include <gtest/gtest.h>

#include <chrono>
#include <cmath>

#include "Faults.h"
#include "HandleDevice.h"
#include "Orvane/HardwareAPI/Protocol.h"

using namespace Orvane::Sim;
namespace P = Orvane::HardwareAPI::Protocol;
using std::chrono::milliseconds;

namespace {

std::vector<Message> Feed(HandleDevice& h, const Message& bytes, Clock::time_point now) {
    std::vector<Message> replies;
    h.Receive(bytes.data(), bytes.size(), now, replies);
    return replies;
}

}  // namespace

TEST(HandleDevice, WakeupAnswersInformation) {
    HandleIdentity id;
    id.device_id = 0x1234;
    id.tool_data_remaining = 5;
    id.model_number = 2;
    id.hardware_version = 3;
    id.firmware_version = 4;
    HandleDevice h(id, Clock::now());
    const auto replies = Feed(h, {0x0A}, Clock::now());
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0], (Message{0xD0, 0x05, 0x34, 0x12, 0x02, 0x03, 0x04}));
}

TEST(HandleDevice, StatusCarriesTheLastStateMessagesUserData) {
    const auto t0 = Clock::now();
    HandleIdentity id;
    id.device_id = 7;
    HandleDevice h(id, t0);
    // A state message in two pieces earns no answer; then one with other data.
    EXPECT_TRUE(Feed(h, {0xDB, 0x07, 0x00}, t0).empty());
    EXPECT_TRUE(Feed(h, {0x03, 1, 2, 3}, t0).empty());
    auto replies = Feed(h, {0xDA}, t0 + milliseconds(500));
    ASSERT_EQ(replies.size(), 1u);
    const Message& s = replies[0];
    ASSERT_EQ(s.size(), 1u + 21 + 3);
    EXPECT_EQ(s[0], 0xDA);
    EXPECT_EQ(P::GetU16(&s[1]), 7);
    EXPECT_EQ(s[3], 0);                             // error flag
    EXPECT_EQ(s[4], HandleDevice::HallLevel(0.5));  // hall level
    EXPECT_EQ(s[21], 3);
    EXPECT_EQ(Message(s.end() - 3, s.end()), (Message{1, 2, 3}));
    const auto q = HandleDevice::Orientation(0.5);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(P::GetF32(&s[5 + 4 * i]), q[i]);
    }

    Feed(h, {0xDB, 0x07, 0x00, 0x00}, t0);  // empty user data
    replies = Feed(h, {0xDA}, t0);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].size(), 22u);
    EXPECT_EQ(replies[0][21], 0);
}

TEST(HandleDevice, UnknownRequestGetsAnErrorResponse) {
    HandleIdentity id;
    id.device_id = 0x0102;
    HandleDevice h(id, Clock::now());
    const auto replies = Feed(h, {0x2A, 0x0A}, Clock::now());
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0], (Message{0xDF, 0x02, 0x01, HandleDevice::kUnknownRequest}));
    EXPECT_EQ(replies[1][0], 0xD0);
}

TEST(HandleDevice, OrientationIsAUnitQuaternionThatTurns) {
    for (double t : {0.0, 0.3, 1.0, 7.5}) {
        const auto q = HandleDevice::Orientation(t);
        EXPECT_NEAR(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3], 1.0, 1e-6);
    }
    EXPECT_EQ(HandleDevice::Orientation(0.0)[0], 1.0f);
    EXPECT_LT(HandleDevice::Orientation(1.0)[0], 0.95f);
    EXPECT_EQ(HandleDevice::HallLevel(0.0), 0);
    EXPECT_EQ(HandleDevice::HallLevel(HandleDevice::kHallPeriod / 2), 255);
}

TEST(HandleDevice, StreamsAtItsRateWithoutBursts) {
    const auto t0 = Clock::now();
    HandleDevice h({}, t0, 100.0);
    ASSERT_TRUE(h.NextUnprompted());
    EXPECT_FALSE(h.Unprompted(t0));
    EXPECT_TRUE(h.Unprompted(t0 + milliseconds(10)));
    EXPECT_FALSE(h.Unprompted(t0 + milliseconds(15)));
    // Far behind: one message, then the next a period later.
    const auto late = t0 + milliseconds(1000);
    EXPECT_TRUE(h.Unprompted(late));
    EXPECT_FALSE(h.Unprompted(late));
    EXPECT_EQ(*h.NextUnprompted(), late + milliseconds(10));

    HandleDevice quiet({}, t0);
    EXPECT_FALSE(quiet.NextUnprompted());
}

TEST(Faults, DistortAsAsked) {
    const Message m{0x2B, 1, 2, 3};
    EXPECT_EQ(Distort(m, {}), m);
    EXPECT_TRUE(Distort(m, {.silent = true}).empty());
    EXPECT_EQ(Distort(m, {.wrong_header = true}), (Message{0xD4, 1, 2, 3}));
    EXPECT_EQ(Distort(m, {.short_reply = true}), (Message{0x2B, 1, 2}));
}
