// Pinvane.cpl as the Control Panel runs it: its registration, its compiled
// resources, and its dialog driven through the window system against the
// simulated board.
#include "tests/support/applet_dialog.h"
#include "tests/support/dialog_template.h"

#include "board/board.h"
#include "platform/host/include/host_control.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

const int kPorts = 1000;   // check box of pin n: kPorts + n - 1
const int kInputs = 1010;  // indicator of pin n: kInputs + n - 1

class Pinvane : public ::testing::Test {
protected:
    test_support::BoardFolder board;
    test_support::Applet applet{"Pinvane.cpl"};

    std::vector<std::string> set_requests() const { return trace_of(board, "IOCTL_GPIO_SET_PIN"); }
    static bool checked(const DialogRun &run, int id) { return run.control(id).check == BST_CHECKED; }
};

// The nine set requests of one click, pin 1 to 9, for the pins given high.
std::vector<std::string> writes(std::initializer_list<int> high)
{
    std::vector<std::string> lines;
    for (int pin = 1; pin <= 9; ++pin) {
        bool on = std::find(high.begin(), high.end(), pin) != high.end();
        lines.push_back("IOCTL_GPIO_SET_PIN 8 " + std::to_string(pin) + (on ? " 1" : " 0") + " -> 1");
    }
    return lines;
}

TEST_F(Pinvane, RegistersItsNameIconAndIndexCheck)
{
    expect_registration(applet, {5, 4, u"Pinvane", u"Pinvane"}, 1);
    EXPECT_EQ(board.debug_log(),
              "Unknown: DEBUGCHK failed in file SRC\\APPS\\Pinvane\\pinvane at line 47 \r\n");
}

TEST_F(Pinvane, CompiledResourcesHoldTheTemplateStringsAndIcons)
{
    applet.send(CPL_INIT);
    DialogTemplate t;
    ASSERT_TRUE(load_dialog_template(u"Pinvane.cpl", 102, &t));
    expect_dialog_frame(t, "Pinvane", 89, 142, WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME);
    EXPECT_EQ(t.ex_style, 0x80000000u);  // the OK button in the caption
    ASSERT_EQ(t.items.size(), 18u);
    for (int n = 1; n <= 9; ++n) {
        const TemplateItem &out = t.items[n - 1];
        EXPECT_EQ(out.id, kPorts + n - 1);
        EXPECT_EQ(out.cls, "Button");
        EXPECT_EQ(out.text, "Port " + std::to_string(n));
        EXPECT_EQ(out.style & BS_TYPEMASK, static_cast<uint32_t>(BS_AUTOCHECKBOX)) << n;
        EXPECT_TRUE(out.style & WS_TABSTOP) << n;
        EXPECT_EQ(out.x, 15);
        EXPECT_EQ(out.y, 12 + 13 * (n - 1));
        const TemplateItem &in = t.items[9 + n - 1];
        EXPECT_EQ(in.id, kInputs + n - 1);
        EXPECT_EQ(in.cls, "Button");
        EXPECT_EQ(in.text, "");
        EXPECT_EQ(in.style & BS_TYPEMASK, static_cast<uint32_t>(BS_AUTORADIOBUTTON)) << n;
        EXPECT_FALSE(in.style & WS_TABSTOP) << n;
        EXPECT_EQ(in.x, 57);
        EXPECT_EQ(in.y, 14 + 13 * (n - 1));
        EXPECT_GT(in.cx, 0);
        EXPECT_GT(in.cy, 0);
        // Each row's box ends before the next row starts.
        EXPECT_LE(out.cy, 13);
        EXPECT_LE(in.cy, 13);
    }
    HMODULE module = GetModuleHandleW(u"Pinvane.cpl");
    WCHAR text[32];
    for (UINT id : {1u, 2u}) {
        ASSERT_EQ(LoadStringW(module, id, text, 32), 7) << id;
        EXPECT_EQ(std::u16string(text), u"Pinvane");
    }
    EXPECT_NE(FindResourceW(module, MAKEINTRESOURCEW(4), RT_GROUP_ICON), nullptr);
    EXPECT_NE(FindResourceW(module, MAKEINTRESOURCEW(5), RT_GROUP_ICON), nullptr);
}

