#include <gtest/gtest.h>

#include <sstream>

#include "Orvane/HardwareAPI/Device.h"

using Orvane::HardwareAPI::Devices::Device;

TEST(Device, BuffersStartZeroed) {
    std::stringstream s;
    Device d(s);
    for (std::size_t i = 0; i < 1024; ++i) {
        ASSERT_EQ(d.WriteBuffer()[i], 0);
        ASSERT_EQ(d.ReadBuffer()[i], 0);
    }
}
