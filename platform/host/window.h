// Internals of the stand-in's window system, shared by its modules:
// window.cpp (the windows and their handles), window_messages.cpp (each
// thread's queues of sent and posted messages), window_dialog.cpp (the
// modal loop), window_template.cpp (dialog templates), window_controls.cpp
// (what the controls do) and window_input.cpp (user input and observation).
//
// One lock guards every window and every thread's message queue.  Window
// state is only read or changed with it held; dialog procedures are always
// called with it released.
#pragma once

#ifndef CEPLAT_INTERNAL
#error "a private header of the platform stand-in: use its public headers (platform/host/include)"
#endif

#include "host.h"
#include "include/host_window.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace host {
namespace win {

enum class Kind { dialog, button, checkbox, radio, static_text, scrollbar };

// A message (or an input action) handed to another thread.  A sent item has
// a sender, who waits until done; a posted one has none.
struct Item {
    HWND target;
    std::function<LRESULT()> work;
    // A posted message: what PeekMessageW reports of it.
    UINT msg = 0;
    WPARAM wparam = 0;
    LPARAM lparam = 0;
    std::shared_ptr<struct ThreadState> sender;
    LRESULT result = 0;
    bool done = false;
    bool failed = false;
};

// What the window system keeps of each thread that has used it.  cv wakes
// the thread for an item in its queues, the end of one of its dialogs, or
// the completion of an item it sent.
struct ThreadState {
    uint64_t number = 0;
    bool alive = true;
    std::condition_variable cv;
    std::deque<std::shared_ptr<Item>> sent;
    std::deque<std::shared_ptr<Item>> posted;
    std::vector<std::shared_ptr<Item>> running;  // sent items it is handling, innermost last
};

struct Window {
    HWND handle = nullptr;
    Kind kind = Kind::dialog;
    std::shared_ptr<ThreadState> thread;
    Window *dialog = nullptr;  // a control's dialog
    int id = 0;
    DWORD style = 0;
    DWORD exstyle = 0;
    HostRect rect{0, 0, 0, 0};
    std::u16string text;

    int check = BST_UNCHECKED;  // check boxes and radio buttons

    // scroll bars
    int min = 0, max = 0;
    UINT page = 0;
    int pos = 0;
    int track = 0;
    bool tracking = false;
    unsigned redraws = 0;

    // dialogs
    DLGPROC proc = nullptr;
    HWND owner = nullptr;
    HWND owner_dialog = nullptr;  // the dialog it disables, when the owner is one of ours
    std::vector<std::shared_ptr<Window>> controls;
    int font_points = 0;
    std::u16string font_face;
    bool open = false;
    bool ended = false;
    INT_PTR result = 0;
    LONG msg_result = 0;  // DWL_MSGRESULT: the answer to the message being handled
    int disabled = 0;  // dialogs it owns that are running
    uint64_t opened = 0;  // order of opening, 0 until open
    Window *focus = nullptr;
};

// ---- the windows (window.cpp) ----
std::mutex &lock();
using Lock = std::unique_lock<std::mutex>;
// The window behind a live handle, or null; with the lock held.
Window *find_locked(HWND handle);
// A new window of the calling thread with a fresh handle, in the table;
// with the lock held.
std::shared_ptr<Window> add_window_locked(Kind kind);
// Takes the window out of the table: its handle is dead from now on; with
// the lock held.
void remove_window_locked(HWND handle);
// Every dialog that exists, open or not, in no order; with the lock held.
std::vector<Window *> dialogs_locked();
// Records a visible change (lock held); the observer runs at the next
// flush_observer() on this thread.
void changed_locked();
// Calls the observer if this thread has made a change since the last call
// (lock not held).
void flush_observer();
// Waits on the window system's change signal until pred() holds or the
// time is up (negative: no limit); with the lock held.
bool wait_locked(Lock &held, int timeout_ms, const std::function<bool()> &pred);

// ---- messages (window_messages.cpp) ----
// The calling thread's state.
const std::shared_ptr<ThreadState> &this_thread();
// Handles one waiting message of ts, a sent one before any posted one, as
// a message loop does; false when none waits.  The lock is held, and
// released while the message is handled.
bool pump_one(Lock &held, ThreadState &ts);
// Drops what is queued to ts for windows that no longer exist; sent items
// fail.  With the lock held.
void drop_dead_items_locked(ThreadState &ts);
// Delivers a message to a window on the calling thread, which must own it:
// a dialog's procedure (then the dialog manager's defaults) or a control's
// own handling.  Fails with ERROR_INVALID_WINDOW_HANDLE for a dead window.
LRESULT deliver(HWND handle, UINT msg, WPARAM wparam, LPARAM lparam);
// On the thread of dialog: handles what waits in the thread's queues until
// none waits or the dialog has ended, as its modal loop would next.
void settle(HWND dialog);
// Runs work on the thread that owns handle and waits for its result; at
// once when that is this thread.  While waiting, this thread still handles
// what others send it.  False when the window or its thread is gone, or
// the window died before its turn came.
bool run_on_owner(HWND handle, std::function<LRESULT()> work, LRESULT *result);

// ---- templates (window_template.cpp) ----
struct ItemTemplate {
    Kind kind;
    int id;
    DWORD style, exstyle;
    HostRect rect;
    std::u16string text;
};
struct DialogTemplate {
    DWORD style = 0, exstyle = 0;
    HostRect rect{0, 0, 0, 0};
    std::u16string caption;
    int font_points = 0;
    std::u16string font_face;
    std::vector<ItemTemplate> items;
};
// Reads a DLGTEMPLATE or DLGTEMPLATEEX of at most size bytes.  False for a
// template the stand-in cannot build: a control class it does not have, a
// private dialog class, an unknown template version, a runaway string, or
// one that does not end within size.
bool parse_template(const void *data, size_t size, DialogTemplate &out);

// ---- controls (window_controls.cpp) ----
// A control's handling of a message, or the dialog manager's handling of
// one that a dialog procedure left (returned FALSE for): text messages
// and, for WM_CLOSE, a cancel command.
LRESULT default_message(HWND handle, UINT msg, WPARAM wparam, LPARAM lparam);
// A click on a button of a dialog (lock not held, dialog's thread): auto
// check boxes and radio buttons change state, the button takes the focus,
// the dialog gets BN_CLICKED.  False when it is no enabled button.
bool click_button(HWND button);
// The highest position a bar can take: nMax - max(nPage - 1, 0).
int highest_position(const Window &bar);
bool is_push_button(const Window &w);
bool is_default_button(const Window &w);
// The dialog's first default push button, or null.
Window *default_button_locked(const Window &dlg);

}  // namespace win
}  // namespace host
