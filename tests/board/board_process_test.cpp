// Several processes on one board folder: what one changes the others see,
// the lock keeps them apart, and a process killed in the middle of a
// request leaves a board that works and holds valid state.
#include "board/board.h"
#include "board/events.h"
#include "board_folder.h"
#include "process.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <sched.h>
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

// A flag in memory shared with forked children: they loop until it is set.
struct StopFlag {
    std::atomic<int> *word;
    StopFlag()
        : word(static_cast<std::atomic<int> *>(mmap(nullptr, sizeof(std::atomic<int>),
                                                     PROT_READ | PROT_WRITE,
                                                     MAP_SHARED | MAP_ANONYMOUS, -1, 0)))
    {
        new (word) std::atomic<int>(0);
    }
    ~StopFlag() { munmap(word, sizeof *word); }
    bool set() const { return word->load() != 0; }
    void raise() { word->store(1); }
};

// A PWM record whose three rates belong together: k gives cr k, dcr 16k and
// pcr 1023 - 16k, so a record read half old, half new shows at once.
bool pwm_set(uint32_t channel, uint32_t k)
{
    uint32_t r[5] = {channel, 0, k, 16 * k, 1023 - 16 * k};
    return board::request(board::kPwmSet, r, sizeof r, nullptr, 0).ok;
}

bool pwm_whole(const board::Pwm &p)
{
    return p.cr <= 63 && p.dcr == 16 * p.cr && p.pcr == 1023 - 16 * p.cr;
}

// Threads here and children elsewhere write whole PWM records while threads
// read them; pins are driven alongside.  Every record read is one that was
// written, a start is never undone by another's rates, and no request is
// lost.
TEST_F(BoardProcesses, PwmRecordsAreNeverSeenHalfWritten)
{
    constexpr int kWriters = 2, kChildren = 2, kEach = 2000;
    ASSERT_TRUE(pwm_set(0, 0));
    ASSERT_TRUE(pwm_set(1, 0));
    uint32_t start[5] = {1, 0, 0, 0, 0};
    ASSERT_TRUE(board::request(board::kPwmStart, start, sizeof start, nullptr, 0).ok);
    uint64_t before = board::status().requests;

    StopFlag stop, go;
    // The children are forked before any thread starts (a child forked
    // while a thread of this process holds the allocator's lock would wait
    // for it for ever), and wait to be let go.
    std::vector<pid_t> children;
    for (int c = 0; c < kChildren; ++c)
        children.push_back(test_support::fork_child([c, &go] {
            while (!go.set())
                sched_yield();
            for (int i = 0; i < kEach; ++i)
                if (!pwm_set((i + c) & 1, (i * 7 + c) % 64) || !set_pin(c, i & 1))
                    return 1;
            return 0;
        }));
    std::atomic<int> torn{0}, stopped{0}, reads{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r)
        readers.emplace_back([&] {
            while (!stop.set()) {
                board::Status st = board::status();
                for (const board::Pwm &p : st.pwm)
                    torn += !pwm_whole(p);
                stopped += !st.pwm[1].running;
                ++reads;
            }
        });
    go.raise();
    std::vector<std::thread> writers;
    std::atomic<int> failed{0};
    for (int w = 0; w < kWriters; ++w)
        writers.emplace_back([&, w] {
            for (int i = 0; i < kEach; ++i)
                failed += !pwm_set((i + w) & 1, (i * 13 + w) % 64) + !set_pin(10 + w, i & 1);
        });
    for (std::thread &t : writers)
        t.join();
    for (pid_t pid : children)
        EXPECT_EQ(test_support::wait_child(pid), 0);
    // The readers read at least once more after every write is done.
    int seen = reads.load();
    while (reads.load() < seen + 2)
        std::this_thread::yield();
    stop.raise();
    for (std::thread &t : readers)
        t.join();

    EXPECT_EQ(failed, 0);
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(stopped, 0) << "a PWM set stopped a running channel";
    EXPECT_EQ(board::status().requests - before, uint64_t((kWriters + kChildren) * kEach * 2));
    expect_valid_state();
}

// Children hammer the board while this process resets it again and again:
// none of their requests fails (each lands on the old board or the fresh
// one), and each child ends on the board the last reset made.
TEST_F(BoardProcesses, ResetUnderLoadFailsNoRequest)
{
    constexpr int kChildren = 2, kResets = 20;
    StopFlag stop;
    std::vector<pid_t> children;
    for (int c = 0; c < kChildren; ++c)
        children.push_back(test_support::fork_child([c, &stop] {
            int failed = 0;
            for (int i = 0; !stop.set(); ++i) {
                try {
                    failed += !set_pin(c, i & 1) + !pwm_set(c & 1, i % 64);
                } catch (const board::Error &) {
                    ++failed;
                }
            }
            // After the last reset: this child's next request is seen here.
            return failed == 0 && set_pin(40 + c, 0) ? 0 : 1;
        }));
    for (int r = 0; r < kResets; ++r) {
        uint64_t before = board::status().requests;
        // Wait until the children have worked on this board too.
        ASSERT_TRUE(wait_for_requests(before + 50));
        board::reset();
    }
    stop.raise();
    for (pid_t pid : children)
        EXPECT_EQ(test_support::wait_child(pid), 0);
    board::Status st = board::status();
    for (int c = 0; c < kChildren; ++c)
        EXPECT_EQ(st.pins[40 + c].level(), 0);
    expect_valid_state();
}

