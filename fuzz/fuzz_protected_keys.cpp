// Any bytes as the protected-keys file (registry.protected): a list with a
// line that names no key is refused naming the file and the line; each
// listed key is a valid key path, one line without its line end, and is
// protected with everything below it; a key taken off the list and put back
// again goes and comes back, and the rest of the list stays as it was.
#include "board_dir.h"
#include "board/folder.h"
#include "board/registry_file.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace reg = board::reg;

namespace {

void fail(const char *what, const std::string &key)
{
    std::fprintf(stderr, "protected keys: %s: '%s'\n", what, key.c_str());
    std::abort();
}

bool listed(const std::vector<std::string> &keys, const std::string &key)
{
    for (const std::string &k : keys)
        if (reg::same_name(k, key))
            return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string file = fuzz_board_dir() + "/registry.protected";
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size))
        fail("cannot write", file);
    close(fd);

    std::vector<std::string> keys;
    try {
        keys = reg::protected_keys();
    } catch (const board::Error &e) {
        if (e.message.compare(0, file.size() + 6, file + " line ") != 0)
            fail("a refused list is not named with its line", e.message);
        return 0;
    }
    for (const std::string &k : keys) {
        if (!reg::valid_key_path(k) || k.find('\n') != std::string::npos)
            fail("a listed key is no key path or holds a line end", k);
        if (!reg::is_protected(k) || !reg::is_protected(k + "\\Below"))
            fail("a listed key is not protected", k);
    }
    if (keys.empty())
        return 0;
    std::string key = keys[data[0] % keys.size()];
    if (!reg::set_protected(key, false))
        fail("a listed key was not protected before", key);
    std::vector<std::string> after = reg::protected_keys();
    if (listed(after, key))
        fail("a key taken off is still listed", key);
    for (const std::string &k : keys)
        if (!reg::same_name(k, key) && std::find(after.begin(), after.end(), k) == after.end())
            fail("taking one key off lost another", k);
    if (reg::set_protected(key, true))
        fail("a key taken off still counts as protected itself", key);
    if (!listed(reg::protected_keys(), key))
        fail("a key put back is not listed", key);
    return 0;
}
