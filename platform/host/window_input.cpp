// The user's input to the stand-in's dialogs, as the device's dialog
// manager turns clicks, keys and scroll-bar moves into messages, and what
// can be observed of the dialogs (host_window.h).
#include "window.h"

#include <algorithm>

using namespace host::win;

namespace {

Window *dialog_locked(HWND dlg)
{
    Window *w = find_locked(dlg);
    return w && w->kind == Kind::dialog ? w : nullptr;
}

Window *control_locked(HWND dlg, int id)
{
    Window *d = dialog_locked(dlg);
    if (!d)
        return nullptr;
    for (auto &c : d->controls)
        if (c->id == id)
            return c.get();
    return nullptr;
}

Window *enabled_bar_locked(HWND dlg, int id)
{
    Window *bar = control_locked(dlg, id);
    return bar && bar->kind == Kind::scrollbar && !(bar->style & WS_DISABLED) ? bar : nullptr;
}

UINT scroll_message(const Window &bar) { return (bar.style & SBS_VERT) ? WM_VSCROLL : WM_HSCROLL; }

HWND handle_of(const Window *w) { return w ? w->handle : nullptr; }

// Runs action on the dialog's thread if the dialog is open and enabled
// then, and what the action posted; the action tells whether the input
// meant anything.
bool input(HWND dlg, std::function<bool()> action)
{
    auto work = [dlg, action]() -> LRESULT {
        {
            Lock held(lock());
            Window *d = dialog_locked(dlg);
            if (!d || !d->open || d->disabled)
                return 0;
        }
        bool meant = action();
        settle(dlg);
        return meant ? 1 : 0;
    };
    LRESULT result = 0;
    return run_on_owner(dlg, work, &result) && result;
}

// A command from a button of the dialog (or one it lacks), as the dialog
// manager sends it for keys; a disabled button swallows it.
void command(HWND dlg, int id, Window *button, Lock &held)
{
    if (button && (button->style & WS_DISABLED))
        return;
    HWND from = handle_of(button);
    held.unlock();
    deliver(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(from));
}

bool can_focus(const Window &c)
{
    return (c.style & (WS_TABSTOP | WS_VISIBLE | WS_DISABLED)) == (WS_TABSTOP | WS_VISIBLE);
}

bool move_focus(HWND dlg, bool forward)
{
    Lock held(lock());
    Window *d = dialog_locked(dlg);
    auto &list = d->controls;
    size_t n = list.size();
    size_t at = n;
    for (size_t i = 0; i < n; ++i)
        if (list[i].get() == d->focus)
            at = i;
    for (size_t step = 1; step <= n; ++step) {
        // Without a focus, Tab starts at the first control and Shift-Tab at the last.
        size_t i = at == n ? (forward ? step - 1 : n - step)
                           : (forward ? (at + step) % n : (at + n - step) % n);
        if (can_focus(*list[i])) {
            if (d->focus != list[i].get()) {
                d->focus = list[i].get();
                changed_locked();
            }
            held.unlock();
            flush_observer();
            return true;
        }
    }
    return false;
}

bool press_key(HWND dlg, int key)
{
    Lock held(lock());
    Window *d = dialog_locked(dlg);
    switch (key) {
    case HOST_KEY_ENTER: {
        Window *button = d->focus && is_push_button(*d->focus) ? d->focus : default_button_locked(*d);
        if (button)
            command(dlg, button->id, button, held);
        else
            command(dlg, IDOK, control_locked(dlg, IDOK), held);
        return true;
    }
    case HOST_KEY_ESCAPE:
        command(dlg, IDCANCEL, control_locked(dlg, IDCANCEL), held);
        return true;
    case HOST_KEY_TAB:
    case HOST_KEY_SHIFT_TAB:
        held.unlock();
        return move_focus(dlg, key == HOST_KEY_TAB);
    case HOST_KEY_SPACE: {
        HWND focus = handle_of(d->focus);
        held.unlock();
        return focus && click_button(focus);
    }
    default:
        return false;
    }
}

bool track(HWND dlg, int id, int pos)
{
    Lock held(lock());
    Window *bar = enabled_bar_locked(dlg, id);
    if (!bar)
        return false;
    pos = std::max(bar->min, std::min(pos, highest_position(*bar)));
    bar->tracking = true;
    bar->track = pos;
    changed_locked();
    HWND handle = bar->handle;
    UINT msg = scroll_message(*bar);
    held.unlock();
    deliver(dlg, msg, MAKEWPARAM(SB_THUMBTRACK, pos), reinterpret_cast<LPARAM>(handle));
    return true;
}

bool release(HWND dlg, int id)
{
    Lock held(lock());
    Window *bar = enabled_bar_locked(dlg, id);
    if (!bar || !bar->tracking)
        return false;
    int pos = bar->track;
    HWND handle = bar->handle;
    UINT msg = scroll_message(*bar);
    held.unlock();
    deliver(dlg, msg, MAKEWPARAM(SB_THUMBPOSITION, pos), reinterpret_cast<LPARAM>(handle));
    held.lock();
    if (Window *still = find_locked(handle)) {
        still->tracking = false;
        changed_locked();
    }
    held.unlock();
    deliver(dlg, msg, MAKEWPARAM(SB_ENDSCROLL, 0), reinterpret_cast<LPARAM>(handle));
    return true;
}

HostControlKind kind_of(Kind kind)
{
    switch (kind) {
    case Kind::checkbox:
        return HOST_CONTROL_CHECKBOX;
    case Kind::radio:
        return HOST_CONTROL_RADIO;
    case Kind::static_text:
        return HOST_CONTROL_STATIC;
    case Kind::scrollbar:
        return HOST_CONTROL_SCROLLBAR;
    default:
        return HOST_CONTROL_BUTTON;
    }
}

HostControl describe_locked(const Window &d, const Window &c)
{
    HostControl out;
    out.hwnd = c.handle;
    out.id = c.id;
    out.kind = kind_of(c.kind);
    out.text = host::to_utf8(c.text.c_str(), c.text.size());
    out.style = c.style;
    out.exstyle = c.exstyle;
    out.rect = c.rect;
    out.check = c.check;
    out.focused = d.focus == &c;
    out.is_default = is_default_button(c);
    out.enabled = !(c.style & WS_DISABLED);
    out.visible = (c.style & WS_VISIBLE) != 0;
    out.scroll = SCROLLINFO{sizeof(SCROLLINFO), SIF_ALL, c.min, c.max, c.page, c.pos,
                            c.tracking ? c.track : c.pos};
    out.tracking = c.tracking;
    out.redraws = c.redraws;
    return out;
}

// The newest open dialog of each thread.
std::vector<Window *> top_dialogs_locked()
{
    std::vector<Window *> top;
    for (Window *d : dialogs_locked()) {
        if (!d->open)
            continue;
        auto same = std::find_if(top.begin(), top.end(),
                                 [d](Window *t) { return t->thread == d->thread; });
        if (same == top.end())
            top.push_back(d);
        else if ((*same)->opened < d->opened)
            *same = d;
    }
    std::sort(top.begin(), top.end(), [](Window *a, Window *b) { return a->opened < b->opened; });
    return top;
}

}  // namespace

