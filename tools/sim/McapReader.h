// A reader for the recordings the orvane package writes, and for any MCAP file whose chunks
// are uncompressed, zstd or lz4. It yields the messages with their topics and the metadata
// records. A file without its closing magic (a killed writer's) reads up to its last whole
// record; anything else that does not check out (a chunk's or the data's CRC, a record that
// runs past its end, a chunk that does not unpack to its stated size) refuses the file.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace Orvane::Sim {

struct McapMessage {
    std::string topic;
    std::uint64_t log_time = 0;  // ns
    std::string data;
};

struct McapContents {
    std::vector<McapMessage> messages;  // in file order
    std::map<std::string, std::map<std::string, std::string>> metadata;
    bool complete = false;  // the file ends with its footer
};

// False with `error` set for something that is not an MCAP file or is damaged.
bool ParseMcap(const std::vector<std::uint8_t>& bytes, McapContents& out, std::string& error);
// Checks the magic before it reads on, and never holds more than the file's size (a source
// without one, such as a pipe, at most 1 GiB) plus one chunk unpacked (at most 1024 times
// its packed size).
bool ReadMcap(const std::string& path, McapContents& out, std::string& error);

}  // namespace Orvane::Sim
