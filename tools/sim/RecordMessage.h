// The JSON messages of a recording: an object whose values are numbers, booleans, null,
// strings or arrays of those. Nothing the replay reads lies deeper, so a message that nests
// further is refused as soon as the parser gets there, before it holds any of it.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include <nlohmann/json.hpp>

namespace Orvane::Sim {

// False for text that is not such an object (`out` then holds what was read before).
bool ReadRecordMessage(std::string_view text, nlohmann::json& out);

// The finite number `name` holds: not a boolean, not null (the recorder writes non-finite
// values as null).
bool RecordNumber(const nlohmann::json& message, const char* name, double& out);

// The `size` finite numbers of the array `name` holds.
bool RecordNumbers(const nlohmann::json& message, const char* name, double* out, std::size_t size);
template <std::size_t N>
bool RecordNumbers(const nlohmann::json& message, const char* name, std::array<double, N>& out) {
    return RecordNumbers(message, name, out.data(), N);
}

}  // namespace Orvane::Sim
