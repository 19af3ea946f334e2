// The registry's table of serial devices: one value per port under
// HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM, the kernel device name as the value's
// name and the port name as its data.
#include "win32/Win32.h"

#include "PortTable.h"

namespace Orvane::HardwareAPI {
namespace {

constexpr const char* kKeyPath = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

static_assert(PortTable::kNoMoreItems == ERROR_NO_MORE_ITEMS);
static_assert(PortTable::kMoreData == ERROR_MORE_DATA);

class RegistryPortTable final : public PortTable {
public:
    ~RegistryPortTable() override { Close(); }

    long Open() override {
        Close();
        const LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKeyPath, 0,
                                          STANDARD_RIGHTS_READ | KEY_QUERY_VALUE, &key_);
        if (status != ERROR_SUCCESS) {
            key_ = nullptr;
        }
        return status;
    }

    long EnumValue(std::uint32_t index, char* name, std::uint32_t& name_size, std::uint8_t* data,
                   std::uint32_t& data_size) override {
        DWORD name_length = name_size;
        DWORD data_length = data_size;
        DWORD type = 0;
        const LONG status =
            RegEnumValueA(key_, index, name, &name_length, nullptr, &type, data, &data_length);
        name_size = name_length;
        data_size = data_length;
        return status;
    }

    void Close() override {
        if (key_ != nullptr) {
            RegCloseKey(key_);
            key_ = nullptr;
        }
    }

    std::string Path() const override { return kKeyPath; }

private:
    HKEY key_ = nullptr;
};

}  // namespace

std::unique_ptr<PortTable> SystemPortTable() {
    return std::make_unique<RegistryPortTable>();
}

}  // namespace Orvane::HardwareAPI
