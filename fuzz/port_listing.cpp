// The port listing over a table of arbitrary names and data.
//
// Input, for a fake table:
//   byte 0         0: the table opens; anything else: the open fails with that error number
//   then entries   [mode][name length, 2 bytes LE][name][data length, 2 bytes LE][data]
//                  mode & 7: 0-4 a value; 5 "does not fit"; 6 an error (number = mode >> 3,
//                  or 5); 7 a value whose reported lengths exceed the areas (a broken source)
// Past the last entry the table answers "no more items".
//
// The table behaves like the system's: it fills at most the capacity it is given, counting
// the name's terminating zero, and answers "does not fit" for what does not. The listing is
// checked against the documented classification for every honest table; for a broken one
// only that it stays in bounds and lists nothing it cannot have read.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzStream.h"
#include "PortTable.h"

namespace {

using Orvane::HardwareAPI::PortKind;
using Orvane::HardwareAPI::PortTable;
using Orvane::HardwareAPI::SerialPortEntry;
using OrvaneFuzz::Check;

struct Entry {
    long status = 0;
    bool lies = false;
    std::string name;
    std::string data;
};

class FakeTable : public PortTable {
public:
    long open_status = 0;
    std::vector<Entry> entries;
    int opens = 0, closes = 0;

    long Open() override {
        Check(opens == 0, "table opened twice");
        ++opens;
        return open_status;
    }

    long EnumValue(std::uint32_t index, char* name, std::uint32_t& name_size, std::uint8_t* data,
                   std::uint32_t& data_size) override {
        Check(opens == 1 && open_status == 0 && closes == 0, "enumerated a closed table");
        if (index >= entries.size()) {
            return kNoMoreItems;
        }
        const Entry& e = entries[index];
        if (e.status != 0) {
            return e.status;
        }
        if (e.name.size() + 1 > name_size || e.data.size() > data_size) {
            return kMoreData;
        }
        // Writing to the whole capacity proves the areas are as large as claimed.
        std::memset(name, 'x', name_size);
        std::memset(data, 'x', data_size);
        std::memcpy(name, e.name.data(), e.name.size());
        name[e.name.size()] = '\0';
        std::memcpy(data, e.data.data(), e.data.size());
        if (e.lies) {
            name_size = static_cast<std::uint32_t>(e.name.size()) + 4096;
            data_size = static_cast<std::uint32_t>(e.data.size()) + 4096;
        } else {
            name_size = static_cast<std::uint32_t>(e.name.size());
            data_size = static_cast<std::uint32_t>(e.data.size());
        }
        return 0;
    }

    void Close() override {
        Check(opens == 1 && open_status == 0 && closes == 0, "closed a table not open");
        ++closes;
    }

    std::string Path() const override { return "/fuzz/table"; }
};

std::string Take(const std::uint8_t*& p, const std::uint8_t* end) {
    if (end - p < 2) {
        p = end;
        return {};
    }
    std::size_t n = static_cast<std::size_t>(p[0] | p[1] << 8);
    p += 2;
    n = std::min<std::size_t>(n, static_cast<std::size_t>(end - p));
    std::string s(reinterpret_cast<const char*>(p), n);
    p += n;
    return s;
}

// The documented listing of an honest table.
std::vector<SerialPortEntry> Expected(const FakeTable& t) {
    if (t.open_status != 0) {
        return {};
    }
    std::vector<SerialPortEntry> out;
    for (const Entry& e : t.entries) {
        if (e.status != 0 || e.name.size() + 1 > PortTable::kAreaSize ||
            e.data.size() > PortTable::kAreaSize) {
            return {};
        }
        std::string port = e.data;
        if (!port.empty() && port.back() == '\0') {
            port.pop_back();
        }
        int kind = 0;
        if (e.name.find("\\USBSER") != std::string::npos) {
            kind = Orvane::HardwareAPI::UsbSerial;
        } else if (e.name.find("\\Silabser") != std::string::npos ||
                   e.name.find("\\Serial") != std::string::npos) {
            kind = Orvane::HardwareAPI::WiredSerial;
        } else if (e.name.find("\\BthModem") != std::string::npos) {
            kind = Orvane::HardwareAPI::BluetoothSerial;
        }
        if (kind != 0) {
            out.push_back({port, static_cast<PortKind>(kind)});
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 || size > 64 * 1024) {
        return -1;
    }
    FakeTable table;
    table.open_status = data[0];
    const std::uint8_t* p = data + 1;
    const std::uint8_t* const end = data + size;
    bool broken = false;
    while (p < end) {
        const std::uint8_t mode = *p++;
        Entry e;
        e.name = Take(p, end);
        e.data = Take(p, end);
        switch (mode & 7) {
            case 5:
                e.status = PortTable::kMoreData;
                break;
            case 6:
                e.status = (mode >> 3) ? (mode >> 3) : 5;
                break;
            case 7:
                e.lies = true;
                broken = true;
                break;
            default:
                break;
        }
        table.entries.push_back(std::move(e));
    }

    const std::vector<SerialPortEntry> listed = Orvane::HardwareAPI::ListSerialPorts(table);

    Check(table.opens == 1, "table opened once", table.opens);
    Check(table.closes == (table.open_status == 0 ? 1 : 0), "table closed once when opened",
          table.closes);
    for (const SerialPortEntry& entry : listed) {
        Check(entry.kind >= 1 && entry.kind <= 3, "listed kind", entry.kind);
        Check(entry.port.size() <= PortTable::kAreaSize, "listed port fits its area",
              static_cast<long>(entry.port.size()));
    }
    if (!broken) {
        Check(listed == Expected(table), "listing differs from the classification",
              static_cast<long>(listed.size()), static_cast<long>(Expected(table).size()));
    }
    return 0;
}
