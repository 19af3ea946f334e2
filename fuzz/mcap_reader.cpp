// The simulator's reader of recordings over arbitrary files.
//
// Input: the file's bytes. The reader either refuses the file with a reason or returns
// messages with no more data in all of them than the file can unpack to. A file that reads
// is read again with its last 8 bytes cut off, as a killed writer's file: never with more.
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzStream.h"
#include "McapReader.h"

using Orvane::Sim::McapContents;
using Orvane::Sim::ParseMcap;
using OrvaneFuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::uint8_t> file(data, data + size);
    McapContents contents;
    std::string error;
    if (!ParseMcap(file, contents, error)) {
        Check(!error.empty(), "a refusal without a reason");
        return 0;
    }
    std::size_t held = 0;
    for (const auto& m : contents.messages) {
        held += m.data.size();
    }
    Check(held <= size * 1024, "more message data than the file can unpack to",
          static_cast<long>(held), static_cast<long>(size));
    if (size > 16) {
        const std::vector<std::uint8_t> cut(data, data + size - 8);
        McapContents part;
        const bool read = ParseMcap(cut, part, error);
        Check(!read || part.messages.size() <= contents.messages.size(),
              "a cut file read more than the whole one", static_cast<long>(part.messages.size()),
              static_cast<long>(contents.messages.size()));
    }
    return 0;
}
