// The stand-in's windows: the one lock and the table of windows behind
// their handles, the change signal and its observer, and the calls that
// read a window (GetDlgItem, GetDlgCtrlID, IsWindow, GetWindowLongW,
// SetWindowLongW).
#include "window.h"

#include <atomic>
#include <chrono>

namespace host {
namespace win {
namespace {

struct State {
    std::mutex lock;
    std::condition_variable changed;  // generation, open, close
    std::unordered_map<uintptr_t, std::shared_ptr<Window>> windows;
    uintptr_t next_handle = 0x10000;
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

HWND new_handle_locked()
{
    State &s = state();
    HWND h = reinterpret_cast<HWND>(s.next_handle);
    s.next_handle += 4;
    return h;
}

}  // namespace

std::mutex &lock() { return state().lock; }

Window *find_locked(HWND handle)
{
    auto &windows = state().windows;
    auto it = windows.find(reinterpret_cast<uintptr_t>(handle));
    return it == windows.end() ? nullptr : it->second.get();
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

void remove_window_locked(HWND handle) { state().windows.erase(reinterpret_cast<uintptr_t>(handle)); }

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

HOST_WINDOW_API uint64_t host_wait_change(uint64_t seen, int timeout_ms)
{
    Lock held(lock());
    wait_locked(held, timeout_ms, [&] { return state().generation != seen; });
    return state().generation;
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
