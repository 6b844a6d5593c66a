// Messages between threads: a send is handled on the dialog's own thread
// while the sender waits, threads sending to each other do not lock up,
// and nothing waits for ever on a window that is gone.
#include "dialog_harness.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <vector>

namespace {

using Threads = RecorderTest;

Template pins()
{
    Template t(DIALOG_STYLE, WS_EX_CAPTIONOKBTN, {0, 0, 89, 142}, u"Pins");
    t.item(BUTTON, CHILD | WS_TABSTOP | BS_AUTOCHECKBOX, {15, 12, 40, 10}, 1000, u"Port 1");
    t.item(BUTTON, CHILD | BS_AUTORADIOBUTTON, {57, 14, 10, 10}, 1010);
    t.item(BUTTON, CHILD | BS_AUTORADIOBUTTON, {57, 27, 10, 10}, 1011);
    t.item(BUTTON, CHILD | BS_PUSHBUTTON, {7, 100, 50, 14}, 40, u"Go");
    return t;
}

TEST_F(Threads, SendIsHandledOnTheDialogThreadWhileTheSenderWaits)
{
    Template t = pins();
    RunningDialog d(t.get());
    ASSERT_TRUE(d.hwnd);
    std::promise<std::thread::id> inside;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    recorder().react = [&](HWND dlg, UINT msg, WPARAM, LPARAM) -> INT_PTR {
        if (msg != WM_USER)
            return -1;
        inside.set_value(std::this_thread::get_id());
        released.wait();
        SetWindowLongW(dlg, DWL_MSGRESULT, 42);
        return TRUE;
    };
    std::atomic<bool> returned{false};
    LRESULT result = 0;
    std::thread sender([&] {
        result = SendMessageW(d.hwnd, WM_USER, 1, 2);
        returned = true;
    });
    EXPECT_EQ(inside.get_future().get(), d.thread_id());
    EXPECT_FALSE(returned);  // the procedure has not returned yet
    release.set_value();
    sender.join();
    EXPECT_EQ(result, 42);
    EXPECT_EQ(recorded(WM_USER), (std::vector<Msg>{{WM_USER, 1, 2}}));
}

// A poll thread setting indicators while the user ticks a box.
TEST_F(Threads, PollThreadAndUserTogether)
{
    Template t = pins();
    RunningDialog d(t.get());
    ASSERT_TRUE(d.hwnd);
    std::atomic<int> mismatches{0};
    std::thread poll([&] {
        for (int i = 0; i < 400; ++i) {
            int want = i % 2 ? BST_CHECKED : BST_UNCHECKED;
            SendDlgItemMessageW(d.hwnd, 1010, BM_SETCHECK, want, 0);
            SendDlgItemMessageW(d.hwnd, 1011, BM_SETCHECK, !want, 0);
            if (SendDlgItemMessageW(d.hwnd, 1010, BM_GETCHECK, 0, 0) != want ||
                SendDlgItemMessageW(d.hwnd, 1011, BM_GETCHECK, 0, 0) != !want)
                ++mismatches;
        }
    });
    for (int i = 0; i < 51; ++i)
        ASSERT_TRUE(host_click(d.hwnd, 1000));
    poll.join();
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(d.control(1000).check, BST_CHECKED);
    EXPECT_EQ(d.control(1010).check, BST_CHECKED);
    EXPECT_EQ(d.control(1011).check, BST_UNCHECKED);
    EXPECT_EQ(recorded(WM_COMMAND).size(), 51u);
}

TEST_F(Threads, ThreadsSendingToEachOtherDoNotLockUp)
{
    Template t = pins();
    RunningDialog a(t.get());
    RunningDialog b(t.get());
    ASSERT_TRUE(a.hwnd && b.hwnd);
    ASSERT_NE(a.hwnd, b.hwnd);
    HWND ha = a.hwnd, hb = b.hwnd;
    std::atomic<bool> on_own_thread{true};
    recorder().react = [&](HWND dlg, UINT msg, WPARAM, LPARAM) -> INT_PTR {
        std::thread::id self = std::this_thread::get_id();
        if (self != (dlg == ha ? a.thread_id() : b.thread_id()))
            on_own_thread = false;
        LONG answer;
        if (dlg == ha && msg == WM_USER)
            answer = static_cast<LONG>(SendMessageW(hb, WM_USER + 1, 0, 0)) + 1;
        else if (dlg == hb && msg == WM_USER + 1)
            answer = static_cast<LONG>(SendMessageW(ha, WM_USER + 2, 0, 0)) + 1;
        else if (dlg == ha && msg == WM_USER + 2)
            answer = 40;
        else
            return -1;
        SetWindowLongW(dlg, DWL_MSGRESULT, answer);
        return TRUE;
    };
    EXPECT_EQ(SendMessageW(ha, WM_USER, 0, 0), 42);
    EXPECT_TRUE(on_own_thread);
}

TEST_F(Threads, ClosedDialogRefusesEverything)
{
    Template t = pins();
    RunningDialog d(t.get());
    HWND box = d.item(1000);
    ASSERT_TRUE(host_caption_ok(d.hwnd));
    EXPECT_EQ(d.result(), IDOK);

    std::thread other([&] {
        SetLastError(0);
        EXPECT_EQ(SendMessageW(d.hwnd, WM_USER, 0, 0), 0);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);
        EXPECT_EQ(SendMessageW(box, BM_GETCHECK, 0, 0), 0);
        EXPECT_EQ(SendDlgItemMessageW(d.hwnd, 1000, BM_SETCHECK, 1, 0), 0);
        EXPECT_FALSE(PostMessageW(d.hwnd, WM_USER, 0, 0));
        EXPECT_EQ(GetDlgItem(d.hwnd, 1000), nullptr);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);
        EXPECT_FALSE(IsWindow(box));
        EXPECT_FALSE(host_click(d.hwnd, 1000));
        EXPECT_FALSE(host_key(d.hwnd, HOST_KEY_ENTER));
        EXPECT_EQ(host_dialog_info(d.hwnd).hwnd, nullptr);
        EXPECT_TRUE(host_controls(d.hwnd).empty());
    });
    other.join();
    EXPECT_TRUE(recorded(WM_USER).empty());
    EXPECT_EQ(recorded().back().msg, (UINT)WM_DESTROY);
}

