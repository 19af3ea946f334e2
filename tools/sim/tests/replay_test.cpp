#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <string>

#include "ArmDevice.h"
#include "HandleDevice.h"
#include "McapReader.h"
#include "Orvane/HardwareAPI/Protocol.h"
#include "RecordMessage.h"
#include "Replay.h"

using namespace Orvane::Sim;
namespace P = Orvane::HardwareAPI::Protocol;
using std::chrono::milliseconds;

namespace {

// Just enough of an MCAP writer for the files below: records with little-endian fields.
struct McapBytes {
    std::vector<std::uint8_t> bytes{0x89, 'M', 'C', 'A', 'P', '0', '\r', '\n'};

    static void Uint(std::vector<std::uint8_t>& to, std::uint64_t v, int n) {
        for (int i = 0; i < n; ++i) {
            to.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        }
    }
    static void Str(std::vector<std::uint8_t>& to, const std::string& s) {
        Uint(to, s.size(), 4);
        to.insert(to.end(), s.begin(), s.end());
    }
    static void Record(std::vector<std::uint8_t>& to, std::uint8_t op,
                       const std::vector<std::uint8_t>& body) {
        to.push_back(op);
        Uint(to, body.size(), 8);
        to.insert(to.end(), body.begin(), body.end());
    }
    static std::vector<std::uint8_t> Channel(std::uint16_t id, const std::string& topic) {
        std::vector<std::uint8_t> b, out;
        Uint(b, id, 2), Uint(b, 1, 2), Str(b, topic), Str(b, "json"), Uint(b, 0, 4);
        Record(out, 0x04, b);
        return out;
    }
    static std::vector<std::uint8_t> Message(std::uint16_t channel, const std::string& json) {
        std::vector<std::uint8_t> b, out;
        Uint(b, channel, 2), Uint(b, 0, 4), Uint(b, 1, 8), Uint(b, 1, 8);
        b.insert(b.end(), json.begin(), json.end());
        Record(out, 0x05, b);
        return out;
    }
    void Metadata(const std::string& name,
                  const std::vector<std::pair<std::string, std::string>>& values) {
        std::vector<std::uint8_t> b, pairs;
        for (const auto& [key, value] : values) {
            Str(pairs, key), Str(pairs, value);
        }
        Str(b, name), Uint(b, pairs.size(), 4);
        b.insert(b.end(), pairs.begin(), pairs.end());
        Record(bytes, 0x0C, b);
    }
    void Chunk(const std::vector<std::uint8_t>& records, const std::string& compression = "",
               std::uint32_t crc = 0) {
        std::vector<std::uint8_t> b;
        Uint(b, 0, 8), Uint(b, 0, 8), Uint(b, records.size(), 8), Uint(b, crc, 4);
        Str(b, compression), Uint(b, records.size(), 8);
        b.insert(b.end(), records.begin(), records.end());
        Record(bytes, 0x06, b);
    }
};

std::string Cycle(double t, double x, double vx) {
    return "{\"time\":" + std::to_string(t) + ",\"sequence\":1,\"position\":[" + std::to_string(x) +
           ",0.5,-1e-1],\"velocity\":[" + std::to_string(vx) +
           ",0,0],\"force\":[0,0,0],\"clamped\":false,\"exchange_us\":null}";
}

// Two chunks of arm cycles, x = 0.1 at 10 s and 0.3 at 12 s; the second chunk's times are
// earlier than the first's to show the records are ordered by their own time.
McapBytes ArmFile() {
    McapBytes f;
    f.Metadata("device_info",
               {{"device_id", "7"}, {"device_id_ext", "000102030405060708090a0b0c0d0e0f"}});
    auto first = McapBytes::Channel(1, kArmCycleTopic);
    auto m = McapBytes::Message(1, Cycle(12.0, 0.3, 2.0));
    first.insert(first.end(), m.begin(), m.end());
    f.Chunk(first);
    f.Chunk(McapBytes::Message(1, Cycle(10.0, 0.1, 1.0)));
    return f;
}

Vec3 Floats(const Message& reply, std::size_t offset) {
    float v[3];
    P::GetF32x3(reply.data() + offset, v);
    return {v[0], v[1], v[2]};
}

}  // namespace

