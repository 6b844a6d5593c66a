#include "file_util.h"

#include "board.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace board {
namespace file_util {
namespace {

std::string failure(const std::string &what, const std::string &path)
{
    return "cannot " + what + " " + path + ": " + std::strerror(errno);
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

bool read_file(const std::string &path, std::string *text, bool *exists)
{
    text->clear();
    *exists = false;
    // Not blocking, so that opening a pipe does not wait for a writer.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return errno == ENOENT;
    *exists = true;
    struct stat st;
    int e = fstat(fd, &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : EINVAL;
    if (e) {
        close(fd);
        errno = e;
        return false;
    }
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int e = errno;
            close(fd);
            errno = e;
            return false;
        }
        if (n == 0)
            break;
        text->append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return true;
}

void replace_file(const std::string &path, const std::string &text)
{
    std::string tmp = path + ".new";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        throw Error{failure("write", tmp)};
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            std::string message = failure("write", tmp);
            close(fd);
            throw Error{message};
        }
        done += static_cast<size_t>(n);
    }
    if (fsync(fd) != 0) {
        std::string message = failure("flush", tmp);
        close(fd);
        throw Error{message};
    }
    close(fd);
    if (rename(tmp.c_str(), path.c_str()) != 0)
        throw Error{failure("replace", path)};
    std::string dir = path.substr(0, path.rfind('/') + 1);
    int dfd = open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
}

Lock::Lock(const std::string &path, bool exclusive)
{
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ < 0)
        throw Error{failure("open", path)};
    while (flock(fd_, exclusive ? LOCK_EX : LOCK_SH) != 0) {
        if (errno != EINTR) {
            std::string message = failure("lock", path);
            close(fd_);
            throw Error{message};
        }
    }
}

Lock::~Lock()
{
    flock(fd_, LOCK_UN);
    close(fd_);
}

}  // namespace file_util
}  // namespace board
