// Velmorra's code run in this process, to reach what a separate process
// cannot: a default-entry read that fails.
#include "board_folder.h"

#include "host_control.h"
#include "platform/platform.h"

#include <cstring>

class VelmorraCode : public test_support::BoardTest {};

TEST_F(VelmorraCode, AFailedDefaultReadStoresZerosWithTheDeviceName)
{
    HINSTANCE self = GetModuleHandleW(nullptr);
    char16_t command_line[] = u"";
    // The first run leaves the program's record full of a new entry's settings.
    ASSERT_EQ(WinMain(self, nullptr, command_line, 1), 0);
    host_ras_fail_next_read(ERROR_CANNOT_OPEN_PHONEBOOK);
    ASSERT_EQ(WinMain(self, nullptr, command_line, 1), 0);

    RASENTRY want, got;
    std::memset(&want, 0, sizeof want);
    want.dwSize = sizeof want;
    std::memcpy(want.szDeviceName, u"Serial on USB", sizeof u"Serial on USB");
    std::memset(&got, 0, sizeof got);
    got.dwSize = sizeof got;
    DWORD size = sizeof got;
    ASSERT_EQ(RasGetEntryProperties(nullptr, const_cast<LPWSTR>(u"`USB"), &got, &size, nullptr,
                                    nullptr),
              0u);
    EXPECT_EQ(std::memcmp(&got, &want, sizeof want), 0)
        << "options " << got.dwfOptions << ", framing " << got.dwFramingProtocol;
}
