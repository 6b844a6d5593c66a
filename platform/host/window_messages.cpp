// Each thread's queues of sent and posted messages and their delivery:
// the message reaches a dialog's procedure or a control on the thread that
// owns the window (SendMessageW, SendDlgItemMessageW, PostMessageW,
// PeekMessageW).
//
// A message for a window of another thread is queued to that thread and
// handled there when it next waits for messages (in a modal loop or in a
// send of its own); the sender sleeps on its own condition variable, which
// also wakes it for messages sent to it meanwhile, so two threads sending
// to each other do not lock up.
#include "window.h"

#include <atomic>
#include <chrono>

namespace host {
namespace win {
namespace {

// How often a thread waiting for a sent message looks whether it has been
// terminated, besides being woken for it.
constexpr int kTerminatePollMs = 10;

// The messages a dialog answers with its procedure's return value itself,
// not with the result the procedure stored.
bool answered_by_return(UINT msg)
{
    return msg == WM_INITDIALOG || msg == WM_CTLCOLOR ||
           (msg >= WM_CTLCOLORMSGBOX && msg <= WM_CTLCOLORSTATIC) || msg == WM_COMPAREITEM ||
           msg == WM_VKEYTOITEM || msg == WM_CHARTOITEM || msg == WM_QUERYDRAGICON;
}

void complete_locked(Item &item, LRESULT result, bool failed)
{
    item.result = result;
    item.failed = failed;
    item.done = true;
    item.sender->cv.notify_all();
}

// Ends a thread's part in the window system: what is still queued to it,
// or was being handled when it was ended by force, fails, so that no sender
// waits for ever.  A thread being parked frees nothing (it may be in its
// signal handler): its queues stay as they are, never to be served.
void thread_gone(ThreadState &ts, bool free_queues)
{
    Lock held(lock());
    ts.alive = false;
    for (auto &item : ts.sent)
        if (!item->done)
            complete_locked(*item, 0, true);
    for (auto &item : ts.running)
        if (!item->done)
            complete_locked(*item, 0, true);
    if (free_queues) {
        ts.sent.clear();
        ts.posted.clear();
    }
}

// Ends the thread's part in the window system when the thread ends.
struct ThreadHolder {
    std::shared_ptr<ThreadState> ts;
    ~ThreadHolder()
    {
        if (ts)
            thread_gone(*ts, true);
    }
};
thread_local ThreadHolder t_thread;

// Runs the oldest item sent to ts; the lock is released meanwhile.
void run_one_sent(Lock &held, ThreadState &ts)
{
    std::shared_ptr<Item> item = ts.sent.front();
    ts.sent.pop_front();
    ts.running.push_back(item);
    held.unlock();
    LRESULT result = 0;
    try {
        result = item->work();
    } catch (...) {
        held.lock();
        ts.running.pop_back();
        complete_locked(*item, 0, true);
        throw;
    }
    held.lock();
    ts.running.pop_back();
    complete_locked(*item, result, false);
}

}  // namespace

const std::shared_ptr<ThreadState> &this_thread()
{
    static std::atomic<uint64_t> next{0};
    if (!t_thread.ts) {
        auto ts = std::make_shared<ThreadState>();
        ts->number = ++next;
        t_thread.ts = ts;
        // A thread ended by force: its waits end, its queue fails.
        host::at_thread_wake([ts] {
            Lock held(lock());
            ts->cv.notify_all();
        });
        host::at_thread_park([ts] { thread_gone(*ts, false); });
    }
    return t_thread.ts;
}

bool pump_one(Lock &held, ThreadState &ts)
{
    if (!ts.sent.empty()) {
        run_one_sent(held, ts);
        return true;
    }
    if (ts.posted.empty())
        return false;
    std::shared_ptr<Item> item = ts.posted.front();
    ts.posted.pop_front();
    held.unlock();
    item->work();
    held.lock();
    return true;
}

void drop_dead_items_locked(ThreadState &ts)
{
    for (auto it = ts.sent.begin(); it != ts.sent.end();) {
        if (find_locked((*it)->target)) {
            ++it;
            continue;
        }
        complete_locked(**it, 0, true);
        it = ts.sent.erase(it);
    }
    for (auto it = ts.posted.begin(); it != ts.posted.end();)
        it = find_locked((*it)->target) ? it + 1 : ts.posted.erase(it);
}

LRESULT deliver(HWND handle, UINT msg, WPARAM wparam, LPARAM lparam)
{
    Lock held(lock());
    Window *w = find_locked(handle);
    if (!w) {
        held.unlock();
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (w->kind != Kind::dialog) {
        held.unlock();
        LRESULT result = default_message(handle, msg, wparam, lparam);
        flush_observer();
        return result;
    }
    DLGPROC proc = w->proc;
    w->msg_result = 0;  // nothing stored yet for this message
    held.unlock();
    flush_observer();
    INT_PTR handled = FALSE;
    if (proc) {
        host::ProductCode procedure;
        handled = proc(handle, msg, wparam, lparam);
    }
    LRESULT result;
    if (!handled) {
        result = default_message(handle, msg, wparam, lparam);
    } else if (answered_by_return(msg)) {
        result = handled;
    } else {
        // The procedure's boolean only says it handled the message; the
        // answer is what it stored with SetWindowLong(DWL_MSGRESULT).
        held.lock();
        Window *still = find_locked(handle);
        result = still ? still->msg_result : 0;
        held.unlock();
    }
    flush_observer();
    return result;
}

void settle(HWND dialog)
{
    const std::shared_ptr<ThreadState> &me = this_thread();
    Lock held(lock());
    for (Window *d = find_locked(dialog); d && !d->ended && pump_one(held, *me); d = find_locked(dialog)) {
    }
}

bool run_on_owner(HWND handle, std::function<LRESULT()> work, LRESULT *result)
{
    const std::shared_ptr<ThreadState> &me = this_thread();
    Lock held(lock());
    Window *w = find_locked(handle);
    if (!w || !w->thread->alive)
        return false;
    if (w->thread == me) {
        held.unlock();
        *result = work();
        return true;
    }
    auto item = std::make_shared<Item>();
    item->target = handle;
    item->work = std::move(work);
    item->sender = me;
    std::shared_ptr<ThreadState> owner = w->thread;
    owner->sent.push_back(item);
    owner->cv.notify_all();
    while (!item->done) {
        // A sender ended by force stops waiting (it parks as its call
        // ends); its message stays queued and is still handled, as the
        // platform does.  Its stack stays, so lParam may point into it.
        if (host::terminate_requested())
            return false;
        if (!me->sent.empty()) {
            run_one_sent(held, *me);
            continue;
        }
        me->cv.wait_for(held, std::chrono::milliseconds(kTerminatePollMs));
    }
    *result = item->result;
    return !item->failed;
}

}  // namespace win
}  // namespace host

using namespace host::win;

HOST_WINDOW_API size_t host_pending_sends(HWND window)
{
    Lock held(lock());
    Window *w = find_locked(window);
    return w ? w->thread->sent.size() : 0;
}

CE_API LRESULT SendMessageW(HWND handle, UINT msg, WPARAM wparam, LPARAM lparam)
{
    host::KernelCall call;
    LRESULT result = 0;
    if (!run_on_owner(handle, [=] { return deliver(handle, msg, wparam, lparam); }, &result)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return result;
}

CE_API LRESULT SendDlgItemMessageW(HWND dlg, int id, UINT msg, WPARAM wparam, LPARAM lparam)
{
    host::KernelCall call;
    HWND item = GetDlgItem(dlg, id);
    return item ? SendMessageW(item, msg, wparam, lparam) : 0;
}

CE_API BOOL PostMessageW(HWND handle, UINT msg, WPARAM wparam, LPARAM lparam)
{
    host::KernelCall call;
    Lock held(lock());
    Window *w = find_locked(handle);
    if (!w || !w->thread->alive) {
        held.unlock();
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    auto item = std::make_shared<Item>();
    item->target = handle;
    item->work = [=] { return deliver(handle, msg, wparam, lparam); };
    item->msg = msg;
    item->wparam = wparam;
    item->lparam = lparam;
    w->thread->posted.push_back(item);
    w->thread->cv.notify_all();
    return TRUE;
}

CE_API BOOL PeekMessageW(LPMSG out, HWND hwnd, UINT min, UINT max, UINT remove)
{
    host::KernelCall call;
    if (!out || (remove & ~static_cast<UINT>(PM_REMOVE)) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::shared_ptr<ThreadState> &me = this_thread();
    Lock held(lock());
    while (!me->sent.empty())
        run_one_sent(held, *me);
    for (auto it = me->posted.begin(); it != me->posted.end(); ++it) {
        const Item &item = **it;
        Window *target = find_locked(item.target);
        bool window = !hwnd || item.target == hwnd || (target && target->dialog && target->dialog->handle == hwnd);
        bool number = (min == 0 && max == 0) || (item.msg >= min && item.msg <= max);
        if (!window || !number)
            continue;
        *out = MSG{};
        out->hwnd = item.target;
        out->message = item.msg;
        out->wParam = item.wparam;
        out->lParam = item.lparam;
        if (remove & PM_REMOVE)
            me->posted.erase(it);
        return TRUE;
    }
    return FALSE;
}
