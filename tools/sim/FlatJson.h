// The JSON objects of a recording's messages are flat: each name holds a number, a
// boolean, null, a string or an array of numbers. This parser reads exactly that, with
// every value as doubles (true 1, false 0, null NaN); strings are skipped.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace Orvane::Sim {

using FlatJson = std::map<std::string, std::vector<double>, std::less<>>;

// False for text that is not such an object.
bool ParseFlatJson(std::string_view text, FlatJson& out);

}  // namespace Orvane::Sim
