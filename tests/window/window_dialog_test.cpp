// Dialog creation from templates, the life of a dialog as its procedure
// sees it, and the scroll-bar calls.
#include "dialog_harness.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

using Dialog = RecorderTest;

// Two buttons, the second the first tab stop; a static between.
Template two_buttons()
{
    Template t(DIALOG_STYLE, 0, {10, 20, 121, 75}, u"Two");
    t.item(STATIC, CHILD | SS_LEFT, {7, 7, 40, 8}, 0xFFFF, u"label");
    t.item(BUTTON, CHILD | BS_PUSHBUTTON, {7, 18, 50, 14}, 100, u"First");
    t.item(BUTTON, CHILD | WS_TABSTOP | BS_DEFPUSHBUTTON, {7, 45, 50, 14}, IDOK, u"OK");
    return t;
}

TEST_F(Dialog, ProcedureSeesInitFirstAndDestroyLastAndResultComesBack)
{
    Template t = two_buttons();
    HWND ok = nullptr;
    {
        RunningDialog d(t.get(), 0x1234);
        ASSERT_TRUE(d.hwnd);
        ok = d.item(IDOK);
        EXPECT_TRUE(IsWindow(d.hwnd));
        EXPECT_EQ(GetDlgCtrlID(ok), IDOK);
        EXPECT_EQ(GetDlgCtrlID(d.hwnd), 0);
        recorder().react = [](HWND dlg, UINT msg, WPARAM wparam, LPARAM) -> INT_PTR {
            if (msg == WM_COMMAND && LOWORD(wparam) == IDOK) {
                EndDialog(dlg, 77);
                // A dialog that has ended still answers until it is destroyed.
                EXPECT_TRUE(IsWindow(dlg));
                return TRUE;
            }
            return -1;
        };
        ASSERT_TRUE(host_key(d.hwnd, HOST_KEY_ENTER));
        EXPECT_EQ(d.result(), 77);
        EXPECT_FALSE(IsWindow(d.hwnd));
        EXPECT_FALSE(IsWindow(ok));
        EXPECT_TRUE(host_wait_closed(d.hwnd, 0));
    }
    std::vector<Msg> expected = {{WM_INITDIALOG, (WPARAM)ok, 0x1234}, command(IDOK, ok), {WM_DESTROY, 0, 0}};
    EXPECT_EQ(recorded(), expected);
}

// Controls of classes named in the template, with creation data to skip.
TEST_F(Dialog, TemplateBuildsTheControlsAsLaidOut)
{
    Template t(DIALOG_STYLE, WS_EX_CAPTIONOKBTN, {0, 0, 89, 142}, u"Pins");
    t.item(BUTTON, CHILD | WS_TABSTOP | BS_AUTOCHECKBOX, {15, 12, 40, 10}, 1000, u"Port 1");
    t.named(u"static", CHILD, {112, 16, 10, 8}, 5, u"cr");
    t.named(u"ScrollBar", CHILD | SBS_HORZ | WS_DISABLED, {7, 15, 98, 11}, 1001);
    t.named(u"Button", CHILD | BS_DEFPUSHBUTTON, {72, 129, 50, 14}, 1, u"Done");
    RunningDialog d(t.get());
    ASSERT_TRUE(d.hwnd);
    EXPECT_EQ(layout(d.hwnd), "\"Pins\" 0,0 89x142 8pt System ok-button\n"
                              "1000 checkbox \"Port 1\" 15,12 40x10 focus\n"
                              "5 static \"cr\" 112,16 10x8\n"
                              "1001 scrollbar \"\" 7,15 98x11 disabled\n"
                              "1 button \"Done\" 72,129 50x14 default\n");
    HostDialog info = host_dialog_info(d.hwnd);
    EXPECT_EQ(info.style, DIALOG_STYLE | DS_SETFONT);
    EXPECT_TRUE(info.open);
    EXPECT_EQ(info.focus_id, 1000);
    EXPECT_EQ(info.default_id, 1);
}

