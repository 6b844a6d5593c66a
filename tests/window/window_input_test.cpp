// The user's input as the dialog manager turns it into messages: clicks,
// keys, the caption's buttons and scroll-bar moves.
#include "dialog_harness.h"

#include <gtest/gtest.h>

namespace {

using Input = RecorderTest;

// Check boxes 10 and 11, a group of auto radio buttons 20..22, a second
// group 30..31 whose last member is a plain radio button, a push button 40
// and a disabled check box 50.
Template boxes(DWORD exstyle = 0)
{
    Template t(DIALOG_STYLE, exstyle, {0, 0, 100, 150}, u"Boxes");
    t.item(BUTTON, CHILD | WS_TABSTOP | BS_AUTOCHECKBOX, {15, 12, 40, 10}, 10, u"A");
    t.item(BUTTON, CHILD | WS_TABSTOP | BS_AUTOCHECKBOX, {15, 25, 40, 10}, 11, u"B");
    t.item(BUTTON, CHILD | WS_GROUP | BS_AUTORADIOBUTTON, {57, 14, 10, 10}, 20);
    t.item(BUTTON, CHILD | BS_AUTORADIOBUTTON, {57, 27, 10, 10}, 21);
    t.item(BUTTON, CHILD | BS_AUTORADIOBUTTON, {57, 40, 10, 10}, 22);
    t.item(BUTTON, CHILD | WS_GROUP | BS_AUTORADIOBUTTON, {57, 53, 10, 10}, 30);
    t.item(BUTTON, CHILD | BS_RADIOBUTTON, {57, 66, 10, 10}, 31);
    t.item(BUTTON, CHILD | WS_GROUP | WS_TABSTOP | BS_PUSHBUTTON, {7, 100, 50, 14}, 40, u"Push");
    t.item(BUTTON, CHILD | WS_TABSTOP | WS_DISABLED | BS_AUTOCHECKBOX, {7, 120, 50, 14}, 50, u"Off");
    return t;
}

int check(const RunningDialog &d, int id) { return (int)SendDlgItemMessageW(d.hwnd, id, BM_GETCHECK, 0, 0); }

TEST_F(Input, CheckBoxTogglesBeforeItsParentHears)
{
    Template t = boxes();
    RunningDialog d(t.get());
    ASSERT_TRUE(d.hwnd);
    std::vector<int> seen;
    recorder().react = [&seen](HWND dlg, UINT msg, WPARAM, LPARAM) -> INT_PTR {
        if (msg == WM_COMMAND)
            seen.push_back((int)SendDlgItemMessageW(dlg, 10, BM_GETCHECK, 0, 0));
        return -1;
    };
    ASSERT_TRUE(host_click(d.hwnd, 10));
    ASSERT_TRUE(host_click(d.hwnd, 10));
    ASSERT_TRUE(host_click(d.hwnd, 10));
    EXPECT_EQ(seen, (std::vector<int>{BST_CHECKED, BST_UNCHECKED, BST_CHECKED}));
    EXPECT_EQ(recorded(WM_COMMAND), std::vector<Msg>(3, command(10, d.item(10))));
    EXPECT_EQ(check(d, 11), BST_UNCHECKED);
    EXPECT_TRUE(d.control(10).focused);

    // Disabled boxes, statics of no kind and missing ids take no clicks.
    EXPECT_FALSE(host_click(d.hwnd, 50));
    EXPECT_FALSE(host_click(d.hwnd, 999));
    EXPECT_EQ(check(d, 50), BST_UNCHECKED);
    EXPECT_EQ(recorded(WM_COMMAND).size(), 3u);
}

TEST_F(Input, AutoRadioButtonClearsOnlyItsOwnGroup)
{
    Template t = boxes();
    RunningDialog d(t.get());
    ASSERT_TRUE(d.hwnd);
    SendDlgItemMessageW(d.hwnd, 30, BM_SETCHECK, BST_CHECKED, 0);
    SendDlgItemMessageW(d.hwnd, 20, BM_SETCHECK, BST_CHECKED, 0);
    SendDlgItemMessageW(d.hwnd, 21, BM_SETCHECK, BST_CHECKED, 0);  // a message checks without clearing
    EXPECT_EQ(check(d, 20), BST_CHECKED);
    EXPECT_TRUE(recorded(WM_COMMAND).empty());

    ASSERT_TRUE(host_click(d.hwnd, 22));
    EXPECT_EQ(check(d, 20), BST_UNCHECKED);
    EXPECT_EQ(check(d, 21), BST_UNCHECKED);
    EXPECT_EQ(check(d, 22), BST_CHECKED);
    EXPECT_EQ(check(d, 30), BST_CHECKED);
    EXPECT_EQ(recorded(WM_COMMAND), std::vector<Msg>{command(22, d.item(22))});

    // A plain radio button only tells its parent; its group stays.
    ASSERT_TRUE(host_click(d.hwnd, 31));
    EXPECT_EQ(check(d, 31), BST_UNCHECKED);
    EXPECT_EQ(check(d, 30), BST_CHECKED);
    ASSERT_TRUE(host_click(d.hwnd, 30));
    EXPECT_EQ(check(d, 30), BST_CHECKED);

    // BM_CLICK is a click.
    SendDlgItemMessageW(d.hwnd, 20, BM_CLICK, 0, 0);
    EXPECT_EQ(check(d, 20), BST_CHECKED);
    EXPECT_EQ(check(d, 22), BST_UNCHECKED);
    // Push buttons have no check state.
    SendDlgItemMessageW(d.hwnd, 40, BM_SETCHECK, BST_CHECKED, 0);
    EXPECT_EQ(check(d, 40), BST_UNCHECKED);
}

TEST_F(Input, EnterPressesTheDefaultButtonOrOk)
{
    Template with_default(DIALOG_STYLE, 0, {0, 0, 121, 75}, u"Enable");
    with_default.item(BUTTON, CHILD | WS_TABSTOP | BS_AUTOCHECKBOX, {7, 1, 107, 14}, 5, u"Box");
    with_default.item(BUTTON, CHILD | BS_DEFPUSHBUTTON, {7, 18, 107, 14}, 7, u"Enable");
    with_default.item(BUTTON, CHILD | BS_PUSHBUTTON, {7, 45, 107, 14}, 8, u"Disable");
    {
        RunningDialog d(with_default.get());
        ASSERT_TRUE(d.hwnd);
        HWND enable = d.item(7), disable = d.item(8);
        ASSERT_TRUE(host_key(d.hwnd, HOST_KEY_ENTER));  // focus on a check box
        ASSERT_TRUE(host_click(d.hwnd, 8));
        ASSERT_TRUE(host_key(d.hwnd, HOST_KEY_ENTER));  // focus on a push button: that one
        ASSERT_TRUE(host_key(d.hwnd, HOST_KEY_ESCAPE));
        EXPECT_EQ(d.result(), IDCANCEL);
        std::vector<Msg> expected = {command(7, enable), command(8, disable), command(8, disable),
                                     command(IDCANCEL, nullptr)};
        EXPECT_EQ(recorded(WM_COMMAND), expected);
    }
    reset_recorder();
    Template plain = boxes();
    RunningDialog d(plain.get());
    ASSERT_TRUE(host_key(d.hwnd, HOST_KEY_ENTER));
    EXPECT_EQ(d.result(), IDOK);
    EXPECT_EQ(recorded(WM_COMMAND), std::vector<Msg>{command(IDOK, nullptr)});
}

TEST_F(Input, DisabledCancelButtonSwallowsEscapeAndClose)
{
    Template t = boxes();
    t.item(BUTTON, CHILD | WS_DISABLED | BS_PUSHBUTTON, {1, 1, 1, 1}, IDCANCEL, u"Cancel");
    RunningDialog d(t.get());
    ASSERT_TRUE(host_key(d.hwnd, HOST_KEY_ESCAPE));
    ASSERT_TRUE(host_caption_close(d.hwnd));
    EXPECT_TRUE(recorded(WM_COMMAND).empty());
    EXPECT_EQ(recorded(WM_CLOSE).size(), 1u);
    EXPECT_TRUE(host_dialog_info(d.hwnd).open);
}

TEST_F(Input, CaptionButtons)
{
    Template without = boxes();
    {
        RunningDialog d(without.get());
        HWND first = d.item(10);
        EXPECT_FALSE(host_caption_ok(d.hwnd));  // no OK button in this caption
        // Close asks the procedure, which leaves it to the dialog manager: cancel.
        ASSERT_TRUE(host_caption_close(d.hwnd));
        EXPECT_EQ(d.result(), IDCANCEL);
        std::vector<Msg> expected = {{WM_INITDIALOG, (WPARAM)first, 0}, {WM_CLOSE, 0, 0},
                                     command(IDCANCEL, nullptr), {WM_DESTROY, 0, 0}};
        EXPECT_EQ(recorded(), expected);
    }
    reset_recorder();
    Template with = boxes(WS_EX_CAPTIONOKBTN);
    {
        RunningDialog d(with.get());
        // A procedure that handles WM_CLOSE itself gets no cancel.
        recorder().react = [](HWND, UINT msg, WPARAM, LPARAM) -> INT_PTR { return msg == WM_CLOSE ? TRUE : -1; };
        ASSERT_TRUE(host_caption_close(d.hwnd));
        EXPECT_TRUE(recorded(WM_COMMAND).empty());
        ASSERT_TRUE(host_caption_ok(d.hwnd));
        EXPECT_EQ(d.result(), IDOK);
        EXPECT_EQ(recorded(WM_COMMAND), (std::vector<Msg>{{WM_COMMAND, IDOK, 0}}));
        EXPECT_FALSE(host_caption_ok(d.hwnd));  // closed
    }
    reset_recorder();
    Template ends_itself = boxes();
    {
        // A procedure that ends the dialog on WM_CLOSE but leaves the message
        // to the dialog manager never sees the cancel.
        RunningDialog d(ends_itself.get());
        recorder().react = [](HWND dlg, UINT msg, WPARAM, LPARAM) -> INT_PTR {
            if (msg == WM_CLOSE)
                EndDialog(dlg, 1);
            return msg == WM_CLOSE ? FALSE : -1;
        };
        ASSERT_TRUE(host_caption_close(d.hwnd));
        EXPECT_EQ(d.result(), 1);
        EXPECT_TRUE(recorded(WM_COMMAND).empty());
    }
    reset_recorder();
    Template no_box(WS_POPUP | WS_CAPTION, 0, {0, 0, 50, 50}, u"Bare");
    RunningDialog d(no_box.get());
    EXPECT_FALSE(host_caption_close(d.hwnd));
    EXPECT_TRUE(recorded(WM_CLOSE).empty());
}

TEST_F(Input, TabWalksTheTabStopsAndSpaceClicks)
{
    Template t = boxes();
    RunningDialog d(t.get());
    ASSERT_TRUE(d.hwnd);
    // The first tab stop has the focus and came with WM_INITDIALOG.
    EXPECT_EQ(recorded()[0].wparam, (WPARAM)d.item(10));
    std::vector<int> order;
    for (int i = 0; i < 4; ++i) {
        order.push_back(host_dialog_info(d.hwnd).focus_id);
        ASSERT_TRUE(host_key(d.hwnd, HOST_KEY_TAB));
    }
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(host_key(d.hwnd, HOST_KEY_SHIFT_TAB));
        order.push_back(host_dialog_info(d.hwnd).focus_id);
    }
    // Disabled (50) and non-tab-stop controls are skipped; both ends wrap.
    EXPECT_EQ(order, (std::vector<int>{10, 11, 40, 10, 10, 40, 11, 10}));

