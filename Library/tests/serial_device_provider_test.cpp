#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "FakePortTable.h"
#include "Orvane/HardwareAPI/Device.h"
#include "Orvane/HardwareAPI/SerialDeviceProvider.h"
#include "SystemErrorText.h"

namespace {

using Orvane::HardwareAPI::BluetoothSerial;
using Orvane::HardwareAPI::ListSerialPorts;
using Orvane::HardwareAPI::PortKind;
using Orvane::HardwareAPI::SerialPortEntry;
using Orvane::HardwareAPI::SystemErrorText;
using Orvane::HardwareAPI::UsbSerial;
using Orvane::HardwareAPI::WiredSerial;
using OrvaneTest::FakePortTable;

std::string ErrorLine(unsigned line, const std::string& message, int error) {
    return "[err] Library/src/SerialDeviceProvider:" + std::to_string(line) + "> " + message +
           ": [" + std::to_string(error) + "] " + SystemErrorText(error) + "\n";
}

FakePortTable FiveValues() {
    FakePortTable t;
    t.values = {{"\\Device\\USBSER000", FakePortTable::Stored("COM3")},
                {"\\Device\\Serial0", FakePortTable::Stored("COM1")},
                {"\\Device\\BthModem2", FakePortTable::Stored("COM7")},
                {"\\Device\\Silabser0", FakePortTable::Stored("COM5")},
                {"\\Device\\VSPort0", FakePortTable::Stored("COM9")}};
    return t;
}

TEST(ListSerialPorts, ClassifiesInTableOrderAndHoldsTheTableOnlyForTheCall) {
    FakePortTable table = FiveValues();
    testing::internal::CaptureStderr();
    const auto ports = ListSerialPorts(table);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    const std::vector<SerialPortEntry> expected{{"COM3", UsbSerial},
                                                {"COM1", WiredSerial},
                                                {"COM7", BluetoothSerial},
                                                {"COM5", WiredSerial}};
    EXPECT_EQ(ports, expected);
    EXPECT_EQ(table.opens, 1);
    EXPECT_EQ(table.closes, 1);
    EXPECT_EQ(table.enumerations, 6);  // five values, then "no more items"
    EXPECT_TRUE(table.areas_fresh);
}

TEST(ListSerialPorts, TwoCallsGiveEqualLists) {
    FakePortTable table = FiveValues();
    const auto first = ListSerialPorts(table);
    EXPECT_EQ(ListSerialPorts(table), first);
    EXPECT_EQ(table.closes, 2);
}

struct ClassCase {
    const char* value_name;
    std::optional<PortKind> kind;
};

class Classification : public testing::TestWithParam<ClassCase> {};

TEST_P(Classification, FirstTextFoundDecides) {
    FakePortTable table;
    table.values = {{GetParam().value_name, FakePortTable::Stored("COM4")}};
    const auto ports = ListSerialPorts(table);
    if (GetParam().kind) {
        ASSERT_EQ(ports.size(), 1u);
        EXPECT_EQ(ports[0], (SerialPortEntry{"COM4", *GetParam().kind}));
    } else {
        EXPECT_TRUE(ports.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    ValueNames, Classification,
    testing::Values(ClassCase{"\\Device\\USBSER000", UsbSerial},
                    ClassCase{"\\Device\\usbser000", std::nullopt},  // case-sensitive
                    ClassCase{"\\Device\\Silabser0", WiredSerial},
                    ClassCase{"\\Device\\Serial0", WiredSerial},
                    ClassCase{"\\Device\\SerialXYZ", WiredSerial},
                    ClassCase{"\\Device\\BthModem0", BluetoothSerial},
                    ClassCase{"\\Device\\VSPort0", std::nullopt},
                    ClassCase{"\\Device\\ftdi_sio0", std::nullopt},
                    ClassCase{"Serial0", std::nullopt},  // the backslash is part of the text
                    ClassCase{"\\Device\\BthModem\\Serial", WiredSerial},
                    ClassCase{"\\Device\\Serial\\USBSER", UsbSerial}, ClassCase{"", std::nullopt}));

struct DataCase {
    std::string stored;
    std::string port;
};

class PortNames : public testing::TestWithParam<DataCase> {};

TEST_P(PortNames, OneTerminatingZeroIsDropped) {
    FakePortTable table;
    table.values = {{"\\Device\\USBSER000", GetParam().stored}};
    const auto ports = ListSerialPorts(table);
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].port, GetParam().port);
}

INSTANTIATE_TEST_SUITE_P(
    Data, PortNames,
    testing::Values(DataCase{std::string("COM3\0", 5), "COM3"}, DataCase{"COM3", "COM3"},
                    DataCase{std::string("COM3\0\0", 6), std::string("COM3\0", 5)},
                    DataCase{std::string(1, '\0'), ""}, DataCase{"", ""},
                    DataCase{std::string(259, 'x') + std::string(1, '\0'), std::string(259, 'x')},
                    DataCase{std::string(260, 'x'), std::string(260, 'x')}));

struct FailureCase {
    const char* what;
    std::uint32_t index;  // where the failure sits among valid values
    std::optional<FakePortTable::Value> value;
    long status;  // injected, when there is no value
    int expected_error;
};

class EnumerationFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(EnumerationFailure, EmptiesTheWholeListWithOneLine) {
    const FailureCase& c = GetParam();
    FakePortTable table = FiveValues();
    if (c.value) {
        table.values.insert(table.values.begin() + c.index, *c.value);
    } else {
        table.failing[c.index] = c.status;
    }
    testing::internal::CaptureStderr();
    const auto ports = ListSerialPorts(table);
    EXPECT_EQ(
        testing::internal::GetCapturedStderr(),
        ErrorLine(137, "unable to enum values for registry key: " + table.path, c.expected_error));
    EXPECT_TRUE(ports.empty());
    EXPECT_EQ(table.enumerations, static_cast<int>(c.index) + 1);
    EXPECT_EQ(table.closes, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EnumerationFailure,
    testing::Values(FailureCase{"LongName", 2,
                                FakePortTable::Value{"\\Device\\Serial" + std::string(286, 'N'),
                                                     FakePortTable::Stored("COM2")},
                                0, 234},
                    FailureCase{"LongData", 4,
                                FakePortTable::Value{"\\Device\\Serial1", std::string(261, 'C')}, 0,
                                234},
                    FailureCase{"FirstValue", 0, std::nullopt, 5, 5},
                    FailureCase{"AccessDenied", 3, std::nullopt, 13, 13}),
    [](const auto& info) { return std::string(info.param.what); });

TEST(ListSerialPorts, MissingTablePrintsOneLineAndGivesNothing) {
    FakePortTable table = FiveValues();
    table.open_status = 2;
    testing::internal::CaptureStderr();
    const auto ports = ListSerialPorts(table);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              ErrorLine(115, "unable to access registry key: TEST\\SERIALPORTS", 2));
    EXPECT_TRUE(ports.empty());
    EXPECT_EQ(table.enumerations, 0);
    EXPECT_EQ(table.closes, 0);  // nothing was opened
}

TEST(ListSerialPorts, SourceReportingMoreThanItsAreasIsCutAtTheirEnd) {
    // A table that claims longer values than the 260-byte areas hold.
    struct Overstating : FakePortTable {
        long EnumValue(std::uint32_t index, char* name, std::uint32_t& name_size,
                       std::uint8_t* data, std::uint32_t& data_size) override {
            if (index > 0) {
                return kNoMoreItems;
            }
            std::memcpy(name, "\\Device\\Serial0", 16);
            name_size = 100000;
            std::memset(data, 'A', kAreaSize);
            data_size = 100000;
            return 0;
        }
    } table;
    const auto ports = ListSerialPorts(table);
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].port, std::string(260, 'A'));
}

}  // namespace
