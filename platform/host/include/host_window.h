// The host stand-in's window system seen from outside: the user's input as
// the device delivers it, and what a renderer or a test can observe of the
// running dialogs.  Tests and the terminal Control Panel use this; product
// code never includes it.
//
// Dialogs run on the thread that called DialogBoxIndirectParamW, inside its
// modal loop.  Every input call below may be made from any other thread: it
// hands the input to the dialog's thread and returns once that thread has
// handled every message the input caused (like a sent message), and what
// was posted to the thread meanwhile unless the dialog has ended, so the
// caller can look at the result straight away.  An input call made on the
// dialog's own thread runs at once.
//
// A dialog counts as open from the moment its WM_INITDIALOG has returned
// until EndDialog; while a dialog it owns runs modally on the same thread it
// is disabled and refuses input.  Window handles are never reused, so a
// handle of a closed dialog stays invalid.
//
// Sizes and positions are in dialog units, as the template gives them.
// Text is UTF-8.
#pragma once

#include "ce_host.h"

#include <cstdint>
#include <string>
#include <vector>

#if defined(__GNUC__)
#define HOST_WINDOW_API __attribute__((visibility("default")))
#else
#define HOST_WINDOW_API
#endif

// Keys that the dialog manager handles.
enum HostKey {
    HOST_KEY_ENTER,      // WM_COMMAND with the focused push button's id, else the
                         // default push button's id, else IDOK
    HOST_KEY_ESCAPE,     // WM_COMMAND IDCANCEL
    HOST_KEY_TAB,        // focus to the next enabled, visible WS_TABSTOP control
    HOST_KEY_SHIFT_TAB,  // focus to the previous one
    HOST_KEY_SPACE       // clicks the focused button
};

enum HostControlKind {
    HOST_CONTROL_BUTTON,     // push button or default push button
    HOST_CONTROL_CHECKBOX,   // check box, auto or not
    HOST_CONTROL_RADIO,      // radio button, auto or not
    HOST_CONTROL_STATIC,     // static text (and group boxes)
    HOST_CONTROL_SCROLLBAR,  // scroll bar control
};

struct HostRect {
    int x, y, cx, cy;
};

// One control of a dialog as it stands now.
struct HostControl {
    HWND hwnd;
    int id;                // as GetDlgCtrlID gives it
    HostControlKind kind;
    std::string text;
    DWORD style;
    DWORD exstyle;
    HostRect rect;
    int check;             // BST_UNCHECKED / BST_CHECKED (check boxes and radios)
    bool focused;
    bool is_default;       // a BS_DEFPUSHBUTTON
    bool enabled;          // no WS_DISABLED
    bool visible;          // WS_VISIBLE
    // Scroll bars: the bar's nMin, nMax, nPage, nPos and nTrackPos (which is
    // nPos unless the thumb is being dragged), whether it is being dragged,
    // and how many times SetScrollInfo has redrawn it.
    SCROLLINFO scroll;
    bool tracking;
    unsigned redraws;
};

// A dialog as it stands now.  hwnd is null when the handle passed in is
// not a dialog of this process (never was, or destroyed).
struct HostDialog {
    HWND hwnd;
    HWND owner;            // as passed to DialogBoxIndirectParamW
    std::string caption;
    DWORD style;
    DWORD exstyle;
    HostRect rect;
    int font_points;       // 0 without DS_SETFONT
    std::string font_face;
    bool open;             // initialised and not yet ended
    bool enabled;          // false while a dialog it owns runs
    int focus_id;          // id of the focused control, -1 when none has the focus
    int default_id;        // id of the first default push button, -1 when none
    uint64_t thread;       // a number naming the thread that runs it
};

// ---- waiting for dialogs ----

// The newest open dialog (any thread), waiting up to timeout_ms for one to
// open (negative: no limit).  Null on timeout.
HOST_WINDOW_API HWND host_wait_dialog(int timeout_ms);
// Waits up to timeout_ms (negative: no limit) until dlg is destroyed, that
// is DialogBoxIndirectParamW has sent WM_DESTROY and is about to return.
// True once it is (and at once for a handle that is no window).
HOST_WINDOW_API bool host_wait_closed(HWND dlg, int timeout_ms);
// The open dialogs, the top one of each thread, oldest first.
HOST_WINDOW_API std::vector<HWND> host_dialogs();

