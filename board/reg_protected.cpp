// The protected keys: the list of keys no program may change, kept in a
// small side file (registry.protected) one key path a line, read and
// written under the registry's lock.
#include "board/registry_file.h"

#include "reg_files.h"
#include "reg_hive.h"

#include "board/folder.h"
#include "board/file_util.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace board {
namespace reg {
namespace {

std::string protected_path() { return board::path("registry.protected"); }

// More than any list of protected keys: each line names one key, of at
// most 16 levels of 255 characters.
constexpr size_t kProtectedLimit = 1 << 20;

std::vector<std::string> protected_locked()
{
    bool exists;
    std::string text;
    file_util::Folder folder(board::dir());
    if (!file_util::read_at(folder, "registry.protected", &text, &exists, kProtectedLimit)) {
        int e = errno;
        std::string file = protected_path();
        if (e == EFBIG)
            throw Error{file + " is larger than 1 MiB, more than any list of protected keys; "
                               "remove it or run 'board reset'"};
        throw Error{"cannot read " + file + ": " + std::strerror(e)};
    }
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        // A line saved with CR LF still names its key (no key path holds a CR).
        size_t stop = end > pos && text[end - 1] == '\r' ? end - 1 : end;
        if (stop > pos)
            out.push_back(text.substr(pos, stop - pos));
        pos = end + 1;
    }
    return out;
}

}  // namespace

void clear_protected_locked() { file_util::replace_file(protected_path(), ""); }

std::vector<std::string> protected_keys()
{
    file_util::Lock lock(lock_path(), false);
    return protected_locked();
}

bool is_protected(const std::string &path)
{
    for (const std::string &k : protected_keys())
        if (within(path, k))
            return true;
    return false;
}

bool set_protected(const std::string &path, bool on)
{
    file_util::Lock lock(lock_path(), true);
    std::vector<std::string> keys = protected_locked();
    auto same = [&](const std::string &k) { return same_name(k, path); };
    bool was = std::find_if(keys.begin(), keys.end(), same) != keys.end();
    if (was == on)
        return was;
    if (on)
        keys.push_back(path);
    else
        keys.erase(std::remove_if(keys.begin(), keys.end(), same), keys.end());
    std::string text;
    for (const std::string &k : keys)
        text += k + "\n";
    file_util::replace_file(protected_path(), text);
    return was;
}

}  // namespace reg
}  // namespace board
