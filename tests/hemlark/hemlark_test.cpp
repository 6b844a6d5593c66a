// Hemlark.cpl as the Control Panel runs it: its compiled template, and its
// dialog driven through the window system against the simulated board,
// request by request.
#include "tests/support/applet_dialog.h"
#include "tests/support/dialog_template.h"

#include "board/board.h"
#include "platform/host/include/host_control.h"

#include <functional>
#include <string>
#include <vector>

namespace {

// Bars of channel 0 and channel 1: cr, dcr, pcr.
const int kBars[2][3] = {{1001, 1005, 1006}, {1007, 1008, 1009}};

const Lines kStart = {"open", "IOCTL_PWM_START 20 0 1 0 0 0 -> 1", "IOCTL_PWM_START 20 1 1 0 0 0 -> 1"};
const Lines kStop = {"IOCTL_PWM_STOP 20 0 0 0 0 0 -> 1", "IOCTL_PWM_STOP 20 1 0 0 0 0 -> 1", "close"};

struct Rates {
    int cr, dcr, pcr;
};

// The two set requests of one scroll event.
Lines sets(Rates ch0, Rates ch1)
{
    Lines lines;
    int channel = 0;
    for (const Rates &r : {ch0, ch1})
        lines.push_back("IOCTL_PWM_SET 20 " + std::to_string(channel++) + " 0 " + std::to_string(r.cr) + " " +
                        std::to_string(r.dcr) + " " + std::to_string(r.pcr) + " -> 1");
    return lines;
}

class Hemlark : public ::testing::Test {
protected:
    test_support::BoardFolder board;
    test_support::Applet applet{"Hemlark.cpl"};

