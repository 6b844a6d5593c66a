// The registry calls over the board's registry file (board/registry_file.h).
// A key handle holds only its key's path: every call reads the file again
// under its lock, so a value another process wrote is seen at once, and a
// change is one locked read-change-replace of the file.
#include "host.h"

#include "board/board.h"
#include "board/registry_file.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>

namespace {

using board::reg::Hive;
using board::reg::Key;

constexpr DWORD kMaxValueSize = 1u << 20;

struct RegKey : host::KernelObject {
    explicit RegKey(std::string p) : path(std::move(p)) {}
    const char *kind() const override { return "registry key"; }
    std::string path;
};

const char *root_name(HKEY key)
{
    if (key == HKEY_LOCAL_MACHINE)
        return "HKEY_LOCAL_MACHINE";
    if (key == HKEY_CURRENT_USER)
        return "HKEY_CURRENT_USER";
    if (key == HKEY_CLASSES_ROOT)
        return "HKEY_CLASSES_ROOT";
    if (key == HKEY_USERS)
        return "HKEY_USERS";
    return nullptr;
}

// The full path of a root or an open key; false when key is neither.
bool key_path(HKEY key, std::string *path)
{
    if (const char *root = root_name(key)) {
        *path = root;
        return true;
    }
    std::shared_ptr<RegKey> k = host::handle_get_as<RegKey>(reinterpret_cast<HANDLE>(key));
    if (!k)
        return false;
    *path = k->path;
    return true;
}

bool is_root_path(const std::string &path) { return path.find('\\') == std::string::npos; }

// The path of subkey below base.  A subkey may end in one backslash but
// neither start with one nor hold an empty name.  Beyond that, what the
// registry file could not hold (board::reg::key_path_fault: a control
// character, a name too long, keys nested too deep) is refused as the
// board's registry refuses it.
LONG join(const std::string &base, LPCWSTR subkey, std::string *full)
{
    *full = base;
    if (!subkey || !*subkey)
        return ERROR_SUCCESS;
    std::string sub = host::to_utf8(subkey);
    if (sub.back() == '\\')
        sub.pop_back();
    for (size_t pos = 0;;) {
        size_t end = sub.find('\\', pos);
        if (end == pos || pos == sub.size())
            return ERROR_BAD_PATHNAME;
        if (end == std::string::npos)
            break;
        pos = end + 1;
    }
    *full += "\\" + sub;
    return board::reg::key_path_fault(*full) ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
}

// The key at path in hive, or null.  Roots always exist.
const Key *lookup(const Hive &hive, const std::string &path, bool *exists)
{
    const Key *k = hive.find(path);
    *exists = k || is_root_path(path);
    return k;
}

void report(const std::string &message)
{
    static std::mutex lock;
    static std::set<std::string> told;
    std::lock_guard<std::mutex> guard(lock);
    if (told.insert(message).second)
        std::fprintf(stderr, "host stand-in: %s\n", message.c_str());
}

HKEY insert_key(const std::string &path)
{
    return reinterpret_cast<HKEY>(host::handle_insert(std::make_shared<RegKey>(path)));
}

}  // namespace

namespace host {

LONG registry_guarded(LONG corrupt_error, LONG io_error, const std::function<LONG()> &body)
{
    try {
        return body();
    } catch (const board::reg::Damaged &d) {
        report("registry file " + d.what() + " (the file is left as it is)");
        return corrupt_error;
    } catch (const board::Error &e) {
        report(e.message);
        return io_error;
    }
}

}  // namespace host

using host::registry_guarded;

namespace {

// One change made through the key at base, to target (base or a key below
// it): refused when target is protected, ERROR_KEY_DELETED when base is
// gone, else what apply returns.  The file is written only when apply
// succeeds and changed something.
LONG change(const std::string &base, const std::string &target,
            const std::function<LONG(Hive &, bool *changed)> &apply)
{
    return registry_guarded(ERROR_REGISTRY_CORRUPT, ERROR_CANTWRITE, [&]() -> LONG {
        if (board::reg::is_protected(target))
            return ERROR_ACCESS_DENIED;
        LONG e = ERROR_SUCCESS;
        board::reg::update([&](Hive &hive) {
            bool exists;
            lookup(hive, base, &exists);
            if (!exists) {
                e = ERROR_KEY_DELETED;
                return false;
            }
            bool changed = true;
            e = apply(hive, &changed);
            return e == ERROR_SUCCESS && changed;
        });
        return e;
    });
}

}  // namespace

// The board's registry ignores the access mask (REGSAM) of RegOpenKeyExW and
// RegCreateKeyExW: a key opened with 0 can be written.  Desktop Windows
// refuses such a write with ERROR_ACCESS_DENIED; the board's way is kept.
CE_API LONG RegOpenKeyExW(HKEY key, LPCWSTR subkey, DWORD options, REGSAM, PHKEY result)
{
    host::KernelCall call;
    if (!result)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    std::string base, full;
    if (!key_path(key, &base))
        return ERROR_INVALID_HANDLE;
    if (options != 0)
        return ERROR_INVALID_PARAMETER;
    if (LONG e = join(base, subkey, &full))
        return e;
    return registry_guarded(ERROR_REGISTRY_CORRUPT, ERROR_CANTREAD, [&]() -> LONG {
        Hive hive = board::reg::read();
        bool exists;
        lookup(hive, base, &exists);
        if (!exists)
            return ERROR_KEY_DELETED;
        const Key *k = lookup(hive, full, &exists);
        if (!exists)
            return ERROR_FILE_NOT_FOUND;
        *result = insert_key(k ? k->path : full);
        return ERROR_SUCCESS;
    });
}