// ---- input ----
// Each returns false, and delivers nothing, when the dialog is not open or
// is disabled, or the control is missing, disabled or of the wrong kind.

// A click on control id: an auto check box toggles, an auto radio button
// checks itself and clears the other auto radio buttons of its group (from
// the WS_GROUP control before it to the next WS_GROUP control), then the
// dialog receives WM_COMMAND MAKEWPARAM(id, BN_CLICKED) with lParam the
// control's window.  Any button may be clicked; statics and scroll bars not.
// A click gives the button the focus.
HOST_WINDOW_API bool host_click(HWND dlg, int id);
// A key pressed in the dialog (HostKey).
HOST_WINDOW_API bool host_key(HWND dlg, int key);
// The OK button in the caption: WM_COMMAND IDOK.  False when the dialog
// has no such button (no WS_EX_CAPTIONOKBTN).
HOST_WINDOW_API bool host_caption_ok(HWND dlg);
// The close box in the caption: WM_CLOSE.  For a dialog procedure that
// returns FALSE for it the dialog manager posts WM_COMMAND IDCANCEL, which
// is handled before this returns, unless the procedure has ended the
// dialog meanwhile: then the procedure never sees it.
// False when the dialog has no close box (no WS_SYSMENU).
HOST_WINDOW_API bool host_caption_close(HWND dlg);
// A press on scroll bar id: code SB_LINELEFT, SB_LINERIGHT, SB_PAGELEFT,
// SB_PAGERIGHT, SB_LEFT, SB_RIGHT or SB_ENDSCROLL.  The dialog receives
// WM_HSCROLL (WM_VSCROLL for a vertical bar) MAKEWPARAM(code, 0) with lParam
// the bar's window.  The bar itself does not move: its dialog procedure
// moves it.  A whole press of an arrow or the trough, as the device sends
// it, is the code and, on release, SB_ENDSCROLL: two calls.
HOST_WINDOW_API bool host_scroll(HWND dlg, int id, int code);
// Drags the thumb of bar id to pos (clamped to the reachable positions):
// nTrackPos becomes pos and the dialog receives SB_THUMBTRACK with pos in
// the high word.  May be repeated to drag further.
HOST_WINDOW_API bool host_thumb_track(HWND dlg, int id, int pos);
// Releases a dragged thumb: SB_THUMBPOSITION with the last track position,
// then the drag ends and SB_ENDSCROLL follows.  False when no drag runs.
HOST_WINDOW_API bool host_thumb_release(HWND dlg, int id);
// host_thumb_track then host_thumb_release, as one drag.
HOST_WINDOW_API bool host_drag(HWND dlg, int id, int pos);

// ---- observation ----

// The controls of dlg in template order; empty when dlg is no dialog.
HOST_WINDOW_API std::vector<HostControl> host_controls(HWND dlg);
// One dialog (see HostDialog).
HOST_WINDOW_API HostDialog host_dialog_info(HWND dlg);
// A counter bumped on every visible change: a dialog opening, ending or
// closing, a control's text, check state, focus or enabled state changing,
// a scroll bar redrawn.
HOST_WINDOW_API uint64_t host_window_generation();
// Waits up to timeout_ms (negative: no limit) until the counter differs
// from seen; returns its value then (seen on timeout).
HOST_WINDOW_API uint64_t host_wait_change(uint64_t seen, int timeout_ms);
// Messages other threads have sent to the thread that owns window and that
// it has not begun to handle yet (0 for a window that is gone).
HOST_WINDOW_API size_t host_pending_sends(HWND window);
// Calls observer(context) after every change that bumps the counter, on
// the thread that made the change and with no lock of the window system
// held: keep it short (wake a renderer, say).  Null removes it.
HOST_WINDOW_API void host_window_set_observer(void (*observer)(void *), void *context);
