// The debug output and the serial port's file when the disk is full or a
// program writes a huge line: each line is kept whole or not at all, the
// failure is said once, and following the port holds no more than a window.
#include "board/board.h"
#include "platform/platform.h"
#include "process.h"
#include "reset_board.h"

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using test_support::read_file;

size_t count(const std::string &text, const std::string &part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

class FullDisk : public ResetBoard {
protected:
    // Runs body in a child whose files may grow to at most limit bytes, as
    // on a disk that is full there (a write that crosses it is cut short);
    // what the child wrote to stderr.
    std::string in_child(rlim_t limit, const std::function<void()> &body)
    {
        int err[2];
        EXPECT_EQ(pipe(err), 0);
        pid_t pid = test_support::fork_child([&] {
            close(err[0]);
            dup2(err[1], 2);
            signal(SIGXFSZ, SIG_IGN);
            struct rlimit rl;
            getrlimit(RLIMIT_FSIZE, &rl);
            rl.rlim_cur = limit;
            if (setrlimit(RLIMIT_FSIZE, &rl) != 0)
                return 98;
            body();
            return 0;
        });
        close(err[1]);
        std::string said;
        char buf[4096];
        for (ssize_t n; (n = read(err[0], buf, sizeof buf)) > 0;)
            said.append(buf, static_cast<size_t>(n));
        close(err[0]);
        EXPECT_EQ(test_support::wait_child(pid), 0);
        return said;
    }
};

TEST_F(FullDisk, ADebugLineThatDoesNotFitIsNotCutAndTheLogIsNamedOnce)
{
    board::set_serial_port(true);
    NKDbgPrintfW(TEXT("first\r\n"));
    std::string said = in_child(20, [] {
        NKDbgPrintfW(TEXT("a line longer than the room left\r\n"));
        NKDbgPrintfW(TEXT("and one more of them\r\n"));
    });
    // Both files had 7 bytes; neither holds a piece of the lines after.
    EXPECT_EQ(board_.debug_log(), "first\r\n");
    EXPECT_EQ(read_file(file("serial.log")), "first\r\n");
    // Each file named once, the lines themselves not lost.
    EXPECT_EQ(count(said, "BOARD_DEBUG_LOG: cannot write " + board_.debug_log_path() +
                              ": No space left on device"),
              1u)
        << said;
    EXPECT_EQ(count(said, "serial debug port: cannot write " + file("serial.log") +
                              ": No space left on device"),
              1u)
        << said;
    EXPECT_EQ(count(said, "a line longer than the room left\r\n"), 1u) << said;
    EXPECT_EQ(count(said, "and one more of them\r\n"), 1u) << said;

    // With room again, lines go on after the last whole one.
    NKDbgPrintfW(TEXT("room again\r\n"));
    EXPECT_EQ(board_.debug_log(), "first\r\nroom again\r\n");
    EXPECT_EQ(read_file(file("serial.log")), "first\r\nroom again\r\n");
}

}  // namespace
