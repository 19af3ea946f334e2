// The arm's answer to a wake-up as a dict, the same keys wherever Python sees it: the
// module's device_wakeup_dict and a servo loop's device_info.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdio>
#include <string>

#include "Orvane/HardwareAPI/DeviceInfo.h"

namespace Orvane::HardwareAPI::Python {

namespace py = pybind11;

inline std::string IdentifierHex(const UUID& uuid) {
    std::string text;
    text.reserve(2 * uuid.bytes.size());
    for (std::uint8_t byte : uuid.bytes) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02x", byte);
        text += digits;
    }
    return text;
}

// device_id_ext is the arm's 16-byte identifier as a uuid.UUID.
inline py::dict DeviceInfoDict(const DeviceInfo& info) {
    py::object identifier =
        py::module_::import("uuid").attr("UUID")(py::arg("hex") = IdentifierHex(info.uuid));
    py::dict out;
    out["device_id"] = info.device_id;
    out["device_model_number"] = info.model_number;
    out["hardware_version"] = info.hardware_version;
    out["firmware_version"] = info.firmware_version;
    out["device_id_ext"] = identifier;
    return out;
}

}  // namespace Orvane::HardwareAPI::Python
