#include "McapReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "ChunkCodec.h"

namespace Orvane::Sim {
namespace {

constexpr std::array<std::uint8_t, 8> kMagic{0x89, 'M', 'C', 'A', 'P', '0', '\r', '\n'};

namespace Op {
constexpr std::uint8_t kFooter = 0x02;
constexpr std::uint8_t kChannel = 0x04;
constexpr std::uint8_t kMessage = 0x05;
constexpr std::uint8_t kChunk = 0x06;
constexpr std::uint8_t kMetadata = 0x0C;
constexpr std::uint8_t kDataEnd = 0x0F;
}  // namespace Op

// A compressed chunk may unpack to at most this many times its size: far beyond what a
// recording's text compresses to, so what is held stays bounded by the file's size.
constexpr std::uint64_t kMaxRatio = 1024;

// A source that tells no size (a pipe) is read up to this much.
constexpr std::size_t kUnsizedLimit = std::size_t{1} << 30;

std::uint32_t Crc32(const std::uint8_t* data, std::size_t size) {
    uLong crc = crc32(0L, Z_NULL, 0);
    while (size > 0) {
        const auto n = static_cast<uInt>(std::min<std::size_t>(size, 1u << 30));
        crc = crc32(crc, data, n);
        data += n;
        size -= n;
    }
    return static_cast<std::uint32_t>(crc);
}

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
    // `whole` says the file ends with its closing magic: a writer finished it, so a record
    // that runs past the end is damage, not a killed writer's last chunk.
    Parser(const std::uint8_t* file, bool whole, McapContents& out, std::string& error)
        : file_(file), whole_(whole), out_(out), error_(error) {}

    // Reads records until the end; a record cut short ends the data where it starts.
    // Chunks never nest, so one inside a chunk is passed over.
    bool Records(const std::uint8_t* data, std::size_t size, bool in_chunk = false) {
        Cursor c(data, size);
        while (c.Left() > 0) {
            const std::uint8_t* start = c.Here();
            const auto opcode = static_cast<std::uint8_t>(c.Uint(1));
            const std::uint64_t length = c.Uint(8);
            if (!c.Ok() || length > c.Left()) {
                if (in_chunk || whole_) {
                    return Damaged(start, "a record runs past the end of its data");
                }
                return true;  // cut off
            }
            const std::uint8_t* body = c.Here();
            c.Bytes(length);
            if (in_chunk && opcode == Op::kChunk) {
                continue;
            }
            if (!in_chunk && opcode == Op::kDataEnd && !DataCrc(start, body, length)) {
                return false;
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
    bool Damaged(const std::uint8_t* at, const std::string& what) {
        const auto offset = chunk_ != nullptr ? chunk_ - file_ : at - file_;
        error_ = "damaged at byte " + std::to_string(offset) + ": " + what;
        return false;
    }

    // Everything before the data-end record, magic included, against its CRC (0: none).
    bool DataCrc(const std::uint8_t* start, const std::uint8_t* body, std::uint64_t length) {
        Cursor c(body, static_cast<std::size_t>(length));
        const auto crc = static_cast<std::uint32_t>(c.Uint(4));
        if (c.Ok() && crc != 0 && Crc32(file_, static_cast<std::size_t>(start - file_)) != crc) {
            return Damaged(start, "the data fails its CRC check");
        }
        return true;
    }

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
                const std::uint64_t unpacked_size = c.Uint(8);
                const auto crc = static_cast<std::uint32_t>(c.Uint(4));
                const std::string compression = c.String();
                const std::uint64_t n = c.Uint(8);
                chunk_ = body - 9;
                if (!c.Ok() || n > c.Left()) {
                    return Damaged(chunk_, "a chunk runs past its record");
                }
                const std::uint8_t* records = c.Here();
                std::size_t size = static_cast<std::size_t>(n);
                if (!compression.empty()) {
                    if (unpacked_size / kMaxRatio > size) {
                        return Damaged(chunk_, "a chunk of " + std::to_string(size) +
                                                   " bytes claims to unpack to " +
                                                   std::to_string(unpacked_size));
                    }
                    std::string why;
                    if (!Unpack(compression, records, size, unpacked_size, unpacked_, why)) {
                        return Damaged(chunk_, why);
                    }
                    records = reinterpret_cast<const std::uint8_t*>(unpacked_.data());
                    size = unpacked_.size();
                } else if (n != unpacked_size) {
                    return Damaged(chunk_, "a chunk's sizes disagree");
                }
                if (crc != 0 && Crc32(records, size) != crc) {
                    return Damaged(chunk_, "a chunk fails its CRC check");
                }
                const bool ok = Records(records, size, true);
                chunk_ = nullptr;
                unpacked_.clear();
                unpacked_.shrink_to_fit();
                return ok;
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

    const std::uint8_t* file_;
    bool whole_;
    McapContents& out_;
    std::string& error_;
    std::map<std::uint16_t, std::string> topics_;
    const std::uint8_t* chunk_ = nullptr;  // the chunk being read, for error offsets
    std::string unpacked_;
};

}  // namespace

bool ParseMcap(const std::vector<std::uint8_t>& bytes, McapContents& out, std::string& error) {
    out = {};
    constexpr std::size_t n = kMagic.size();
    if (bytes.size() < n || std::memcmp(bytes.data(), kMagic.data(), n) != 0) {
        error = "not an MCAP file";
        return false;
    }
    const bool whole = bytes.size() >= 2 * n &&
                       std::memcmp(bytes.data() + bytes.size() - n, kMagic.data(), n) == 0;
    Parser parser(bytes.data(), whole, out, error);
    return parser.Records(bytes.data() + n, bytes.size() - (whole ? 2 * n : n));
}

bool ReadMcap(const std::string& path, McapContents& out, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    // Blocking again for a pipe; nothing else here cares.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    struct stat st {};
    const bool sized = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    // The magic first: a file that is not a recording is refused before anything is read on.
    std::vector<std::uint8_t> bytes(kMagic.size());
    std::size_t have = 0;
    std::size_t limit = kMagic.size();
    for (;;) {
        if (have == bytes.size()) {
            if (have == kMagic.size() && std::memcmp(bytes.data(), kMagic.data(), have) != 0) {
                break;
            }
            limit = sized ? static_cast<std::size_t>(st.st_size) : kUnsizedLimit;
            if (have >= limit) {
                break;
            }
            // The file's own size bounds the buffer; a source without one grows as it delivers.
            bytes.resize(sized ? limit : std::min(limit, std::max(have * 2, std::size_t{65536})));
        }
        const ssize_t got = ::read(fd, bytes.data() + have, bytes.size() - have);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            error = "cannot read " + path + ": " + std::strerror(errno);
            return false;
        }
        if (got == 0) {
            break;
        }
        have += static_cast<std::size_t>(got);
    }
    if (!sized && have >= kUnsizedLimit) {
        error = path + ": longer than the " + std::to_string(kUnsizedLimit >> 20) +
                " MiB replay reads from a source of unknown size";
        return false;
    }
    bytes.resize(have);
    if (!ParseMcap(bytes, out, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

}  // namespace Orvane::Sim