    ASSERT_TRUE(host_key(d.hwnd, HOST_KEY_TAB));  // from 10 to 11
    ASSERT_TRUE(host_key(d.hwnd, HOST_KEY_SPACE));
    EXPECT_EQ(check(d, 11), BST_CHECKED);
    EXPECT_EQ(recorded(WM_COMMAND), std::vector<Msg>{command(11, d.item(11))});

    Template no_stops(DIALOG_STYLE, 0, {0, 0, 50, 50}, u"None");
    no_stops.item(STATIC, CHILD, {1, 1, 10, 10}, 1, u"x");
    reset_recorder();
    RunningDialog bare(no_stops.get());
    EXPECT_EQ(recorded()[0].wparam, 0u);
    EXPECT_FALSE(host_key(bare.hwnd, HOST_KEY_TAB));
    EXPECT_FALSE(host_key(bare.hwnd, HOST_KEY_SPACE));
    EXPECT_FALSE(host_key(bare.hwnd, 99));
}

// One bar whose procedure moves it as the PWM dialog does, recording the
// track position it reads with each message.
Template bars()
{
    Template t(DIALOG_STYLE, 0, {0, 0, 129, 150}, u"Bars");
    t.item(SCROLLBAR, CHILD | SBS_HORZ, {7, 15, 98, 11}, 1001);
    t.item(SCROLLBAR, CHILD | SBS_HORZ | WS_DISABLED, {7, 32, 98, 11}, 1005);
    t.item(STATIC, CHILD, {112, 16, 10, 8}, 7, u"cr");
    return t;
}

