#include "process.h"
#include "board_folder.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

pid_t start_program(const child::Launch &launch)
{
    std::fflush(nullptr);
    int error = 0;
    pid_t pid = child::start(launch, &error);
    if (pid >= 0 && error)
        child::wait(pid);
    if (pid < 0 || error)
        throw std::runtime_error("cannot run " + (launch.argv.empty() ? std::string() : launch.argv[0]) +
                                 ": " + std::strerror(error));
    return pid;
}

pid_t start_piped(child::Launch launch, int stream, int *read_end)
{
    int fds[2];
    *read_end = -1;
    if (pipe2(fds, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "cannot make a pipe: " << std::strerror(errno);
        return -1;
    }
    (stream == 1 ? launch.out : launch.err) = child::Stream::of(fds[1]);
    *read_end = fds[0];
    pid_t pid = -1;
    try {
        pid = start_program(launch);
    } catch (const std::exception &e) {
        ADD_FAILURE() << e.what();
    }
    close(fds[1]);
    return pid;
}

ProgramResult run_program(const std::string &path, const std::vector<std::string> &args)
{
    std::string out = temp_file(), err = temp_file();
    child::Launch launch;
    launch.argv.push_back(path);
    launch.argv.insert(launch.argv.end(), args.begin(), args.end());
    launch.out = child::Stream::file(out, O_WRONLY | O_TRUNC);
    launch.err = child::Stream::file(err, O_WRONLY | O_TRUNC);
    std::fflush(nullptr);
    int error = 0;
    pid_t pid = child::start(launch, &error);  // a program that cannot run exits with 127
    if (pid < 0)
        throw std::runtime_error("cannot start " + path + ": " + std::strerror(error));
    child::Ended end = child::wait(pid);
    ProgramResult r{end.exit_code, end.signal, read_file(out), read_file(err)};
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