TEST_F(Dialog, BadTemplateFailsWithoutCallingTheProcedure)
{
    EXPECT_EQ(DialogBoxIndirectParamW(nullptr, nullptr, nullptr, recording_proc, 0), -1);

    Template edit = two_buttons();
    edit.item(EDIT, CHILD, {1, 1, 1, 1}, 9);
    EXPECT_EQ(DialogBoxIndirectParamW(nullptr, edit.get(), nullptr, recording_proc, 0), -1);

    Template named = two_buttons();
    named.named(u"LISTBOX", CHILD, {1, 1, 1, 1}, 9);
    EXPECT_EQ(DialogBoxIndirectParamW(nullptr, named.get(), nullptr, recording_proc, 0), -1);

    std::vector<WORD> version2 = {2, 0xFFFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(DialogBoxIndirectParamW(nullptr, reinterpret_cast<const DLGTEMPLATE *>(version2.data()),
                                      nullptr, recording_proc, 0),
              -1);
    EXPECT_TRUE(recorded().empty());
    EXPECT_TRUE(host_dialogs().empty());
}

// An extended template has a font block only with DS_SETFONT; DS_FIXEDSYS
// alone must not make the items be read from the wrong place.
TEST_F(Dialog, ExtendedTemplateWithoutFontHasItsItems)
{
    std::vector<WORD> ex = {
        1, 0xFFFF, 0, 0, 0, 0,                // version, signature, help id, extended style
        0x0008, 0x80C0,                       // WS_POPUP | WS_CAPTION | DS_FIXEDSYS
        1, 0, 0, 50, 20,                      // one item; x, y, cx, cy
        0, 0, 0,                              // no menu, no class, no title
        0, 0, 0, 0, 0x0000, 0x5000,           // item: help id, extended style, style
        4, 5, 30, 10, 7, 0, 0xFFFF, 0x0080,   // x, y, cx, cy, id 7, button
        0, 0};                                // no text, no creation data
    RunningDialog d(reinterpret_cast<const DLGTEMPLATE *>(ex.data()));
    ASSERT_TRUE(d.hwnd);
    EXPECT_EQ(layout(d.hwnd), "\"\" 0,0 50x20 0pt \n"  // no font
                              "7 button \"\" 4,5 30x10\n");
}

TEST_F(Dialog, EndDialogDuringInitNeverOpens)
{
    recorder().react = [](HWND dlg, UINT msg, WPARAM, LPARAM) -> INT_PTR {
        if (msg == WM_INITDIALOG)
            EndDialog(dlg, 5);
        return -1;
    };
    Template t = two_buttons();
    EXPECT_EQ(DialogBoxIndirectParamW(nullptr, t.get(), nullptr, recording_proc, 0), 5);
    ASSERT_EQ(recorded().size(), 2u);
    EXPECT_EQ(recorded()[1].msg, (UINT)WM_DESTROY);
    EXPECT_EQ(EndDialog(recorder().windows[0], 1), FALSE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);
}

TEST_F(Dialog, TextMessagesOnControlsAndCaption)
{
    Template t = two_buttons();
    RunningDialog d(t.get());
    ASSERT_TRUE(d.hwnd);
    uint64_t before = host_window_generation();
    EXPECT_EQ(SendDlgItemMessageW(d.hwnd, 100, WM_SETTEXT, 0, (LPARAM)u"Renamed"), TRUE);
    EXPECT_GT(host_window_generation(), before);
    WCHAR buf[5];
    EXPECT_EQ(SendDlgItemMessageW(d.hwnd, 100, WM_GETTEXT, 5, (LPARAM)buf), 4);
    EXPECT_EQ(std::u16string(buf), u"Rena");
    EXPECT_EQ(SendDlgItemMessageW(d.hwnd, 100, WM_GETTEXTLENGTH, 0, 0), 7);
    EXPECT_EQ(d.control(100).text, "Renamed");
    // The recording procedure leaves text to the dialog manager: the caption.
    EXPECT_EQ(SendMessageW(d.hwnd, WM_GETTEXT, 5, (LPARAM)buf), 3);
    EXPECT_EQ(std::u16string(buf), u"Two");
}

// A dialog procedure's return only says whether it handled a message; a
// sent message is answered with what it stored as DWL_MSGRESULT, 0 when it
// stored nothing, except for the few messages whose answer is the return
// itself.  Measured alike under Wine (tests/win32/platform_probe.cpp).
TEST_F(Dialog, SentMessageIsAnsweredWithTheStoredResultNotTheBoolean)
{
    Template t = two_buttons();
    RunningDialog d(t.get());
    ASSERT_TRUE(d.hwnd);
    recorder().react = [](HWND dlg, UINT msg, WPARAM wparam, LPARAM) -> INT_PTR {
        switch (msg) {
        case WM_USER:  // handled, nothing stored
            return TRUE;
        case WM_USER + 1:  // handled, answer stored
            SetWindowLongW(dlg, DWL_MSGRESULT, static_cast<LONG>(wparam));
            return TRUE;
        case WM_USER + 2:  // stored, yet left to the dialog manager
            SetWindowLongW(dlg, DWL_MSGRESULT, 77);
            return FALSE;
        case WM_QUERYDRAGICON:
        case WM_CTLCOLORSTATIC:
        case WM_COMPAREITEM:
            return 0x55;
        case WM_USER + 3:  // the old value comes back from the store
            return SetWindowLongW(dlg, DWL_MSGRESULT, 5) == 0 &&
                   SetWindowLongW(dlg, DWL_MSGRESULT, 6) == 5;
        default:
            return -1;
        }
    };
    EXPECT_EQ(SendMessageW(d.hwnd, WM_USER + 1, 1234, 0), 1234);
    EXPECT_EQ(SendMessageW(d.hwnd, WM_USER, 0, 0), 0);  // the last message's 1234 is gone
    EXPECT_EQ(SendMessageW(d.hwnd, WM_USER + 1, (WPARAM)-7, 0), -7);
    EXPECT_EQ(SendMessageW(d.hwnd, WM_USER + 2, 0, 0), 0);
    EXPECT_EQ(SendMessageW(d.hwnd, WM_USER + 3, 0, 0), 6);
    EXPECT_EQ(SendMessageW(d.hwnd, WM_QUERYDRAGICON, 0, 0), 0x55);
    EXPECT_EQ(SendMessageW(d.hwnd, WM_CTLCOLORSTATIC, 0, 0), 0x55);
    EXPECT_EQ(SendMessageW(d.hwnd, WM_COMPAREITEM, 0, 0), 0x55);
    // From another thread the same.
    LRESULT other = 0;
    std::thread([&] { other = SendMessageW(d.hwnd, WM_USER + 1, 99, 0); }).join();
    EXPECT_EQ(other, 99);
    // The dialog manager's own answers are untouched by a stored result.
    WCHAR buf[8];
    EXPECT_EQ(SendMessageW(d.hwnd, WM_GETTEXT, 8, (LPARAM)buf), 3);
    EXPECT_EQ(GetWindowLongW(d.hwnd, DWL_MSGRESULT), 0);
}

TEST_F(Dialog, WindowLongsOfDialogsAndControls)
{
    Template t = two_buttons();
    RunningDialog d(t.get());
    ASSERT_TRUE(d.hwnd);
    HWND ok = d.item(IDOK);
    EXPECT_EQ((DWORD)GetWindowLongW(d.hwnd, GWL_STYLE) & DIALOG_STYLE, (DWORD)DIALOG_STYLE);
    EXPECT_EQ(GetWindowLongW(ok, GWL_ID), IDOK);
    EXPECT_EQ((DWORD)GetWindowLongW(ok, GWL_STYLE), (DWORD)(CHILD | WS_TABSTOP | BS_DEFPUSHBUTTON));
    // A control has no message result.
    SetLastError(0);
    EXPECT_EQ(SetWindowLongW(ok, DWL_MSGRESULT, 3), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_INDEX);
    EXPECT_EQ(GetWindowLongW(d.hwnd, 1000), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_INDEX);
    HWND gone = d.hwnd;
    ASSERT_TRUE(host_key(d.hwnd, HOST_KEY_ENTER));
    d.result();
    EXPECT_EQ(SetWindowLongW(gone, DWL_MSGRESULT, 3), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);
}

// A dialog with one scroll bar, for the scroll-bar calls.
Template one_bar()
{
    Template t(DIALOG_STYLE, 0, {0, 0, 129, 150}, u"Bar");
    t.item(SCROLLBAR, CHILD | SBS_HORZ, {7, 15, 98, 11}, 1001);
    t.item(BUTTON, CHILD | WS_TABSTOP | BS_DEFPUSHBUTTON, {72, 129, 50, 14}, IDOK, u"Done");
    return t;
}

SCROLLINFO all(int min, int max, UINT page, int pos)
{
    return SCROLLINFO{sizeof(SCROLLINFO), SIF_ALL, min, max, page, pos, 1};
}

TEST_F(Dialog, ScrollPositionIsClampedToTheReachableRange)
{
    Template t = one_bar();
    RunningDialog d(t.get());
    HWND bar = d.item(1001);
    ASSERT_TRUE(bar);

    SCROLLINFO si = all(0, 63, 10, 100);
    EXPECT_EQ(SetScrollInfo(bar, SB_CTL, &si, TRUE), 54);
    si = all(0, 1023, 10, 5000);
    EXPECT_EQ(SetScrollInfo(bar, SB_CTL, &si, TRUE), 1014);
    si = all(0, 1023, 10, 256);
    EXPECT_EQ(SetScrollInfo(bar, SB_CTL, &si, TRUE), 256);
    si = all(10, 20, 0, -3);
    EXPECT_EQ(SetScrollInfo(bar, SB_CTL, &si, TRUE), 10);
    si = all(10, 20, 0, 25);  // no page: the whole range is reachable
    EXPECT_EQ(SetScrollInfo(bar, SB_CTL, &si, TRUE), 20);
    si = all(0, 4, 50, 3);  // a page wider than the range shrinks to it
    EXPECT_EQ(SetScrollInfo(bar, SB_CTL, &si, TRUE), 0);
    SCROLLINFO got{sizeof(SCROLLINFO), SIF_ALL, 0, 0, 0, 0, 0};
    ASSERT_TRUE(GetScrollInfo(bar, SB_CTL, &got));
    EXPECT_EQ(got.nPage, 5u);

    // Setting only the position clamps against the stored range.
    si = all(0, 63, 10, 16);
    SetScrollInfo(bar, SB_CTL, &si, TRUE);
    SCROLLINFO pos{sizeof(SCROLLINFO), SIF_POS, 0, 0, 0, 60, 0};
    EXPECT_EQ(SetScrollInfo(bar, SB_CTL, &pos, TRUE), 54);
    pos.nPos = -1;
    EXPECT_EQ(SetScrollInfo(bar, SB_CTL, &pos, TRUE), 0);

    // The widest range with the widest page: no overflow on the way.
    si = all(0, 0x7FFFFFFF, 0xFFFFFFFFu, 5);
    EXPECT_EQ(SetScrollInfo(bar, SB_CTL, &si, TRUE), 0);
}

TEST_F(Dialog, ScrollInfoReadsWhatTheMaskSelects)
{
    Template t = one_bar();
    RunningDialog d(t.get());
    HWND bar = set_bar(d, 1001, 0, 1023, 10, 512);

    SCROLLINFO got{sizeof(SCROLLINFO), SIF_POS, -7, -7, 99, -7, -7};
    ASSERT_TRUE(GetScrollInfo(bar, SB_CTL, &got));
    EXPECT_EQ(got.nPos, 512);
    EXPECT_EQ(got.nMin, -7);
    EXPECT_EQ(got.nMax, -7);
    EXPECT_EQ(got.nPage, 99u);
    EXPECT_EQ(got.nTrackPos, -7);

    got.fMask = SIF_RANGE | SIF_PAGE | SIF_TRACKPOS;
    ASSERT_TRUE(GetScrollInfo(bar, SB_CTL, &got));
    EXPECT_EQ(got.nMin, 0);
    EXPECT_EQ(got.nMax, 1023);
    EXPECT_EQ(got.nPage, 10u);
    EXPECT_EQ(got.nTrackPos, 512);  // no drag: the track follows the position
}

TEST_F(Dialog, ScrollCallsRefuseBadRecordsAndWindows)
{
    Template t = one_bar();
    RunningDialog d(t.get());
    HWND bar = set_bar(d, 1001, 0, 63, 10, 16);
    SCROLLINFO si = all(0, 63, 10, 16);

    SCROLLINFO bad = all(0, 63, 10, 30);
    bad.cbSize = 27;
    EXPECT_EQ(SetScrollInfo(bar, SB_CTL, &bad, TRUE), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(GetScrollInfo(bar, SB_CTL, &bad));
    EXPECT_EQ(SetScrollInfo(bar, SB_HORZ, &si, TRUE), 0);
    EXPECT_EQ(SetScrollInfo(d.item(IDOK), SB_CTL, &si, TRUE), 0);
    EXPECT_EQ(SetScrollInfo(bar, SB_CTL, nullptr, TRUE), 0);
    EXPECT_EQ(d.control(1001).scroll.nPos, 16);

    // Redraws are counted only when asked for.
    unsigned redraws = d.control(1001).redraws;
    si.nPos = 20;
    SetScrollInfo(bar, SB_CTL, &si, FALSE);
    EXPECT_EQ(d.control(1001).redraws, redraws);
    EXPECT_EQ(d.control(1001).scroll.nPos, 20);
    SetScrollInfo(bar, SB_CTL, &si, TRUE);
    EXPECT_EQ(d.control(1001).redraws, redraws + 1);

    EndDialog(d.hwnd, 0);
    d.result();
    EXPECT_EQ(SetScrollInfo(bar, SB_CTL, &si, TRUE), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);
}

}  // namespace
