// An in-memory device end for the fuzz targets: the bytes the "device" sends are the fuzz
// input, and everything the library writes is collected. Reads behave as the serial stream's
// do: a read that finds fewer bytes than asked for comes back short and leaves the stream at
// end-of-file. Writes can be made to fail from a chosen write on, which puts the stream in
// the bad state the way a port that stops accepting bytes does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <streambuf>
#include <string>
#include <vector>

#include <sanitizer/common_interface_defs.h>

namespace OrvaneFuzz {

// Stops the run with a message libFuzzer records as a crash, so that a broken promise of the
// library is a finding just like a sanitizer report. The message goes where sanitizer reports
// go, which stays open when the targets run with standard error closed.
[[noreturn]] inline void Fail(const char* what, long a = 0, long b = 0) {
    const std::string text = std::string("fuzz check failed: ") + what + " (" + std::to_string(a) +
                             ", " + std::to_string(b) + ")";
    __sanitizer_report_error_summary(text.c_str());
    std::abort();
}

inline void Check(bool ok, const char* what, long a = 0, long b = 0) {
    if (!ok) {
        Fail(what, a, b);
    }
}

class DeviceEnd : public std::streambuf {
public:
    // `fail_from_write`: 0 never fails; k makes the k-th block write and every later one fail.
    DeviceEnd(const std::uint8_t* data, std::size_t size, unsigned fail_from_write)
        : fail_from_write_(fail_from_write) {
        // The get area only ever moves forward; nothing is stored through it.
        char* begin = reinterpret_cast<char*>(const_cast<std::uint8_t*>(data));
        setg(begin, begin, begin + size);
    }

    std::size_t Consumed() const { return static_cast<std::size_t>(gptr() - eback()); }
    std::size_t Remaining() const { return static_cast<std::size_t>(egptr() - gptr()); }
    const std::uint8_t* Next() const { return reinterpret_cast<const std::uint8_t*>(gptr()); }
    const std::vector<std::uint8_t>& Written() const { return written_; }

protected:
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        ++writes_;
        if (fail_from_write_ != 0 && writes_ >= fail_from_write_) {
            return 0;
        }
        written_.insert(written_.end(), s, s + n);
        return n;
    }

    int_type overflow(int_type c) override {
        char ch = traits_type::to_char_type(c);
        return traits_type::eq_int_type(c, traits_type::eof()) || xsputn(&ch, 1) == 1
                   ? traits_type::not_eof(c)
                   : traits_type::eof();
    }

private:
    unsigned fail_from_write_;
    unsigned writes_ = 0;
    std::vector<std::uint8_t> written_;
};

// The two control bytes that start every device fuzz input: a schedule that picks which
// operations run in which order, and the write from which writes fail (0: none).
struct Controls {
    std::uint8_t schedule = 0;
    std::uint8_t fail_from_write = 0;
};

inline bool SplitControls(const std::uint8_t*& data, std::size_t& size, Controls& controls) {
    if (size < 2) {
        return false;
    }
    controls.schedule = data[0];
    controls.fail_from_write = data[1];
    data += 2;
    size -= 2;
    return true;
}

inline bool SameBits(const float* a, const float* b, std::size_t n) {
    return std::memcmp(a, b, n * sizeof(float)) == 0;
}

}  // namespace OrvaneFuzz
