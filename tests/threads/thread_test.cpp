// Threads of the host stand-in: creation, waiting, exit codes, ids and
// termination, which ends a thread at once wherever it is (inside a
// stand-in call, as that call returns), runs none of its handlers and
// leaves what it held held.
#include "platform/host/include/ce_host.h"
#include "platform/host/host.h"
#include "platform/host/include/host_control.h"
#include "platform/platform.h"
#include "gpio/gpio_ioctl.h"
#include "board_folder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <sched.h>
#include <set>
#include <thread>
#include <vector>

namespace {

struct Job {
    std::atomic<int> go{0};
    std::atomic<int> passes{0};
    std::atomic<DWORD> seen_id{0};
    std::atomic<bool> unwound{false};
    std::atomic<bool> done{false};
    std::atomic<HANDLE> own{nullptr};
    std::atomic<bool> inside{false};
    std::atomic<bool> after{false};
    std::atomic<bool> cleaned{false};
    std::mutex held;
};

// Notes that the thread's stack was unwound past it.
struct Unwinds {
    Job *job;
    ~Unwinds() { job->unwound = true; }
};

DWORD exit_code(HANDLE thread)
{
    DWORD code = 0xDEAD;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    return code;
}

// Starts routine on job and waits until it has made a few passes.
HANDLE start_running(LPTHREAD_START_ROUTINE routine, Job &job)
{
    HANDLE thread = CreateThread(nullptr, 0, routine, &job, 0, nullptr);
    EXPECT_NE(thread, nullptr) << GetLastError();
    while (thread && job.passes < 3)
        std::this_thread::yield();
    return thread;
}

// Terminates the thread and checks that it ended with code, its stack not
// unwound (nothing of its own ran on the way out).  TerminateThread only
// starts the end of a thread that is inside a call of the platform's (the
// call ends first, as a sleep ends at once): the platform's documented way
// to know it has ended is to wait for its handle.
void expect_terminated(HANDLE thread, DWORD code, Job &job)
{
    EXPECT_TRUE(TerminateThread(thread, code));
    EXPECT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(exit_code(thread), code);
    EXPECT_FALSE(job.unwound);
}

DWORD WINAPI returns_param(LPVOID param)
{
    auto *job = static_cast<Job *>(param);
    job->seen_id = GetCurrentThreadId();
    return 1234;
}

DWORD WINAPI waits_for_go(LPVOID param)
{
    auto *job = static_cast<Job *>(param);
    while (!job->go)
        Sleep(1);
    job->done = true;
    return 5;
}

// Loops for ever, sleeping with a lock held and an object in scope.
DWORD WINAPI loops_holding_lock(LPVOID param)
{
    auto *job = static_cast<Job *>(param);
    Unwinds marker{job};
    std::lock_guard<std::mutex> guard(job->held);
    for (;;) {
        ++job->passes;
        Sleep(1);
    }
}

TEST(Threads, RunAtOnceAndReportTheirResult)
{
    size_t before = host_open_handles("thread");
    Job job;
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, returns_param, &job, 0, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(host_open_handles("thread"), before + 1);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(exit_code(thread), 1234u);
    // Terminating a finished thread changes nothing.
    EXPECT_TRUE(TerminateThread(thread, 3));
    EXPECT_EQ(exit_code(thread), 1234u);
    EXPECT_EQ(job.seen_id.load(), id);
    EXPECT_NE(id, GetCurrentThreadId());
    EXPECT_EQ(GetCurrentThreadId(), GetCurrentThreadId());
    EXPECT_TRUE(CloseHandle(thread));
    EXPECT_EQ(host_open_handles("thread"), before);
    EXPECT_FALSE(CloseHandle(thread));
}

TEST(Threads, StillActiveUntilTheRoutineReturns)
{
    Job job;
    HANDLE thread = CreateThread(nullptr, 0, waits_for_go, &job, 0, nullptr);
    ASSERT_NE(thread, nullptr) << GetLastError();
    EXPECT_EQ(exit_code(thread), static_cast<DWORD>(STILL_ACTIVE));
    EXPECT_EQ(WaitForSingleObject(thread, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(WaitForSingleObject(thread, 5), static_cast<DWORD>(WAIT_TIMEOUT));
    job.go = 1;
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(exit_code(thread), 5u);
    CloseHandle(thread);
}

TEST(Threads, TerminateEndsTheThreadAndWhatItHeldStaysHeld)
{
    Job job;
    HANDLE thread = start_running(loops_holding_lock, job);
    ASSERT_NE(thread, nullptr);
    EXPECT_FALSE(job.held.try_lock());
    expect_terminated(thread, 77, job);
    int passes = job.passes;
    Sleep(5);
    EXPECT_EQ(job.passes, passes);
    EXPECT_FALSE(job.held.try_lock());  // never unlocked: the thread never goes on
    // Terminating again changes nothing.
    EXPECT_TRUE(TerminateThread(thread, 99));
    EXPECT_EQ(exit_code(thread), 77u);
    CloseHandle(thread);
}

// Busy in its own code, calling nothing of the platform's.
DWORD WINAPI spins(LPVOID param)
{
    auto *job = static_cast<Job *>(param);
    Unwinds marker{job};
    for (;;) {
        ++job->passes;
        sched_yield();
    }
}

TEST(Threads, TerminateEndsAThreadThatNeverCallsThePlatform)
{
    Job job;
    HANDLE thread = start_running(spins, job);
    ASSERT_NE(thread, nullptr);
    expect_terminated(thread, 21, job);
    int passes = job.passes;
    Sleep(20);
    EXPECT_EQ(job.passes, passes);
    CloseHandle(thread);
}

// Terminated as soon as it is created, before its routine may have begun.
TEST(Threads, TerminateRightAfterCreateEndsTheThread)
{
    for (int i = 0; i < 50; ++i) {
        Job job;
        HANDLE thread = CreateThread(nullptr, 0, spins, &job, 0, nullptr);
        ASSERT_NE(thread, nullptr) << GetLastError();
        EXPECT_TRUE(TerminateThread(thread, 9));
        EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0) << i;
        EXPECT_EQ(exit_code(thread), 9u);
        int passes = job.passes;
        Sleep(1);
        EXPECT_EQ(job.passes, passes);
        CloseHandle(thread);
    }
}

// Inside a platform call that holds a lock of its own, until told to go on.
DWORD WINAPI waits_inside_a_call(LPVOID param)
{
    auto *job = static_cast<Job *>(param);
    {
        host::KernelCall call;
        std::lock_guard<std::mutex> guard(job->held);
        job->inside = true;
        while (!job->go)
            sched_yield();
    }
    job->after = true;
    for (;;)
        Sleep(1);
}

TEST(Threads, AThreadInsideAPlatformCallEndsAsTheCallReturns)
{
    Job job;
    HANDLE thread = CreateThread(nullptr, 0, waits_inside_a_call, &job, 0, nullptr);
    ASSERT_NE(thread, nullptr) << GetLastError();
    while (!job.inside)
        Sleep(1);
    EXPECT_TRUE(TerminateThread(thread, 3));
    EXPECT_EQ(WaitForSingleObject(thread, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(exit_code(thread), static_cast<DWORD>(STILL_ACTIVE));
    job.go = 1;
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(exit_code(thread), 3u);
    // The call let go of its lock; nothing after it ran.
    EXPECT_TRUE(job.held.try_lock());
    job.held.unlock();
    EXPECT_FALSE(job.after);
    CloseHandle(thread);
}

void spin_body(void *context)
{
    auto *job = static_cast<Job *>(context);
    for (;;) {
        ++job->passes;
        sched_yield();
    }
}

void note_cleanup(void *context) { static_cast<Job *>(context)->cleaned = true; }

DWORD WINAPI spins_under_a_handler(LPVOID param)
{
    platform_try_finally(spin_body, note_cleanup, param);
    return 0;
}

TEST(Threads, ATerminatedThreadRunsNoTerminationHandler)
{
    Job job;
    HANDLE thread = start_running(spins_under_a_handler, job);
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(TerminateThread(thread, 4));
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    Sleep(20);
    EXPECT_FALSE(job.cleaned);
    CloseHandle(thread);
}

// Waits for its own handle, then terminates itself.
DWORD WINAPI terminates_itself(LPVOID param)
{
    auto *job = static_cast<Job *>(param);
    Unwinds marker{job};
    while (!job->own)
        Sleep(1);
    TerminateThread(job->own, 8);
    job->passes = 1;  // not reached
    return 0;
}

TEST(Threads, AThreadTerminatingItselfEndsAtOnce)
{
    Job job;
    HANDLE thread = CreateThread(nullptr, 0, terminates_itself, &job, 0, nullptr);
    ASSERT_NE(thread, nullptr) << GetLastError();
    job.own = thread;
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(exit_code(thread), 8u);
    EXPECT_FALSE(job.unwound);
    EXPECT_EQ(job.passes, 0);
    CloseHandle(thread);
}

// Reads pin 1 through the driver for ever, as a poll thread does.
DWORD WINAPI polls_the_driver(LPVOID param)
{
    auto *job = static_cast<Job *>(param);
    for (;;) {
        HANDLE driver = CreateFileW(GPIO_DEVICE_NAME, 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (driver != INVALID_HANDLE_VALUE) {
            GpioRequest request = {1, 0};
            DWORD returned = 0;
            if (DeviceIoControl(driver, IOCTL_GPIO_GET_PIN, &request, sizeof request, &request,
                                sizeof request, &returned, nullptr))
                ++job->passes;
            CloseHandle(driver);
        }
        Sleep(1);
    }
}

TEST(Threads, ATerminatedPollThreadLeavesTheDriverUsable)
{
    test_support::BoardFolder board;
    size_t opens = host_device_opens(), closes = host_device_closes();
    Job job;
    HANDLE thread = CreateThread(nullptr, 0, polls_the_driver, &job, 0, nullptr);
    ASSERT_NE(thread, nullptr) << GetLastError();
    while (job.passes < 5)
        Sleep(1);
    EXPECT_TRUE(TerminateThread(thread, 0));
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    CloseHandle(thread);
    // Ended between its open and its close, it keeps its handle open.
    size_t left = (host_device_opens() - opens) - (host_device_closes() - closes);
    EXPECT_LE(left, 1u);
    EXPECT_EQ(host_open_handles("device"), left);
    HANDLE driver = CreateFileW(GPIO_DEVICE_NAME, 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(driver, INVALID_HANDLE_VALUE);
    GpioRequest request = {2, 1};
    EXPECT_TRUE(DeviceIoControl(driver, IOCTL_GPIO_SET_PIN, &request, sizeof request, nullptr, 0,
                                nullptr, nullptr));
    CloseHandle(driver);
}

// Busy without sleeping, but passing the stand-in's own termination point.
DWORD WINAPI spins_in_the_stand_in(LPVOID param)
{
    auto *job = static_cast<Job *>(param);
    Unwinds marker{job};
    for (;;) {
        ++job->passes;
        host::end_if_terminated();
        std::this_thread::yield();
    }
}

TEST(Threads, TheStandInsOwnWaitsAreTerminationPointsToo)
{
    Job job;
    HANDLE thread = start_running(spins_in_the_stand_in, job);
    ASSERT_NE(thread, nullptr);
    host::end_if_terminated();  // not a stand-in thread: returns
    expect_terminated(thread, 12, job);
    CloseHandle(thread);
}

TEST(Threads, AThreadOutlivesItsClosedHandle)
{
    Job job;
    HANDLE thread = CreateThread(nullptr, 0, waits_for_go, &job, 0, nullptr);
    ASSERT_NE(thread, nullptr) << GetLastError();
    EXPECT_TRUE(CloseHandle(thread));
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    job.go = 1;
    for (int i = 0; i < 10000 && !job.done; ++i)
        Sleep(1);
    EXPECT_TRUE(job.done);
}

TEST(Threads, BadArgumentsFail)
{
    EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    HANDLE bogus = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7FF0));
    DWORD code = 0;
    EXPECT_FALSE(GetExitCodeThread(bogus, &code));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(TerminateThread(bogus, 0));
    EXPECT_EQ(WaitForSingleObject(bogus, 0), WAIT_FAILED);
}

TEST(Threads, CreatedFromManyThreadsAtOnce)
{
    constexpr int kCreators = 4, kEach = 16;
    std::vector<std::vector<DWORD>> ids(kCreators);
    std::vector<std::thread> creators;
    for (int c = 0; c < kCreators; ++c)
        creators.emplace_back([&, c] {
            for (int i = 0; i < kEach; ++i) {
                Job job;
                DWORD id = 0;
                HANDLE t = CreateThread(nullptr, 0, returns_param, &job, 0, &id);
                ASSERT_NE(t, nullptr);
                EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
                EXPECT_EQ(job.seen_id.load(), id);
                ids[c].push_back(id);
                CloseHandle(t);
            }
        });
    for (auto &t : creators)
        t.join();
    std::set<DWORD> all;
    for (auto &v : ids)
        all.insert(v.begin(), v.end());
    EXPECT_EQ(all.size(), static_cast<size_t>(kCreators * kEach));
}

}  // namespace
