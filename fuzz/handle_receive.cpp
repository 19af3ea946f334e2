// The handle's Receive loop over whatever a device sends.
//
// Input: a schedule byte, a write-failure byte (FuzzStream.h), then the bytes on the line.
// Receive is called until the stream fails, with a request sent between calls as the
// schedule says. Each call is checked against the bytes it consumed: a recognised header is
// followed by its payload, the callbacks see the fields of those bytes in the documented
// order, an unknown header consumes only itself, and once the stream has failed every call
// returns -1 without reading, calling back or writing.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <iostream>

#include "FuzzStream.h"
#include "Orvane/HardwareAPI/Handle.h"
#include "Orvane/HardwareAPI/Protocol.h"

namespace {

namespace Msg = Orvane::HardwareAPI::Protocol::HandleMsg;
using Orvane::HardwareAPI::Devices::Handle;
using Orvane::HardwareAPI::Devices::HandleErrorResponse;
using Orvane::HardwareAPI::Devices::HandleInfo;
using Orvane::HardwareAPI::Devices::HandleStatusMessage;
using OrvaneFuzz::Check;

// Remembers what the field-by-field callback saw and checks that the record callback of the
// same message follows it with the same values.
class RecordingHandle : public Handle {
public:
    using Handle::Handle;

    enum Kind { kNone, kInfo, kStatus, kError };
    Kind pending = kNone;  // field callback seen, record callback not yet
    Kind last = kNone;     // the message whose record callback ran last
    int calls = 0;

    HandleInfo info{};
    HandleErrorResponse error{};
    std::uint16_t status_id = 0;
    float quaternion[4] = {};
    std::uint8_t error_flag = 0, hall = 0, user_length = 0;
    std::array<std::uint8_t, 256> user{};

    void OnReceiveHandleInfo(std::uint8_t tool, std::uint16_t id, std::uint8_t model,
                             std::uint8_t hardware, std::uint8_t firmware) override {
        Begin(kInfo);
        info = {id, tool, model, hardware, firmware};
    }
    void OnReceiveHandleInfoRecord(const HandleInfo& r) override {
        End(kInfo);
        Check(r.device_id == info.device_id && r.tool_data_remaining == info.tool_data_remaining &&
                  r.device_model_number == info.device_model_number &&
                  r.hardware_version == info.hardware_version &&
                  r.firmware_version == info.firmware_version,
              "info record differs from the field callback");
    }

    void OnReceiveHandleStatusMessage(std::uint16_t id, const float* q, std::uint8_t flag,
                                      std::uint8_t level, std::uint8_t length,
                                      const std::uint8_t* data) override {
        Begin(kStatus);
        status_id = id;
        std::memcpy(quaternion, q, sizeof quaternion);  // every component must be readable
        error_flag = flag;
        hall = level;
        user_length = length;
        std::copy_n(data, length, user.begin());  // and every user data byte
    }
    void OnReceiveHandleStatusMessageRecord(const HandleStatusMessage& r) override {
        End(kStatus);
        Check(r.device_id == status_id && r.error_flag == error_flag &&
                  r.hall_effect_sensor_level == hall && r.user_data_length == user_length &&
                  OrvaneFuzz::SameBits(r.quaternion, quaternion, 4),
              "status record differs from the field callback");
        Check(std::equal(user.begin(), user.begin() + user_length, r.user_data.begin()),
              "status record user data differs");
        Check(std::all_of(r.user_data.begin() + user_length, r.user_data.end(),
                          [](std::uint8_t b) { return b == 0; }),
              "status record user data not zero past its length", user_length);
    }

