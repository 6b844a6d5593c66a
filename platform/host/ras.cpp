// The remote access phone book.  Entries live in the board's registry,
// one key per entry below HKEY_CURRENT_USER\Comm\RasBook holding the
// record's fields as values (ras_record.h), so every process on the board
// sees one phone book and an entry outlives the program that stored it.  The devices an entry may name are the board's RAS devices (board
// ras list).
//
// Each call returns its error and also leaves it as the thread's last
// error, so a caller that reads GetLastError after a failure sees the cause.
#include "host.h"
#include "include/host_control.h"

#include "board/board.h"
#include "ras_record.h"
#include "board/registry_file.h"

#include <cstdio>
#include <atomic>
#include <cstring>

namespace {

using board::reg::Hive;

const char kBook[] = "HKEY_CURRENT_USER\\Comm\\RasBook";

std::atomic<DWORD> g_fail_next_read{0};

DWORD done(DWORD error)
{
    if (error)
        SetLastError(error);
    return error;
}

// What the platform gives a new entry: a direct (cable) connection framed
// with PPP that carries TCP/IP, with IP header and software compression and
// the remote network as the default gateway.  Every other field is zero.
void new_entry(RASENTRY *e)
{
    std::memset(e, 0, sizeof *e);
    e->dwSize = sizeof(RASENTRY);
    e->dwfOptions = RASEO_IpHeaderCompression | RASEO_RemoteDefaultGateway | RASEO_SwCompression;
    e->dwCountryID = 1;
    e->dwCountryCode = 1;
    e->dwfNetProtocols = RASNP_Ip;
    e->dwFramingProtocol = RASFP_Ppp;
    std::memcpy(e->szDeviceType, RASDT_Direct, sizeof RASDT_Direct);
}

// An entry name the phone book can hold: 1 to RAS_MaxEntryName characters,
// none of them a control character or one of \/:*?"<>|, not starting with
// a full stop (the name is also the entry's registry key).
bool valid_name(LPCWSTR name)
{
    if (!name || !*name || name[0] == u'.')
        return false;
    size_t n = 0;
    for (; name[n]; ++n) {
        char16_t c = name[n];
        if (c < 0x20 || (c < 0x80 && std::strchr("\\/:*?\"<>|", static_cast<char>(c))))
            return false;
    }
    return n <= RAS_MaxEntryName;
}

std::string entry_key(LPCWSTR name) { return std::string(kBook) + "\\" + host::to_utf8(name); }

bool device_present(const std::string &name)
{
    for (const board::RasDevice &d : board::ras_devices())
        if (d.present && board::reg::same_name(d.name, name))
            return true;
    return false;
}

}  // namespace

CE_API DWORD RasGetEntryProperties(LPWSTR, LPWSTR entry, LPRASENTRY info, LPDWORD info_size,
                                   LPBYTE, LPDWORD device_size)
{
    host::KernelCall call;
    if (DWORD e = g_fail_next_read.exchange(0))
        return done(e);
    if (!info_size)
        return done(ERROR_INVALID_PARAMETER);
    if (*info_size < sizeof(RASENTRY)) {
        *info_size = sizeof(RASENTRY);
        return done(ERROR_BUFFER_TOO_SMALL);
    }
    if (!info)
        return done(ERROR_BUFFER_INVALID);
    if (info->dwSize != sizeof(RASENTRY))
        return done(ERROR_INVALID_SIZE);
    *info_size = sizeof(RASENTRY);
    if (device_size)
        *device_size = 0;  // no device-specific information on this board
    if (!entry || !*entry) {
        new_entry(info);
        return ERROR_SUCCESS;
    }
    if (!valid_name(entry))
        return done(ERROR_CANNOT_FIND_PHONEBOOK_ENTRY);
    std::string key = entry_key(entry);
    LONG e = host::registry_guarded(ERROR_CANNOT_OPEN_PHONEBOOK, ERROR_CANNOT_OPEN_PHONEBOOK,
                                    [&]() -> LONG {
                                        Hive hive = board::reg::read();
                                        const board::reg::Key *k = hive.find(key);
                                        if (!k)
                                            return ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
                                        if (host::entry_from_values(k->values, info))
                                            return ERROR_SUCCESS;
                                        std::fprintf(stderr,
                                                     "host stand-in: phone-book entry [%s] in %s "
                                                     "has a value of the wrong type or size\n",
                                                     key.c_str(), board::reg::file_path().c_str());
                                        return ERROR_CANNOT_LOAD_PHONEBOOK;
                                    });
    info->dwSize = sizeof(RASENTRY);
    return done(static_cast<DWORD>(e));
}