    // Trace lines after the first skip ones.
    Lines trace_from(size_t skip) const
    {
        Lines all = board.trace_lines();
        return skip < all.size() ? Lines(all.begin() + skip, all.end()) : Lines();
    }
    static int position(const DialogRun &run, int id) { return run.control(id).scroll.nPos; }
};

TEST_F(Hemlark, RegistersAndTracesItsInstanceOnInit)
{
    expect_registration(applet, {102, 103, u"Hemlark", u"PWM Test PWM0 + PWM1"}, 3);  // no index check
    std::string log = board.debug_log();
    EXPECT_EQ(log.rfind("pwmcpl::ghInst = GetModuleHandle(TEXT(Hemlark.cpl)) = ", 0), 0u) << log;
    EXPECT_EQ(log.find("\r\n"), log.size() - 2) << log;
}

TEST_F(Hemlark, CompiledTemplateIsTheDialogOfTheTable)
{
    struct Item {
        int id;
        const char *cls;
        const char *text;
        int x, y, cx, cy;
    };
    const Item kItems[] = {
        {1, "Button", "Done", 72, 129, 50, 14},      {-1, "Static", "pwm 0", 7, 7, 44, 8},
        {-1, "Static", "pwm 1", 7, 71, 44, 8},       {1001, "ScrollBar", "", 7, 15, 98, 11},
        {1005, "ScrollBar", "", 7, 32, 98, 11},      {1006, "ScrollBar", "", 7, 48, 98, 11},
        {1007, "ScrollBar", "", 7, 80, 98, 11},      {1008, "ScrollBar", "", 7, 97, 98, 11},
        {1009, "ScrollBar", "", 7, 113, 98, 11},     {-1, "Static", "cr", 112, 16, 10, 8},
        {-1, "Static", "dcr", 111, 33, 11, 8},       {-1, "Static", "pcr", 111, 49, 11, 8},
        {-1, "Static", "cr", 112, 82, 10, 8},        {-1, "Static", "dcr", 111, 99, 11, 8},
        {-1, "Static", "pcr", 111, 115, 11, 8},
    };
    applet.send(CPL_INIT);
    DialogTemplate t;
    ASSERT_TRUE(load_dialog_template(u"Hemlark.cpl", 2000, &t));
    expect_dialog_frame(t, "Hemlark", 129, 150, WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME);
    ASSERT_EQ(t.items.size(), sizeof kItems / sizeof kItems[0]);
    for (size_t i = 0; i < t.items.size(); ++i) {
        const TemplateItem &got = t.items[i];
        const Item &want = kItems[i];
        SCOPED_TRACE(want.text + std::string(" ") + std::to_string(want.id));
        EXPECT_EQ(got.id, want.id);
        EXPECT_EQ(got.cls, want.cls);
        EXPECT_EQ(got.text, want.text);
        EXPECT_EQ(got.x, want.x);
        EXPECT_EQ(got.y, want.y);
        EXPECT_EQ(got.cx, want.cx);
        EXPECT_EQ(got.cy, want.cy);
        // Done is the default button and the only tab stop.
        EXPECT_EQ((got.style & WS_TABSTOP) != 0, want.id == 1);
        if (want.id == 1) {
            EXPECT_EQ(got.style & BS_TYPEMASK, static_cast<uint32_t>(BS_DEFPUSHBUTTON));
        }
    }
}

TEST_F(Hemlark, OpeningStartsBothChannelsAndSetsUpTheBars)
{
    DialogRun run(applet);
    EXPECT_EQ(board.trace_lines(), kStart);  // no rates until the first scroll
    board::Status s = board::status();
    EXPECT_EQ(s.pwm[0].running, 1u);
    EXPECT_EQ(s.pwm[1].running, 1u);
    const struct {
        int max, pos;
    } kSetup[3] = {{63, 16}, {1023, 256}, {1023, 512}};
    for (int channel = 0; channel < 2; ++channel)
        for (int rate = 0; rate < 3; ++rate) {
            SCROLLINFO si = run.control(kBars[channel][rate]).scroll;
            EXPECT_EQ(si.nMin, 0);
            EXPECT_EQ(si.nMax, kSetup[rate].max);
            EXPECT_EQ(si.nPage, 10u);
            EXPECT_EQ(si.nPos, kSetup[rate].pos);
        }
    EXPECT_EQ(host_dialog_info(run.dialog()).focus_id, 1);
}

// Each scroll event: the bar moves (clamped), then both channels' rates go
// out, channel 0 first.
TEST_F(Hemlark, EveryScrollEventSendsBothChannelsRates)
{
    struct Step {
        const char *what;
        std::function<bool(HWND)> act;
        Lines sent;
    };
    auto scroll = [](int id, int code) { return [=](HWND dlg) { return host_scroll(dlg, id, code); }; };
    const Step kSteps[] = {
        {"line right on cr 0", scroll(1001, SB_LINERIGHT), sets({17, 256, 512}, {16, 256, 512})},
        {"page right on dcr 0", scroll(1005, SB_PAGERIGHT), sets({17, 266, 512}, {16, 256, 512})},
        {"line left on pcr 1", scroll(1009, SB_LINELEFT), sets({17, 266, 512}, {16, 256, 511})},
        {"page left on cr 1", scroll(1007, SB_PAGELEFT), sets({17, 266, 512}, {6, 256, 511})},
        {"page left on cr 1 again", scroll(1007, SB_PAGELEFT), sets({17, 266, 512}, {0, 256, 511})},
        {"line left at 0", scroll(1007, SB_LINELEFT), sets({17, 266, 512}, {0, 256, 511})},
        {"left end of pcr 0", scroll(1006, SB_LEFT), sets({17, 266, 0}, {0, 256, 511})},
        {"right end of cr 0", scroll(1001, SB_RIGHT), sets({54, 266, 0}, {0, 256, 511})},
        {"line right past the end", scroll(1001, SB_LINERIGHT), sets({54, 266, 0}, {0, 256, 511})},
        {"right end of dcr 1", scroll(1008, SB_RIGHT), sets({54, 266, 0}, {0, 1014, 511})},
        {"end of scroll", scroll(1005, SB_ENDSCROLL), sets({54, 266, 0}, {0, 1014, 511})},
        {"drag pcr 1 to 700", [](HWND dlg) { return host_drag(dlg, 1009, 700); },
         sets({54, 266, 0}, {0, 1014, 700}) + sets({54, 266, 0}, {0, 1014, 700}) +
             sets({54, 266, 0}, {0, 1014, 700})},
        {"drag pcr 0 to the far end", [](HWND dlg) { return host_drag(dlg, 1006, 1023); },
         sets({54, 266, 1014}, {0, 1014, 700}) + sets({54, 266, 1014}, {0, 1014, 700}) +
             sets({54, 266, 1014}, {0, 1014, 700})},
        {"page right on cr 1", scroll(1007, SB_PAGERIGHT), sets({54, 266, 1014}, {10, 1014, 700})},
    };
    DialogRun run(applet);
    size_t seen = board.trace_lines().size();
    for (const Step &step : kSteps) {
        SCOPED_TRACE(step.what);
        ASSERT_TRUE(step.act(run.dialog()));
        EXPECT_EQ(trace_from(seen), step.sent);
        seen = board.trace_lines().size();
    }
    EXPECT_EQ(position(run, 1001), 54);
    EXPECT_EQ(position(run, 1008), 1014);
    board::Status s = board::status();
    EXPECT_EQ(s.pwm[0].cr, 54u);
    EXPECT_EQ(s.pwm[0].dcr, 266u);
    EXPECT_EQ(s.pwm[0].pcr, 1014u);
    EXPECT_EQ(s.pwm[1].cr, 10u);
    EXPECT_EQ(s.pwm[1].dcr, 1014u);
    EXPECT_EQ(s.pwm[1].pcr, 700u);
}

TEST_F(Hemlark, CommandsOtherThanDoneLeaveTheDialogOpen)
{
    DialogRun run(applet);
    ASSERT_TRUE(host_key(run.dialog(), HOST_KEY_ESCAPE));
    SendMessageW(run.dialog(), WM_COMMAND, 1001, 0);
    SendMessageW(run.dialog(), WM_COMMAND, 0, 0);
    EXPECT_TRUE(host_dialog_info(run.dialog()).open);
    EXPECT_FALSE(run.ended());
    EXPECT_EQ(board.trace_lines(), kStart);
}

// Done, Enter and the close box stop each channel once and close the
// driver once.
TEST_F(Hemlark, EveryWayOfClosingStopsEachChannelOnce)
{
    struct Closer {
        const char *name;
        std::function<bool(HWND)> close;
    };
    const Closer kClosers[] = {
        {"Done", [](HWND dlg) { return host_click(dlg, 1); }},
        {"Enter", [](HWND dlg) { return host_key(dlg, HOST_KEY_ENTER); }},
        {"close box", [](HWND dlg) { return host_caption_close(dlg); }},
    };
    for (const Closer &closer : kClosers) {
        SCOPED_TRACE(closer.name);
        size_t seen = board.trace_lines().size();
        size_t closes = host_device_closes();
        {
            DialogRun run(applet);
            ASSERT_TRUE(host_scroll(run.dialog(), 1005, SB_LINERIGHT));
            ASSERT_TRUE(closer.close(run.dialog()));
            ASSERT_TRUE(run.wait_ended());
            EXPECT_EQ(run.dblclk_result(), 0);
        }
        EXPECT_EQ(trace_from(seen), kStart + sets({16, 257, 512}, {16, 256, 512}) + kStop);
        EXPECT_EQ(host_device_closes(), closes + 1);
        EXPECT_EQ(host_open_handles("device"), 0u);
        board::Status s = board::status();
        EXPECT_EQ(s.pwm[0].running, 0u);
        EXPECT_EQ(s.pwm[1].running, 0u);
    }
}

TEST_F(Hemlark, WithoutTheDriverTheBarsStillWork)
{
    board::set_plugged(false);
    size_t opens = host_device_opens(), closes = host_device_closes();
    DialogRun run(applet);
    EXPECT_EQ(debug_lines(board).back(), "Error: can't open GPI1:\r\n");
    ASSERT_TRUE(host_scroll(run.dialog(), 1001, SB_PAGERIGHT));
    ASSERT_TRUE(host_drag(run.dialog(), 1009, 300));
    EXPECT_EQ(position(run, 1001), 26);
    EXPECT_EQ(position(run, 1009), 300);
    ASSERT_TRUE(host_caption_close(run.dialog()));
    ASSERT_TRUE(run.wait_ended());
    EXPECT_TRUE(board.trace_lines().empty());
    EXPECT_EQ(host_device_opens(), opens);
    EXPECT_EQ(host_device_closes(), closes);
    EXPECT_EQ(board::status().requests, 0u);
}

// A fault inside the driver while the channels start is caught; the dialog
// goes on with the driver it opened and closes it at the end.
TEST_F(Hemlark, AFaultWhileStartingIsCaughtAndTheDialogGoesOn)
{
    board::arm_fault();
    DialogRun run(applet);
    Lines lines = debug_lines(board);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "pwm app --- ex\r\n");
    EXPECT_EQ(board.trace_lines(), (Lines{"open", "IOCTL_PWM_START 20 0 1 0 0 0 -> 0 fault"}));
    EXPECT_EQ(position(run, 1006), 512);
    EXPECT_EQ(position(run, 1007), 16);
    ASSERT_TRUE(host_scroll(run.dialog(), 1007, SB_LINERIGHT));
    ASSERT_TRUE(host_click(run.dialog(), 1));
    ASSERT_TRUE(run.wait_ended());
    EXPECT_EQ(board.trace_lines(), (Lines{"open", "IOCTL_PWM_START 20 0 1 0 0 0 -> 0 fault"}) +
                                 sets({16, 256, 512}, {17, 256, 512}) + kStop);
    EXPECT_EQ(host_open_handles("device"), 0u);
}

}  // namespace
