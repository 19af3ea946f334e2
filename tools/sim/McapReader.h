// A reader for the recordings the orvane package writes: MCAP files with uncompressed
// chunks. It yields the messages with their topics and the metadata records, and stops
// quietly at a record that is cut off, so the file of a killed writer reads up to its last
// whole chunk.
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

// False with `error` set for something that is not an MCAP file or holds a compressed chunk.
bool ParseMcap(const std::vector<std::uint8_t>& bytes, McapContents& out, std::string& error);
bool ReadMcap(const std::string& path, McapContents& out, std::string& error);

}  // namespace Orvane::Sim