TEST_F(Threads, SendPendingWhenTheDialogEndsFails)
{
    Template t = pins();
    RunningDialog d(t.get());
    std::thread late;
    std::atomic<LRESULT> result{-1};
    std::atomic<DWORD> error{0};
    recorder().react = [&](HWND dlg, UINT msg, WPARAM wparam, LPARAM) -> INT_PTR {
        if (msg != WM_COMMAND || LOWORD(wparam) != 40)
            return -1;
        std::promise<void> sending;
        late = std::thread([&, dlg] {
            sending.set_value();
            result = SendMessageW(dlg, WM_USER, 0, 0);
            error = GetLastError();
        });
        sending.get_future().wait();
        PostMessageW(dlg, WM_USER + 1, 0, 0);
        EndDialog(dlg, 3);
        return TRUE;
    };
    ASSERT_TRUE(host_click(d.hwnd, 40));
    EXPECT_EQ(d.result(), 3);
    late.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(error, (DWORD)ERROR_INVALID_WINDOW_HANDLE);
    // Neither the send nor the post reached the procedure.
    EXPECT_TRUE(recorded(WM_USER).empty());
    EXPECT_TRUE(recorded(WM_USER + 1).empty());
}

// TerminateThread ends a thread waiting on a send at once, whether its
// message is still queued or being handled; the message is still handled
// (as the platform does), once, and lParam may point into the ended
// thread's stack, which stays as it was.
DWORD WINAPI sends_user(LPVOID param)
{
    char on_stack[16] = "sender's stack";
    SendMessageW(static_cast<HWND>(param), WM_USER, 0, reinterpret_cast<LPARAM>(on_stack));
    return 7;
}

