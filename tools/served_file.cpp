// The served board's file: the serving lock, the owner-only file holding
// the line that reaches the server, its secret.
#include "served_file.h"

#include "board/folder.h"
#include "platform/served_wire.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace served {

using board::Error;
using board::file_util::Folder;

namespace {

const char kLock[] = SERVED_FILE ".lock";

}  // namespace

Claim::Claim(const Folder &folder) : folder_(folder), lock_(folder, kLock, true, false) {}

pid_t Claim::other_pid() const
{
    pid_t pid = 0;
    try {
        read_line(folder_, &pid);
    } catch (const Error &) {
    }
    return pid;
}

void Claim::publish(const std::string &line)
{
    std::string shown = folder_.shown(SERVED_FILE);
    // Left by a server that was killed: this one holds the lock now.
    if (unlinkat(folder_.fd(), SERVED_FILE, 0) != 0 && errno != ENOENT)
        throw Error{board::file_util::failure("remove", shown)};
    int fd = openat(folder_.fd(), SERVED_FILE, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        throw Error{board::file_util::failure("create", shown)};
    std::string text = line + "\npid " + std::to_string(getpid()) + "\n";
    struct stat st;
    bool ok = fchmod(fd, 0600) == 0 && write(fd, text.data(), text.size()) == ssize_t(text.size()) &&
              fstat(fd, &st) == 0;
    int e = errno;
    close(fd);
    if (!ok) {
        unlinkat(folder_.fd(), SERVED_FILE, 0);
        errno = e;
        throw Error{board::file_util::failure("write", shown)};
    }
    dev_ = st.st_dev;
    ino_ = st.st_ino;
}

void Claim::withdraw()
{
    if (!ino_)
        return;
    struct stat st;
    if (fstatat(folder_.fd(), SERVED_FILE, &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == dev_ &&
        st.st_ino == ino_)
        unlinkat(folder_.fd(), SERVED_FILE, 0);
    ino_ = 0;
}

void make_secret(unsigned char *secret)
{
    size_t got = 0;
    while (got < SERVED_SECRET_BYTES) {
        ssize_t n = getrandom(secret + got, SERVED_SECRET_BYTES - got, 0);
        if (n > 0)
            got += size_t(n);
        else if (errno != EINTR)
            throw Error{std::string("no random numbers for a secret: ") + std::strerror(errno)};
    }
}

std::string env_line(int port, const unsigned char *secret)
{
    std::string line = std::string(SERVED_ENV) + "=127.0.0.1:" + std::to_string(port) + ":";
    for (int i = 0; i < SERVED_SECRET_BYTES; ++i) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", secret[i]);
        line += hex;
    }
    return line;
}

bool serving(const Folder &folder)
{
    board::file_util::Lock probe(folder, kLock, true, false);
    return !probe.held();
}

std::string read_line(const Folder &folder, pid_t *pid)
{
    std::string shown = folder.shown(SERVED_FILE);
    int fd = board::file_util::open_at(folder, SERVED_FILE, O_RDONLY, board::file_util::Kind::Read);
    if (fd < 0) {
        if (errno == ENOENT)
            return "";
        throw Error{board::file_util::failure("read", shown)};
    }
    struct stat st;
    char buf[256];
    ssize_t n = fstat(fd, &st) == 0 ? read(fd, buf, sizeof buf - 1) : -1;
    close(fd);
    if (n < 0)
        throw Error{board::file_util::failure("read", shown)};
    if (st.st_uid != geteuid() || (st.st_mode & 077))
        throw Error{shown + " is not the user's own, readable by the owner only; not used"};
    std::string text(buf, size_t(n));
    std::string prefix = std::string(SERVED_ENV) + "=127.0.0.1:";
    size_t end = text.find('\n');
    if (text.compare(0, prefix.size(), prefix) != 0 || end == std::string::npos)
        throw Error{shown + " holds no " SERVED_ENV " line"};
    if (pid) {
        size_t at = text.find("\npid ");
        *pid = at == std::string::npos ? 0 : pid_t(std::atoi(text.c_str() + at + 5));
    }
    return text.substr(0, end);
}

}  // namespace served
