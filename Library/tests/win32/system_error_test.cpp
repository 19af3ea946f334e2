// Error texts from the system's message table. Texts differ between systems and languages,
// so only their presence and shape are checked here; the numbers are checked in the
// error lines of the other tests.
#include <cstdint>
#include <string>

#include "Orvane/HardwareAPI/Device.h"
#include "SystemErrorText.h"
#include "WindowsTest.h"

namespace {

using Orvane::HardwareAPI::SystemErrorText;

class KnownErrorText : public testing::TestWithParam<std::uint32_t> {};

TEST_P(KnownErrorText, IsTheSystemTextWithItsLineBreak) {
    const std::string text = SystemErrorText(GetParam());
    EXPECT_NE(text, "unknown");
    EXPECT_GT(text.size(), 1u);
    EXPECT_LT(text.size(), 256u);
    EXPECT_EQ(text.back(), '\n') << "the system text's own line break is kept";
}

// 2 and 5: not found and access denied, the numbers the port lines carry. 193 and 34
// have texts with insert markers ("%1"), which are left as they stand.
INSTANTIATE_TEST_SUITE_P(SystemErrorText, KnownErrorText,
                         testing::Values(ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED,
                                         ERROR_BAD_EXE_FORMAT, ERROR_WRONG_DISK,
                                         ERROR_NO_MORE_ITEMS, ERROR_MORE_DATA));

// A text with an insert marker and no arguments to put there comes back with the marker
// as it stands, rather than failing or reading arguments that do not exist.
TEST(SystemErrorText, KeepsInsertMarkersAsTheyStand) {
    const std::string text = SystemErrorText(ERROR_BAD_EXE_FORMAT);
    EXPECT_NE(text.find("%1"), std::string::npos) << text;
}

class UnknownErrorText : public testing::TestWithParam<std::uint32_t> {};

TEST_P(UnknownErrorText, IsUnknown) {
    EXPECT_EQ(SystemErrorText(GetParam()), "unknown");
}

INSTANTIATE_TEST_SUITE_P(SystemErrorText, UnknownErrorText,
                         testing::Values(0xDEADBEEFu, 0x7FFFFFF0u, 0x0000FFFEu));

}  // namespace
