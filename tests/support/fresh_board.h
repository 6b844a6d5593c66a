// Test support: each test gets a board folder of its own, reset to the
// default board, and can run programs on it as separate processes.
#pragma once

#include "board.h"
#include "file_util.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ftw.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace test_support {

inline int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path);
}

inline std::string read_text(const std::string &path)
{
    std::string text;
    bool exists;
    board::file_util::read_file(path, &text, &exists);
    return text;
}

inline bool exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

// Starts a program on the current board; its stdout goes to out_file when
// one is named.  With file_limit, the kernel kills it (SIGXFSZ) the moment
// it writes past that many bytes of any file.
inline pid_t start(const std::vector<std::string> &argv, const std::string &out_file = "",
                   rlim_t file_limit = RLIM_INFINITY)
{
    pid_t pid = fork();
    if (pid == 0) {
        struct rlimit limit = {file_limit, file_limit};
        setrlimit(RLIMIT_FSIZE, &limit);
        if (!out_file.empty() && !freopen(out_file.c_str(), "w", stdout))
            _exit(126);
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

// Waits for a started program; returns its wait status.
inline int finish(pid_t pid)
{
    int status = -1;
    waitpid(pid, &status, 0);
    return status;
}

inline int run(const std::vector<std::string> &argv, const std::string &out_file = "")
{
    return finish(start(argv, out_file));
}

}  // namespace test_support

class FreshBoard : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/board-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        setenv("BOARD_DIR", tmpl, 1);
        board::reset();
    }
    void TearDown() override
    {
        nftw(dir_.c_str(), test_support::remove_entry, 16, FTW_DEPTH | FTW_PHYS);
        unsetenv("BOARD_DIR");
    }
    std::string file(const std::string &name) const { return dir_ + "/" + name; }
    std::string dir_;
};
