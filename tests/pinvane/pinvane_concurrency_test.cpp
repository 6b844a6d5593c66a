// Pinvane's two threads at work together: the dialog thread writing pins
// and closing, the poll thread reading them and updating the indicators.
#include "tests/support/applet_dialog.h"

#include "board/board.h"
#include "platform/host/include/host_control.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

const int kPorts = 1000;
const int kInputs = 1010;

class PinvaneThreads : public ::testing::Test {
protected:
    test_support::BoardFolder board;
    test_support::Applet applet{"Pinvane.cpl"};

    int count(const std::string &line) const
    {
        std::vector<std::string> lines = debug_lines(board);
        return static_cast<int>(std::count(lines.begin(), lines.end(), line));
    }
};

TEST_F(PinvaneThreads, ClicksWhileInputsChangeEndWithThePinsAsTheBoxesShow)
{
    std::atomic<bool> stop{false};
    DialogRun run(applet);
    // Someone outside keeps changing pins 10 to 12 (not shown) and 7 to 9.
    std::thread outside([&] {
        for (int i = 0; !stop; ++i) {
            board::set_input(7 + i % 3, i % 2);
            board::set_input(10 + i % 3, i % 2);
            std::this_thread::yield();
        }
    });
    for (int round = 0; round < 40; ++round)
        ASSERT_TRUE(host_click(run.dialog(), kPorts + (round * 5) % 6));  // pins 1 to 6
    stop = true;
    outside.join();

    board::Status s = board::status();
    for (int pin = 1; pin <= 6; ++pin) {
        bool box = run.control(kPorts + pin - 1).check == BST_CHECKED;
        EXPECT_EQ(s.pins[pin].driven, box ? 1 : 0) << pin;
    }
    EXPECT_EQ(trace_of(board, "IOCTL_GPIO_SET_PIN").size(), 40u * 9u);
    // The indicators follow the final levels.
    for (int pin = 7; pin <= 9; ++pin) {
        int shown = s.pins[pin].level() == 0 ? BST_CHECKED : BST_UNCHECKED;
        EXPECT_TRUE(run.wait_for([&] { return run.control(kInputs + pin - 1).check == shown; })) << pin;
    }
    ASSERT_TRUE(host_caption_close(run.dialog()));
    ASSERT_TRUE(run.wait_ended());
    EXPECT_EQ(count("+ close\r\n"), 1);
    EXPECT_EQ(count("- close\r\n"), 1);
    EXPECT_EQ(host_open_handles(nullptr), 0u);
}

// A poll thread not off its sleep within the close's wait (200 passes of
// 1 ms) is ended by force, as designed, and may leave the handle of the pin
// call it was in: on a loaded machine that can happen once in a while, so
// only those ended by force may leave one, and they stay the exception.
TEST_F(PinvaneThreads, OpeningAndClosingAtOnceStopsEachThreadOnce)
{
    const int kRuns = 12;
    size_t forced_before = host_threads_terminated();
    size_t forced = 0;
    for (int i = 0; i < kRuns; ++i) {
        DialogRun run(applet);
        if (i % 2) {
            ASSERT_TRUE(host_click(run.dialog(), kPorts + i % 9));
        }
        ASSERT_TRUE(i % 3 ? host_key(run.dialog(), HOST_KEY_ESCAPE) : host_caption_close(run.dialog()));
        ASSERT_TRUE(run.wait_ended());
        forced = host_threads_terminated() - forced_before;
        EXPECT_LE(host_open_handles(nullptr), forced) << i;
    }
    EXPECT_LT(forced, static_cast<size_t>(kRuns) / 2);
    EXPECT_EQ(count("+ close\r\n"), kRuns);
    EXPECT_EQ(count("- close\r\n"), kRuns);
    // Every pin call of either thread closed what it opened, but for the
    // handles of threads ended by force.
    size_t left = host_open_handles(nullptr);
    EXPECT_EQ(trace_of(board, "open").size(), trace_of(board, "close").size() + left);
    EXPECT_EQ(host_device_opens(), host_device_closes() + left);
}

