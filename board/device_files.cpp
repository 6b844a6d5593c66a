// The device's files (device_files.h): where a device path lands in the
// board folder's fs/, the checks on every name and link on the way, the
// read-only attribute, and the reset of the tree.  A little over 500
// lines: the name rules and the walk that applies them belong together.
#include "board/device_files.h"

#include "device_faults.h"
#include "board/folder.h"
#include "board/file_util.h"
#include "board/registry_file.h"
#include "common/ce_errors.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace board {
namespace files {
namespace faults {
namespace {

std::atomic<bool> g_armed{false};
std::mutex g_lock;
std::string g_path;
int g_error = 0;

}  // namespace

void fail_reads_of(const std::string &host_path, int error)
{
    std::lock_guard<std::mutex> lock(g_lock);
    g_path = host_path;
    g_error = error;
    g_armed = error != 0;
}

int read_fault(const std::string &host_path)
{
    if (!g_armed)
        return 0;
    std::lock_guard<std::mutex> lock(g_lock);
    return host_path == g_path ? g_error : 0;
}

}  // namespace faults

namespace {

using file_util::failure;
using file_util::Folder;
using namespace ce_error;

constexpr uint32_t kTooLong = kFilenameTooLong;
constexpr size_t kMaxPath = 260;
constexpr size_t kMaxName = 255;

const char kRoot[] = "fs";
const char kStartupShortcut[] = "Velmorra.lnk";
const char kStartupProgram[] = "\\Windows\\Velmorra.exe";

// Where the default image is built, and where a replaced root waits to be
// removed; PID is the builder's.
std::string scratch(const char *kind, pid_t pid)
{
    return std::string(kRoot) + "." + kind + "." + std::to_string(pid);
}

// Makes the folder name in parent and opens it.
std::unique_ptr<Folder> make_folder(const Folder &parent, const std::string &name)
{
    if (mkdirat(parent.fd(), name.c_str(), 0777) != 0)
        throw Error{failure("create", parent.shown(name))};
    int fd = Folder::open_in(parent, name);
    if (fd < 0)
        throw Error{failure("open", parent.shown(name))};
    return std::make_unique<Folder>(fd, parent.shown(name));
}

// Builds the default image in a folder beside the root and puts it in
// place; false when a root appeared meanwhile (and replace is false).
bool build_image(const Folder &board, bool replace)
{
    bool had_root = false;
    if (replace) {
        int old = Folder::open_in(board, kRoot);  // a link or a file there is refused
        had_root = old >= 0;
        if (had_root)
            close(old);
    }
    std::string fresh = scratch("new", getpid());
    file_util::remove_tree_at(board.fd(), fresh);
    {
        std::unique_ptr<Folder> image = make_folder(board, fresh);
        std::unique_ptr<Folder> windows = make_folder(*image, "Windows");
        std::unique_ptr<Folder> startup = make_folder(*windows, "Startup");
        make_folder(*image, "My Documents");
        make_folder(*image, "Temp");
        file_util::write_new_at(*startup, kStartupShortcut, shortcut_text(kStartupProgram));
    }
    int b = board.fd();
    if (had_root) {
        // In one step, so that no process finds the root missing.
        if (renameat2(b, fresh.c_str(), b, kRoot, RENAME_EXCHANGE) == 0) {
            file_util::remove_tree_at(b, fresh);
            return true;
        }
        std::string aside = scratch("old", getpid());
        if ((errno != EINVAL && errno != ENOSYS) || renameat(b, kRoot, b, aside.c_str()) != 0) {
            std::string message = failure("replace", board.shown(kRoot));
            file_util::remove_tree_at(b, fresh);
            throw Error{message};
        }
        if (renameat(b, fresh.c_str(), b, kRoot) != 0) {
            std::string message = failure("create", board.shown(kRoot));
            renameat(b, aside.c_str(), b, kRoot);  // the old root back
            file_util::remove_tree_at(b, fresh);
            throw Error{message};
        }
        file_util::remove_tree_at(b, aside);
        return true;
    }
    if (renameat(b, fresh.c_str(), b, kRoot) != 0) {
        int e = errno;
        file_util::remove_tree_at(b, fresh);
        if (!replace && (e == EEXIST || e == ENOTEMPTY))
            return false;
        errno = e;
        throw Error{failure("create", board.shown(kRoot))};
    }
    return true;
}

// The board folder, created when missing.
std::unique_ptr<Folder> open_board()
{
    std::string fs = board::path(kRoot);  // makes the board folder
    return std::make_unique<Folder>(fs.substr(0, fs.rfind('/')));
}

// The device's root, held open; a board that has none yet gets the default
// image first.  A link or a file in the root's place is refused.
std::unique_ptr<Folder> open_root()
{
    std::unique_ptr<Folder> board = open_board();
    int fd = Folder::open_in(*board, kRoot);
    if (fd < 0 && errno == ENOENT) {
        build_image(*board, false);
        fd = Folder::open_in(*board, kRoot);
    }
    if (fd < 0)
        throw Error{failure("open", board->shown(kRoot))};
    return std::make_unique<Folder>(fd, board->shown(kRoot));
}

bool bad_char(unsigned char c)
{
    return c < 0x20 || std::strchr("<>:\"|?*/\\", c) != nullptr;
}

std::string fold(const std::string &s)
{
    std::string out = s;
    for (char &c : out)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 32);
    return out;
}

// The entries of an open folder (read through a descriptor of its own, so
// that the folder's own stays where it is): 0, or the errno of a folder
// that could not be read (*names then holds what was read).
int entries(const Folder &dir, std::vector<std::string> *names)
{
    names->clear();
    if (int e = faults::read_fault(dir.path()))
        return e;
    int fd = openat(dir.fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *d = fd >= 0 ? fdopendir(fd) : nullptr;
    if (!d) {
        int e = errno;
        if (fd >= 0)
            close(fd);
        return e;
    }
    for (;;) {
        errno = 0;
        struct dirent *e = readdir(d);
        if (!e)
            break;
        std::string n = e->d_name;
        if (n != "." && n != "..")
            names->push_back(n);
    }
    int e = errno;
    closedir(d);
    return e;
}

// The entry of the folder whose name matches name, as the device matches
// names; 0 or the errno of a folder that could not be read.
int match_in(const Folder &dir, const std::string &name, std::string *found)
{
    found->clear();
    std::vector<std::string> names;
    if (int e = entries(dir, &names))
        return e;
    for (const std::string &n : names) {
        if (n == name) {
            *found = n;
            break;
        }
        if (found->empty() && reg::same_name(n, name))
            *found = n;
    }
    return 0;
}

// A device path walked from the root, one folder descriptor at a time and
// never through a link, so that nothing swapped in on the way leads out.
struct Walked {
    uint32_t error;
    std::unique_ptr<Folder> parent;  // holds the last element (error 0 or kFileNotFound)
    std::string name;                // the last element's name there
    bool is_dir;
    int host_error;                  // kGenFailure: the errno of what the host failed to do
    std::string why;                 // and what that was, naming the file
};

Walked refused(uint32_t error) { return Walked{error, nullptr, std::string(), false, 0, std::string()}; }

// The host could not read what the path leads through (errno e).
Walked failed(const char *what, const std::string &host, int e)
{
    errno = e;
    return Walked{kGenFailure, nullptr, std::string(), false, e, failure(what, host)};
}

Walked walk(const std::string &path)
{
    if (path.empty())
        return refused(kPathNotFound);
    // Characters, as the device counts them (UTF-8 continuation bytes are not).
    size_t chars = 0;
    for (unsigned char c : path)
        chars += (c & 0xC0) != 0x80;
    if (chars >= kMaxPath)
        return refused(kTooLong);
    std::vector<std::string> parts;
    size_t pos = path[0] == '\\' ? 1 : 0;  // no current folder: relative is from the root
    for (;;) {
        size_t end = path.find('\\', pos);
        std::string part = path.substr(pos, end == std::string::npos ? end : end - pos);
        if (!valid_name(part))
            return refused(kInvalidName);
        if (part.size() > kMaxName)
            return refused(kTooLong);
        parts.push_back(part);
        if (end == std::string::npos)
            break;
        pos = end + 1;
    }
    std::unique_ptr<Folder> cur = open_root();
    for (size_t i = 0;; ++i) {
        bool last = i + 1 == parts.size();
        std::string name;
        if (int e = match_in(*cur, parts[i], &name))
            return failed("read the folder", cur->path(), e);
        struct stat st;
        int e = name.empty() ? ENOENT : faults::read_fault(cur->shown(name));
        if (!e && fstatat(cur->fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            e = errno;
        if (e == ENOENT) {  // not there, or taken away meanwhile
            if (!last)
                return refused(kPathNotFound);
            return Walked{kFileNotFound, std::move(cur), parts[i], false, 0, std::string()};
        }
        if (e)
            return failed("look at", cur->shown(name), e);
        if (S_ISLNK(st.st_mode))
            return refused(kAccessDenied);
        if (last)
            return Walked{0, std::move(cur), name, S_ISDIR(st.st_mode), 0, std::string()};
        if (!S_ISDIR(st.st_mode))
            return refused(kPathNotFound);
        int fd = openat(cur->fd(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0 && errno == ELOOP)  // swapped for a link meanwhile
            return refused(kAccessDenied);
        if (fd < 0 && (errno == ENOENT || errno == ENOTDIR))  // or taken away
            return refused(kPathNotFound);
        if (fd < 0)
            return failed("open the folder", cur->shown(name), errno);
        std::string shown = cur->shown(name);
        cur = std::make_unique<Folder>(fd, shown);
    }
}

uint32_t from_errno(int e)
{
    switch (e) {
    case ENOENT: return kFileNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return kAccessDenied;
    case EBUSY: return kSharingViolation;
    default: return kGenFailure;
    }
}

bool digits(const std::string &s)
{
    return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

std::string match(const std::string &dir, const std::string &name)
{
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return std::string();
    std::string found;
    match_in(Folder(fd, dir), name, &found);
    return found;
}

bool valid_name(const std::string &name)
{
    if (name.empty() || name == "." || name == "..")
        return false;
    for (unsigned char c : name)
        if (bad_char(c))
            return false;
    return true;
}

std::string root()
{
    return open_root()->path();
}

void reset()
{
    build_image(*open_board(), true);
}

void tidy(const file_util::Folder &board)
{
    std::vector<std::string> names;
    entries(board, &names);  // what cannot be read now is tidied another time
    for (const std::string &n : names) {
        const std::string prefix = std::string(kRoot) + ".";
        if (n.compare(0, prefix.size(), prefix) != 0)
            continue;
        std::string rest = n.substr(prefix.size());
        if (rest.compare(0, 4, "new.") != 0 && rest.compare(0, 4, "old.") != 0)
            continue;
        std::string pid = rest.substr(4);
        if (!digits(pid) || pid.size() > 9)
            continue;
        pid_t p = static_cast<pid_t>(std::stol(pid));
        struct stat st;
        if (p != getpid() && !file_util::process_alive(p) &&
            fstatat(board.fd(), n.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode))
            file_util::remove_tree_at(board.fd(), n);
    }
}

Found resolve(const std::string &path)
{
    Walked w = walk(path);
    if (w.error && w.error != kFileNotFound)
        return Found{w.error, std::string(), false, w.why};
    return Found{w.error, w.parent ? w.parent->shown(w.name) : std::string(), w.is_dir, std::string()};
}

uint32_t remove(const std::string &path)
{
    Walked w = walk(path);
    if (w.error || w.is_dir)
        return w.error ? w.error : kAccessDenied;
    // A read-only file is not deleted (nor anything but a regular file).
    // The attribute is looked at here: a process with the rights to unlink
    // anything would not be stopped by the host.
    struct stat st;
    if (fstatat(w.parent->fd(), w.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return from_errno(errno);
    if (!S_ISREG(st.st_mode) || (st.st_mode & S_IWUSR) == 0)
        return kAccessDenied;
    // By its name in the folder held open: a link put there meanwhile is
    // removed itself, never followed, and a folder is not removed at all.
    if (unlinkat(w.parent->fd(), w.name.c_str(), 0) != 0)
        return from_errno(errno);
    return 0;
}

Read read(const std::string &path, std::string *text, size_t limit, int *error)
{
    text->clear();
    *error = 0;
    Walked w = walk(path);
    if (w.error == kGenFailure) {
        *error = w.host_error;
        return Read::Failed;
    }
    if (w.error == kFileNotFound || w.error == kPathNotFound)
        return Read::Missing;
    if (w.error || w.is_dir)
        return Read::NotAFile;
    if ((*error = faults::read_fault(w.parent->shown(w.name))))
        return Read::Failed;
    bool exists = false;
    if (file_util::read_at(*w.parent, w.name, text, &exists, limit))
        return exists ? Read::Done : Read::Missing;
    // A pipe or a device in its place, or a file longer than a shortcut.
    if (errno == EINVAL || errno == EFBIG)
        return Read::NotAFile;
    *error = errno;
    return Read::Failed;
}

uint32_t read_only(const std::string &host, bool *on)
{
    int fd = open(host.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? kFileNotFound : kAccessDenied;
    struct stat st;
    int r = fstat(fd, &st);
    close(fd);
    if (r != 0 || !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)))
        return kAccessDenied;
    *on = (st.st_mode & S_IWUSR) == 0;
    return 0;
}

uint32_t set_read_only(const std::string &host, bool on)
{
    // Opened without waiting (a pipe put in its place) and without following a link.
    int fd = open(host.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? kFileNotFound : kAccessDenied;
    struct stat st;
    uint32_t error = 0;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = kAccessDenied;
    } else {
        mode_t mode = st.st_mode & 07777;
        mode = on ? mode & ~mode_t(0222) : mode | S_IWUSR;
        if (fchmod(fd, mode) != 0)
            error = kAccessDenied;
    }
    close(fd);
    return error;
}

std::vector<std::string> list(const std::string &device_dir)
{
    std::vector<std::string> names;
    Walked w = walk(device_dir);
    if (w.error == kGenFailure)
        throw Error{w.why};
    if (w.error || !w.is_dir)
        return names;
    int fd = openat(w.parent->fd(), w.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno != ENOENT && errno != ELOOP && errno != ENOTDIR)
        throw Error{failure("open the folder", w.parent->shown(w.name))};
    if (fd < 0)  // taken away or swapped meanwhile
        return names;
    Folder dir(fd, w.parent->shown(w.name));
    if (int e = entries(dir, &names)) {
        errno = e;
        throw Error{failure("read the folder", dir.path())};
    }
    std::sort(names.begin(), names.end(),
              [](const std::string &a, const std::string &b) { return fold(a) < fold(b); });
    return names;
}

std::string shortcut_text(const std::string &target)
{
    size_t chars = 0;
    for (unsigned char c : target)
        chars += (c & 0xC0) != 0x80;
    return std::to_string(chars) + "#" + target;
}

bool shortcut_target(const std::string &text, std::string *target)
{
    size_t hash = text.find('#');
    if (hash == 0 || hash == std::string::npos ||
        text.find_first_not_of("0123456789") != hash)
        return false;
    std::string rest = text.substr(hash + 1);
    while (!rest.empty() && std::strchr("\r\n \t", rest.back()))
        rest.pop_back();
    if (!rest.empty() && rest[0] == '"') {
        size_t close = rest.find('"', 1);
        if (close == std::string::npos)
            return false;
        *target = rest.substr(1, close - 1);
    } else {
        *target = rest.substr(0, rest.find(' '));
    }
    return !target->empty();
}

}  // namespace files
}  // namespace board
