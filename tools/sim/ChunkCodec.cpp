#include "ChunkCodec.h"

#include <lz4frame.h>
#include <zstd.h>

#include <memory>

namespace Orvane::Sim {
namespace {

// Output is taken in steps of this much, appended to `out` as it comes.
constexpr std::size_t kStep = 64 * 1024;

bool TooMuch(std::size_t have, std::uint64_t expected, std::string& error) {
    if (have <= expected) {
        return false;
    }
    error = "a chunk unpacks to more than its stated " + std::to_string(expected) + " bytes";
    return true;
}

bool UnpackZstd(const std::uint8_t* data, std::size_t size, std::uint64_t expected,
                std::string& out, std::string& error) {
    std::unique_ptr<ZSTD_DCtx, std::size_t (*)(ZSTD_DCtx*)> ctx(ZSTD_createDCtx(), &ZSTD_freeDCtx);
    if (!ctx) {
        error = "out of memory for zstd";
        return false;
    }
    ZSTD_inBuffer in{data, size, 0};
    char block[kStep];
    std::size_t pending = 1;  // not yet at a frame's end
    while (in.pos < in.size || pending != 0) {
        ZSTD_outBuffer o{block, sizeof block, 0};
        pending = ZSTD_decompressStream(ctx.get(), &o, &in);
        if (ZSTD_isError(pending)) {
            error = std::string("damaged zstd chunk: ") + ZSTD_getErrorName(pending);
            return false;
        }
        out.append(block, o.pos);
        if (TooMuch(out.size(), expected, error)) {
            return false;
        }
        if (o.pos == 0 && in.pos == in.size && pending != 0) {
            error = "a zstd chunk ends inside a frame";
            return false;
        }
    }
    return true;
}

bool UnpackLz4(const std::uint8_t* data, std::size_t size, std::uint64_t expected, std::string& out,
               std::string& error) {
    LZ4F_dctx* raw = nullptr;
    if (LZ4F_isError(LZ4F_createDecompressionContext(&raw, LZ4F_VERSION))) {
        error = "out of memory for lz4";
        return false;
    }
    std::unique_ptr<LZ4F_dctx, LZ4F_errorCode_t (*)(LZ4F_dctx*)> ctx(
        raw, &LZ4F_freeDecompressionContext);
    char block[kStep];
    std::size_t at = 0;
    std::size_t hint = 1;  // 0 once a frame is complete
    while (at < size) {
        std::size_t produced = sizeof block;
        std::size_t consumed = size - at;
        hint = LZ4F_decompress(ctx.get(), block, &produced, data + at, &consumed, nullptr);
        if (LZ4F_isError(hint)) {
            error = std::string("damaged lz4 chunk: ") + LZ4F_getErrorName(hint);
            return false;
        }
        at += consumed;
        out.append(block, produced);
        if (TooMuch(out.size(), expected, error)) {
            return false;
        }
        if (produced == 0 && consumed == 0) {
            break;  // no progress: the input ends inside a frame
        }
    }
    // Output held back inside the codec comes out with no further input.
    while (hint != 0) {
        std::size_t produced = sizeof block;
        std::size_t consumed = 0;
        hint = LZ4F_decompress(ctx.get(), block, &produced, data + at, &consumed, nullptr);
        if (LZ4F_isError(hint) || produced == 0) {
            error = "an lz4 chunk ends inside a frame";
            return false;
        }
        out.append(block, produced);
        if (TooMuch(out.size(), expected, error)) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool Unpack(const std::string& compression, const std::uint8_t* data, std::size_t size,
            std::uint64_t expected, std::string& out, std::string& error) {
    out.clear();
    bool ok = false;
    if (compression == "zstd") {
        ok = UnpackZstd(data, size, expected, out, error);
    } else if (compression == "lz4") {
        ok = UnpackLz4(data, size, expected, out, error);
    } else {
        error = "a chunk is compressed with " + compression + ", which replay cannot read";
        return false;
    }
    if (ok && out.size() != expected) {
        error = "a chunk unpacks to " + std::to_string(out.size()) + " bytes, not its stated " +
                std::to_string(expected);
        ok = false;
    }
    return ok;
}

}  // namespace Orvane::Sim
