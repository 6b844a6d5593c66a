#include "common/child_process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace child {
namespace {

// Between fork and exec only calls that are safe in a child of a threaded
// process run: everything is prepared before the fork.
struct Prepared {
    int kind[3];
    int fd[3];
    const char *path[3];
    int flags[3];
};

[[noreturn]] void fail(int report, int e)
{
    ssize_t ignored = write(report, &e, sizeof e);
    (void)ignored;
    _exit(127);
}

[[noreturn]] void in_child(const Prepared &p, const Launch &launch, char *const *argv, char *const *envp,
                           int report)
{
    // A descriptor of ours that is also a target is moved out of the way
    // first, so that putting one stream in place cannot spoil another.
    int from[3];
    for (int i = 0; i < 3; ++i) {
        from[i] = p.fd[i];
        if (p.kind[i] == static_cast<int>(Stream::Kind::Fd) && from[i] >= 0 && from[i] <= 2) {
            from[i] = fcntl(from[i], F_DUPFD_CLOEXEC, 3);
            if (from[i] < 0)
                fail(report, errno);
        }
    }
    for (int i = 0; i < 3; ++i) {
        switch (static_cast<Stream::Kind>(p.kind[i])) {
        case Stream::Kind::Inherit:
            break;
        case Stream::Kind::Closed:
            close(i);
            break;
        case Stream::Kind::Fd:
            if (dup2(from[i], i) < 0)
                fail(report, errno);
            break;
        case Stream::Kind::File: {
            int fd = open(p.path[i], p.flags[i] | O_CLOEXEC, 0644);
            if (fd < 0 || dup2(fd, i) < 0)
                fail(report, errno);
            break;
        }
        }
    }
    if (launch.default_signals) {
        struct sigaction dfl;
        std::memset(&dfl, 0, sizeof dfl);
        dfl.sa_handler = SIG_DFL;
        for (int sig : {SIGINT, SIGHUP, SIGTERM})
            sigaction(sig, &dfl, nullptr);
    }
    if (launch.file_limit >= 0) {
        struct rlimit limit = {static_cast<rlim_t>(launch.file_limit), static_cast<rlim_t>(launch.file_limit)};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
            fail(report, errno);
    }
    execve(argv[0], argv, envp);
    fail(report, errno);
}

std::vector<std::string> environment(const Launch &launch)
{
    std::vector<std::string> env;
    for (char **e = environ; e && *e; ++e) {
        std::string entry = *e;
        bool replaced = false;
        for (const auto &kv : launch.env)
            replaced = replaced || entry.compare(0, kv.first.size() + 1, kv.first + "=") == 0;
        if (!replaced)
            env.push_back(entry);
    }
    for (const auto &kv : launch.env)
        env.push_back(kv.first + "=" + kv.second);
    return env;
}

std::vector<char *> pointers(const std::vector<std::string> &strings)
{
    std::vector<char *> out;
    for (const std::string &s : strings)
        out.push_back(const_cast<char *>(s.c_str()));
    out.push_back(nullptr);
    return out;
}

}  // namespace

Stream Stream::null_input() { return file("/dev/null", O_RDONLY); }
Stream Stream::null_output() { return file("/dev/null", O_WRONLY); }

pid_t start(const Launch &launch, int *error)
{
    *error = 0;
    if (launch.argv.empty()) {
        *error = EINVAL;
        return -1;
    }
    Prepared p;
    const Stream *streams[3] = {&launch.in, &launch.out, &launch.err};
    for (int i = 0; i < 3; ++i) {
        p.kind[i] = static_cast<int>(streams[i]->kind);
        p.fd[i] = streams[i]->fd;
        p.path[i] = streams[i]->path.c_str();
        p.flags[i] = streams[i]->flags;
    }
    std::vector<std::string> env = environment(launch);
    std::vector<char *> argv = pointers(launch.argv), envp = pointers(env);
    // The child says on this pipe why its program did not run; the pipe
    // closes unread when the program runs.
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        *error = errno;
        return -1;
    }
    pid_t pid = fork();
    if (pid == 0)
        in_child(p, launch, argv.data(), envp.data(), report[1]);
    int fork_error = errno;
    close(report[1]);
    if (pid < 0) {
        close(report[0]);
        *error = fork_error;
        return -1;
    }
    int e = 0;
    ssize_t n;
    while ((n = read(report[0], &e, sizeof e)) < 0 && errno == EINTR) {
    }
    close(report[0]);
    if (n == static_cast<ssize_t>(sizeof e))
        *error = e;
    return pid;
}

Ended wait(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return Ended{-1, 0};
    }
    if (WIFEXITED(status))
        return Ended{WEXITSTATUS(status), 0};
    return Ended{-1, WIFSIGNALED(status) ? WTERMSIG(status) : 0};
}

}  // namespace child