// Waits until pred() holds; false after 5 s.
template <typename Pred>
bool eventually(Pred pred)
{
    for (int i = 0; i < 5000 && !pred(); ++i)
        Sleep(1);
    return pred();
}

TEST_F(Threads, TerminatedSenderEndsAtOnceAndItsMessageIsStillHandled)
{
    Template t = pins();
    RunningDialog d(t.get());
    ASSERT_TRUE(d.hwnd);
    std::promise<void> busy_inside, second_inside;
    std::promise<void> release_busy, release_second;
    std::shared_future<void> busy_released = release_busy.get_future().share();
    std::shared_future<void> second_released = release_second.get_future().share();
    std::atomic<int> users{0};
    std::atomic<bool> second_done{false};
    std::vector<std::string> texts;
    recorder().react = [&](HWND, UINT msg, WPARAM, LPARAM lparam) -> INT_PTR {
        if (msg == WM_USER + 1) {
            busy_inside.set_value();
            busy_released.wait();
            return TRUE;
        }
        if (msg == WM_USER) {
            texts.push_back(reinterpret_cast<const char *>(lparam));
            if (++users == 2) {
                second_inside.set_value();
                second_released.wait();
                second_done = true;
            }
            return TRUE;
        }
        return -1;
    };

    // The dialog thread is busy, so the send stays queued.
    std::thread busy([&] { SendMessageW(d.hwnd, WM_USER + 1, 0, 0); });
    busy_inside.get_future().wait();
    HANDLE queued = CreateThread(nullptr, 0, sends_user, d.hwnd, 0, nullptr);
    ASSERT_NE(queued, nullptr);
    ASSERT_TRUE(eventually([&] { return host_pending_sends(d.hwnd) == 1; }));
    EXPECT_TRUE(TerminateThread(queued, 5));
    EXPECT_EQ(WaitForSingleObject(queued, 5000), WAIT_OBJECT_0);
    DWORD code = 0xDEAD;
    EXPECT_TRUE(GetExitCodeThread(queued, &code));
    EXPECT_EQ(code, 5u);
    CloseHandle(queued);
    EXPECT_EQ(host_pending_sends(d.hwnd), 1u);
    release_busy.set_value();
    busy.join();
    EXPECT_TRUE(eventually([&] { return users == 1; }));

    // Once the dialog has begun the message, the sender ends at once too.
    HANDLE handled = CreateThread(nullptr, 0, sends_user, d.hwnd, 0, nullptr);
    ASSERT_NE(handled, nullptr);
    second_inside.get_future().wait();
    EXPECT_TRUE(TerminateThread(handled, 6));
    EXPECT_EQ(WaitForSingleObject(handled, 5000), WAIT_OBJECT_0);
    code = 0xDEAD;
    EXPECT_TRUE(GetExitCodeThread(handled, &code));
    EXPECT_EQ(code, 6u);
    CloseHandle(handled);
    release_second.set_value();
    EXPECT_TRUE(eventually([&] { return second_done && host_pending_sends(d.hwnd) == 0; }));
    EXPECT_EQ(recorded(WM_USER).size(), 2u);
    EXPECT_EQ(users, 2);
    EXPECT_EQ(texts, (std::vector<std::string>{"sender's stack", "sender's stack"}));
}