TEST_F(Input, ScrollPressesReachTheDialogAndLeaveTheBar)
{
    Template t = bars();
    RunningDialog d(t.get());
    HWND bar = set_bar(d, 1001, 0, 63, 10, 16);

    for (int code : {SB_LINELEFT, SB_LINERIGHT, SB_PAGELEFT, SB_PAGERIGHT, SB_LEFT, SB_RIGHT, SB_ENDSCROLL})
        ASSERT_TRUE(host_scroll(d.hwnd, 1001, code)) << code;
    EXPECT_FALSE(host_scroll(d.hwnd, 1001, SB_THUMBTRACK));
    EXPECT_FALSE(host_scroll(d.hwnd, 1001, 9));
    EXPECT_FALSE(host_scroll(d.hwnd, 1005, SB_LINELEFT));  // disabled
    EXPECT_FALSE(host_scroll(d.hwnd, 7, SB_LINELEFT));     // no bar

    std::vector<Msg> expected;
    for (int code : {SB_LINELEFT, SB_LINERIGHT, SB_PAGELEFT, SB_PAGERIGHT, SB_LEFT, SB_RIGHT, SB_ENDSCROLL})
        expected.push_back(hscroll(code, 0, bar));
    EXPECT_EQ(recorded(WM_HSCROLL), expected);
    EXPECT_EQ(read_bar(bar).nPos, 16);
}

