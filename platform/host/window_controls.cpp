// What the stand-in's controls do: buttons (push, check box, radio button),
// statics and scroll bars, their messages and the scroll-bar calls; and
// what the dialog manager does with the messages a dialog procedure leaves.
#include "window.h"

#include <algorithm>

namespace host {
namespace win {

bool is_push_button(const Window &w)
{
    return w.kind == Kind::button &&
           ((w.style & BS_TYPEMASK) == BS_PUSHBUTTON || (w.style & BS_TYPEMASK) == BS_DEFPUSHBUTTON);
}

bool is_default_button(const Window &w)
{
    return w.kind == Kind::button && (w.style & BS_TYPEMASK) == BS_DEFPUSHBUTTON;
}

Window *default_button_locked(const Window &dlg)
{
    for (auto &c : dlg.controls)
        if (is_default_button(*c))
            return c.get();
    return nullptr;
}

int highest_position(const Window &bar)
{
    // In 64 bits: a page as wide as a range of 2^31 positions would
    // overflow int, and the result always lies within nMin ... nMax.
    return static_cast<int>(bar.max - std::max<long long>(static_cast<long long>(bar.page) - 1, 0));
}

namespace {

// Text messages, common to dialogs and controls; true when msg is one.
bool text_message(Window &w, UINT msg, WPARAM wparam, LPARAM lparam, LRESULT *result)
{
    switch (msg) {
    case WM_GETTEXT: {
        LPWSTR buffer = reinterpret_cast<LPWSTR>(lparam);
        size_t n = 0;
        if (buffer && wparam > 0) {
            n = std::min(w.text.size(), static_cast<size_t>(wparam) - 1);
            std::copy(w.text.begin(), w.text.begin() + n, buffer);
            buffer[n] = 0;
        }
        *result = static_cast<LRESULT>(n);
        return true;
    }
    case WM_GETTEXTLENGTH:
        *result = static_cast<LRESULT>(w.text.size());
        return true;
    case WM_SETTEXT: {
        LPCWSTR text = reinterpret_cast<LPCWSTR>(lparam);
        w.text = text ? std::u16string(text) : std::u16string();
        changed_locked();
        *result = TRUE;
        return true;
    }
    default:
        return false;
    }
}

bool has_check(const Window &w) { return w.kind == Kind::checkbox || w.kind == Kind::radio; }

void set_check_locked(Window &w, int state)
{
    if (w.check != state) {
        w.check = state;
        changed_locked();
    }
}

// The auto radio buttons of w's group (from the WS_GROUP control at or
// before it to the next WS_GROUP control) but w are cleared.
void clear_group_locked(Window &w)
{
    auto &list = w.dialog->controls;
    size_t at = 0;
    while (list[at].get() != &w)
        ++at;
    size_t first = at, end = at + 1;
    while (first > 0 && !(list[first]->style & WS_GROUP))
        --first;
    while (end < list.size() && !(list[end]->style & WS_GROUP))
        ++end;
    for (size_t i = first; i < end; ++i)
        if (i != at && (list[i]->style & BS_TYPEMASK) == BS_AUTORADIOBUTTON &&
            list[i]->kind == Kind::radio)
            set_check_locked(*list[i], BST_UNCHECKED);
}

}  // namespace

bool click_button(HWND handle)
{
    Lock held(lock());
    Window *w = find_locked(handle);
    if (!w || w->kind == Kind::dialog || w->kind == Kind::static_text ||
        w->kind == Kind::scrollbar || (w->style & WS_DISABLED))
        return false;
    switch (w->style & BS_TYPEMASK) {
    case BS_AUTOCHECKBOX:
        set_check_locked(*w, w->check == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED);
        break;
    case BS_AUTO3STATE:
        set_check_locked(*w, (w->check + 1) % 3);
        break;
    case BS_AUTORADIOBUTTON:
        set_check_locked(*w, BST_CHECKED);
        clear_group_locked(*w);
        break;
    }
    if (w->dialog->focus != w) {
        w->dialog->focus = w;
        changed_locked();
    }
    HWND dialog = w->dialog->handle;
    int id = w->id;
    held.unlock();
    deliver(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(handle));
    return true;
}

namespace {

// The dialog manager's answer to WM_CLOSE: closing is cancelling, unless a
// disabled Cancel button forbids it.  The cancel is posted, so a procedure
// that has ended its dialog while closing never sees it.
void close_dialog(Lock &held, Window &dlg)
{
    HWND cancel = nullptr;
    for (auto &c : dlg.controls) {
        if (c->id != IDCANCEL)
            continue;
        if (c->style & WS_DISABLED)
            return;
        cancel = c->handle;
        break;
    }
    HWND handle = dlg.handle;
    held.unlock();
    PostMessageW(handle, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), reinterpret_cast<LPARAM>(cancel));
}

}  // namespace

LRESULT default_message(HWND handle, UINT msg, WPARAM wparam, LPARAM lparam)
{
    Lock held(lock());
    Window *w = find_locked(handle);
    if (!w)
        return 0;
    LRESULT result = 0;
    if (text_message(*w, msg, wparam, lparam, &result))
        return result;
    if (w->kind == Kind::dialog) {
        if (msg == WM_CLOSE)
            close_dialog(held, *w);
        return 0;
    }
    switch (msg) {
    case BM_GETCHECK:
        return has_check(*w) ? w->check : 0;
    case BM_SETCHECK:
        if (has_check(*w)) {
            DWORD type = w->style & BS_TYPEMASK;
            WPARAM most = type == BS_3STATE || type == BS_AUTO3STATE ? BST_INDETERMINATE : BST_CHECKED;
            set_check_locked(*w, static_cast<int>(std::min(wparam, most)));
        }
        return 0;
    case BM_GETSTATE:
        return (has_check(*w) ? w->check : 0) | (w->dialog->focus == w ? BST_FOCUS : 0);
    case BM_CLICK:
        held.unlock();
        click_button(handle);
        return 0;
    default:
        return 0;
    }
}

}  // namespace win
}  // namespace host