// PeekMessageW, inside a handler, handles what other threads send meanwhile
// and reports (PM_NOREMOVE: leaves) or takes (PM_REMOVE) the first posted
// message that its window and number range let through.
TEST_F(Threads, PeekHandlesSentMessagesAndLooksAtPostedOnes)
{
    Template t = pins();
    RunningDialog d(t.get());
    ASSERT_TRUE(d.hwnd);
    std::vector<Msg> peeked;
    std::vector<BOOL> found;
    std::vector<size_t> sent_seen;
    recorder().react = [&](HWND dlg, UINT msg, WPARAM, LPARAM) -> INT_PTR {
        if (msg != WM_USER + 2)
            return -1;
        PostMessageW(dlg, WM_USER + 3, 7, 8);
        PostMessageW(GetDlgItem(dlg, 1010), BM_SETCHECK, BST_CHECKED, 0);
        PostMessageW(dlg, WM_USER + 5, 9, 0);
        // Another thread's send waits for this one; the peek lets it through.
        std::thread other([dlg] { SendMessageW(dlg, WM_USER + 4, 1, 2); });
        eventually([&] { return host_pending_sends(dlg) == 1; });
        MSG m;
        auto peek = [&](HWND w, UINT lo, UINT hi, UINT remove) {
            m = MSG{};
            found.push_back(PeekMessageW(&m, w, lo, hi, remove));
            peeked.push_back(Msg{m.message, m.wParam, m.lParam});
        };
        peek(nullptr, 0, 0, PM_NOREMOVE);
        other.join();
        sent_seen.push_back(recorded(WM_USER + 4).size());
        peek(nullptr, 0, 0, PM_NOREMOVE);                   // still the first
        peek(dlg, BM_SETCHECK, BM_SETCHECK, PM_NOREMOVE);   // a control of the dialog
        peek(dlg, WM_USER + 5, WM_USER + 9, PM_REMOVE);     // taken: never delivered
        peek(dlg, WM_USER + 5, WM_USER + 9, PM_NOREMOVE);   // none left in range
        return TRUE;
    };
    SendMessageW(d.hwnd, WM_USER + 2, 0, 0);
    EXPECT_EQ(sent_seen, (std::vector<size_t>{1}));
    EXPECT_EQ(found, (std::vector<BOOL>{TRUE, TRUE, TRUE, TRUE, FALSE}));
    ASSERT_EQ(peeked.size(), 5u);
    EXPECT_EQ(peeked[0], (Msg{WM_USER + 3, 7, 8}));
    EXPECT_EQ(peeked[1], (Msg{WM_USER + 3, 7, 8}));
    EXPECT_EQ(peeked[2], (Msg{BM_SETCHECK, BST_CHECKED, 0}));
    EXPECT_EQ(peeked[3], (Msg{WM_USER + 5, 9, 0}));
    // What was only looked at is delivered as usual.
    EXPECT_TRUE(eventually([&] { return recorded(WM_USER + 3).size() == 1; }));
    EXPECT_TRUE(eventually([&] { return d.control(1010).check == BST_CHECKED; }));
    EXPECT_TRUE(recorded(WM_USER + 5).empty());
    MSG m;
    EXPECT_FALSE(PeekMessageW(&m, nullptr, 0, 0, 2));  // an unknown flag
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(Threads, PostedMessagesComeAfterTheHandlerInOrder)
{
    Template t = pins();
    RunningDialog d(t.get());
    recorder().react = [&](HWND dlg, UINT msg, WPARAM, LPARAM) -> INT_PTR {
        if (msg == WM_COMMAND) {
            EXPECT_TRUE(PostMessageW(dlg, WM_USER + 1, 1, 0));
            EXPECT_TRUE(PostMessageW(GetDlgItem(dlg, 1010), BM_SETCHECK, BST_CHECKED, 0));
            EXPECT_TRUE(PostMessageW(dlg, WM_USER + 2, 2, 0));
        }
        return -1;
    };
    // The click returns once what it caused is handled, posts included.
    ASSERT_TRUE(host_click(d.hwnd, 40));
    std::vector<Msg> log = recorded();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[1], command(40, d.item(40)));
    EXPECT_EQ(log[2], (Msg{WM_USER + 1, 1, 0}));
    EXPECT_EQ(log[3], (Msg{WM_USER + 2, 2, 0}));
    EXPECT_EQ(d.control(1010).check, BST_CHECKED);
}