CE_API LONG RegCreateKeyExW(HKEY key, LPCWSTR subkey, DWORD, LPWSTR, DWORD options, REGSAM,
                            LPSECURITY_ATTRIBUTES, PHKEY result, LPDWORD disposition)
{
    host::KernelCall call;
    if (!result)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    std::string base, full;
    if (!key_path(key, &base))
        return ERROR_INVALID_HANDLE;
    if (!subkey || (options & ~1u) != 0)
        return ERROR_INVALID_PARAMETER;
    if (LONG e = join(base, subkey, &full))
        return e;
    bool created = false;
    std::string path = full;
    LONG e = change(base, full, [&](Hive &hive, bool *changed) {
        bool exists;
        const Key *k = lookup(hive, full, &exists);
        if (exists)
            path = k ? k->path : full;
        else
            hive.create(full, &created);
        *changed = created;
        return ERROR_SUCCESS;
    });
    if (e)
        return e;
    if (disposition)
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *result = insert_key(path);
    return ERROR_SUCCESS;
}

// Stores exactly the size bytes given, whatever the type: a REG_SZ whose
// count leaves out the terminator is kept without one (the count must
// include it, the platform documents).  Desktop Windows adds a terminator
// when a zero follows the bytes in memory; the board reads no further.
CE_API LONG RegSetValueExW(HKEY key, LPCWSTR name, DWORD, DWORD type, const BYTE *data, DWORD size)
{
    host::KernelCall call;
    std::string path;
    if (!key_path(key, &path))
        return ERROR_INVALID_HANDLE;
    if ((!data && size) || size > kMaxValueSize)
        return ERROR_INVALID_PARAMETER;
    board::reg::Value v{host::to_utf8(name), type, std::vector<uint8_t>(data, data + size)};
    if (board::reg::value_name_fault(v.name))
        return ERROR_INVALID_PARAMETER;
    return change(path, path, [&](Hive &hive, bool *) {
        Hive::set_value(*hive.create(path), v);
        return ERROR_SUCCESS;
    });
}

CE_API LONG RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                             LPDWORD size)
{
    host::KernelCall call;
    std::string path;
    if (!key_path(key, &path))
        return ERROR_INVALID_HANDLE;
    if (reserved || (data && !size))
        return ERROR_INVALID_PARAMETER;
    std::string value_name = host::to_utf8(name);
    return registry_guarded(ERROR_REGISTRY_CORRUPT, ERROR_CANTREAD, [&]() -> LONG {
        Hive hive = board::reg::read();
        bool exists;
        const Key *k = lookup(hive, path, &exists);
        if (!exists)
            return ERROR_KEY_DELETED;
        const board::reg::Value *v = k ? Hive::find_value(*k, value_name) : nullptr;
        if (!v)
            return ERROR_FILE_NOT_FOUND;
        if (type)
            *type = v->type;
        DWORD n = static_cast<DWORD>(v->data.size());
        if (data && *size < n) {
            *size = n;
            return ERROR_MORE_DATA;
        }
        if (data && n)
            std::memcpy(data, v->data.data(), n);
        if (size)
            *size = n;
        return ERROR_SUCCESS;
    });
}

CE_API LONG RegDeleteValueW(HKEY key, LPCWSTR name)
{
    host::KernelCall call;
    std::string path;
    if (!key_path(key, &path))
        return ERROR_INVALID_HANDLE;
    std::string value_name = host::to_utf8(name);
    return change(path, path, [&](Hive &hive, bool *) {
        Key *k = hive.find(path);
        return k && Hive::remove_value(*k, value_name) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
}

// Deletes the key and everything below it, as the board's registry does.
CE_API LONG RegDeleteKeyW(HKEY key, LPCWSTR subkey)
{
    host::KernelCall call;
    std::string base, full;
    if (!key_path(key, &base))
        return ERROR_INVALID_HANDLE;
    if (!subkey || !*subkey)
        return ERROR_INVALID_PARAMETER;
    if (LONG e = join(base, subkey, &full))
        return e;
    return change(base, full, [&](Hive &hive, bool *) {
        return hive.remove(full) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
}

CE_API LONG RegCloseKey(HKEY key)
{
    host::KernelCall call;
    if (root_name(key))
        return ERROR_SUCCESS;
    HANDLE h = reinterpret_cast<HANDLE>(key);
    if (!host::handle_get_as<RegKey>(h) || !host::handle_remove(h))
        return ERROR_INVALID_HANDLE;
    return ERROR_SUCCESS;
}