TEST(RecordMessage, ReadsNumbersFlagsNullsAndArrays) {
    nlohmann::json j;
    ASSERT_TRUE(ReadRecordMessage(Cycle(1.5, -2e-3, 0) + " ", j));
    double t = 0;
    std::array<double, 3> p{};
    ASSERT_TRUE(RecordNumber(j, "time", t));
    EXPECT_EQ(t, 1.5);
    ASSERT_TRUE(RecordNumbers(j, "position", p));
    EXPECT_EQ(p, (std::array<double, 3>{-0.002, 0.5, -0.1}));
    // A flag, a null (a non-finite value) and a short array are no numbers.
    EXPECT_FALSE(RecordNumber(j, "clamped", t));
    EXPECT_FALSE(RecordNumber(j, "exchange_us", t));
    EXPECT_FALSE(RecordNumber(j, "missing", t));
    EXPECT_FALSE(RecordNumbers(j, "time", p));
    ASSERT_TRUE(ReadRecordMessage(R"({"time":"1","v":[1,"x",3]})", j));
    EXPECT_FALSE(RecordNumber(j, "time", t));
    EXPECT_FALSE(RecordNumbers(j, "v", p));

    const std::string deep = "{\"a\":" + std::string(1 << 20, '[');
    for (const std::string& bad :
         {std::string(), std::string("{"), std::string("{\"a\":}"), std::string("{\"a\":[1,}"),
          std::string("{\"a\":1}x"), std::string("[1]"), std::string("1"),
          std::string("{\"a\":[[1],2,3,4]}"), std::string("{\"a\":{}}"), std::string("{\"a\":NaN}"),
          std::string("{\"a\":1e999}"), std::string("{\"a\":01}"), deep}) {
        EXPECT_FALSE(ReadRecordMessage(bad, j)) << bad.substr(0, 20);
    }
}

// Cut anywhere, the file reads as the whole records before the cut.
TEST(McapReader, ReadsUpToTheLastWholeChunk) {
    const McapBytes f = ArmFile();
    McapContents whole;
    std::string error;
    ASSERT_TRUE(ParseMcap(f.bytes, whole, error)) << error;
    ASSERT_EQ(whole.messages.size(), 2u);
    EXPECT_EQ(whole.messages[0].topic, kArmCycleTopic);
    EXPECT_EQ(whole.metadata["device_info"]["device_id"], "7");
    std::size_t seen = 0;
    for (std::size_t cut = 8; cut < f.bytes.size(); ++cut) {
        McapContents part;
        const std::vector<std::uint8_t> head(f.bytes.begin(), f.bytes.begin() + cut);
        ASSERT_TRUE(ParseMcap(head, part, error)) << cut;
        EXPECT_GE(part.messages.size(), seen);
        seen = part.messages.size();
    }
    EXPECT_EQ(seen, 1u);
}

// What does not check out is refused whole, with where and why.
TEST(McapReader, RefusesDamageUnknownCodecsAndOtherFiles) {
    const auto refused = [](const McapBytes& f, const char* why) {
        McapContents c;
        std::string error;
        EXPECT_FALSE(ParseMcap(f.bytes, c, error)) << why;
        EXPECT_NE(error.find(why), std::string::npos) << error;
    };
    const auto records = McapBytes::Channel(1, kArmCycleTopic);
    McapBytes bz2, zstd, bomb, crc, cut = ArmFile();
    bz2.Chunk(records, "bz2");
    refused(bz2, "compressed with bz2");
    zstd.Chunk(records, "zstd");
    refused(zstd, "damaged at byte 8: damaged zstd chunk");
    bomb.Chunk(records, "zstd");
    bomb.bytes[8 + 9 + 16 + 4] = 1;  // its unpacked size: 4 GiB more
    refused(bomb, "claims to unpack to 42949");
    crc.Chunk(records, "", 0x12345678);
    refused(crc, "fails its CRC check");
    // A finished file (closing magic) whose last chunk runs past the end is damaged, not cut.
    cut.bytes.resize(cut.bytes.size() - 4);
    cut.bytes.insert(cut.bytes.end(), cut.bytes.begin(), cut.bytes.begin() + 8);
    refused(cut, "runs past the end");
    McapContents c;
    std::string error;
    EXPECT_FALSE(ParseMcap({'{', '}'}, c, error));
    EXPECT_EQ(error, "not an MCAP file");
}

