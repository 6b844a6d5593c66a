// Reading and filling phone-book entries in tests.
#pragma once

#include "platform/platform.h"

#include <cstring>
#include <string>

namespace test_support {

// Reads entry name ("" for a new entry's defaults) into a record that was
// first filled with the byte fill; the call's result.
inline DWORD read_entry(const char16_t *name, RASENTRY *e, int fill = 0)
{
    std::memset(e, fill, sizeof *e);
    e->dwSize = sizeof *e;
    DWORD size = sizeof *e;
    return RasGetEntryProperties(nullptr, const_cast<LPWSTR>(name), e, &size, nullptr, nullptr);
}

inline void set_device(RASENTRY *e, const char16_t *device)
{
    std::memset(e->szDeviceName, 0, sizeof e->szDeviceName);
    std::memcpy(e->szDeviceName, device, std::char_traits<char16_t>::length(device) * 2);
}

}  // namespace test_support