TEST_F(Pinvane, EveryClickWritesAllNinePinsInOrder)
{
    DialogRun run(applet);
    ASSERT_TRUE(host_click(run.dialog(), kPorts + 2));  // "Port 3"
    EXPECT_EQ(set_requests(), writes({3}));
    board::Status s = board::status();
    for (int pin = 1; pin <= 9; ++pin)
        EXPECT_EQ(s.pins[pin].driven, pin == 3 ? 1 : 0) << pin;

    ASSERT_TRUE(host_click(run.dialog(), kPorts + 8));  // "Port 9"
    ASSERT_TRUE(host_click(run.dialog(), kPorts + 2));  // "Port 3" again, cleared
    EXPECT_EQ(set_requests(), writes({3}) + writes({3, 9}) + writes({9}));
    s = board::status();
    for (int pin = 1; pin <= 9; ++pin)
        EXPECT_EQ(s.pins[pin].driven, pin == 9 ? 1 : 0) << pin;
}

TEST_F(Pinvane, OtherCommandsWriteNothing)
{
    DialogRun run(applet);
    HWND dlg = run.dialog();
    ASSERT_TRUE(host_click(dlg, kInputs + 4));  // an indicator
    SendMessageW(dlg, WM_COMMAND, 1009, 0);     // between the two groups
    SendMessageW(dlg, WM_COMMAND, 999, 0);
    SendMessageW(dlg, WM_COMMAND, 1019, 0);
    EXPECT_TRUE(set_requests().empty());
    EXPECT_TRUE(host_dialog_info(dlg).open);
}

TEST_F(Pinvane, IndicatorsShowInputsActiveLow)
{
    board::set_input(2, 0);
    board::set_input(9, 0);
    board::set_input(7, 1);
    DialogRun run(applet);
    ASSERT_TRUE(run.wait_for([&] { return checked(run, kInputs + 1) && checked(run, kInputs + 8); }));
    // Pins that nothing drives are pulled up: they read high.
    for (int pin : {1, 3, 4, 5, 6, 7, 8})
        EXPECT_FALSE(checked(run, kInputs + pin - 1)) << pin;

    board::set_input(7, 0);
    board::set_input(2, 1);
    EXPECT_TRUE(run.wait_for([&] { return checked(run, kInputs + 6) && !checked(run, kInputs + 1); }));

    // A driven output reads back through its input: a click drives the
    // unticked ones low.
    ASSERT_TRUE(host_click(run.dialog(), kPorts + 4));  // pin 5 high, the others low
    EXPECT_TRUE(run.wait_for([&] { return checked(run, kInputs + 2) && checked(run, kInputs + 7); }));
    EXPECT_FALSE(checked(run, kInputs + 4));
}

TEST_F(Pinvane, AFailedReadLeavesTheIndicatorAsItWas)
{
    board::set_input(1, 0);
    board::set_input(4, 1);
    DialogRun run(applet);
    ASSERT_TRUE(run.wait_for([&] { return checked(run, kInputs) && !checked(run, kInputs + 3); }));
    board::set_plugged(false);
    board::set_input(1, 1);
    board::set_input(4, 0);
    Sleep(200);  // four poll passes, every read failing
    EXPECT_TRUE(checked(run, kInputs));
    EXPECT_FALSE(checked(run, kInputs + 3));
    board::set_plugged(true);
    EXPECT_TRUE(run.wait_for([&] { return !checked(run, kInputs) && checked(run, kInputs + 3); }));
}

