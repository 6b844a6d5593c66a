#include "process.h"
#include "board_folder.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace test_support {
namespace {

std::string temp_file()
{
    std::string templ = (std::filesystem::temp_directory_path() / "program-out-XXXXXX").string();
    int fd = mkstemp(&templ[0]);
    if (fd < 0)
        throw std::runtime_error("cannot create a temporary file");
    close(fd);
    return templ;
}

int wait_status(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

}  // namespace

ProgramResult run_program(const std::string &path, const std::vector<std::string> &args)
{
    std::string out = temp_file(), err = temp_file();
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("cannot fork");
    if (pid == 0) {
        int o = open(out.c_str(), O_WRONLY | O_TRUNC), e = open(err.c_str(), O_WRONLY | O_TRUNC);
        dup2(o, 1);
        dup2(e, 2);
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(path.c_str()));
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(path.c_str(), argv.data());
        _exit(127);
    }
    int status = wait_status(pid);
    ProgramResult r{WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                    WIFSIGNALED(status) ? WTERMSIG(status) : 0, read_file(out), read_file(err)};
    std::filesystem::remove(out);
    std::filesystem::remove(err);
    return r;
}

pid_t fork_child(const std::function<int()> &body)
{
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("cannot fork");
    if (pid == 0) {
        int code = 99;
        try {
            code = body();
        } catch (...) {
        }
        _exit(code);
    }
    return pid;
}

int wait_child(pid_t pid)
{
    int status = wait_status(pid);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace test_support
