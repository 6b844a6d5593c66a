// The registry file: read whole under the shared lock, changed under the
// exclusive one, only when it is still the text that was parsed, and
// written aside and renamed over the old one.
#include "board/registry_file.h"

#include "reg_encoding.h"
#include "reg_files.h"
#include "reg_splice.h"

#include "board/folder.h"
#include "board/file_util.h"

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace board {
namespace reg {
namespace {

std::string read_or_empty(const std::string &file, bool *exists)
{
    std::string text;
    if (!file_util::read_file(file, &text, exists))
        throw Error{"cannot read " + file + ": " + std::strerror(errno)};
    return text;
}

// The registry file's text, in UTF-8 whatever the file's encoding (which
// *encoding gets); the default registry's when there is no file.
std::string registry_text(const std::string &file, Encoding *encoding = nullptr)
{
    bool exists;
    std::string bytes = read_or_empty(file, &exists);
    Encoding e = Encoding::Utf8;
    std::string text = exists ? decoded(bytes, file, &e) : serialise(default_hive());
    if (encoding)
        *encoding = e;
    return text;
}

// What tells one registry file from another without reading it: a file
// replaced (renamed over) is a new inode, one changed in place has a new
// size or change time.
struct FileId {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    struct timespec mtime = {}, ctime = {};

    bool operator==(const FileId &o) const
    {
        return exists == o.exists && dev == o.dev && ino == o.ino && size == o.size &&
               mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec &&
               ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
    }
};

FileId file_id(const std::string &file)
{
    FileId id;
    struct stat st;
    if (stat(file.c_str(), &st) != 0) {
        if (errno != ENOENT)
            throw Error{"cannot read " + file + ": " + std::strerror(errno)};
        return id;
    }
    id.exists = true;
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    id.size = st.st_size;
    id.mtime = st.st_mtim;
    id.ctime = st.st_ctim;
    return id;
}

constexpr size_t kCompareBytesBelow = 4u << 20;

// The registry text with the identity of the file it came from; a file
// replaced while it was read is read again.  False when it kept changing.
bool identified_text(const std::string &file, std::string *text, FileId *id, Encoding *encoding)
{
    for (int tries = 0; tries < 3; ++tries) {
        FileId before = file_id(file);
        *text = registry_text(file, encoding);
        *id = file_id(file);
        if (before == *id)
            return true;
    }
    return false;
}

std::atomic<int64_t> lock_nanoseconds{0};

}  // namespace

std::string lock_path() { return board::path("registry.lock"); }

std::string file_path() { return board::path("registry.reg"); }

std::string file_text() { return registry_text(file_path()); }

Hive read()
{
    std::string file = file_path();
    std::string text;
    {
        file_util::Lock lock(lock_path(), false);
        text = registry_text(file);
    }
    return read_text(text, file, nullptr);
}

bool update(const std::function<bool(Hive &)> &change)
{
    // Parsed before the lock; under it, the file is only checked to be the
    // one parsed, and parsed again when another writer changed it since.
    std::string file = file_path();
    std::string text;
    FileId id;
    Layout layout;
    Hive hive;
    Encoding encoding = Encoding::Utf8;
    bool parsed = false;
    try {
        if (identified_text(file, &text, &id, &encoding)) {
            hive = read_text(text, file, &layout);
            parsed = true;
        }
    } catch (const Damaged &) {
        // Told below, once the lock is held and the file read again.
    }
    file_util::Lock lock(lock_path(), true);
    struct Timer {
        std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
        ~Timer()
        {
            lock_nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::steady_clock::now() - start)
                                   .count();
        }
    } timer;
    bool same = parsed && file_id(file) == id;
    // Times are kept to a clock tick or so, and a freed inode number may be
    // given to the next file: two quick writes of a small file in one tick
    // could look like none, so a small file is compared byte for byte.  A
    // large one takes far longer than a tick to write.
    if (same && static_cast<size_t>(id.size) <= kCompareBytesBelow) {
        Encoding now;
        same = registry_text(file, &now) == text && now == encoding;
    }
    if (!same) {
        hive = Hive();
        layout = Layout();
        text = registry_text(file, &encoding);
        hive = read_text(text, file, &layout);
    }
    if (!change(hive))
        return false;
    // Written back in the encoding it came in.  The hive is freed once the
    // lock is given back: taking a large one apart costs more than writing
    // the file.
    file_util::replace_file(file, encoded(splice(text, layout, hive), encoding));
    return true;
}

double last_update_lock_seconds() { return static_cast<double>(lock_nanoseconds) / 1e9; }

void reset()
{
    file_util::Lock lock(lock_path(), true);
    file_util::replace_file(file_path(), serialise(default_hive()));
    clear_protected_locked();
}

}  // namespace reg
}  // namespace board
