// A 'board' command run beside a test, for the tests of 'board record' and
// 'board play'.
#pragma once

#include "board_folder.h"
#include "process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace test_support {

// A 'board COMMAND' running beside the test, its stderr read through a pipe.
class BoardChild {
public:
    BoardChild(const std::string &command, const std::vector<std::string> &args)
    {
        child::Launch launch;
        launch.argv = {BOARD_TOOL, command};
        launch.argv.insert(launch.argv.end(), args.begin(), args.end());
        pid_ = std::max<pid_t>(0, test_support::start_piped(launch, 2, &err_fd_));
    }
    ~BoardChild()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(err_fd_);
    }
    // Waits (generously) until stderr has said text; false when it ended
    // or the time ran out first.
    bool wait_for(const std::string &text)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (err_.find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            struct pollfd p = {err_fd_, POLLIN, 0};
            if (poll(&p, 1, 100) > 0) {
                char buf[4096];
                ssize_t n = read(err_fd_, buf, sizeof buf);
                if (n <= 0)
                    return false;
                err_.append(buf, static_cast<size_t>(n));
            }
        }
        return true;
    }
    // Reads what stderr still holds, to its end.
    void drain()
    {
        char buf[4096];
        for (ssize_t n; (n = read(err_fd_, buf, sizeof buf)) > 0;)
            err_.append(buf, static_cast<size_t>(n));
    }
    // Signals it (0: none) and waits for its exit code (-1 for a signal).
    int stop(int sig)
    {
        if (sig)
            kill(pid_, sig);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = 0;
        drain();
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    const std::string &err() const { return err_; }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = 0;
    int err_fd_ = -1;
    std::string err_;
};

// 'board record' beside the test.
class Recorder : public BoardChild {
public:
    explicit Recorder(const std::vector<std::string> &args) : BoardChild("record", args) {}
    bool started() { return wait_for("(Ctrl-C ends it)\n"); }
};

// A test of the board tool on a board folder of its own: programs run to
// their end, expected to exit with code (0 unless told).
class BoardToolTest : public BoardTest {
protected:
    ProgramResult run(const std::string &program, const std::vector<std::string> &args, int code = 0)
    {
        ProgramResult r = run_program(program, args);
        EXPECT_EQ(r.exit_code, code) << program << ": " << r.err;
        return r;
    }
    ProgramResult board(const std::vector<std::string> &args, int code = 0) { return run(BOARD_TOOL, args, code); }
    std::string file(const std::string &name) const { return board_.dir() + "/" + name; }
};

}  // namespace test_support