// The replaying arm answers the wake-up with the recorded identity and each force request
// with the recorded state at the replay clock's time, interpolated.
TEST(ArmReplay, AnswersWithTheRecordedStates) {
    McapContents c;
    std::string error;
    ASSERT_TRUE(ParseMcap(ArmFile().bytes, c, error));
    ArmIdentity id;
    Recorded<ArmSample> recording;
    ASSERT_TRUE(ArmReplayFrom(c, recording, id, error)) << error;
    EXPECT_EQ(id.device_id, 7);
    EXPECT_EQ(id.uuid[15], 0x0f);
    ArmDevice arm(id);
    arm.Replay(recording, ReplayClock(2.0, false));

    const Clock::time_point t0{};
    std::vector<Message> replies;
    const std::uint8_t wakeup = P::Arm::kWakeup;
    arm.Receive(&wakeup, 1, t0, replies);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(P::GetU16(replies[0].data() + 1 + P::Arm::kInfoDeviceId), 7);
    Message force(P::Arm::kVectorRequestSize, 0);
    force[0] = P::Arm::kForce;
    // At twice the speed: 0 s, then 0.25 s (0.5 s in: a quarter of the way) and 5 s (held).
    for (auto [at, x, vx] : {std::tuple{0, 0.1, 1.0}, {250, 0.15, 1.25}, {5000, 0.3, 2.0}}) {
        replies.clear();
        arm.Receive(force.data(), force.size(), t0 + milliseconds(at + 1), replies);
        ASSERT_EQ(replies.size(), 1u);
        EXPECT_NEAR(Floats(replies[0], 1 + P::Arm::kStatePosition)[0], x, 1e-6) << at;
        EXPECT_NEAR(Floats(replies[0], 1 + P::Arm::kStateVelocity)[0], vx, 1e-6) << at;
    }
    McapContents none;
    EXPECT_FALSE(ArmReplayFrom(none, recording, id, error));
}

// The replaying arm's joint state is that of the recorded position; out of reach, finite.
TEST(ArmReplay, JointAnglesReachTheRecordedPosition) {
    for (const Vec3& q : {ArmModel::kHome, Vec3{0.7, -0.2, -2.0}, Vec3{-0.9, 1.2, -0.5}}) {
        const Vec3 p = ArmModel::ForwardKinematics(q);
        const Vec3 found = ArmModel::ForwardKinematics(ArmModel::InverseKinematics(p, {}));
        for (int k = 0; k < 3; ++k) {
            EXPECT_NEAR(found[k], p[k], 1e-7);
        }
    }
    for (double c : ArmModel::InverseKinematics({2.0, 0.0, 0.0}, ArmModel::kHome)) {
        EXPECT_TRUE(std::isfinite(c));
    }
}

TEST(ReplayClock, LoopsOrHolds) {
    const Clock::time_point t0{};
    ReplayClock looping(1.0, true), holding(1.0, false);
    EXPECT_EQ(looping.Seconds(t0, 2.0), 0.0);
    EXPECT_EQ(holding.Seconds(t0, 2.0), 0.0);
    EXPECT_NEAR(looping.Seconds(t0 + milliseconds(2500), 2.0), 0.5, 1e-9);
    EXPECT_EQ(holding.Seconds(t0 + milliseconds(2500), 2.0), 2.0);
}

TEST(HandleReplay, StatusCarriesTheRecordedOrientation) {
    McapBytes f;
    auto records = McapBytes::Channel(2, kHandleSnapshotTopic);
    for (
        const char* m :
        {R"({"time":1,"sequence":1,"quaternion":[1,0,0,0],"hall_effect":10,"error_flag":0})",
         R"({"time":2,"sequence":2,"quaternion":[-0.6,0,0,-0.8],"hall_effect":20,"error_flag":3})"}) {
        auto r = McapBytes::Message(2, m);
        records.insert(records.end(), r.begin(), r.end());
    }
    f.Chunk(records);
    McapContents c;
    std::string error;
    ASSERT_TRUE(ParseMcap(f.bytes, c, error));
    HandleIdentity id;
    Recorded<HandleSample> recording;
    ASSERT_TRUE(HandleReplayFrom(c, recording, id, error)) << error;
    const Clock::time_point t0{};
    HandleDevice handle(id, t0);
    handle.Replay(recording, ReplayClock(1.0, false));
    handle.Status(t0);  // the replay clock starts
    const Message m = handle.Status(t0 + milliseconds(500));
    const std::uint8_t* p = m.data() + 1;
    EXPECT_EQ(p[P::HandleMsg::kStatusHallEffect], 15);
    EXPECT_EQ(p[P::HandleMsg::kStatusErrorFlag], 0);
    // Halfway from the identity to (0.6, 0, 0, 0.8), given as its negative: the same turn.
    EXPECT_NEAR(P::GetF32(p + P::HandleMsg::kStatusQuaternion), 0.8 / std::sqrt(0.8), 1e-6);
    EXPECT_NEAR(P::GetF32(p + P::HandleMsg::kStatusQuaternion + 12), 0.4 / std::sqrt(0.8), 1e-6);
}
