// The stand-in kernel's device calls on "GPI1:": how it may be opened, the
// requests it passes to the board, the trace it writes and its handles.
#include "board/board.h"
#include "board_folder.h"
#include "host_control.h"
#include "platform/platform.h"
#include "process.h"

#include <gtest/gtest.h>
#include <set>
#include <thread>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

class DeviceCalls : public test_support::BoardTest {
protected:
    HANDLE open_driver() { return CreateFileW(TEXT("GPI1:"), 0, 0, nullptr, OPEN_EXISTING, 0, nullptr); }
    void TearDown() override { EXPECT_EQ(host_open_handles("device"), 0u); }
};

TEST_F(DeviceCalls, TraceLineOfEachKindOfRequest)
{
    HANDLE h = open_driver();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    LONG set[2] = {3, 1};
    EXPECT_TRUE(DeviceIoControl(h, 0x812C0004, set, 8, nullptr, 0, nullptr, nullptr));
    LONG get[2] = {3, 0};
    DWORD returned = 99;
    EXPECT_TRUE(DeviceIoControl(h, 0x812C0008, get, 8, get, 8, &returned, nullptr));
    EXPECT_EQ(returned, 8u);
    EXPECT_EQ(get[1], 1);
    DWORD pwm[5] = {1, 0, 63, 1023, 512};
    EXPECT_TRUE(DeviceIoControl(h, 0x812C001C, pwm, 20, nullptr, 0, nullptr, nullptr));
    pwm[2] = 64;
    SetLastError(0);
    EXPECT_FALSE(DeviceIoControl(h, 0x812C001C, pwm, 20, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(DeviceIoControl(h, 0x812C000C, set, 8, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_FALSE(DeviceIoControl(h, 0x12, set, 4, nullptr, 0, nullptr, nullptr));
    EXPECT_FALSE(DeviceIoControl(h, 0x812C0008, get, 8, get, 4, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(returned, 0u);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(board_.trace_lines(),
              (Lines{"open", "IOCTL_GPIO_SET_PIN 8 3 1 -> 1", "IOCTL_GPIO_GET_PIN 8 3 0 -> 1 level=1",
                     "IOCTL_PWM_SET 20 1 0 63 1023 512 -> 1", "IOCTL_PWM_SET 20 1 0 64 1023 512 -> 0",
                     "0x812C000C 8 3 1 -> 0", "0x00000012 4 3 -> 0", "IOCTL_GPIO_GET_PIN 8 3 1 -> 0",
                     "close"}));
}

TEST_F(DeviceCalls, DriverOpensOnlyTheOneWay)
{
    struct Way {
        DWORD access, share, disposition, flags;
    };
    for (Way w : {Way{GENERIC_READ, 0, OPEN_EXISTING, 0}, Way{0, FILE_SHARE_READ, OPEN_EXISTING, 0},
                  Way{0, 0, CREATE_ALWAYS, 0}, Way{0, 0, OPEN_EXISTING, 0x80}}) {
        SetLastError(0);
        EXPECT_EQ(CreateFileW(TEXT("GPI1:"), w.access, w.share, nullptr, w.disposition, w.flags, nullptr),
                  INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    EXPECT_EQ(CreateFileW(TEXT("GPI2:"), 0, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(CreateFileW(nullptr, 0, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(board_.trace_lines().empty());

    // Device names are not case-sensitive.
    HANDLE h = CreateFileW(TEXT("gpi1:"), 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(DeviceCalls, SeveralHandlesAtOnceEachClosedOnce)
{
    HANDLE a = open_driver(), b = open_driver();
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    ASSERT_NE(b, INVALID_HANDLE_VALUE);
    EXPECT_NE(a, b);
    EXPECT_EQ(host_open_handles("device"), 2u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a) >> 32, 0u);
    EXPECT_TRUE(CloseHandle(a));
    LONG get[2] = {3, 0};
    EXPECT_TRUE(DeviceIoControl(b, 0x812C0008, get, 8, get, 8, nullptr, nullptr));

    // A closed handle is gone for requests and for a second close.
    SetLastError(0);
    EXPECT_FALSE(DeviceIoControl(a, 0x812C0008, get, 8, get, 8, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CloseHandle(a));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    // On the board INVALID_HANDLE_VALUE is no handle (its pseudo-handles are
    // other values), so closing it fails; desktop Windows takes it for the
    // current process and answers TRUE (measured under Wine).
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(CloseHandle(b));
}

TEST_F(DeviceCalls, OverlappedRequestsAreRefused)
{
    HANDLE h = open_driver();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    OVERLAPPED o{};
    LONG rec[2] = {3, 1};
    SetLastError(0);
    EXPECT_FALSE(DeviceIoControl(h, 0x812C0004, rec, 8, nullptr, 0, nullptr, &o));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(board::status().requests, 0u);
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(DeviceCalls, UnusableBoardFolderFailsTheOpen)
{
    std::string file = board_.dir() + "/plain-file";
    test_support::write_file(file, "x");
    setenv("BOARD_DIR", (file + "/board").c_str(), 1);
    SetLastError(0);
    EXPECT_EQ(open_driver(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
}

// A handle stays open across a reset made by another process: its next
// request works on the fresh board (the old file is retired), and so does
// the next open.
TEST_F(DeviceCalls, AHandleOpenAcrossAResetElsewhereUsesTheFreshBoard)
{
    unsetenv("BOARD_TRACE");
    HANDLE h = open_driver();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    LONG set[2] = {3, 0};
    ASSERT_TRUE(DeviceIoControl(h, 0x812C0004, set, 8, nullptr, 0, nullptr, nullptr));
    ASSERT_EQ(test_support::wait_child(test_support::fork_child([] {
                  board::reset();
                  return 0;
              })),
              0);
    LONG get[2] = {3, 0};
    ASSERT_TRUE(DeviceIoControl(h, 0x812C0008, get, 8, get, 8, nullptr, nullptr));
    EXPECT_EQ(get[1], 1) << "the old board was answered";
    LONG set4[2] = {4, 0};
    ASSERT_TRUE(DeviceIoControl(h, 0x812C0004, set4, 8, nullptr, 0, nullptr, nullptr));
    EXPECT_TRUE(CloseHandle(h));

    // What the old handle sent after the reset is on the board everyone sees.
    EXPECT_EQ(test_support::wait_child(test_support::fork_child([] {
                  board::Status st = board::status();
                  return st.pins[4].level() == 0 && st.pins[3].level() == 1 ? 0 : 1;
              })),
              0);
    // And an unplug elsewhere is seen by the next open.
    ASSERT_EQ(test_support::wait_child(test_support::fork_child([] {
                  board::set_plugged(false);
                  return 0;
              })),
              0);
    SetLastError(0);
    EXPECT_EQ(open_driver(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

// Handles opened on many threads at once are all different, and any thread
// may use and close any of them, once.
TEST_F(DeviceCalls, HandlesFromManyThreadsAreDistinctAndCloseAnywhere)
{
    constexpr int kThreads = 12, kEach = 5;
    std::vector<HANDLE> handles(kThreads * kEach);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i)
                handles[t * kEach + i] = open_driver();
        });
    for (std::thread &t : threads)
        t.join();
    std::set<HANDLE> distinct(handles.begin(), handles.end());
    EXPECT_EQ(distinct.size(), handles.size());
    EXPECT_EQ(host_open_handles("device"), handles.size());
    for (HANDLE h : handles) {
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(h) % 4, 0u);
        LONG get[2] = {3, 0};
        EXPECT_TRUE(DeviceIoControl(h, 0x812C0008, get, 8, get, 8, nullptr, nullptr));
        EXPECT_TRUE(CloseHandle(h));
        EXPECT_FALSE(CloseHandle(h));
    }
    // A value next to a handle of another thread's shard is no handle.
    HANDLE h = open_driver();
    HANDLE neighbour = reinterpret_cast<HANDLE>(reinterpret_cast<uintptr_t>(h) + 4);
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(neighbour));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(CloseHandle(h));
}

}  // namespace
