#include "sync_client.h"

#include "board/board.h"
#include "ce_host.h"
#include "common/text.h"
#include "board/registry_file.h"

#include <cstring>

namespace {

SyncVerdict no(const std::string &why) { return SyncVerdict{false, "not connected: " + why}; }

// A name as one line can show it: UTF-8, control characters as '?', and
// no more than max characters.
std::string shown(const char16_t *s, size_t max)
{
    size_t n = 0;
    while (n < max && s[n])
        ++n;
    std::string out = text::to_utf8(s, n);
    for (char &c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    return out;
}

std::string quoted(const char16_t *s, size_t max) { return "\"" + shown(s, max) + "\""; }

}  // namespace

SyncVerdict sync_verdict()
{
    try {
        if (!board::status().powered)
            return no("the board is powered off");
    } catch (const board::Error &e) {
        return no(e.message);
    }

    // The connection's name: one phone-book entry name and its terminator.
    HKEY key = nullptr;
    LONG r = RegOpenKeyExW(HKEY_CURRENT_USER, u"ControlPanel\\Comm", 0, KEY_QUERY_VALUE, &key);
    if (r == ERROR_FILE_NOT_FOUND)
        return no("no \"Cnct\"");  // not even its key
    if (r != ERROR_SUCCESS)
        return no("HKEY_CURRENT_USER\\ControlPanel\\Comm cannot be opened (error " +
                  std::to_string(r) + ")");
    char16_t name[RAS_MaxEntryName + 2] = {};
    DWORD type = 0, size = sizeof name - sizeof name[0];
    r = RegQueryValueExW(key, u"Cnct", nullptr, &type, reinterpret_cast<BYTE *>(name), &size);
    RegCloseKey(key);
    if (r == ERROR_FILE_NOT_FOUND)
        return no("no \"Cnct\"");
    if (r == ERROR_MORE_DATA)
        return no("\"Cnct\" is longer than any phone-book entry name (" +
                  std::to_string(RAS_MaxEntryName) + " characters)");
    if (r != ERROR_SUCCESS)
        return no("\"Cnct\" cannot be read (error " + std::to_string(r) + ")");
    if (type != REG_SZ)
        return no("\"Cnct\" is no string (type " + std::to_string(type) + ")");
    name[size / sizeof name[0]] = 0;  // a value stored without its terminator ends here
    if (!name[0])
        return no("\"Cnct\" is empty");
    const std::string entry = quoted(name, RAS_MaxEntryName + 1);

    RASENTRY e;
    std::memset(&e, 0, sizeof e);
    e.dwSize = sizeof e;
    DWORD e_size = sizeof e;
    DWORD err = RasGetEntryProperties(nullptr, reinterpret_cast<LPWSTR>(name), &e, &e_size,
                                      nullptr, nullptr);
    if (err == ERROR_CANNOT_FIND_PHONEBOOK_ENTRY)
        return no("\"Cnct\" names " + entry + ", which is not in the phone book");
    if (err != ERROR_SUCCESS)
        return no("the phone-book entry " + entry + " cannot be read (error " +
                  std::to_string(err) + ")");
    if (!e.szDeviceName[0])
        return no(entry + " names no device");
    const std::string device = quoted(e.szDeviceName, RAS_MaxDeviceName + 1);
    std::string device_utf8 = shown(e.szDeviceName, RAS_MaxDeviceName + 1);
    try {
        for (const board::RasDevice &d : board::ras_devices())
            if (d.present && board::reg::same_name(d.name, device_utf8))
                return SyncVerdict{true, "connected through " + entry + " on " + device};
    } catch (const board::Error &x) {
        return no(x.message);
    }
    return no(entry + " uses " + device + ", which the board does not have");
}
