// Several processes on one board folder: what one changes the others see,
// the lock keeps them apart, and a process killed in the middle of a
// request leaves a board that works and holds valid state.
#include "board.h"
#include "board_folder.h"
#include "process.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace {

using BoardProcesses = test_support::BoardTest;

bool set_pin(int32_t pin, int32_t level)
{
    int32_t r[2] = {pin, level};
    return board::request(board::kSetPin, r, sizeof r, nullptr, 0).ok;
}

// Waits (up to a generous bound, so a broken board fails instead of
// hanging) until the board has served more than count requests.
bool wait_for_requests(uint64_t count)
{
    for (int i = 0; i < 10000; ++i) {
        if (board::status().requests > count)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

void expect_valid_state()
{
    board::Status st = board::status();
    for (const board::Pin &p : st.pins) {
        EXPECT_TRUE(p.driven == 0 || p.driven == 1);
        EXPECT_TRUE(p.external >= -1 && p.external <= 1);
    }
    for (const board::Pwm &p : st.pwm) {
        EXPECT_LE(p.running, 1u);
        EXPECT_LE(p.cr, uint32_t(board::kMaxCr));
        EXPECT_LE(p.dcr, uint32_t(board::kMaxRate));
        EXPECT_LE(p.pcr, uint32_t(board::kMaxRate));
    }
}

TEST_F(BoardProcesses, ChangesInOneProcessAreSeenInAnother)
{
    ASSERT_TRUE(set_pin(5, 1));
    pid_t child = test_support::fork_child([] {
        board::set_input(6, 0);
        board::set_plugged(false);
        return set_pin(5, 0) ? 0 : 1;
    });
    ASSERT_EQ(test_support::wait_child(child), 0);
    board::Status st = board::status();
    EXPECT_EQ(st.pins[5].level(), 0);
    EXPECT_EQ(st.pins[6].level(), 0);
    EXPECT_FALSE(st.plugged);

    // And the other way round, after a reset in this process.
    board::reset();
    child = test_support::fork_child([] { return board::status().plugged ? 0 : 1; });
    EXPECT_EQ(test_support::wait_child(child), 0);
}

TEST_F(BoardProcesses, ConcurrentProcessesLoseNoRequest)
{
    constexpr int kChildren = 3, kEach = 500;
    ASSERT_TRUE(set_pin(0, 0));
    std::vector<pid_t> children;
    for (int c = 0; c < kChildren; ++c)
        children.push_back(test_support::fork_child([c] {
            for (int i = 0; i < kEach; ++i)
                if (!set_pin(10 + c, i & 1))
                    return 1;
            return 0;
        }));
    for (int i = 0; i < kEach; ++i)
        ASSERT_TRUE(set_pin(20, i & 1));
    for (pid_t pid : children)
        EXPECT_EQ(test_support::wait_child(pid), 0);
    EXPECT_EQ(board::status().requests, uint64_t(1 + (kChildren + 1) * kEach));
}

TEST_F(BoardProcesses, ChildKilledWhileLoopingOnRequestsLeavesAWorkingBoard)
{
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        uint64_t before = board::status().requests;
        pid_t child = test_support::fork_child([] {
            for (int i = 0;; ++i) {
                set_pin(i % board::kPins, i & 1);
                uint32_t pwm[5] = {uint32_t(i & 1), 0, uint32_t(i % 64), uint32_t(i % 1024), 1023};
                board::request(board::kPwmSet, pwm, sizeof pwm, nullptr, 0);
            }
            return 0;
        });
        ASSERT_TRUE(wait_for_requests(before + 100 * (round + 1)));
        kill(child, SIGKILL);
        EXPECT_EQ(test_support::wait_child(child), -1);

        EXPECT_TRUE(set_pin(3, 0));
        EXPECT_EQ(board::status().pins[3].level(), 0);
        expect_valid_state();
    }
}

// Dying while holding the lock: the lock goes with the process.
TEST_F(BoardProcesses, LockHeldByAKilledProcessIsReleased)
{
    ASSERT_TRUE(set_pin(3, 1));
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    std::string state = board_.dir() + "/board.state";
    pid_t child = test_support::fork_child([&] {
        int fd = open(state.c_str(), O_RDWR);
        if (fd < 0 || flock(fd, LOCK_EX) != 0)
            return 1;
        char c = 'x';
        if (write(ready[1], &c, 1) != 1)
            return 1;
        for (;;)
            pause();
    });
    close(ready[1]);
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    kill(child, SIGKILL);
    EXPECT_EQ(test_support::wait_child(child), -1);

    EXPECT_TRUE(set_pin(3, 0));
    EXPECT_EQ(board::status().pins[3].level(), 0);
}

}  // namespace
