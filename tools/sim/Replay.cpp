#include "Replay.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "Options.h"
#include "RecordMessage.h"

namespace Orvane::Sim {
namespace {

// A recorded identity field that fits in `max`, if the recording has one.
template <typename T>
void Field(const std::map<std::string, std::string>& info, const char* name, T& out) {
    const auto it = info.find(name);
    if (it == info.end() || it->second.empty()) {
        return;
    }
    char* end = nullptr;
    const unsigned long v = std::strtoul(it->second.c_str(), &end, 10);
    if (*end == '\0' && v <= static_cast<unsigned long>(static_cast<T>(~T{}))) {
        out = static_cast<T>(v);
    }
}

const std::map<std::string, std::string>* Info(const McapContents& contents) {
    const auto it = contents.metadata.find(kDeviceInfoMetadata);
    return it == contents.metadata.end() ? nullptr : &it->second;
}

// Records from `topic` whose layout `read` accepts, by time, relative to the first.
template <typename Sample, typename Read>
bool Samples(const McapContents& contents, const char* topic, const char* device, Read read,
             Recorded<Sample>& out, std::string& error) {
    out.samples.clear();
    for (const McapMessage& m : contents.messages) {
        nlohmann::json j;
        Sample s;
        if (m.topic == topic && ReadRecordMessage(m.data, j) && read(j, s)) {
            out.samples.push_back(s);
        }
    }
    if (out.samples.empty()) {
        error = std::string("the recording holds no ") + device + " records";
        return false;
    }
    std::stable_sort(out.samples.begin(), out.samples.end(),
                     [](const Sample& a, const Sample& b) { return a.time < b.time; });
    const double t0 = out.samples.front().time;
    for (Sample& s : out.samples) {
        s.time -= t0;
    }
    return true;
}

}  // namespace

bool ArmReplayFrom(const McapContents& contents, Recorded<ArmSample>& out, ArmIdentity& identity,
                   std::string& error) {
    const auto read = [](const nlohmann::json& j, ArmSample& s) {
        return RecordNumber(j, kArmTime, s.time) && RecordNumbers(j, kArmPosition, s.position) &&
               RecordNumbers(j, kArmVelocity, s.velocity);
    };
    if (!Samples(contents, kArmCycleTopic, "arm", read, out, error)) {
        return false;
    }
    if (const auto* info = Info(contents)) {
        Field(*info, "device_id", identity.device_id);
        Field(*info, "device_model_number", identity.model_number);
        Field(*info, "hardware_version", identity.hardware_version);
        Field(*info, "firmware_version", identity.firmware_version);
        const auto uuid = info->find("device_id_ext");
        std::array<std::uint8_t, 16> bytes{};
        if (uuid != info->end() && ParseUuid(uuid->second, bytes)) {
            identity.uuid = bytes;
        }
    }
    return true;
}

bool HandleReplayFrom(const McapContents& contents, Recorded<HandleSample>& out,
                      HandleIdentity& identity, std::string& error) {
    const auto read = [](const nlohmann::json& j, HandleSample& s) {
        double flag = 0;
        if (!RecordNumber(j, kHandleTime, s.time) ||
            !RecordNumbers(j, kHandleQuaternion, s.quaternion) ||
            !RecordNumber(j, kHandleHallEffect, s.hall_effect) ||
            !RecordNumber(j, kHandleErrorFlag, flag)) {
            return false;
        }
        s.hall_effect = std::clamp(s.hall_effect, 0.0, 255.0);
        s.error_flag = static_cast<std::uint8_t>(std::clamp(flag, 0.0, 255.0));
        return true;
    };
    if (!Samples(contents, kHandleSnapshotTopic, "handle", read, out, error)) {
        return false;
    }
    if (const auto* info = Info(contents)) {
        Field(*info, "device_id", identity.device_id);
        Field(*info, "device_model_number", identity.model_number);
        Field(*info, "hardware_version", identity.hardware_version);
        Field(*info, "firmware_version", identity.firmware_version);
        Field(*info, "tool_data_remaining", identity.tool_data_remaining);
    }
    return true;
}

bool LoadArmReplay(const std::string& path, Recorded<ArmSample>& out, ArmIdentity& identity,
                   std::string& error) {
    McapContents contents;
    return ReadMcap(path, contents, error) && ArmReplayFrom(contents, out, identity, error);
}

bool LoadHandleReplay(const std::string& path, Recorded<HandleSample>& out,
                      HandleIdentity& identity, std::string& error) {
    McapContents contents;
    return ReadMcap(path, contents, error) && HandleReplayFrom(contents, out, identity, error);
}

}  // namespace Orvane::Sim
