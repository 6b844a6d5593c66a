// kestrin's three exports against the simulated board: the records they
// send, the levels they hand back, and the driver handle closed on every
// way out.
#include "gpio/kestrin.h"
#include "board/board.h"
#include "board_folder.h"
#include "host_control.h"

#include <climits>
#include <gtest/gtest.h>

namespace {

using test_support::BoardTest;
using Lines = std::vector<std::string>;

const LONG kJunk = static_cast<LONG>(0xdeadbeef);

class KestrinTest : public BoardTest {
protected:
    void SetUp() override
    {
        opens_ = host_device_opens();
        closes_ = host_device_closes();
    }
    // Whatever the test did, no driver handle is left open.
    void TearDown() override
    {
        EXPECT_EQ(host_open_handles("device"), 0u);
        EXPECT_EQ(host_device_opens() - opens_, host_device_closes() - closes_);
    }
    size_t opens() const { return host_device_opens() - opens_; }

    size_t opens_ = 0, closes_ = 0;
};

TEST_F(KestrinTest, SetPinSendsOneRecordBetweenOpenAndClose)
{
    EXPECT_NE(gpio_setPin(3, 0), FALSE);
    EXPECT_EQ(board_.trace_lines(), (Lines{"open", "IOCTL_GPIO_SET_PIN 8 3 0 -> 1", "close"}));
    EXPECT_EQ(board::status().pins[3].level(), 0);
    EXPECT_EQ(opens(), 1u);

    board_.clear_trace();
    EXPECT_NE(gpio_setPin(3, 1), FALSE);
    EXPECT_EQ(board_.trace_lines(), (Lines{"open", "IOCTL_GPIO_SET_PIN 8 3 1 -> 1", "close"}));
    EXPECT_EQ(board::status().pins[3].level(), 1);
}

TEST_F(KestrinTest, AnyNonZeroLevelIsSentAsOne)
{
    for (LONG level : std::initializer_list<LONG>{2, 5, -1, INT_MIN, INT_MAX}) {
        SCOPED_TRACE(level);
        ASSERT_NE(gpio_setPin(3, 0), FALSE);
        board_.clear_trace();
        EXPECT_NE(gpio_setPin(3, level), FALSE);
        EXPECT_EQ(board_.trace_lines(), (Lines{"open", "IOCTL_GPIO_SET_PIN 8 3 1 -> 1", "close"}));
        EXPECT_EQ(board::status().pins[3].driven, 1);
    }
}

TEST_F(KestrinTest, GetPinSendsLevelZeroAndHandsBackTheDriversLevel)
{
    board::set_input(4, 0);
    LONG level = kJunk;
    EXPECT_NE(gpio_getPin(4, &level), FALSE);
    EXPECT_EQ(level, 0);
    EXPECT_EQ(board_.trace_lines(),
              (Lines{"open", "IOCTL_GPIO_GET_PIN 8 4 0 -> 1 level=0", "close"}));

    board::set_input(4, 1);
    level = kJunk;
    EXPECT_NE(gpio_getPin(4, &level), FALSE);
    EXPECT_EQ(level, 1);

    // Released, the pin reads what it was last driven to.
    ASSERT_NE(gpio_setPin(4, 0), FALSE);
    board::set_input(4, -1);
    level = kJunk;
    EXPECT_NE(gpio_getPin(4, &level), FALSE);
    EXPECT_EQ(level, 0);
}

TEST_F(KestrinTest, RefusedRequestsReturnZeroAndStillClose)
{
    for (LONG pin : std::initializer_list<LONG>{-1, 64, INT_MIN}) {
        SCOPED_TRACE(pin);
        board_.clear_trace();
        EXPECT_EQ(gpio_setPin(pin, 1), FALSE);
        std::string sent = std::to_string(pin);
        EXPECT_EQ(board_.trace_lines(),
                  (Lines{"open", "IOCTL_GPIO_SET_PIN 8 " + sent + " 1 -> 0", "close"}));

        // A refused get still stores the record's level word: 0, as sent.
        board_.clear_trace();
        LONG level = kJunk;
        EXPECT_EQ(gpio_getPin(pin, &level), FALSE);
        EXPECT_EQ(level, 0);
        EXPECT_EQ(board_.trace_lines(),
                  (Lines{"open", "IOCTL_GPIO_GET_PIN 8 " + sent + " 0 -> 0", "close"}));
    }
}

TEST_F(KestrinTest, NullLevelPointerFailsWithoutOpeningTheDriver)
{
    uint64_t requests = board::status().requests;
    SetLastError(0xdeadbeef);
    EXPECT_EQ(gpio_getPin(3, nullptr), FALSE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(opens(), 0u);
    EXPECT_EQ(board::status().requests, requests);
    EXPECT_TRUE(board_.trace_lines().empty());
}

TEST_F(KestrinTest, MissingDeviceFailsBothCallsAndLeavesTheLevelAlone)
{
    board::set_plugged(false);
    uint64_t requests = board::status().requests;
    LONG level = kJunk;
    SetLastError(0xdeadbeef);
    EXPECT_EQ(gpio_getPin(3, &level), FALSE);
    EXPECT_EQ(level, kJunk);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(gpio_setPin(3, 1), FALSE);
    EXPECT_EQ(opens(), 0u);
    EXPECT_EQ(board::status().requests, requests);
    EXPECT_TRUE(board_.trace_lines().empty());

    // Plugged back, the same calls work.
    board::set_plugged(true);
    EXPECT_NE(gpio_getPin(3, &level), FALSE);
    EXPECT_EQ(level, 1);
}

TEST_F(KestrinTest, FaultInsideTheRequestClosesTheHandleAndReachesTheCaller)
{
    board::arm_fault();
    try {
        gpio_setPin(3, 0);
        ADD_FAILURE() << "the fault did not reach the caller";
    } catch (const ce_fault &f) {
        EXPECT_EQ(f.code, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
    }
    EXPECT_EQ(host_open_handles("device"), 0u);
    EXPECT_EQ(board_.trace_lines(), (Lines{"open", "IOCTL_GPIO_SET_PIN 8 3 0 -> 0 fault", "close"}));
    EXPECT_EQ(board::status().pins[3].driven, 1) << "a faulting request changed the pin";

    board_.clear_trace();
    board::arm_fault();
    LONG level = kJunk;
    EXPECT_THROW(gpio_getPin(3, &level), ce_fault);
    EXPECT_EQ(level, kJunk);
    EXPECT_EQ(host_open_handles("device"), 0u);
    EXPECT_EQ(board_.trace_lines(), (Lines{"open", "IOCTL_GPIO_GET_PIN 8 3 0 -> 0 fault", "close"}));

    // The fault is spent: the next call goes through.
    EXPECT_NE(gpio_getPin(3, &level), FALSE);
    EXPECT_EQ(level, 1);
}

TEST_F(KestrinTest, PowerOffNeverOpensTheDriver)
{
    gpio_gwesPowerOffSystem();
    EXPECT_FALSE(board::status().powered);
    EXPECT_EQ(opens(), 0u);
    EXPECT_EQ(board_.trace_lines(), (Lines{"poweroff"}));

    // Nor does it need the device.
    board::reset();
    board::set_plugged(false);
    gpio_gwesPowerOffSystem();
    EXPECT_FALSE(board::status().powered);
}

}  // namespace
