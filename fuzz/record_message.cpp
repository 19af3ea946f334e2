// The replay's reader of a recording's JSON messages over arbitrary text.
//
// Input: a message's bytes. What reads is a flat object: every value a scalar or an array of
// scalars, and every number the replay takes from it finite.
#include <array>
#include <cmath>
#include <cstdint>
#include <string_view>

#include "FuzzStream.h"
#include "RecordMessage.h"

using OrvaneFuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    nlohmann::json message;
    if (!Orvane::Sim::ReadRecordMessage(text, message)) {
        return 0;
    }
    Check(message.is_object(), "a message read as something else than an object");
    for (const auto& [name, value] : message.items()) {
        Check(!value.is_object(), "an object read inside the message");
        if (value.is_array()) {
            for (const auto& element : value) {
                Check(!element.is_structured(), "an array read inside an array");
            }
        }
        double number = 0;
        std::array<double, 3> numbers{};
        if (Orvane::Sim::RecordNumber(message, name.c_str(), number)) {
            Check(std::isfinite(number), "a non-finite number taken");
        }
        if (Orvane::Sim::RecordNumbers(message, name.c_str(), numbers)) {
            for (double n : numbers) {
                Check(std::isfinite(n), "a non-finite number taken from an array");
            }
        }
    }
    return 0;
}