HWND host_wait_dialog(int timeout_ms)
{
    Lock held(lock());
    std::vector<Window *> top;
    wait_locked(held, timeout_ms, [&] {
        top = top_dialogs_locked();
        return !top.empty();
    });
    return top.empty() ? nullptr : top.back()->handle;
}

bool host_wait_closed(HWND dlg, int timeout_ms)
{
    Lock held(lock());
    return wait_locked(held, timeout_ms, [&] { return !dialog_locked(dlg); });
}

std::vector<HWND> host_dialogs()
{
    Lock held(lock());
    std::vector<HWND> out;
    for (Window *d : top_dialogs_locked())
        out.push_back(d->handle);
    return out;
}

bool host_click(HWND dlg, int id)
{
    return input(dlg, [dlg, id] {
        HWND button;
        {
            Lock held(lock());
            button = handle_of(control_locked(dlg, id));
        }
        return button && click_button(button);
    });
}

bool host_key(HWND dlg, int key) { return input(dlg, [dlg, key] { return press_key(dlg, key); }); }

bool host_caption_ok(HWND dlg)
{
    return input(dlg, [dlg] {
        {
            Lock held(lock());
            if (!(dialog_locked(dlg)->exstyle & WS_EX_CAPTIONOKBTN))
                return false;
        }
        deliver(dlg, WM_COMMAND, IDOK, 0);
        return true;
    });
}

bool host_caption_close(HWND dlg)
{
    return input(dlg, [dlg] {
        {
            Lock held(lock());
            if (!(dialog_locked(dlg)->style & WS_SYSMENU))
                return false;
        }
        deliver(dlg, WM_CLOSE, 0, 0);
        return true;
    });
}

bool host_scroll(HWND dlg, int id, int code)
{
    if (code < SB_LINELEFT || code > SB_ENDSCROLL || code == SB_THUMBPOSITION || code == SB_THUMBTRACK)
        return false;
    return input(dlg, [dlg, id, code] {
        Lock held(lock());
        Window *bar = enabled_bar_locked(dlg, id);
        if (!bar)
            return false;
        HWND handle = bar->handle;
        UINT msg = scroll_message(*bar);
        held.unlock();
        deliver(dlg, msg, MAKEWPARAM(code, 0), reinterpret_cast<LPARAM>(handle));
        return true;
    });
}

bool host_thumb_track(HWND dlg, int id, int pos)
{
    return input(dlg, [dlg, id, pos] { return track(dlg, id, pos); });
}

bool host_thumb_release(HWND dlg, int id)
{
    return input(dlg, [dlg, id] { return release(dlg, id); });
}

bool host_drag(HWND dlg, int id, int pos)
{
    return input(dlg, [dlg, id, pos] { return track(dlg, id, pos) && release(dlg, id); });
}

std::vector<HostControl> host_controls(HWND dlg)
{
    Lock held(lock());
    std::vector<HostControl> out;
    if (Window *d = dialog_locked(dlg))
        for (auto &c : d->controls)
            out.push_back(describe_locked(*d, *c));
    return out;
}

HostDialog host_dialog_info(HWND dlg)
{
    Lock held(lock());
    HostDialog out{};
    Window *d = dialog_locked(dlg);
    if (!d)
        return out;
    out.hwnd = d->handle;
    out.owner = d->owner;
    out.caption = host::to_utf8(d->text.c_str(), d->text.size());
    out.style = d->style;
    out.exstyle = d->exstyle;
    out.rect = d->rect;
    out.font_points = d->font_points;
    out.font_face = host::to_utf8(d->font_face.c_str(), d->font_face.size());
    out.open = d->open;
    out.enabled = d->disabled == 0;
    out.focus_id = d->focus ? d->focus->id : -1;
    Window *button = default_button_locked(*d);
    out.default_id = button ? button->id : -1;
    out.thread = d->thread->number;
    return out;
}
