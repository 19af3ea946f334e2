#include "McapReader.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace Orvane::Sim {
namespace {

constexpr std::array<std::uint8_t, 8> kMagic{0x89, 'M', 'C', 'A', 'P', '0', '\r', '\n'};

namespace Op {
constexpr std::uint8_t kFooter = 0x02;
constexpr std::uint8_t kChannel = 0x04;
constexpr std::uint8_t kMessage = 0x05;
constexpr std::uint8_t kChunk = 0x06;
constexpr std::uint8_t kMetadata = 0x0C;
}  // namespace Op

// Little-endian fields of one record; every read fails (and stays failed) past its end.
class Cursor {
public:
    Cursor(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool Ok() const { return ok_; }
    std::size_t Left() const { return ok_ ? size_ - at_ : 0; }
    const std::uint8_t* Here() const { return data_ + at_; }

    std::uint64_t Uint(std::size_t bytes) {
        if (!Take(bytes)) {
            return 0;
        }
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < bytes; ++i) {
            v |= std::uint64_t{data_[at_ - bytes + i]} << (8 * i);
        }
        return v;
    }
    std::string Bytes(std::uint64_t n) {
        if (n > Left() || !Take(static_cast<std::size_t>(n))) {
            ok_ = false;
            return {};
        }
        return std::string(reinterpret_cast<const char*>(data_ + at_ - n), n);
    }
    std::string String() { return Bytes(Uint(4)); }
    std::map<std::string, std::string> Map() {
        const std::uint64_t n = Uint(4);
        if (!ok_ || n > Left()) {
            ok_ = false;
            return {};
        }
        Cursor inner(Here(), static_cast<std::size_t>(n));
        Take(static_cast<std::size_t>(n));
        std::map<std::string, std::string> out;
        while (inner.Ok() && inner.Left() > 0) {
            std::string key = inner.String();
            std::string value = inner.String();
            if (inner.Ok()) {
                out[std::move(key)] = std::move(value);
            }
        }
        ok_ = ok_ && inner.Ok();
        return out;
    }

private:
    bool Take(std::size_t n) {
        if (!ok_ || n > size_ - at_) {
            ok_ = false;
            return false;
        }
        at_ += n;
        return true;
    }

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
    bool ok_ = true;
};

class Parser {
public:
    Parser(McapContents& out, std::string& error) : out_(out), error_(error) {}

    // Reads records until the end; a record cut short ends the data where it starts.
    // Chunks never nest, so one inside a chunk is passed over.
    bool Records(const std::uint8_t* data, std::size_t size, bool in_chunk = false) {
        Cursor c(data, size);
        while (c.Left() >= 9) {
            const auto opcode = static_cast<std::uint8_t>(c.Uint(1));
            const std::uint64_t length = c.Uint(8);
            if (length > c.Left()) {
                return true;  // cut off
            }
            const std::uint8_t* body = c.Here();
            c.Bytes(length);
            if (in_chunk && opcode == Op::kChunk) {
                continue;
            }
            if (!Record(opcode, body, static_cast<std::size_t>(length))) {
                return false;
            }
            if (opcode == Op::kFooter) {
                out_.complete = true;
                return true;
            }
        }
        return true;
    }

private:
    bool Record(std::uint8_t opcode, const std::uint8_t* body, std::size_t size) {
        Cursor c(body, size);
        switch (opcode) {
            case Op::kChannel: {
                const auto id = static_cast<std::uint16_t>(c.Uint(2));
                c.Uint(2);  // schema
                std::string topic = c.String();
                if (c.Ok()) {
                    topics_[id] = std::move(topic);
                }
                return true;
            }
            case Op::kMessage: {
                const auto channel = static_cast<std::uint16_t>(c.Uint(2));
                c.Uint(4);  // sequence
                McapMessage m;
                m.log_time = c.Uint(8);
                c.Uint(8);  // publish time
                m.data = c.Bytes(c.Left());
                const auto topic = topics_.find(channel);
                if (c.Ok() && topic != topics_.end()) {
                    m.topic = topic->second;
                    out_.messages.push_back(std::move(m));
                }
                return true;
            }
            case Op::kChunk: {
                c.Uint(8);  // start time
                c.Uint(8);  // end time
                c.Uint(8);  // uncompressed size
                c.Uint(4);  // crc
                const std::string compression = c.String();
                const std::uint64_t n = c.Uint(8);
                if (!c.Ok() || n > c.Left()) {
                    return true;  // a chunk cut short: nothing of it counts
                }
                if (!compression.empty()) {
                    error_ = "a chunk is compressed (" + compression +
                             "); only uncompressed recordings replay";
                    return false;
                }
                return Records(c.Here(), static_cast<std::size_t>(n), true);
            }
            case Op::kMetadata: {
                std::string name = c.String();
                auto values = c.Map();
                if (c.Ok()) {
                    out_.metadata[std::move(name)] = std::move(values);
                }
                return true;
            }
            default:
                return true;  // indexes, statistics and the rest say nothing new
        }
    }

    McapContents& out_;
    std::string& error_;
    std::map<std::uint16_t, std::string> topics_;
};

}  // namespace

bool ParseMcap(const std::vector<std::uint8_t>& bytes, McapContents& out, std::string& error) {
    out = {};
    if (bytes.size() < kMagic.size() ||
        std::memcmp(bytes.data(), kMagic.data(), kMagic.size()) != 0) {
        error = "not an MCAP file";
        return false;
    }
    Parser parser(out, error);
    return parser.Records(bytes.data() + kMagic.size(), bytes.size() - kMagic.size());
}

bool ReadMcap(const std::string& path, McapContents& out, std::string& error) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!f) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    std::vector<std::uint8_t> bytes;
    std::uint8_t block[65536];
    std::size_t n = 0;
    while ((n = std::fread(block, 1, sizeof block, f.get())) > 0) {
        bytes.insert(bytes.end(), block, block + n);
    }
    if (std::ferror(f.get())) {
        error = "cannot read " + path;
        return false;
    }
    if (!ParseMcap(bytes, out, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

}  // namespace Orvane::Sim
