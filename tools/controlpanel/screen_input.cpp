// The keys and the mouse of the full-screen Control Panel: choosing and
// opening an applet, the dialog's keys, the scroll bar the arrows move, a
// press on what the screen drew, a thumb dragged, the board's own keys.
#include "screen.h"

#include "terminal.h"

#include <algorithm>
#include <map>

namespace ui {

int escape_or_nothing()
{
    timeout(0);
    int next = getch();
    if (next == '[') {
        // A control sequence: parameters and intermediates up to its final byte.
        for (int c = getch(); c != ERR && !(c >= 0x40 && c <= 0x7E); c = getch()) {
        }
    } else if (next == 'O') {
        getch();
    }
    timeout(100);
    return next == ERR ? 27 : ERR;
}

int Screen::bar_target()
{
    if (!dlg_)
        return -1;
    std::vector<int> bars;
    for (size_t i = 0; i < controls_.size(); ++i) {
        if (controls_[i].kind == HOST_CONTROL_SCROLLBAR && controls_[i].visible) {
            if (controls_[i].focused)
                return static_cast<int>(i);
            bars.push_back(static_cast<int>(i));
        }
    }
    if (bars.empty())
        return -1;
    if (std::find(bars.begin(), bars.end(), bar_) == bars.end())
        bar_ = bars.front();
    return bar_;
}

// Once the dialog has ended (its OK, a button, the close box), waits for
// the applet's double-click to return and goes back to the list.
void Screen::after_input()
{
    if (dlg_ && !cpl::dialog_open(dlg_)) {
        cp_.wait_returned(kDialogTimeoutMs);
        dlg_ = nullptr;
        drag_ = -1;
        status("dialog closed");
    }
}

void Screen::open_selected()
{
    const auto &applets = cp_.applets();
    if (selected_ < 0 || selected_ >= static_cast<int>(applets.size()))
        return;
    const cpl::Applet &a = applets[selected_];
    if (!a.loaded()) {
        status(a.error);  // names the file, as the list's "not loaded:" does not
        return;
    }
    status("opening " + a.name + " ...");
    {
        CursesUse use(g_curses);
        draw();
    }
    dlg_ = cpl::open_dialog(cp_, selected_, kDialogTimeoutMs);
    if (!dlg_)
        status(cp_.running() ? a.name + " shows no dialog" : a.name + " returned without a dialog");
    else
        status("");
    bar_ = -1;
}

void Screen::key(int ch)
{
    if (ch == KEY_MOUSE) {
        mouse();
        return;
    }
    if (ch == 'q' || ch == 'Q') {
        quit_ = true;
        return;
    }
    if (ch >= '1' && ch <= '9') {
        status(view_.cycle_pin(ch - '0'));
        return;
    }
    if (ch == 'u' || ch == 'U') {
        status(view_.toggle_plug());
        return;
    }
    if (ch == 'b' || ch == 'B') {
        status(view_.boot());
        return;
    }
    if (dlg_) {
        dialog_key(ch);
        return;
    }
    int n = static_cast<int>(cp_.applets().size());
    if ((ch == KEY_UP || ch == 'k') && selected_ > 0)
        --selected_;
    else if ((ch == KEY_DOWN || ch == 'j') && selected_ + 1 < n)
        ++selected_;
    else if (ch == '\n' || ch == '\r' || ch == KEY_ENTER || ch == ' ')
        open_selected();
}

void Screen::dialog_key(int ch)
{
    int bar = bar_target();
    int bar_id = bar >= 0 ? controls_[bar].id : 0;
    auto press_bar = [&](int code) {
        if (bar < 0)
            return;
        host_scroll(dlg_, bar_id, code);
        host_scroll(dlg_, bar_id, SB_ENDSCROLL);  // the key comes up
    };
    switch (ch) {
    case '\t': host_key(dlg_, HOST_KEY_TAB); break;
    case KEY_BTAB: host_key(dlg_, HOST_KEY_SHIFT_TAB); break;
    case ' ': host_key(dlg_, HOST_KEY_SPACE); break;
    case '\n':
    case '\r':
    case KEY_ENTER: host_key(dlg_, HOST_KEY_ENTER); break;
    case 27: host_key(dlg_, HOST_KEY_ESCAPE); break;
    case KEY_F(2):
        if (!host_caption_ok(dlg_))
            status("this dialog has no OK button in its caption");
        break;
    case KEY_F(4): host_caption_close(dlg_); break;
    case KEY_LEFT: press_bar(SB_LINELEFT); break;
    case KEY_RIGHT: press_bar(SB_LINERIGHT); break;
    case KEY_PPAGE: press_bar(SB_PAGELEFT); break;
    case KEY_NPAGE: press_bar(SB_PAGERIGHT); break;
    case KEY_HOME: press_bar(SB_LEFT); break;
    case KEY_END: press_bar(SB_RIGHT); break;
    case KEY_UP:
    case KEY_DOWN: {
        // Choose the scroll bar the arrows move, in the order of the template.
        std::vector<int> bars;
        for (size_t i = 0; i < controls_.size(); ++i)
            if (controls_[i].kind == HOST_CONTROL_SCROLLBAR && controls_[i].visible)
                bars.push_back(static_cast<int>(i));
        auto at = std::find(bars.begin(), bars.end(), bar);
        if (at == bars.end())
            break;
        if (ch == KEY_UP && at != bars.begin())
            bar_ = *(at - 1);
        else if (ch == KEY_DOWN && at + 1 != bars.end())
            bar_ = *(at + 1);
        break;
    }
    default: break;
    }
    after_input();
}

void Screen::press(const Hit &h)
{
    switch (h.target) {
    case Target::Applet: {
        auto now = Clock::now();
        bool again = h.index == last_press_ && now - last_press_time_ < std::chrono::milliseconds(500);
        selected_ = h.index;
        last_press_ = h.index;
        last_press_time_ = now;
        if (again) {
            last_press_ = -1;
            open_selected();
        }
        return;
    }
    case Target::Control: host_click(dlg_, controls_[h.index].id); break;
    case Target::CaptionOk: host_caption_ok(dlg_); break;
    case Target::CaptionClose: host_caption_close(dlg_); break;
    case Target::BarLeft:
    case Target::BarRight:
    case Target::PageLeft:
    case Target::PageRight: {
        static const std::map<Target, int> codes = {{Target::BarLeft, SB_LINELEFT},
                                                    {Target::BarRight, SB_LINERIGHT},
                                                    {Target::PageLeft, SB_PAGELEFT},
                                                    {Target::PageRight, SB_PAGERIGHT}};
        bar_ = h.index;
        host_scroll(dlg_, controls_[h.index].id, codes.at(h.target));
        host_scroll(dlg_, controls_[h.index].id, SB_ENDSCROLL);
        break;
    }
    case Target::Thumb:
        bar_ = h.index;
        drag_ = h.index;
        break;
    }
    after_input();
}

void Screen::mouse()
{
    MEVENT ev;
    if (getmouse(&ev) != OK)
        return;
    if (drag_ >= 0 && dlg_ && drag_ < static_cast<int>(controls_.size())) {
        // A thumb is held: follow the pointer, let go on release.
        const HostControl &c = controls_[drag_];
        int pos = cpl::drag_position(c.scroll, drag_len_, drag_from_, drag_pos_, ev.x - drag_track_ - drag_grab_);
        if (ev.bstate & (BUTTON1_RELEASED | BUTTON1_CLICKED)) {
            host_thumb_track(dlg_, c.id, pos);
            host_thumb_release(dlg_, c.id);
            drag_ = -1;
            after_input();
        } else {
            host_thumb_track(dlg_, c.id, pos);
        }
        return;
    }
    if (!(ev.bstate & (BUTTON1_PRESSED | BUTTON1_CLICKED | BUTTON1_DOUBLE_CLICKED)))
        return;
    for (const Hit &h : hits_) {
        if (ev.y != h.y || ev.x < h.x0 || ev.x >= h.x1)
            continue;
        if (h.target == Target::Thumb) {
            // Remember where on the thumb it was grabbed and where its track lies.
            drag_grab_ = ev.x - h.x0;
            // The track starts one cell after the bar's left arrow.
            for (const Hit &k : hits_)
                if (k.index == h.index && k.target == Target::BarLeft && k.y == h.y)
                    drag_track_ = k.x1;
            for (const Hit &k : hits_)
                if (k.index == h.index && k.target == Target::BarRight && k.y == h.y)
                    drag_len_ = k.x0 - drag_track_;
            const HostControl &c = controls_[h.index];
            drag_from_ = h.x0 - drag_track_;
            drag_pos_ = c.tracking ? c.scroll.nTrackPos : c.scroll.nPos;
        }
        press(h);
        if (h.target == Target::Thumb && (ev.bstate & BUTTON1_CLICKED)) {
            // Pressed and released at once: no drag.
            drag_ = -1;
        }
        return;
    }
}

}  // namespace ui