// A board state mapped in this process and cut to nothing by another
// program: the first touch of the lost page does not end the process; the
// use reports the file or, an empty file being a fresh board, goes on.
TEST_F(BoardProcesses, StateCutToNothingWhileMappedEndsNoProcess)
{
    std::string state = board_.dir() + "/board.state";
    pid_t child = test_support::fork_child([&] {
        if (!set_pin(5, 0))
            return 1;
        // Cut to nothing: the page is gone; an empty file is a fresh board.
        if (truncate(state.c_str(), 0) != 0)
            return 2;
        if (!set_pin(6, 0) || board::status().pins[5].level() != 1)
            return 3;
        // Cut to one byte: the rest of the page reads zeros, the file is no board.
        if (truncate(state.c_str(), 1) != 0)
            return 4;
        try {
            set_pin(5, 1);
            return 5;
        } catch (const board::Error &e) {
            return e.message.find(state + " has the wrong size") == std::string::npos ? 6 : 0;
        }
    });
    EXPECT_EQ(test_support::wait_child(child), 0);
}

// A program whose own SIGBUS handler replaced the board's asks the board
// first: a cut state file is taken as by the board's own handler, any
// other bus error is left to the program.
void own_bus_handler(int, siginfo_t *info, void *)
{
    if (!board::take_bus_fault(info->si_addr))
        _exit(42);
}

TEST_F(BoardProcesses, AProgramsOwnBusHandlerHandsTheBoardItsFaults)
{
    std::string state = board_.dir() + "/board.state", other = board_.dir() + "/other";
    pid_t child = test_support::fork_child([&] {
        if (!set_pin(5, 0))
            return 1;
        struct sigaction sa {};
        sa.sa_sigaction = own_bus_handler;
        sa.sa_flags = SA_SIGINFO;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGBUS, &sa, nullptr);
        if (truncate(state.c_str(), 0) != 0)
            return 2;
        if (!set_pin(6, 0) || board::status().pins[5].level() != 1)
            return 3;
        int fd = open(other.c_str(), O_RDWR | O_CREAT, 0600);
        if (fd < 0 || ftruncate(fd, 4096) != 0)
            return 4;
        volatile char *m =
            static_cast<char *>(mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
        if (m == MAP_FAILED || ftruncate(fd, 0) != 0)
            return 5;
        return m[0] == 0 ? 6 : 7;  // the handler ends the process first
    });
    EXPECT_EQ(test_support::wait_child(child), 42);
}

