// The window system of the stand-in: windows and their handles, each
// thread's queues of sent and posted messages, the modal dialog loop, and
// the calls that reach them (DialogBoxIndirectParamW, EndDialog,
// GetDlgItem, GetDlgCtrlID, SendMessageW, SendDlgItemMessageW, PostMessageW,
// PeekMessageW, IsWindow, GetWindowLongW, SetWindowLongW).
//
// A message for a window of another thread is queued to that thread and
// handled there when it next waits for messages (in a modal loop or in a
// send of its own); the sender sleeps on its own condition variable, which
// also wakes it for messages sent to it meanwhile, so two threads sending
// to each other do not lock up.
#include "window.h"

#include "module.h"

#include <algorithm>
#include <atomic>
#include <chrono>

namespace host {
namespace win {
namespace {

// How often a thread waiting for a sent message looks whether it has been
// terminated, besides being woken for it.
constexpr int kTerminatePollMs = 10;

struct State {
    std::mutex lock;
    std::condition_variable changed;  // generation, open, close
    std::unordered_map<uintptr_t, std::shared_ptr<Window>> windows;
    uintptr_t next_handle = 0x10000;
    uint64_t next_open = 0;
    std::atomic<uint64_t> generation{0};
    void (*observer)(void *) = nullptr;
    void *observer_context = nullptr;
};

// Never destroyed: threads may still use it while the process exits.
State &state()
{
    static State *s = new State;
    return *s;
}

thread_local bool t_observer_due = false;

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
    Lock held(state().lock);
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

// Handles one waiting message of ts, a sent one before any posted one, as
// a message loop does; false when none waits.
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

// Drops what is queued for windows that no longer exist; sent items fail.
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

HWND new_handle_locked()
{
    State &s = state();
    HWND h = reinterpret_cast<HWND>(s.next_handle);
    s.next_handle += 4;
    return h;
}

std::shared_ptr<Window> add_window_locked(Kind kind)
{
    auto w = std::make_shared<Window>();
    w->handle = new_handle_locked();
    w->kind = kind;
    w->thread = this_thread();
    state().windows[reinterpret_cast<uintptr_t>(w->handle)] = w;
    return w;
}

std::shared_ptr<Window> create_dialog_locked(const DialogTemplate &t, HWND owner, DLGPROC proc)
{
    std::shared_ptr<Window> dlg = add_window_locked(Kind::dialog);
    dlg->style = t.style;
    dlg->exstyle = t.exstyle;
    dlg->rect = t.rect;
    dlg->text = t.caption;
    dlg->font_points = t.font_points;
    dlg->font_face = t.font_face;
    dlg->proc = proc;
    dlg->owner = owner;
    for (const ItemTemplate &it : t.items) {
        std::shared_ptr<Window> c = add_window_locked(it.kind);
        c->dialog = dlg.get();
        c->id = it.id;
        c->style = it.style;
        c->exstyle = it.exstyle;
        c->rect = it.rect;
        c->text = it.text;
        dlg->controls.push_back(c);
    }
    // Running modally, the dialog disables the dialog that owns it.
    if (Window *o = find_locked(owner)) {
        Window *od = o->kind == Kind::dialog ? o : o->dialog;
        if (od && !od->ended) {
            dlg->owner_dialog = od->handle;
            ++od->disabled;
        }
    }
    return dlg;
}

void destroy_dialog_locked(Window &dlg)
{
    State &s = state();
    dlg.open = false;
    dlg.ended = true;
    if (Window *owner = find_locked(dlg.owner_dialog))
        --owner->disabled;
    dlg.focus = nullptr;
    for (auto &c : dlg.controls)
        s.windows.erase(reinterpret_cast<uintptr_t>(c->handle));
    s.windows.erase(reinterpret_cast<uintptr_t>(dlg.handle));
    drop_dead_items_locked(*dlg.thread);
    changed_locked();
}

HWND first_tab_stop_locked(const Window &dlg)
{
    for (auto &c : dlg.controls)
        if ((c->style & (WS_TABSTOP | WS_VISIBLE | WS_DISABLED)) == (WS_TABSTOP | WS_VISIBLE))
            return c->handle;
    return nullptr;
}

Window *find_dialog_locked(HWND handle)
{
    Window *w = find_locked(handle);
    return w && w->kind == Kind::dialog ? w : nullptr;
}

}  // namespace

std::mutex &lock() { return state().lock; }

Window *find_locked(HWND handle)
{
    auto &windows = state().windows;
    auto it = windows.find(reinterpret_cast<uintptr_t>(handle));
    return it == windows.end() ? nullptr : it->second.get();
}

const std::shared_ptr<ThreadState> &this_thread()
{
    static std::atomic<uint64_t> next{0};
    if (!t_thread.ts) {
        auto ts = std::make_shared<ThreadState>();
        ts->number = ++next;
        t_thread.ts = ts;
        // A thread ended by force: its waits end, its queue fails.
        host::at_thread_wake([ts] {
            Lock held(state().lock);
            ts->cv.notify_all();
        });
        host::at_thread_park([ts] { thread_gone(*ts, false); });
    }
    return t_thread.ts;
}

std::vector<Window *> dialogs_locked()
{
    std::vector<Window *> out;
    for (auto &w : state().windows)
        if (w.second->kind == Kind::dialog)
            out.push_back(w.second.get());
    return out;
}

void changed_locked()
{
    ++state().generation;
    state().changed.notify_all();
    t_observer_due = true;
}

void flush_observer()
{
    if (!t_observer_due)
        return;
    t_observer_due = false;
    void (*observer)(void *);
    void *context;
    {
        Lock held(lock());
        observer = state().observer;
        context = state().observer_context;
    }
    if (observer)
        observer(context);
}

bool wait_locked(Lock &held, int timeout_ms, const std::function<bool()> &pred)
{
    if (timeout_ms < 0) {
        state().changed.wait(held, pred);
        return true;
    }
    return state().changed.wait_for(held, std::chrono::milliseconds(timeout_ms), pred);
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

HOST_WINDOW_API void host_window_set_observer(void (*observer)(void *), void *context)
{
    Lock held(lock());
    state().observer = observer;
    state().observer_context = context;
}

HOST_WINDOW_API uint64_t host_window_generation() { return state().generation; }

HOST_WINDOW_API size_t host_pending_sends(HWND window)
{
    Lock held(lock());
    Window *w = find_locked(window);
    return w ? w->thread->sent.size() : 0;
}

HOST_WINDOW_API uint64_t host_wait_change(uint64_t seen, int timeout_ms)
{
    Lock held(lock());
    wait_locked(held, timeout_ms, [&] { return state().generation != seen; });
    return state().generation;
}

CE_API INT_PTR DialogBoxIndirectParamW(HINSTANCE, LPCDLGTEMPLATE templ, HWND owner, DLGPROC proc,
                                       LPARAM init)
{
    host::KernelCall call;
    DialogTemplate t;
    // A template from a module's resources is read within that resource.
    if (!templ || !parse_template(templ, host::resource_room(templ), t)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    const std::shared_ptr<ThreadState> &me = this_thread();
    std::shared_ptr<Window> dlg;
    HWND first;
    {
        Lock held(lock());
        dlg = create_dialog_locked(t, owner, proc);
        first = first_tab_stop_locked(*dlg);
        changed_locked();
    }
    HWND handle = dlg->handle;

    // Whatever way the procedure leaves, the windows go.
    struct Destroy {
        Window &dlg;
        ~Destroy()
        {
            Lock held(lock());
            if (find_locked(dlg.handle))
                destroy_dialog_locked(dlg);
            held.unlock();
            flush_observer();
        }
    } destroy{*dlg};

    deliver(handle, WM_INITDIALOG, reinterpret_cast<WPARAM>(first), init);

    // Released before the windows go, however the loop is left.
    Lock held(lock());
    if (!dlg->focus && first)
        dlg->focus = find_locked(first);
    if (!dlg->ended) {
        dlg->open = true;
        dlg->opened = ++state().next_open;
        changed_locked();
    }
    held.unlock();
    flush_observer();
    held.lock();
    while (!dlg->ended)
        if (!pump_one(held, *me))
            me->cv.wait(held);
    dlg->open = false;
    INT_PTR result = dlg->result;
    changed_locked();
    held.unlock();
    flush_observer();

    deliver(handle, WM_DESTROY, 0, 0);
    return result;
}

CE_API BOOL EndDialog(HWND handle, INT_PTR result)
{
    host::KernelCall call;
    Lock held(lock());
    Window *dlg = find_dialog_locked(handle);
    if (!dlg) {
        held.unlock();
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    dlg->result = result;
    if (!dlg->ended) {
        dlg->ended = true;
        dlg->open = false;
        changed_locked();
        dlg->thread->cv.notify_all();
    }
    held.unlock();
    flush_observer();
    return TRUE;
}

CE_API HWND GetDlgItem(HWND handle, int id)
{
    host::KernelCall call;
    Lock held(lock());
    Window *dlg = find_locked(handle);
    if (!dlg) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    for (auto &c : dlg->controls)
        if (c->id == id)
            return c->handle;
    SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
    return nullptr;
}

CE_API int GetDlgCtrlID(HWND handle)
{
    host::KernelCall call;
    Lock held(lock());
    Window *w = find_locked(handle);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return w->kind == Kind::dialog ? 0 : w->id;
}

CE_API BOOL IsWindow(HWND handle)
{
    host::KernelCall call;
    Lock held(lock());
    return find_locked(handle) ? TRUE : FALSE;
}

CE_API LONG GetWindowLongW(HWND handle, int index)
{
    Lock held(lock());
    Window *w = find_locked(handle);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    switch (index) {
    case GWL_STYLE:
        return static_cast<LONG>(w->style);
    case GWL_EXSTYLE:
        return static_cast<LONG>(w->exstyle);
    case GWL_ID:
        return w->kind == Kind::dialog ? 0 : w->id;
    case DWL_MSGRESULT:
        if (w->kind == Kind::dialog)
            return w->msg_result;
        break;
    }
    SetLastError(ERROR_INVALID_INDEX);
    return 0;
}

// Only a dialog's message result can be set here; the rest of a window's
// longs stay as its template made them.
CE_API LONG SetWindowLongW(HWND handle, int index, LONG value)
{
    Lock held(lock());
    Window *w = find_locked(handle);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (index == DWL_MSGRESULT && w->kind == Kind::dialog) {
        LONG old = w->msg_result;
        w->msg_result = value;
        return old;
    }
    held.unlock();
    if (index == GWL_STYLE || index == GWL_EXSTYLE || index == GWL_ID) {
        host::not_implemented("SetWindowLongW on styles and ids");
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    } else {
        SetLastError(ERROR_INVALID_INDEX);
    }
    return 0;
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