    void OnReceiveHandleErrorResponse(std::uint16_t id, std::uint8_t code) override {
        Begin(kError);
        error = {id, code};
    }
    void OnReceiveHandleErrorResponseRecord(const HandleErrorResponse& r) override {
        End(kError);
        Check(r.device_id == error.device_id && r.error_code == error.error_code,
              "error record differs from the field callback");
    }

private:
    void Begin(Kind k) {
        Check(pending == kNone, "field callback without the record callback before it", k);
        pending = k;
        ++calls;
    }
    void End(Kind k) {
        Check(pending == k, "record callback does not follow its field callback", k, pending);
        pending = kNone;
        last = k;
        ++calls;
    }
};

// One request between two receives; checks that it reaches the line exactly when the
// stream is still good.
void SendOne(RecordingHandle& handle, OrvaneFuzz::DeviceEnd& end, std::iostream& stream,
             unsigned which, const std::uint8_t* data, std::size_t available) {
    const bool good = stream.good();
    const std::size_t before = end.Written().size();
    std::size_t expected = 1;
    switch (which % 4) {
        case 0:
            return;
        case 1:
            handle.SendDeviceWakeup();
            break;
        case 2:
            handle.RequestStatus();
            break;
        case 3: {
            // The user data comes from the line itself, its length from the next byte.
            const std::uint8_t length = static_cast<std::uint8_t>(
                std::min<std::size_t>(available ? data[0] : 0, available));
            handle.SendHandleState(0x1234, length, data);
            expected = Msg::kStateHeaderSize + length;
            break;
        }
    }
    const std::size_t sent = end.Written().size() - before;
    if (!good) {
        Check(sent == 0, "request written on a failed stream", static_cast<long>(sent));
    } else if (stream.good()) {
        Check(sent == expected, "request length", static_cast<long>(sent),
              static_cast<long>(expected));
    } else {
        Check(sent == 0 && stream.bad() && !stream.eof(), "failed write state");
    }
}

void CheckReceive(int result, const RecordingHandle& handle, int calls_before,
                  const std::uint8_t* at, std::size_t available, std::size_t consumed,
                  bool was_good, bool now_good) {
    const int callbacks = handle.calls - calls_before;
    Check(handle.pending == RecordingHandle::kNone, "record callback missing");
    if (!was_good || available == 0) {
        Check(result == -1 && callbacks == 0 && consumed == 0,
              "receive on a failed or empty stream", result, callbacks);
        return;
    }
    const std::uint8_t header = at[0];
    const std::uint8_t* payload = at + 1;
    const std::size_t left = available - 1;
    switch (header) {
        case Msg::kInfo:
        case Msg::kErrorResponse: {
            const std::size_t size = header == Msg::kInfo ? Msg::kInfoPayload : Msg::kErrorPayload;
            Check(callbacks == 2, "one message, two callbacks", callbacks);
            if (left < size) {
                Check(result == 0 && !now_good && consumed == available, "short fixed message",
                      result);
                return;
            }
            Check(result == static_cast<int>(size) && consumed == size + 1 && now_good,
                  "complete fixed message", result, static_cast<long>(consumed));
            if (header == Msg::kInfo) {
                Check(handle.last == RecordingHandle::kInfo &&
                          handle.info.tool_data_remaining == payload[0] &&
                          handle.info.device_id == (payload[1] | payload[2] << 8) &&
                          handle.info.device_model_number == payload[3] &&
                          handle.info.hardware_version == payload[4] &&
                          handle.info.firmware_version == payload[5],
                      "information fields");
            } else {
                Check(handle.last == RecordingHandle::kError &&
                          handle.error.device_id == (payload[0] | payload[1] << 8) &&
                          handle.error.error_code == payload[2],
                      "error response fields");
            }
            return;
        }
        case Msg::kStatus: {
            Check(callbacks == 2 && handle.last == RecordingHandle::kStatus,
                  "status message callbacks", callbacks);
            if (left < Msg::kStatusFixedPayload) {
                Check(result == 0 && !now_good && consumed == available, "short status", result);
                return;
            }
            const std::uint8_t length = payload[Msg::kStatusUserDataLength];
            Check(handle.user_length == length && handle.error_flag == payload[2] &&
                      handle.hall == payload[3] &&
                      handle.status_id == (payload[0] | payload[1] << 8) &&
                      std::memcmp(handle.quaternion, payload + 4, 16) == 0,
                  "status fields");
            const std::size_t data_left = left - Msg::kStatusFixedPayload;
            if (data_left < length) {
                Check(result == 21 && !now_good && consumed == available,
                      "status with short user data", result);
                return;
            }
            Check(result == 21 + length && now_good && consumed == 22u + length, "complete status",
                  result, static_cast<long>(consumed));
            Check(std::memcmp(handle.user.data(), payload + 21, length) == 0, "status user data");
            return;
        }
        default:
            Check(result == -1 && callbacks == 0 && consumed == 1 && now_good,
                  "unknown header consumes only itself", result, static_cast<long>(consumed));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    OrvaneFuzz::Controls controls;
    if (!OrvaneFuzz::SplitControls(data, size, controls)) {
        return -1;
    }
    OrvaneFuzz::DeviceEnd end(data, size, controls.fail_from_write);
    std::iostream stream(&end);
    RecordingHandle handle(stream);

    // Every call either consumes a byte or finds the stream failed, so this ends; the two
    // extra rounds check that a failed stream stays quiet.
    int after_failure = 0;
    for (unsigned round = 0; after_failure < 2; ++round) {
        SendOne(handle, end, stream, controls.schedule >> (2 * (round % 4)), end.Next(),
                end.Remaining());
        const bool was_good = stream.good();
        const std::uint8_t* at = end.Next();
        const std::size_t available = end.Remaining();
        const std::size_t before = end.Consumed();
        const int calls = handle.calls;
        const int result = handle.Receive();
        CheckReceive(result, handle, calls, at, available, end.Consumed() - before, was_good,
                     stream.good());
        if (!stream.good()) {
            ++after_failure;
        }
    }
    return 0;
}
