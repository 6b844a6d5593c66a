// The files of 'board record' (capture_file.h): written aside, renamed
// into place, and the left-overs of recorders killed half-way removed.
#include "capture_file.h"

#include "board/file_util.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace capture_file {

Capture::~Capture()
{
    if (fd >= 0)
        close(fd);
    if (!name.empty() && !keep)
        unlinkat(dir, name.c_str(), 0);
    if (dir >= 0)
        close(dir);
}

void Capture::write_all(const std::string &text)
{
    size_t done = 0;
    while (!write_errno && done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            write_errno = n < 0 ? errno : EIO;
            break;
        }
        done += static_cast<size_t>(n);
    }
}

std::string refusal(int dir, const std::string &name, const std::string &shown)
{
    struct stat st;
    if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? "" : "cannot look at " + shown + ": " + std::strerror(errno);
    if (S_ISLNK(st.st_mode))
        return shown + " is a symbolic link: the capture is not written through a link";
    if (S_ISDIR(st.st_mode))
        return shown + " is a folder: name the capture's file";
    if (!S_ISREG(st.st_mode))
        return shown + " is no regular file: the capture replaces only a regular file";
    return "";
}

const char kFinished[] = "$comment capture ended: ";

// Whether name is one a recorder writes its capture under: .STEM.rec-PID-N,
// with the recorder's pid.
bool capture_name(const std::string &name, pid_t *pid)
{
    size_t rec = name.rfind(".rec-");
    if (name.size() < 2 || name[0] != '.' || rec == std::string::npos || rec < 2)
        return false;
    size_t dash = name.find('-', rec + 5);
    if (dash == std::string::npos || dash == rec + 5 || dash + 1 == name.size())
        return false;
    for (size_t i = rec + 5; i < name.size(); ++i)
        if (i != dash && (name[i] < '0' || name[i] > '9'))
            return false;
    if (dash - rec - 5 > 9)
        return false;
    *pid = static_cast<pid_t>(std::stol(name.substr(rec + 5, dash - rec - 5)));
    return true;
}

// Removes the captures recorders killed before their end left in the
// folder: a regular file of a recorder's name whose recorder has ended (its
// pid is gone and it holds no lock on the file, as a recorder does while it
// records) and that was never finished.  A finished capture that could not
// be renamed into place, which its recorder named, stays.  Quiet: what
// cannot be removed stays.
void remove_left_overs(int dir)
{
    int fd = dup(dir);
    DIR *d = fd >= 0 ? fdopendir(fd) : nullptr;
    if (!d) {
        if (fd >= 0)
            close(fd);
        return;
    }
    std::vector<std::string> gone;
    for (struct dirent *e; (e = readdir(d)) != nullptr;) {
        pid_t pid;
        if (capture_name(e->d_name, &pid) && !board::file_util::process_alive(pid))
            gone.push_back(e->d_name);
    }
    closedir(d);
    for (const std::string &name : gone) {
        int f = openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        struct stat st;
        if (f < 0)
            continue;
        bool idle = fstat(f, &st) == 0 && S_ISREG(st.st_mode) && flock(f, LOCK_EX | LOCK_NB) == 0;
        char tail[256];
        off_t from = idle && st.st_size > (off_t)sizeof tail ? st.st_size - (off_t)sizeof tail : 0;
        ssize_t n = idle ? pread(f, tail, sizeof tail, from) : -1;
        bool finished = n > 0 && std::string(tail, static_cast<size_t>(n)).find(kFinished) != std::string::npos;
        struct stat named;
        // Still the file looked at (not another put in its place meanwhile).
        if (idle && n >= 0 && !finished && fstatat(dir, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            named.st_ino == st.st_ino && named.st_dev == st.st_dev)
            unlinkat(dir, name.c_str(), 0);
        close(f);
    }
}


bool create_beside(Capture &cap, const std::string &stem, int first, const std::string &prefix)
{
    for (int i = first; cap.fd < 0; ++i) {
        std::string tmp = "." + stem + ".rec-" + std::to_string(getpid()) + "-" + std::to_string(i);
        cap.fd = openat(cap.dir, tmp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (cap.fd >= 0) {
            // Held while it records: no other recorder takes it for left over.
            flock(cap.fd, LOCK_EX);
            cap.name = tmp;
            cap.shown = prefix + tmp;
        } else if (errno != EEXIST || i == first + 99) {
            return false;
        }
    }
    return true;
}

std::string put_in_place(Capture &cap, const std::string &name, const std::string &shown)
{
    // name may have been changed meanwhile: the refusal stands.
    std::string why = refusal(cap.dir, name, shown);
    struct stat was;
    if (why.empty() && fstatat(cap.dir, name.c_str(), &was, AT_SYMLINK_NOFOLLOW) == 0 &&
        fchmodat(cap.dir, cap.name.c_str(), was.st_mode & 07777, 0) != 0)
        why = "cannot give the capture the permissions of " + shown + ": " + std::strerror(errno);
    if (why.empty() && renameat(cap.dir, cap.name.c_str(), cap.dir, name.c_str()) != 0)
        why = "cannot rename the capture to " + shown + ": " + std::strerror(errno);
    if (!why.empty()) {
        cap.keep = true;
        return why;
    }
    cap.name.clear();
    fsync(cap.dir);
    return "";
}

}  // namespace capture_file
