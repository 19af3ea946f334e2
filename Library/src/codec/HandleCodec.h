// Every message between the host and the handle, both ways, over byte spans.
//
// Encoders write a whole message (header byte first) at the start of `out` and return its
// size; one that does not fit writes nothing and returns 0. Decoders of the handle's
// messages take the payload, the bytes after the header; one that is shorter than the
// message leaves its record as it was and returns false. The layouts themselves are the
// constants of Protocol.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Orvane/HardwareAPI/Handle.h"
#include "Orvane/HardwareAPI/Protocol.h"
#include "codec/Bytes.h"

namespace Orvane::HardwareAPI::Codec::Handle {

// Whole messages, header included.
inline constexpr std::size_t kInfoSize = 1 + Protocol::HandleMsg::kInfoPayload;
inline constexpr std::size_t kErrorResponseSize = 1 + Protocol::HandleMsg::kErrorPayload;
inline constexpr std::size_t kStatusFixedSize = 1 + Protocol::HandleMsg::kStatusFixedPayload;
inline constexpr std::size_t kLargestStatusSize =
    kStatusFixedSize + Protocol::HandleMsg::kMaxUserData;
inline constexpr std::size_t kLargestStateSize =
    Protocol::HandleMsg::kStateHeaderSize + Protocol::HandleMsg::kMaxUserData;

// Host to handle.
std::size_t EncodeWakeup(Bytes out);
std::size_t EncodeStatusRequest(Bytes out);
// More user data than one length byte can announce is not encoded (0).
std::size_t EncodeState(Bytes out, std::uint16_t device_id, ConstBytes user_data);

// The handle's side of the requests: the size of the request that `pending` starts, 0 while
// the bytes so far cannot tell, or kNoMessage for a first byte that starts none.
std::size_t RequestSize(ConstBytes pending);
// A whole state message (header included): its device id and its user data, which points
// into `request`. False for a request that is not one or is cut short.
bool DecodeState(ConstBytes request, std::uint16_t& device_id, ConstBytes& user_data);

// Handle to host. The host's framing: the size of the message that `pending` starts, 0 while
// the bytes so far cannot tell, or kNoMessage for a first byte that starts none.
std::size_t MessageSize(ConstBytes pending);

std::size_t EncodeInfo(Bytes out, const Devices::HandleInfo& info);
bool DecodeInfo(ConstBytes payload, Devices::HandleInfo& info);

// Writes the first user_data_length bytes of the record's user data.
std::size_t EncodeStatus(Bytes out, const Devices::HandleStatusMessage& status);
// The fixed part alone, for a reader that takes the user data in a second read; the record's
// user data is left as it was.
bool DecodeStatusHead(ConstBytes payload, Devices::HandleStatusMessage& status);
// The whole message, user data included; the record's user data past its length is zero.
bool DecodeStatus(ConstBytes payload, Devices::HandleStatusMessage& status);

std::size_t EncodeErrorResponse(Bytes out, const Devices::HandleErrorResponse& error);
bool DecodeErrorResponse(ConstBytes payload, Devices::HandleErrorResponse& error);

}  // namespace Orvane::HardwareAPI::Codec::Handle
