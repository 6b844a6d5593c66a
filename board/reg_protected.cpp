// The protected keys: the list of keys no program may change, kept in a
// small side file (registry.protected) one key path a line, read and
// written under the registry's lock; a line that names no key is refused.
#include "board/registry_file.h"

#include "reg_files.h"
#include "reg_hive.h"

#include "board/folder.h"
#include "board/file_util.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/text.h"

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
    // As an editor may save it: a UTF-8 byte-order mark first, blank lines.
    size_t pos = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    for (int line = 1; pos < text.size(); ++line) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        // A line saved with CR LF still names its key (no key path holds a CR).
        size_t stop = end > pos && text[end - 1] == '\r' ? end - 1 : end;
        std::string key = text.substr(pos, stop - pos);
        pos = end + 1;
        if (key.empty())
            continue;
        // Only a key the registry could hold: anything else protects
        // nothing and would be shown as it is.
        if (const char *fault = key_path_fault(key))
            throw Error{protected_path() + " line " + std::to_string(line) + ": " + fault + ": '" +
                        text::excerpt(key) + "'; correct the line or run 'board reset'"};
        out.push_back(key);
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