using namespace host::win;

namespace {

// The bar behind an SB_CTL request; null (and the error set) otherwise.
Window *scroll_bar_locked(HWND handle, int bar, const SCROLLINFO *info)
{
    Window *w = find_locked(handle);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    if (!info || info->cbSize != sizeof(SCROLLINFO) ||
        (info->fMask & ~static_cast<UINT>(SIF_ALL | SIF_DISABLENOSCROLL)) || bar != SB_CTL ||
        w->kind != Kind::scrollbar) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return w;
}

}  // namespace

CE_API int SetScrollInfo(HWND handle, int bar, LPCSCROLLINFO info, BOOL redraw)
{
    host::KernelCall call;
    Lock held(lock());
    Window *w = scroll_bar_locked(handle, bar, info);
    if (!w)
        return 0;
    if (info->fMask & SIF_PAGE)
        w->page = info->nPage;
    if (info->fMask & SIF_RANGE) {
        long long span = static_cast<long long>(info->nMax) - info->nMin;
        // A reversed or too wide range leaves the bar without one.
        bool valid = span >= 0 && span < 0x80000000LL;
        w->min = valid ? info->nMin : 0;
        w->max = valid ? info->nMax : 0;
    }
    if (info->fMask & SIF_POS)
        w->pos = info->nPos;
    // The page never exceeds the range, and the position stays where the
    // thumb can reach.
    long long range = static_cast<long long>(w->max) - w->min + 1;
    if (w->page > range)
        w->page = static_cast<UINT>(range);
    w->pos = std::max(w->min, std::min(w->pos, highest_position(*w)));
    if (redraw) {
        ++w->redraws;
        changed_locked();
    }
    int pos = w->pos;
    held.unlock();
    flush_observer();
    return pos;
}

CE_API BOOL GetScrollInfo(HWND handle, int bar, LPSCROLLINFO info)
{
    host::KernelCall call;
    Lock held(lock());
    Window *w = scroll_bar_locked(handle, bar, info);
    if (!w)
        return FALSE;
    if (info->fMask & SIF_RANGE) {
        info->nMin = w->min;
        info->nMax = w->max;
    }
    if (info->fMask & SIF_PAGE)
        info->nPage = w->page;
    if (info->fMask & SIF_POS)
        info->nPos = w->pos;
    if (info->fMask & SIF_TRACKPOS)
        info->nTrackPos = w->tracking ? w->track : w->pos;
    return (info->fMask & SIF_ALL) ? TRUE : FALSE;
}
