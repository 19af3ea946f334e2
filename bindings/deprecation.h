// Deprecated methods warn before their I/O and then do their work whatever the warning
// call reports.
#pragma once

#include <optional>
#include <utility>

#include "bindings.h"

namespace Orvane::HardwareAPI::Python {

// Issues the DeprecationWarning (stack level 1) with the interpreter lock held. When a
// warning filter turns it into an error, the error is taken out of the interpreter at once
// (nothing may run in Python with it pending), the device I/O is still carried out, and
// Surface() raises the error after it.
class Deprecation {
public:
    explicit Deprecation(const char* text) {
        if (PyErr_WarnEx(PyExc_DeprecationWarning, text, 1) != 0) {
            error_.emplace();  // fetches and clears the pending error
        }
    }
    void Surface() {
        if (error_) {
            py::error_already_set error = std::move(*error_);
            error_.reset();
            throw error;
        }
    }

private:
    std::optional<py::error_already_set> error_;
};

}  // namespace Orvane::HardwareAPI::Python
