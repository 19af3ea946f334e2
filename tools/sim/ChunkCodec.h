// Unpacks the compressed chunks of a recording: zstd and lz4 (frame format), the two codecs
// MCAP writers use, through the system's libzstd and liblz4.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Orvane::Sim {

// Unpacks `size` bytes of `compression` ("zstd" or "lz4") into `out`, which must come to
// exactly `expected` bytes. The output grows only as the codec delivers data, never by the
// size the file claims, so a forged size cannot make it allocate. False with `error` set
// for an unknown codec, damaged data or a size other than `expected`.
bool Unpack(const std::string& compression, const std::uint8_t* data, std::size_t size,
            std::uint64_t expected, std::string& out, std::string& error);

}  // namespace Orvane::Sim