// The poll thread may find running set just before the dialog clears it;
// its update then waits for the dialog thread, which lets it through while
// it waits for the thread to finish: the thread is never ended by force.
// To bring that about, the dialog thread is kept in a click (its pin calls
// wait in the driver, which holds requests) while the poll thread's read
// waits too, and the close
// is sent meanwhile: once the board is free, the read's update is queued
// behind the close.
TEST_F(PinvaneThreads, AnUpdateSentAsTheDialogClosesIsLetThrough)
{
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        size_t forced = host_threads_terminated();
        size_t before = debug_lines(board).size();
        size_t reads = trace_of(board, "IOCTL_GPIO_GET_PIN").size();
        DialogRun run(applet);
        ASSERT_TRUE(run.wait_for([&] { return trace_of(board, "IOCTL_GPIO_GET_PIN").size() > reads; }));
        // The poll thread's next read waits in the driver (not earlier: an
        // update it sends would wait for the click), then the click does too.
        board::hold_requests(true);
        ASSERT_TRUE(run.wait_for([] { return board::requests_held() == 1; }));
        HWND dlg = run.dialog();
        std::thread clicker([&] { host_click(dlg, kPorts + round); });
        bool both = run.wait_for([] { return board::requests_held() == 2; });
        if (!both)
            board::hold_requests(false);
        ASSERT_TRUE(both);
        std::thread closer([&] { SendMessageW(dlg, WM_CLOSE, 0, 0); });
        Sleep(20);  // the close is queued behind the click
        board::hold_requests(false);
        clicker.join();
        closer.join();
        ASSERT_TRUE(run.wait_ended());
        EXPECT_EQ(host_threads_terminated(), forced);
        std::vector<std::string> lines = debug_lines(board);
        EXPECT_EQ(std::vector<std::string>(lines.begin() + before, lines.end()),
                  (Lines{"+ close\r\n", "- close\r\n"}));
        EXPECT_EQ(host_open_handles("device"), 0u);
        EXPECT_EQ(host_open_handles("thread"), 0u);
    }
}

// A poll thread stuck in a pin call (the driver does not answer) does not
// hold up the close for longer than the wait: it is ended by force.  As on
// the board, it runs nothing more of its own once the call returns: the
// pin call's driver handle is never closed.
TEST_F(PinvaneThreads, AStuckPollThreadIsEndedAfterTheWait)
{
    size_t forced = host_threads_terminated();
    size_t left = host_device_opens() - host_device_closes();
    DialogRun run(applet);
    ASSERT_TRUE(run.wait_for([&] { return !trace_of(board, "IOCTL_GPIO_GET_PIN").empty(); }));
    // The driver stops answering: the poll thread's next read waits in it.
    board::hold_requests(true);
    ASSERT_TRUE(run.wait_for([] { return board::requests_held() == 1; }));
    EXPECT_EQ(host_open_handles("device"), 1u);
    ASSERT_TRUE(host_caption_ok(run.dialog()));
    bool ended = run.wait_ended();
    board::hold_requests(false);
    ASSERT_TRUE(ended);
    ASSERT_TRUE(run.wait_for([] { return board::requests_held() == 0; }));
    EXPECT_EQ(debug_lines(board), (Lines{"+ close\r\n", "- close\r\n"}));
    EXPECT_EQ(host_open_handles("thread"), 0u);
    // The thread ended as the stuck call returned, with the handle its pin
    // call had opened, and reads no more.
    EXPECT_EQ(host_threads_terminated(), forced + 1);
    EXPECT_EQ(host_open_handles("device"), 1u);
    size_t reads = trace_of(board, "IOCTL_GPIO_GET_PIN").size();
    Sleep(120);
    EXPECT_EQ(trace_of(board, "IOCTL_GPIO_GET_PIN").size(), reads);
    EXPECT_EQ(host_open_handles("device"), 1u);
    EXPECT_EQ(host_device_opens() - host_device_closes(), left + 1);
    // The board counts it against this process.
    std::vector<board::OpenHandles> open = board::open_handles();
    ASSERT_EQ(open.size(), 1u);
    EXPECT_EQ(open[0].pid, getpid());
    EXPECT_EQ(open[0].count, 1u);
}

}  // namespace
