// The modal dialog: a dialog and its controls built from a template, its
// loop handling the thread's messages until it ends, and the calls that
// run and end it (DialogBoxIndirectParamW, EndDialog).
#include "window.h"

#include "module.h"

namespace host {
namespace win {
namespace {

// The order in which dialogs open; with the lock held.
uint64_t next_open = 0;

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
    dlg.open = false;
    dlg.ended = true;
    if (Window *owner = find_locked(dlg.owner_dialog))
        --owner->disabled;
    dlg.focus = nullptr;
    for (auto &c : dlg.controls)
        remove_window_locked(c->handle);
    remove_window_locked(dlg.handle);
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
}  // namespace win
}  // namespace host

using namespace host::win;

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
        dlg->opened = ++next_open;
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