// Only a fault in the board's own page is taken: any other bus error still
// ends the process, as it would without the board.
TEST_F(BoardProcesses, OtherBusErrorsStillEndTheProcess)
{
    std::string other = board_.dir() + "/other";
    pid_t child = test_support::fork_child([&] {
        if (!set_pin(5, 0))
            return 101;
        int fd = open(other.c_str(), O_RDWR | O_CREAT, 0600);
        if (fd < 0 || ftruncate(fd, 4096) != 0)
            return 102;
        volatile char *m = static_cast<char *>(
            mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
        if (m == MAP_FAILED || ftruncate(fd, 0) != 0)
            return 103;
        m[0] = 1;  // a bus error
        return 104;
    });
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    // Killed by the signal, or (under a sanitizer, whose handler was there
    // first) ended by that handler's report; never living on past the fault.
    if (WIFEXITED(status))
        EXPECT_TRUE(WEXITSTATUS(status) != 0 && WEXITSTATUS(status) < 101) << WEXITSTATUS(status);
    else
        EXPECT_EQ(WTERMSIG(status), SIGBUS);
}

// Running threads hold different slots (and so different shards of the
// counters and the handle table), and a slot comes free when its thread
// ends: threads started one after another, however many, reuse the few
// slots there are, never the slot of one still running.
// A fresh state renamed over board.state with the old file left as it
// was, as a reset killed just after its rename leaves it (or one that could
// not write the old file, or another user's reset in a shared folder).
void replace_without_retiring(const std::string &dir)
{
    test_support::BoardFolder elsewhere;
    pid_t child = test_support::fork_child([&] {
        setenv("BOARD_DIR", elsewhere.dir().c_str(), 1);
        return board::status().plugged ? 0 : 1;
    });
    ASSERT_EQ(test_support::wait_child(child), 0);
    test_support::write_file(dir + "/board.state.made", test_support::read_file(elsewhere.dir() + "/board.state"));
    ASSERT_EQ(rename((dir + "/board.state.made").c_str(), (dir + "/board.state").c_str()), 0);
}

// Every running use finds the board now named board.state, though the file
// it had mapped still looks whole: a reader of events, looking by itself,
// goes on to the new board's events, a process opening handles reaches
// the new board, and the status is the new board's.
TEST_F(BoardProcesses, ABoardPutInPlaceWithoutRetiringTheOldIsFoundByRunningUses)
{
    ASSERT_TRUE(set_pin(3, 0));
    board::EventReader reader;
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    pid_t opener = test_support::fork_child([&] {
        if (!board::open_device())
            return 2;
        board::handle_closed();
        char c;
        if (read(go[0], &c, 1) != 1)
            return 3;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            int32_t r[2] = {3, -1};
            if (!board::open_device())
                return 4;
            board::Result got = board::device_request(board::kGetPin, r, sizeof r, r, sizeof r);
            board::handle_closed();
            if (got.ok && r[1] == 1)
                return 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return 1;
    });
    replace_without_retiring(board_.dir());
    ASSERT_EQ(write(go[1], "g", 1), 1);

    auto next_event = [&] {
        std::vector<board::Event> got;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (got.empty() && std::chrono::steady_clock::now() < deadline) {
            reader.poll(got);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return got;
    };
    std::vector<board::Event> got = next_event();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].kind, board::EventKind::Reset);
    pid_t writer = test_support::fork_child([] { return set_pin(5, 0) ? 0 : 1; });
    ASSERT_EQ(test_support::wait_child(writer), 0);
    got = next_event();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].kind, board::EventKind::Pin);
    EXPECT_EQ(got[0].which, 5);

    EXPECT_EQ(test_support::wait_child(opener), 0);
    board::Status st = board::status();
    EXPECT_FALSE(st.pins[3].touched);
    EXPECT_EQ(st.pins[5].level(), 0);
    close(go[0]);
    close(go[1]);
}

// A reader asleep on a board that another process resets is woken by the
// reset, not by its own timeout, and then finds the fresh board's events.
TEST_F(BoardProcesses, AResetWakesTheReadersOfTheBoardItRetires)
{
    board::EventReader reader;
    pid_t me = getpid();
    pid_t resetter = test_support::fork_child([me] {
        // Once the reader is asleep (the test's only thread then sleeps).
        char path[64];
        std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(me));
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (;;) {
            if (std::chrono::steady_clock::now() > deadline)
                return 1;
            FILE *f = std::fopen(path, "r");
            char buf[512] = {};
            size_t n = f ? std::fread(buf, 1, sizeof buf - 1, f) : 0;
            if (f)
                std::fclose(f);
            const char *close_paren = n ? std::strrchr(buf, ')') : nullptr;
            if (close_paren && close_paren[1] == ' ' && close_paren[2] == 'S')
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        board::reset();
        return 0;
    });
    auto t0 = std::chrono::steady_clock::now();
    reader.wait(60ull * 1000000000);
    double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ASSERT_EQ(test_support::wait_child(resetter), 0);
    EXPECT_LT(waited, 30.0) << "the reader slept to its timeout";
    std::vector<board::Event> got;
    for (auto deadline = t0 + std::chrono::seconds(10); got.empty() && std::chrono::steady_clock::now() < deadline;) {
        reader.poll(got);
        if (got.empty())
            reader.wait(100000000);
    }
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].kind, board::EventKind::Reset);
}

TEST(ThreadSlots, RunningThreadsHoldDifferentSlotsThatComeFreeAtTheirEnd)
{
    constexpr int kThreads = 10;
    unsigned mine = board::thread_slot();
    std::vector<unsigned> slots(kThreads);
    std::atomic<int> arrived{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            slots[t] = board::thread_slot();
            ++arrived;
            while (arrived < kThreads)  // all hold their slots at once
                std::this_thread::yield();
        });
    for (std::thread &t : threads)
        t.join();
    std::sort(slots.begin(), slots.end());
    EXPECT_EQ(std::unique(slots.begin(), slots.end()), slots.end());
    EXPECT_EQ(std::count(slots.begin(), slots.end(), mine), 0);

    for (int round = 0; round < 3 * 64; ++round) {
        unsigned slot = 0;
        std::thread([&slot] { slot = board::thread_slot(); }).join();
        ASSERT_NE(slot, mine);
        ASSERT_LT(slot, unsigned(kThreads + 8)) << "round " << round;
    }
}

}  // namespace