TEST_F(Input, DragTracksThenReleases)
{
    Template t = bars();
    RunningDialog d(t.get());
    HWND bar = set_bar(d, 1001, 0, 63, 10, 16);
    std::vector<int> tracks;
    std::vector<bool> dragging;
    recorder().react = [&](HWND dlg, UINT msg, WPARAM wparam, LPARAM lparam) -> INT_PTR {
        if (msg != WM_HSCROLL)
            return -1;
        SCROLLINFO now = read_bar((HWND)lparam);
        tracks.push_back(now.nTrackPos);
        dragging.push_back(host_controls(dlg)[0].tracking);
        if (LOWORD(wparam) == SB_THUMBTRACK) {
            now.fMask = SIF_POS;
            now.nPos = now.nTrackPos;
            SetScrollInfo((HWND)lparam, SB_CTL, &now, TRUE);
        }
        return TRUE;
    };
    ASSERT_TRUE(host_drag(d.hwnd, 1001, 40));
    std::vector<Msg> expected = {hscroll(SB_THUMBTRACK, 40, bar), hscroll(SB_THUMBPOSITION, 40, bar),
                                 hscroll(SB_ENDSCROLL, 0, bar)};
    EXPECT_EQ(recorded(WM_HSCROLL), expected);
    EXPECT_EQ(tracks, (std::vector<int>{40, 40, 40}));
    EXPECT_EQ(dragging, (std::vector<bool>{true, true, false}));
    EXPECT_EQ(read_bar(bar).nPos, 40);

    // The thumb stops where the bar can go; a release needs a drag.
    reset_recorder();
    ASSERT_TRUE(host_thumb_track(d.hwnd, 1001, 500));
    EXPECT_TRUE(d.control(1001).tracking);
    EXPECT_EQ(d.control(1001).scroll.nTrackPos, 54);
    ASSERT_TRUE(host_thumb_track(d.hwnd, 1001, -5));
    ASSERT_TRUE(host_thumb_release(d.hwnd, 1001));
    EXPECT_FALSE(host_thumb_release(d.hwnd, 1001));
    expected = {hscroll(SB_THUMBTRACK, 54, bar), hscroll(SB_THUMBTRACK, 0, bar),
                hscroll(SB_THUMBPOSITION, 0, bar), hscroll(SB_ENDSCROLL, 0, bar)};
    EXPECT_EQ(recorded(WM_HSCROLL), expected);
    EXPECT_FALSE(d.control(1001).tracking);
    EXPECT_FALSE(host_drag(d.hwnd, 1005, 3));
}

TEST_F(Input, ObserverHearsOfChanges)
{
    struct Count {
        std::mutex lock;
        int calls = 0;
    } count;
    host_window_set_observer(
        [](void *c) {
            auto *n = static_cast<Count *>(c);
            std::lock_guard<std::mutex> g(n->lock);
            ++n->calls;
        },
        &count);
    Template t = boxes();
    {
        RunningDialog d(t.get());
        uint64_t seen = host_window_generation();
        int calls;
        {
            std::lock_guard<std::mutex> g(count.lock);
            calls = count.calls;
        }
        ASSERT_TRUE(host_click(d.hwnd, 11));
        EXPECT_GT(host_window_generation(), seen);
        EXPECT_EQ(host_wait_change(seen, 0), host_window_generation());
        std::lock_guard<std::mutex> g(count.lock);
        EXPECT_GT(count.calls, calls);
    }
    host_window_set_observer(nullptr, nullptr);
    uint64_t now = host_window_generation();
    EXPECT_EQ(host_wait_change(now, 10), now);
}

}  // namespace
