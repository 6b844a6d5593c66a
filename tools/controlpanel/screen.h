// The full-screen Control Panel's screen: the applet list or the open
// dialog beside the board view, as the loop (ui.cpp), the drawing
// (screen_draw.cpp) and the keys and mouse (screen_input.cpp) share it.
#pragma once

#include "applets.h"
#include "boardview.h"
#include "dialog.h"
#include "host_resources.h"
#include "layout.h"

#include <chrono>
#include <string>
#include <vector>

#include <curses.h>

namespace ui {

using Clock = std::chrono::steady_clock;

// How long an applet may take to show or end its dialog.
constexpr int kDialogTimeoutMs = 10000;

// What the mouse can hit.
enum class Target { Applet, Control, CaptionOk, CaptionClose, BarLeft, BarRight, PageLeft, PageRight, Thumb };

struct Hit {
    int y, x0, x1;  // cells x0 <= x < x1 on row y
    Target target;
    int index;      // applet or control index
};

class Screen {
public:
    Screen(cpl::ControlPanel &cp, const std::string &log) : cp_(cp), view_(board::dir(), log) {}
    // The main loop; returns when the user quits or a signal arrives.
    void run();
    // Ends an open dialog; false when it will not end.
    bool close_open_dialog();

private:
    void draw();
    void draw_applets(int top, int left, int width, int height);
    void draw_icon(const cpl::Applet &a, int top, int left, int size);
    void draw_dialog(int top, int left, int width);
    void draw_board(int top, int left, int width, int height);
    void draw_help();
    void draw_too_small(int cols, int lines);

    void key(int ch);
    void dialog_key(int ch);
    void mouse();
    void press(const Hit &h);
    void open_selected();
    void after_input();
    void status(const std::string &s);
    int bar_target();  // index into controls_ of the scroll bar the arrow keys move, or -1

    cpl::ControlPanel &cp_;
    BoardView view_;
    int selected_ = 0;
    int first_ = 0;  // the first applet the list shows
    HWND dlg_ = nullptr;
    HostDialog info_{};
    std::vector<HostControl> controls_;
    cpl::DialogLayout layout_{};
    int bar_ = -1;  // the scroll bar chosen with the up and down arrows
    std::vector<Hit> hits_;
    bool quit_ = false;
    std::string status_;
    Clock::time_point status_time_;
    // A press on an applet; a second one soon after on the same applet opens it.
    int last_press_ = -1;
    Clock::time_point last_press_time_;
    // A thumb being dragged with the mouse: the bar's control index, where
    // the thumb was grabbed (cells from its first cell), the track's first
    // cell and length, and the thumb's first cell and the bar's position then.
    int drag_ = -1, drag_grab_ = 0, drag_track_ = 0, drag_len_ = 0, drag_from_ = 0, drag_pos_ = 0;
};

// Called when getch() gave Escape.  Escape alone is the Escape key.  With
// more input right behind it, it starts a key whose sequence the terminal
// description does not know (or is Alt with a key): the whole sequence is
// dropped, lest its bytes be taken for Escape and keys of ours ("\033[1~"
// would send Escape to the dialog and cycle pin 1).  ERR then.
int escape_or_nothing();

}  // namespace ui