CE_API DWORD RasSetEntryProperties(LPWSTR, LPWSTR entry, LPRASENTRY info, DWORD info_size,
                                   LPBYTE device_info, DWORD device_size)
{
    host::KernelCall call;
    if (!info)
        return done(ERROR_BUFFER_INVALID);
    if (info_size != sizeof(RASENTRY) || info->dwSize != sizeof(RASENTRY))
        return done(ERROR_INVALID_SIZE);
    if (device_info || device_size)
        return done(ERROR_INVALID_PARAMETER);  // the board's devices take no settings
    if (!valid_name(entry))
        return done(ERROR_INVALID_NAME);
    // An entry that names a device the board does not have is refused with
    // ERROR_DEVICE_DOES_NOT_EXIST: the record is what is at fault, not the
    // entry name (ERROR_CANNOT_FIND_PHONEBOOK_ENTRY is for looking up an
    // entry that is not there) nor the kind of device.
    std::string device = host::to_utf8(info->szDeviceName, RAS_MaxDeviceName + 1);
    bool present;
    try {
        present = device_present(device);
    } catch (const board::Error &e) {
        // The board's state, not the record, is at fault: the phone book
        // cannot be used, as when its registry cannot.
        std::fprintf(stderr, "host stand-in: %s\n", e.message.c_str());
        return done(ERROR_CANNOT_OPEN_PHONEBOOK);
    }
    if (!present)
        return done(ERROR_DEVICE_DOES_NOT_EXIST);
    std::string key = entry_key(entry);
    std::vector<board::reg::Value> fields = host::entry_values(*info);
    LONG e = host::registry_guarded(ERROR_CANNOT_OPEN_PHONEBOOK, ERROR_CANNOT_OPEN_PHONEBOOK,
                                    [&]() -> LONG {
                                        if (board::reg::is_protected(key))
                                            return ERROR_ACCESS_DENIED;
                                        board::reg::update([&](Hive &hive) {
                                            // Replaced whole: nothing of an old entry stays.
                                            hive.create(key)->values = fields;
                                            return true;
                                        });
                                        return ERROR_SUCCESS;
                                    });
    return done(static_cast<DWORD>(e));
}

CE_API DWORD RasEnumEntries(LPWSTR, LPWSTR, LPRASENTRYNAME entries, LPDWORD size, LPDWORD count)
{
    host::KernelCall call;
    if (!size || !count)
        return done(ERROR_INVALID_PARAMETER);
    if (entries && entries->dwSize != sizeof(RASENTRYNAME))
        return done(ERROR_INVALID_SIZE);
    std::vector<std::u16string> names;
    LONG e = host::registry_guarded(ERROR_CANNOT_OPEN_PHONEBOOK, ERROR_CANNOT_OPEN_PHONEBOOK,
                                    [&]() -> LONG {
                                        Hive hive = board::reg::read();
                                        for (const std::string &n : hive.subkeys(kBook)) {
                                            std::u16string name = host::to_utf16(n);
                                            if (valid_name(name.c_str()))
                                                names.push_back(name);
                                        }
                                        return ERROR_SUCCESS;
                                    });
    if (e)
        return done(static_cast<DWORD>(e));
    DWORD needed = static_cast<DWORD>(names.size() * sizeof(RASENTRYNAME));
    *count = static_cast<DWORD>(names.size());
    if (needed && (!entries || *size < needed)) {
        *size = needed;
        return done(ERROR_BUFFER_TOO_SMALL);
    }
    for (size_t i = 0; i < names.size(); ++i) {
        std::memset(&entries[i], 0, sizeof entries[i]);
        entries[i].dwSize = sizeof(RASENTRYNAME);
        std::memcpy(entries[i].szEntryName, names[i].c_str(), (names[i].size() + 1) * 2);
    }
    *size = needed;
    return ERROR_SUCCESS;
}

CE_API void host_ras_fail_next_read(DWORD error) { g_fail_next_read = error; }
