// A port table held in memory for tests: values are given as they would be stored, and
// every enumeration call is checked for fresh, full-size areas.
#pragma once

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "PortTable.h"

namespace OrvaneTest {

class FakePortTable : public Orvane::HardwareAPI::PortTable {
public:
    struct Value {
        std::string name;
        std::string data;  // stored bytes, a terminating zero included when given
    };

    // Value data as a port name is usually stored: with its terminating zero.
    static std::string Stored(const std::string& port) { return port + std::string(1, '\0'); }

    std::vector<Value> values;
    long open_status = 0;
    std::map<std::uint32_t, long> failing;  // index -> status returned there
    std::string path = "TEST\\SERIALPORTS";

    int opens = 0;
    int closes = 0;
    int enumerations = 0;
    bool areas_fresh = true;  // every call found both areas zeroed at their full size

    long Open() override {
        ++opens;
        return open_status;
    }

    long EnumValue(std::uint32_t index, char* name, std::uint32_t& name_size, std::uint8_t* data,
                   std::uint32_t& data_size) override {
        ++enumerations;
        if (name_size != kAreaSize || data_size != kAreaSize ||
            std::any_of(name, name + kAreaSize, [](char c) { return c != 0; }) ||
            std::any_of(data, data + kAreaSize, [](std::uint8_t c) { return c != 0; })) {
            areas_fresh = false;
        }
        if (const auto f = failing.find(index); f != failing.end()) {
            return f->second;
        }
        if (index >= values.size()) {
            return kNoMoreItems;
        }
        const Value& v = values[index];
        if (v.name.size() + 1 > name_size || v.data.size() > data_size) {
            return kMoreData;
        }
        std::memcpy(name, v.name.c_str(), v.name.size() + 1);
        name_size = static_cast<std::uint32_t>(v.name.size());
        std::memcpy(data, v.data.data(), v.data.size());
        data_size = static_cast<std::uint32_t>(v.data.size());
        return 0;
    }

    void Close() override { ++closes; }
    std::string Path() const override { return path; }
};

}  // namespace OrvaneTest