TEST_F(Pinvane, WithoutTheDriverTheDialogWorksAndShowsNothing)
{
    board::set_plugged(false);
    DialogRun run(applet);
    ASSERT_TRUE(host_click(run.dialog(), kPorts + 2));
    EXPECT_TRUE(checked(run, kPorts + 2));
    Sleep(150);
    for (int pin = 1; pin <= 9; ++pin)
        EXPECT_FALSE(checked(run, kInputs + pin - 1)) << pin;
    EXPECT_TRUE(board.trace_lines().empty());
    ASSERT_TRUE(host_caption_ok(run.dialog()));
    ASSERT_TRUE(run.wait_ended());
    EXPECT_EQ(debug_lines(board), (std::vector<std::string>{"+ close\r\n", "- close\r\n"}));
}

// Every way of closing the dialog stops the poll thread once, lets it
// finish on its own and leaves no handle open.
struct Closer {
    const char *name;
    std::function<bool(HWND)> close;
};

const Closer kClosers[] = {
    {"caption OK", [](HWND dlg) { return host_caption_ok(dlg); }},
    {"Escape", [](HWND dlg) { return host_key(dlg, HOST_KEY_ESCAPE); }},
    {"close box", [](HWND dlg) { return host_caption_close(dlg); }},
    {"IDCANCEL by message", [](HWND dlg) {
         SendMessageW(dlg, WM_COMMAND, IDCANCEL, 0);
         return true;
     }},
};

TEST_F(Pinvane, EveryWayOfClosingStopsThePollThreadOnce)
{
    for (const Closer &closer : kClosers) {
        SCOPED_TRACE(closer.name);
        size_t before = debug_lines(board).size();
        {
            DialogRun run(applet);
            ASSERT_TRUE(run.wait_for([&] { return !trace_of(board, "IOCTL_GPIO_GET_PIN").empty(); }));
            ASSERT_TRUE(closer.close(run.dialog()));
            ASSERT_TRUE(run.wait_ended());
            EXPECT_EQ(run.dblclk_result(), 0);
        }
        std::vector<std::string> lines = debug_lines(board);
        ASSERT_GE(lines.size(), before);
        EXPECT_EQ(std::vector<std::string>(lines.begin() + before, lines.end()),
                  (std::vector<std::string>{"+ close\r\n", "- close\r\n"}));
        EXPECT_EQ(host_open_handles("thread"), 0u);
        EXPECT_EQ(host_open_handles("device"), 0u);
        // The thread has stopped reading.
        size_t reads = trace_of(board, "IOCTL_GPIO_GET_PIN").size();
        Sleep(120);
        EXPECT_EQ(trace_of(board, "IOCTL_GPIO_GET_PIN").size(), reads);
    }
    // Each pin call closed the handle it opened.
    EXPECT_EQ(trace_of(board, "open").size(), trace_of(board, "close").size());
}

// Closed at random moments of the poll cycle, the dialog always lets its
// poll thread finish on its own: none is ended by force, so no pin call is
// cut off with its driver handle open.  A thousand closes in all, in four
// runs of their own (each a process with its own board, so they can run
// side by side), each from a seed of its own.
class PinvaneCloses : public Pinvane, public ::testing::WithParamInterface<int> {};

TEST_P(PinvaneCloses, AtRandomMomentsLeaveNoHandleOpen)
{
    const int kCloses = 250;
    size_t forced = host_threads_terminated();
    std::mt19937 random(2024 + GetParam());
    for (int i = 0; i < kCloses; ++i) {
        DialogRun run(applet);
        ASSERT_NE(run.dialog(), nullptr) << i;
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 50000));
        ASSERT_TRUE(host_caption_ok(run.dialog())) << i;
        ASSERT_TRUE(run.wait_ended()) << i;
    }
    EXPECT_EQ(host_threads_terminated(), forced);
    EXPECT_EQ(host_open_handles("device"), 0u);
    EXPECT_EQ(host_device_opens(), host_device_closes());
    EXPECT_TRUE(board::open_handles().empty());
    std::vector<std::string> lines = debug_lines(board);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "+ close\r\n"), kCloses);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "- close\r\n"), kCloses);
}

INSTANTIATE_TEST_SUITE_P(AThousand, PinvaneCloses, ::testing::Range(0, 4));

}  // namespace