TEST_F(Threads, NestedDialogDisablesItsOwnerAndAgainIsFresh)
{
    Template outer = pins();
    Template inner(DIALOG_STYLE, 0, {0, 0, 50, 50}, u"Inner");
    inner.item(BUTTON, CHILD | WS_TABSTOP | BS_AUTOCHECKBOX, {1, 1, 40, 10}, 7, u"Seven");
    std::atomic<INT_PTR> inner_result{0};
    recorder().react = [&](HWND dlg, UINT msg, WPARAM wparam, LPARAM) -> INT_PTR {
        if (msg == WM_COMMAND && LOWORD(wparam) == 40) {
            inner_result = DialogBoxIndirectParamW(nullptr, inner.get(), dlg, recording_proc, 99);
            return TRUE;
        }
        return -1;
    };
    RunningDialog d(outer.get());
    ASSERT_TRUE(host_click(d.hwnd, 1000));
    std::thread clicker([&] { EXPECT_TRUE(host_click(d.hwnd, 40)); });
    HWND nested = nullptr;
    for (int i = 0; i < 500 && (!nested || nested == d.hwnd); ++i) {
        uint64_t seen = host_window_generation();
        nested = host_wait_dialog(1000);
        if (nested == d.hwnd)
            host_wait_change(seen, 10);
    }
    ASSERT_NE(nested, d.hwnd);
    EXPECT_EQ(host_dialogs(), std::vector<HWND>{nested});  // the top one of the thread
    EXPECT_EQ(host_dialog_info(nested).owner, d.hwnd);
    EXPECT_FALSE(host_dialog_info(d.hwnd).enabled);
    EXPECT_FALSE(host_click(d.hwnd, 1000));  // the owner takes no input now
    HWND seven = GetDlgItem(nested, 7);
    ASSERT_TRUE(host_click(nested, 7));
    ASSERT_TRUE(host_key(nested, HOST_KEY_ESCAPE));
    clicker.join();
    EXPECT_EQ(inner_result, IDCANCEL);
    EXPECT_TRUE(host_dialog_info(d.hwnd).enabled);
    EXPECT_EQ(host_dialogs(), std::vector<HWND>{d.hwnd});
    EXPECT_EQ(d.control(1000).check, BST_CHECKED);
    ASSERT_EQ(recorded(WM_INITDIALOG).size(), 2u);
    EXPECT_EQ(recorded(WM_INITDIALOG)[1], (Msg{WM_INITDIALOG, (WPARAM)seven, 99}));
    EXPECT_FALSE(IsWindow(nested));
    EXPECT_TRUE(EndDialog(d.hwnd, 8));  // from another thread
    EXPECT_EQ(d.result(), 8);

    reset_recorder();
    RunningDialog again(outer.get());
    ASSERT_TRUE(again.hwnd);
    EXPECT_NE(again.hwnd, d.hwnd);
    EXPECT_EQ(again.control(1000).check, BST_UNCHECKED);
}

}  // namespace

namespace {

// A fault that the procedure does not catch leaves through the dialog
// call; the windows go and whoever sent the message is released.
TEST_F(Threads, FaultEscapingTheProcedureTakesTheDialogDown)
{
    Template t = pins();
    recorder().react = [](HWND, UINT msg, WPARAM, LPARAM) -> INT_PTR {
        if (msg == WM_COMMAND)
            throw ce_fault{EXCEPTION_ACCESS_VIOLATION};
        return -1;
    };
    std::atomic<bool> caught{false};
    std::thread owner([&] {
        try {
            DialogBoxIndirectParamW(nullptr, t.get(), nullptr, recording_proc, 0);
        } catch (const ce_fault &) {
            caught = true;
        }
    });
    HWND dlg = host_wait_dialog(5000);
    ASSERT_TRUE(dlg);
    EXPECT_FALSE(host_click(dlg, 1000));
    owner.join();
    EXPECT_TRUE(caught);
    EXPECT_FALSE(IsWindow(dlg));
    EXPECT_TRUE(host_dialogs().empty());
}

}  // namespace
