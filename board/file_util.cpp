#include "board/file_util.h"

#include "board/folder.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace board {
namespace file_util {
namespace {

constexpr int kMaxDepth = 256;

// The folder a path lies in and its last element.
void split(const std::string &path, std::string *folder, std::string *name)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        *folder = ".";
        *name = path;
    } else {
        *folder = slash == 0 ? "/" : path.substr(0, slash);
        *name = path.substr(slash + 1);
    }
}

bool is_link_at(int dir_fd, const std::string &name)
{
    struct stat st;
    return fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

// Closes fd keeping errno.
void close_keep(int fd)
{
    int e = errno;
    close(fd);
    errno = e;
}

bool write_all(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool remove_below(int dir_fd, int depth);

bool remove_entry(int dir_fd, const char *name, int depth)
{
    struct stat st;
    if (fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    if (!S_ISDIR(st.st_mode))
        return unlinkat(dir_fd, name, 0) == 0 || errno == ENOENT;
    if (depth >= kMaxDepth) {
        errno = ELOOP;
        return false;
    }
    // A folder swapped for a link meanwhile fails here and is left alone.
    int fd = openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = remove_below(fd, depth + 1);
    close_keep(fd);
    return ok && (unlinkat(dir_fd, name, AT_REMOVEDIR) == 0 || errno == ENOENT);
}

// Removes everything in the open folder dir_fd (the descriptor stays open).
bool remove_below(int dir_fd, int depth)
{
    int fd = dup(dir_fd);
    DIR *d = fd >= 0 ? fdopendir(fd) : nullptr;
    if (!d) {
        if (fd >= 0)
            close_keep(fd);
        return false;
    }
    bool ok = true;
    while (struct dirent *e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
            continue;
        ok = remove_entry(dir_fd, e->d_name, depth) && ok;
    }
    closedir(d);
    return ok;
}

}  // namespace

bool mkdirs(const std::string &d)
{
    std::string cur;
    for (size_t i = 0; i <= d.size(); ++i) {
        if (i == d.size() || d[i] == '/') {
            if (!cur.empty() && mkdir(cur.c_str(), 0777) != 0 && errno != EEXIST)
                return false;
        }
        if (i < d.size())
            cur += d[i];
    }
    return true;
}

Folder::Folder(const std::string &path) : path_(path)
{
    fd_ = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0)
        throw Error{errno == ENOTDIR ? path + " is not a folder" : failure("open the folder", path)};
}

Folder::~Folder()
{
    if (fd_ >= 0)
        close(fd_);
}

int Folder::open_in(const Folder &parent, const std::string &name)
{
    int fd = openat(parent.fd(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0 || errno == ENOENT)
        return fd;
    int e = errno;
    if (is_link_at(parent.fd(), name))
        throw Error{link_refused(parent.shown(name))};
    errno = e;
    if (errno == ENOTDIR)
        throw Error{parent.shown(name) + " is not a folder"};
    throw Error{failure("open the folder", parent.shown(name))};
}

std::string failure(const std::string &what, const std::string &path)
{
    return "cannot " + what + " " + path + ": " + std::strerror(errno);
}

std::string link_refused(const std::string &path)
{
    return path + " is a symbolic link: the board reaches no file through a link";
}

int open_at(const Folder &dir, const std::string &name, int flags, Kind kind)
{
    int fd = openat(dir.fd(), name.c_str(), flags | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC,
                    0666);
    if (fd < 0) {
        int e = errno;
        if (e == ELOOP || is_link_at(dir.fd(), name))
            throw Error{link_refused(dir.shown(name))};
        errno = e;
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        close_keep(fd);
        return -1;
    }
    bool regular = S_ISREG(st.st_mode);
    if (!regular && !(kind == Kind::Append && S_ISCHR(st.st_mode))) {
        close(fd);
        if (kind == Kind::Read) {
            errno = EINVAL;
            return -1;
        }
        throw Error{dir.shown(name) + " is not a regular file"};
    }
    if (regular && kind != Kind::Read && st.st_nlink > 1) {
        close(fd);
        throw Error{dir.shown(name) + " has other names (hard links): the board writes only a file "
                                      "of its own"};
    }
    if (!(flags & O_NONBLOCK))
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

namespace {

// Reads fd (opened by open_at) to its end, at most limit bytes, and closes it.
bool read_all(int fd, std::string *text, size_t limit)
{
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            close_keep(fd);
            return false;
        }
        if (n == 0)
            break;
        if (text->size() + static_cast<size_t>(n) > limit) {
            close(fd);
            text->clear();
            errno = EFBIG;
            return false;
        }
        text->append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return true;
}

// Not blocking, so that a pipe does not wait for a writer (it is refused).
constexpr int kReadFlags = O_RDONLY | O_NONBLOCK;

}  // namespace

bool read_at(const Folder &dir, const std::string &name, std::string *text, bool *exists,
             size_t limit)
{
    text->clear();
    int fd = open_at(dir, name, kReadFlags, Kind::Read);
    *exists = fd >= 0;
    if (fd < 0)
        return errno == ENOENT;
    return read_all(fd, text, limit);
}

int open_file(const std::string &path, int flags, Kind kind)
{
    std::string folder, name;
    split(path, &folder, &name);
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    Folder dir(fd, folder);
    return open_at(dir, name, flags, kind);
}

bool read_file(const std::string &path, std::string *text, bool *exists)
{
    text->clear();
    int fd = open_file(path, kReadFlags, Kind::Read);
    *exists = fd >= 0;
    if (fd < 0)
        return errno == ENOENT;  // the file or its folder is missing
    return read_all(fd, text, text->max_size());
}

void write_new_at(const Folder &dir, const std::string &name, const std::string &text)
{
    std::string shown = dir.shown(name);
    struct stat st;
    if (fstatat(dir.fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(st.st_mode))
            throw Error{link_refused(shown)};
        // What a writer that died left; another name for some file is only
        // taken away, never written.
        if (S_ISREG(st.st_mode) && unlinkat(dir.fd(), name.c_str(), 0) != 0 && errno != ENOENT)
            throw Error{failure("remove", shown)};
    }
    int fd = open_at(dir, name, O_WRONLY | O_CREAT | O_EXCL, Kind::Written);
    if (fd < 0)
        throw Error{failure("write", shown)};
    if (!write_all(fd, text)) {
        std::string message = failure("write", shown);
        close(fd);
        throw Error{message};
    }
    if (fsync(fd) != 0) {
        std::string message = failure("flush", shown);
        close(fd);
        throw Error{message};
    }
    close(fd);
}

void replace_at(const Folder &dir, const std::string &name, const std::string &text)
{
    std::string tmp = name + ".new";
    if (is_link_at(dir.fd(), name))
        throw Error{link_refused(dir.shown(name))};
    write_new_at(dir, tmp, text);
    if (renameat(dir.fd(), tmp.c_str(), dir.fd(), name.c_str()) != 0)
        throw Error{failure("replace", dir.shown(name))};
    fsync(dir.fd());
}

void replace_file(const std::string &path, const std::string &text)
{
    std::string folder, name;
    split(path, &folder, &name);
    Folder dir(folder);
    replace_at(dir, name, text);
}

bool remove_tree_at(int dir_fd, const std::string &name)
{
    return remove_entry(dir_fd, name.c_str(), 0);
}

int open_append(const std::string &path)
{
    int fd = open_file(path, O_WRONLY | O_APPEND | O_CREAT, Kind::Append);
    if (fd < 0)
        throw Error{failure("write", path)};
    return fd;
}

bool append_whole(int fd, const std::string &text)
{
    ssize_t n;
    do
        n = write(fd, text.data(), text.size());
    while (n < 0 && errno == EINTR);
    if (n < 0 || static_cast<size_t>(n) == text.size())
        return n >= 0;
    // Cut back to where the text began, unless someone wrote after it
    // (nor a terminal, which cannot be cut).
    off_t end = lseek(fd, 0, SEEK_CUR);
    struct stat st;
    if (end >= n && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == end) {
        int r = ftruncate(fd, end - n);
        (void)r;
    }
    errno = ENOSPC;
    return false;
}

bool process_alive(pid_t pid)
{
    return pid > 0 && (kill(pid, 0) == 0 || errno != ESRCH);
}

Lock::Lock(const std::string &path, bool exclusive) : fd_(-1)
{
    fd_ = open_file(path, O_RDWR | O_CREAT, Kind::Read);
    if (fd_ < 0)
        throw Error{errno == EINVAL ? path + " is not a regular file" : failure("open", path)};
    take(path, exclusive, true);
}

Lock::Lock(const Folder &dir, const std::string &name, bool exclusive, bool wait) : fd_(-1)
{
    std::string shown = name.empty() ? dir.path() : dir.shown(name);
    if (name.empty())
        fd_ = openat(dir.fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    else
        fd_ = open_at(dir, name, O_RDWR | O_CREAT, Kind::Read);
    if (fd_ < 0)
        throw Error{errno == EINVAL ? shown + " is not a regular file" : failure("open", shown)};
    take(shown, exclusive, wait);
}

void Lock::take(const std::string &shown, bool exclusive, bool wait)
{
    int op = (exclusive ? LOCK_EX : LOCK_SH) | (wait ? 0 : LOCK_NB);
    while (flock(fd_, op) != 0) {
        if (errno == EWOULDBLOCK && !wait) {
            close(fd_);
            fd_ = -1;
            return;
        }
        if (errno != EINTR) {
            std::string message = failure("lock", shown);
            close(fd_);
            throw Error{message};
        }
    }
}

Lock::~Lock()
{
    if (fd_ >= 0) {
        flock(fd_, LOCK_UN);
        close(fd_);
    }
}

void remove_left_overs(const Folder &dir, const std::string &lock_name,
                       const std::vector<std::string> &names)
{
    try {
        Lock lock(dir, lock_name, true, false);
        if (!lock.held())
            return;  // a writer is at work: what it writes is not left over
        for (const std::string &name : names) {
            struct stat st;
            if (fstatat(dir.fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISREG(st.st_mode))
                unlinkat(dir.fd(), name.c_str(), 0);
        }
    } catch (const Error &) {
        // The lock file itself is refused: the next writer says so.
    }
}

}  // namespace file_util
}  // namespace board
