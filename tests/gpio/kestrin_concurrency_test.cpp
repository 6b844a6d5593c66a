// Callers on several threads and in several processes at once: each call
// gets its own handle and its own answer, and the board loses no request.
#include "gpio/kestrin.h"
#include "board/board.h"
#include "board_folder.h"
#include "host_control.h"
#include "process.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace {

using KestrinConcurrency = test_support::BoardTest;

constexpr int kRounds = 400;

// Drives pin to alternating levels and reads each back; the number of
// calls that failed or read another level.
int drive_and_read(LONG pin)
{
    int wrong = 0;
    for (int i = 0; i < kRounds; ++i) {
        LONG want = (i + pin) & 1, got = -1;
        if (!gpio_setPin(pin, want) || !gpio_getPin(pin, &got) || got != want)
            ++wrong;
    }
    return wrong;
}

TEST_F(KestrinConcurrency, ThreadsEachGetTheirOwnHandleAndAnswer)
{
    board_.clear_trace();
    unsetenv("BOARD_TRACE");
    size_t opens = host_device_opens(), closes = host_device_closes();
    uint64_t requests = board::status().requests;
    constexpr int kThreads = 4;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t, &wrong] { wrong += drive_and_read(10 + t); });
    for (std::thread &t : threads)
        t.join();

    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(board::status().requests - requests, uint64_t(kThreads * kRounds * 2));
    EXPECT_EQ(host_device_opens() - opens, size_t(kThreads * kRounds * 2));
    EXPECT_EQ(host_device_closes() - closes, size_t(kThreads * kRounds * 2));
    EXPECT_EQ(host_open_handles("device"), 0u);
}

TEST_F(KestrinConcurrency, ThreadsShareOneTraceWithoutTornLines)
{
    constexpr int kThreads = 3, kCalls = 100;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kCalls; ++i)
                gpio_setPin(20 + t, 1);
        });
    for (std::thread &t : threads)
        t.join();

    std::vector<std::string> lines = board_.trace_lines();
    ASSERT_EQ(lines.size(), size_t(kThreads * kCalls * 3));
    int opens = 0, closes = 0, sets = 0;
    for (const std::string &l : lines) {
        if (l == "open")
            ++opens;
        else if (l == "close")
            ++closes;
        else if (l == "IOCTL_GPIO_SET_PIN 8 20 1 -> 1" || l == "IOCTL_GPIO_SET_PIN 8 21 1 -> 1" ||
                 l == "IOCTL_GPIO_SET_PIN 8 22 1 -> 1")
            ++sets;
        else
            ADD_FAILURE() << "unexpected trace line '" << l << "'";
    }
    EXPECT_EQ(opens, kThreads * kCalls);
    EXPECT_EQ(closes, kThreads * kCalls);
    EXPECT_EQ(sets, kThreads * kCalls);
}

// The board is already mapped in this process when the children are forked,
// so they start from its mapping; the lock must still keep them apart.
TEST_F(KestrinConcurrency, ProcessesAndThreadsShareOneBoard)
{
    unsetenv("BOARD_TRACE");
    uint64_t requests = board::status().requests;
    constexpr int kChildren = 3;
    std::vector<pid_t> children;
    for (int c = 0; c < kChildren; ++c)
        children.push_back(test_support::fork_child([c] { return drive_and_read(30 + c) == 0 ? 0 : 1; }));
    int wrong_here = 0;
    std::thread here([&wrong_here] { wrong_here = drive_and_read(40); });
    here.join();
    for (pid_t pid : children)
        EXPECT_EQ(test_support::wait_child(pid), 0);

    EXPECT_EQ(wrong_here, 0);
    EXPECT_EQ(board::status().requests - requests, uint64_t((kChildren + 1) * kRounds * 2));
    for (int c = 0; c < kChildren; ++c)
        EXPECT_EQ(board::status().pins[30 + c].driven, (kRounds - 1 + 30 + c) & 1);
    EXPECT_EQ(host_open_handles("device"), 0u);
}

// Threads drive and read pins through kestrin, as the GPIO test dialog's
// poll thread and its clicks do, while another process resets the board
// again and again: the first thread to notice a reset maps the new board
// while the others carry on, and no call fails.
TEST_F(KestrinConcurrency, CallsGoOnWhileAnotherProcessResets)
{
    unsetenv("BOARD_TRACE");
    constexpr int kThreads = 3, kResets = 15;
    std::atomic<bool> stop{false};
    std::atomic<int> failed{0};
    std::atomic<long> calls{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; !stop; ++i) {
                LONG level = -1;
                if (!gpio_setPin(1 + t, i & 1) || !gpio_getPin(1 + (i % 9), &level) ||
                    (level != 0 && level != 1))
                    ++failed;
                ++calls;
            }
        });
    pid_t resetter = test_support::fork_child([] {
        for (int r = 0; r < kResets; ++r)
            board::reset();
        return 0;
    });
    EXPECT_EQ(test_support::wait_child(resetter), 0);
    // Every thread works on the last board for a while before stopping.
    long seen = calls;
    while (calls < seen + 300)
        std::this_thread::yield();
    stop = true;
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(failed, 0);
    EXPECT_TRUE(gpio_setPin(12, 0));
    EXPECT_EQ(test_support::wait_child(test_support::fork_child([] {
                  return board::status().pins[12].level() == 0 ? 0 : 1;
              })),
              0);
    EXPECT_EQ(host_open_handles("device"), 0u);
}

}  // namespace
