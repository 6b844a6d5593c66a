#include "ui.h"

#include "applets.h"
#include "board/board.h"
#include "board/file_util.h"
#include "boardview.h"
#include "dialog.h"
#include "host_resources.h"
#include "layout.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <exception>
#include <fcntl.h>
#include <langinfo.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <curses.h>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/common_interface_defs.h>
#include <sanitizer/lsan_interface.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

// How long an applet may take to show or end its dialog.
constexpr int kDialogTimeoutMs = 10000;

// The signal that asked the Control Panel to end (0: none).
std::atomic<int> g_signalled{0};
void on_signal(int sig) { g_signalled = sig; }

bool g_utf8 = false;

// Curses is the Control Panel thread's alone.  A crash on another thread
// (an applet's poll thread, say) must not give the terminal back while
// that thread is inside curses: its next refresh would take the terminal
// again.  The thread holds this while it draws or waits for a key; the
// crash path takes it and never lets go.
std::recursive_timed_mutex g_curses;
using CursesUse = std::lock_guard<std::recursive_timed_mutex>;

// The glyph in UTF-8 terminals, else the ASCII stand-in.
const char *glyph(const char *utf8, const char *ascii) { return g_utf8 ? utf8 : ascii; }

// ---- colours ----

enum Pair : short {
    kTitle = 1,
    kHigh,      // a pin or signal at 1
    kLow,       // at 0
    kExternal,  // a level applied from outside
    kWarn,      // absent, off, failed
    kFrame,     // dialog frame and caption
    kFirstDynamic
};

std::map<std::pair<short, short>, short> g_pairs;  // icon colours, made on demand

short pair_for(short fg, short bg)
{
    auto key = std::make_pair(fg, bg);
    auto it = g_pairs.find(key);
    if (it != g_pairs.end())
        return it->second;
    int n = kFirstDynamic + static_cast<int>(g_pairs.size());
    if (n >= COLOR_PAIRS || n > 32767)
        return 0;
    init_pair(static_cast<short>(n), fg, bg);
    g_pairs[key] = static_cast<short>(n);
    return static_cast<short>(n);
}

// The terminal colour nearest to 0xRRGGBB.
short terminal_colour(uint32_t rgb)
{
    int r = (rgb >> 16) & 0xFF, g = (rgb >> 8) & 0xFF, b = rgb & 0xFF;
    if (COLORS >= 256) {
        auto level = [](int v) { return v < 48 ? 0 : v < 115 ? 1 : (v - 35) / 40; };
        return static_cast<short>(16 + 36 * level(r) + 6 * level(g) + level(b));
    }
    int bits = (r > 127 ? 1 : 0) | (g > 127 ? 2 : 0) | (b > 127 ? 4 : 0);
    static const short basic[8] = {COLOR_BLACK, COLOR_RED,     COLOR_GREEN, COLOR_YELLOW,
                                   COLOR_BLUE,  COLOR_MAGENTA, COLOR_CYAN,  COLOR_WHITE};
    return basic[bits];
}

// ---- text ----

// Writes s at (y, x), cut to width cells.
void put(int y, int x, const std::string &s, int width, attr_t attr = 0)
{
    if (width <= 0 || y < 0 || y >= LINES || x < 0 || x >= COLS)
        return;
    width = std::min(width, COLS - x);
    std::string cut;
    int cells = 0;
    for (char ch : s) {
        unsigned char c = static_cast<unsigned char>(ch);
        if ((c & 0xC0) != 0x80) {
            if (cells == width)
                break;
            ++cells;
        }
        cut += c < 0x20 ? ' ' : ch;
    }
    attron(attr);
    mvaddstr(y, x, cut.c_str());
    attroff(attr);
}

std::string centred(const std::string &s, int width)
{
    int pad = std::max(0, width - text_width(s));
    return std::string(pad / 2, ' ') + s + std::string(pad - pad / 2, ' ');
}

// ---- what the mouse can hit ----

enum class Target { Applet, Control, CaptionOk, CaptionClose, BarLeft, BarRight, PageLeft, PageRight, Thumb };

struct Hit {
    int y, x0, x1;  // cells x0 <= x < x1 on row y
    Target target;
    int index;      // applet or control index
};

// ---- keys ----

// Called when getch() gave Escape.  Escape alone is the Escape key.  With
// more input right behind it, it starts a key whose sequence the terminal
// description does not know (or is Alt with a key): the whole sequence is
// dropped, lest its bytes be taken for Escape and keys of ours ("\033[1~"
// would send Escape to the dialog and cycle pin 1).  ERR then.
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

// ---- the screen ----

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

// Whether the terminal has hung up (its other end closed): getch() then
// answers at once with nothing, for ever, instead of waiting for a key.
bool terminal_gone()
{
    struct pollfd in = {STDIN_FILENO, POLLIN, 0};
    return poll(&in, 1, 0) < 0 || (in.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

void Screen::status(const std::string &s)
{
    status_ = s;
    status_time_ = Clock::now();
}

void Screen::run()
{
    while (!quit_ && !g_signalled) {
        after_input();  // the dialog may have ended on its own
        if (dlg_) {
            info_ = host_dialog_info(dlg_);
            controls_ = host_controls(dlg_);
        }
        view_.refresh();
        int ch;
        {
            CursesUse use(g_curses);
            draw();
            ch = getch();
            if (ch == 27)
                ch = escape_or_nothing();
        }
        if (ch != ERR)
            key(ch);
        else if (terminal_gone())
            g_signalled = SIGHUP;  // as a hang-up: the terminal will give no more input
    }
}

bool Screen::close_open_dialog()
{
    if (!cp_.running())
        return true;
    bool ok = cpl::close_dialog(cp_, dlg_, kDialogTimeoutMs);
    dlg_ = nullptr;
    return ok;
}

// ---- drawing ----

void Screen::draw()
{
    erase();
    hits_.clear();
    // Between the title line and the status and help lines at the bottom.
    int rows = LINES - 4;
    int left_width = 38;
    // The board view without its debug tail, and beside it the open dialog
    // (its empty rows squeezed out as far as need be) or the heading and
    // one entry of the applet list.
    int need_rows = std::max(view_.needed_lines(), 6);
    if (dlg_) {
        std::vector<cpl::Rect> rects;
        for (const HostControl &c : controls_)
            rects.push_back(cpl::Rect{c.rect.x, c.rect.y, c.rect.cx, c.rect.cy});
        layout_ = cpl::layout_dialog(info_.rect.cx, info_.rect.cy, rects);
        cpl::fit_height(layout_, rows - 2);
        left_width = std::max(left_width, layout_.width + 3);
        need_rows = std::max(view_.needed_lines(), layout_.height + 2);
    }
    int need_cols = left_width + 1 + BoardView::kMinWidth;
    if (COLS < need_cols || rows < need_rows) {
        draw_too_small(need_cols, need_rows + 4);
        return;
    }

    std::string title = " Control Panel  " + cp_.folder();
    put(0, 0, title + std::string(std::max(0, COLS - static_cast<int>(title.size())), ' '), COLS,
        COLOR_PAIR(kTitle) | A_BOLD);
    if (dlg_)
        draw_dialog(1, 0, left_width);
    else
        draw_applets(1, 0, left_width, rows);
    draw_board(1, left_width + 1, COLS - left_width - 1, rows);
    draw_help();
    refresh();
}

// Drawn instead of everything else while the terminal is too small for
// what there is to show: cut figures would show a board that is not there.
void Screen::draw_too_small(int cols, int lines)
{
    put(0, 0, "The Control Panel needs more room:", COLS, A_BOLD);
    put(1, 0, "at least " + std::to_string(cols) + " x " + std::to_string(lines) + ", this terminal is " +
                  std::to_string(COLS) + " x " + std::to_string(LINES) + ".",
        COLS);
    put(2, 0, "Make it larger, or press q to quit.", COLS, A_DIM);
    refresh();
}

void Screen::draw_applets(int top, int left, int width, int height)
{
    const auto &applets = cp_.applets();
    put(top, left + 1, "Applets", width - 1, A_BOLD);
    if (applets.empty()) {
        put(top + 2, left + 1, "no *.cpl files in", width - 1);
        put(top + 3, left + 1, cp_.folder(), width - 1);
        return;
    }
    // Icons 16 pixels square (8 rows) when all fit, else 8 (4 rows).
    int size = static_cast<int>(applets.size()) * 9 + 1 <= height ? 16 : 8;
    int rows = size / 2 + 1;
    // As many entries as there is room for, the chosen one among them.
    // No room left empty below the last one (the terminal may have grown).
    int fit = std::max(1, height / rows);
    int n = static_cast<int>(applets.size());
    first_ = std::max(0, std::min({first_, selected_, n - fit}));
    first_ = std::max(first_, selected_ - fit + 1);
    int y = top + 1;
    for (size_t i = first_; i < applets.size() && y + rows <= top + height + 1; ++i, y += rows) {
        const cpl::Applet &a = applets[i];
        bool sel = static_cast<int>(i) == selected_;
        attr_t mark = sel ? A_REVERSE : 0;
        int tx = left + size + 2;
        int tw = width - size - 2;
        if (a.loaded()) {
            draw_icon(a, y, left + 1, size);
            put(y, tx, a.name.empty() ? "(no name)" : a.name, tw, A_BOLD | mark);
            put(y + 1, tx, a.info, tw);
            put(y + 2, tx, a.file, tw, A_DIM);
        } else {
            put(y, tx, a.file, tw, A_BOLD | mark);
            put(y + 1, tx, "not loaded:", tw, COLOR_PAIR(kWarn));
            // The loader's reason, over as many lines as there is room
            // (Enter shows it whole on the status line).
            std::vector<std::string> why = wrap_words(a.error, tw);
            for (size_t k = 0; k < why.size() && y + 2 + static_cast<int>(k) < y + rows - 1; ++k)
                put(y + 2 + static_cast<int>(k), tx, why[k], tw, A_DIM);
        }
        if (sel && a.loaded())
            put(y + 3, tx, "Enter opens", tw, A_DIM);
        for (int r = 0; r < rows - 1; ++r)
            hits_.push_back(Hit{y + r, left, left + width, Target::Applet, static_cast<int>(i)});
    }
}

void Screen::draw_icon(const cpl::Applet &a, int top, int left, int size)
{
    int w = 0, h = 0;
    std::vector<uint32_t> px(64 * 64);
    bool got = a.icon && host_icon_pixels(a.icon, size, &w, &h, px.data(), px.size()) && w > 0 && h > 0;
    if (!got) {
        for (int r = 0; r < size / 2; ++r)
            put(top + r, left, std::string(size, r == 0 || r == size / 2 - 1 ? '-' : ' '), size, A_DIM);
        return;
    }
    // Each cell shows two pixels, one above the other: the upper half block
    // in the top pixel's colour on the bottom pixel's colour.
    auto sample = [&](int x, int y) { return px[(y * h / size) * w + x * w / size]; };
    for (int r = 0; r < size / 2; ++r) {
        for (int c = 0; c < size; ++c) {
            uint32_t up = sample(c, 2 * r), down = sample(c, 2 * r + 1);
            bool up_on = (up >> 24) >= 0x80, down_on = (down >> 24) >= 0x80;
            short fg = up_on ? terminal_colour(up) : -1;
            short bg = down_on ? terminal_colour(down) : -1;
            const char *cell = " ";
            if (up_on && down_on)
                cell = glyph("\u2580", "#");
            else if (up_on)
                cell = glyph("\u2580", "'");
            else if (down_on) {
                cell = glyph("\u2584", ".");
                fg = bg;
                bg = -1;
            }
            if (!g_utf8 && (up_on || down_on)) {
                // Without half blocks: a blank in the colour of the pixel pair.
                bg = up_on ? terminal_colour(up) : terminal_colour(down);
                cell = " ";
            }
            attron(COLOR_PAIR(pair_for(fg, bg)));
            mvaddstr(top + r, left + c, cell);
            attroff(COLOR_PAIR(pair_for(fg, bg)));
        }
    }
}

void Screen::draw_dialog(int top, int left, int width)
{
    int w = std::min(layout_.width, width - 2);
    int h = layout_.height;
    attr_t frame = COLOR_PAIR(kFrame);
    // Frame with the caption in its top edge.
    attron(frame);
    mvaddstr(top, left, glyph("\u250c", "+"));
    for (int x = 1; x <= w; ++x)
        mvaddstr(top, left + x, glyph("\u2500", "-"));
    mvaddstr(top, left + w + 1, glyph("\u2510", "+"));
    for (int y = 1; y <= h; ++y) {
        mvaddstr(top + y, left, glyph("\u2502", "|"));
        mvaddstr(top + y, left + w + 1, glyph("\u2502", "|"));
    }
    mvaddstr(top + h + 1, left, glyph("\u2514", "+"));
    for (int x = 1; x <= w; ++x)
        mvaddstr(top + h + 1, left + x, glyph("\u2500", "-"));
    mvaddstr(top + h + 1, left + w + 1, glyph("\u2518", "+"));
    attroff(frame);

    int right = left + w + 1;
    if (info_.style & WS_SYSMENU) {
        right -= 3;
        put(top, right, "[X]", 3, frame | A_BOLD);
        hits_.push_back(Hit{top, right, right + 3, Target::CaptionClose, 0});
    }
    if (info_.exstyle & WS_EX_CAPTIONOKBTN) {
        right -= 4;
        put(top, right, "[OK]", 4, frame | A_BOLD);
        hits_.push_back(Hit{top, right, right + 4, Target::CaptionOk, 0});
    }
    put(top, left + 2, " " + info_.caption + " ", right - left - 3, frame | A_BOLD);

    int bar = bar_target();
    for (size_t i = 0; i < controls_.size(); ++i) {
        const HostControl &c = controls_[i];
        if (!c.visible)
            continue;
        const cpl::Cell &cell = layout_.cells[i];
        int y = top + 1 + cell.row;
        int x = left + 1 + cell.col;
        int room = std::min(cell.width, left + 1 + w - x);
        if (y > top + h || room <= 0)
            continue;
        attr_t attr = (c.enabled ? 0 : A_DIM) | (c.focused ? A_REVERSE : 0);
        int idx = static_cast<int>(i);
        switch (c.kind) {
        case HOST_CONTROL_CHECKBOX:
        case HOST_CONTROL_RADIO: {
            bool on = c.check == BST_CHECKED;
            std::string box = c.kind == HOST_CONTROL_CHECKBOX
                                  ? (on ? glyph("\u2612", "[x]") : glyph("\u2610", "[ ]"))
                                  : (on ? glyph("\u25c9", "(*)") : glyph("\u25cb", "( )"));
            std::string text = c.text.empty() ? box : box + " " + c.text;
            // A check box's text may run on past its rectangle to the dialog's edge.
            int cells = text_width(text);
            int run = std::max(room, std::min(cells, left + 1 + w - x));
            put(y, x, text, run, attr | (on ? A_BOLD : 0));
            hits_.push_back(Hit{y, x, x + std::min(run, cells), Target::Control, idx});
            break;
        }
        case HOST_CONTROL_BUTTON: {
            std::string label = centred(c.text, std::max(0, room - 2));
            put(y, x, "[" + label + "]", room, attr | (c.is_default ? A_BOLD : 0));
            hits_.push_back(Hit{y, x, x + room, Target::Control, idx});
            break;
        }
        case HOST_CONTROL_STATIC:
            put(y, x, c.text, std::max(room, std::min(text_width(c.text), left + 1 + w - x)), attr);
            break;
        case HOST_CONTROL_SCROLLBAR: {
            int track = std::max(1, room - 2);
            cpl::Thumb t = cpl::thumb(c.scroll, c.tracking, track);
            attr_t arrows = idx == bar ? A_BOLD | A_REVERSE : A_BOLD;
            put(y, x, glyph("\u25c2", "<"), 1, arrows);
            put(y, x + track + 1, glyph("\u25b8", ">"), 1, arrows);
            for (int k = 0; k < track; ++k) {
                bool in = k >= t.start && k < t.start + t.length;
                put(y, x + 1 + k, in ? glyph("\u2588", "#") : glyph("\u2591", "."), 1, in ? A_BOLD : A_DIM);
            }
            hits_.push_back(Hit{y, x, x + 1, Target::BarLeft, idx});
            hits_.push_back(Hit{y, x + track + 1, x + track + 2, Target::BarRight, idx});
            hits_.push_back(Hit{y, x + 1, x + 1 + t.start, Target::PageLeft, idx});
            hits_.push_back(Hit{y, x + 1 + t.start, x + 1 + t.start + t.length, Target::Thumb, idx});
            hits_.push_back(Hit{y, x + 1 + t.start + t.length, x + 1 + track, Target::PageRight, idx});
            break;
        }
        }
    }
}

void Screen::draw_board(int top, int left, int width, int height)
{
    int y = top;
    for (const BoardView::Line &line : view_.lines(width, height, g_utf8)) {
        attr_t attr = 0;
        for (const BoardView::Span &s : line.spans) {
            switch (s.style) {
            case BoardView::Plain: attr = 0; break;
            case BoardView::Heading: attr = A_BOLD; break;
            case BoardView::Dim: attr = A_DIM; break;
            case BoardView::High: attr = COLOR_PAIR(kHigh) | A_BOLD; break;
            case BoardView::Low: attr = COLOR_PAIR(kLow); break;
            case BoardView::External: attr = COLOR_PAIR(kExternal) | A_BOLD; break;
            case BoardView::Warn: attr = COLOR_PAIR(kWarn) | A_BOLD; break;
            }
            put(y, left + s.column, s.text, width - s.column, attr);
        }
        ++y;
    }
}

void Screen::draw_help()
{
    const char *keys = dlg_ ? "Tab/S-Tab Space Enter Esc  F2 OK  F4 close  Up/Dn bar  Lt/Rt PgUp/Dn Home/End"
                            : "Up/Down choose  Enter open";
    if (!status_.empty() && Clock::now() - status_time_ < std::chrono::seconds(5))
        put(LINES - 3, 1, status_, COLS - 2, A_BOLD);
    put(LINES - 2, 0, keys, COLS, A_DIM);
    put(LINES - 1, 0, "1-9 cycle pin level from outside  u unplug/plug GPI1:  b boot the board  q quit", COLS,
        A_DIM);
}

// ---- input ----

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
        status(view_.boot(cpl::program_folder() + "/board"));
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

// ---- the terminal ----

// Puts the terminal back however the program leaves.
struct Terminal {
    Terminal()
    {
        std::setlocale(LC_ALL, "");
        g_utf8 = std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
        // Not initscr(), which ends the program when TERM names no terminal
        // it knows, its message going where standard error points.
        // What it allocates for a terminal it then refuses is lost inside it.
#if defined(__SANITIZE_ADDRESS__)
        __lsan_disable();
#endif
        SCREEN *screen = newterm(nullptr, stdout, stdin);
#if defined(__SANITIZE_ADDRESS__)
        __lsan_enable();
#endif
        if (!screen)
            return;
        active = true;
        cbreak();
        noecho();
        nonl();
        keypad(stdscr, TRUE);
        // Home and End as terminals other than the one TERM names send them
        // (tmux and screen, the Linux console, rxvt, xterm's cursor modes).
        for (const char *seq : {"\033[1~", "\033[7~", "\033[H", "\033OH"})
            define_key(seq, KEY_HOME);
        for (const char *seq : {"\033[4~", "\033[8~", "\033[F", "\033OF"})
            define_key(seq, KEY_END);
        // Time for the rest of a key sequence after its Escape: long enough
        // that a loaded machine does not split a mouse report into Escape
        // and stray keys (100 ms was not, with the tests of four builds
        // running at once), short enough that Escape itself feels prompt
        // (the terminal library's own default is a second).
        set_escdelay(250);
        timeout(100);
        curs_set(0);
        if (has_colors()) {
            start_color();
            use_default_colors();
            init_pair(kTitle, COLOR_WHITE, COLOR_BLUE);
            init_pair(kHigh, COLOR_GREEN, -1);
            init_pair(kLow, COLOR_BLUE, -1);
            init_pair(kExternal, COLOR_YELLOW, -1);
            init_pair(kWarn, COLOR_RED, -1);
            init_pair(kFrame, COLOR_CYAN, -1);
        }
        mousemask(BUTTON1_PRESSED | BUTTON1_RELEASED | REPORT_MOUSE_POSITION, nullptr);
        mouseinterval(0);
        // Report pointer motion while a button is held, for thumb drags.
        std::printf("\033[?1002h");
        std::fflush(stdout);
    }
    ~Terminal() { restore(); }
    static void restore()
    {
        if (!active)
            return;
        active = false;
        std::printf("\033[?1002l");
        std::fflush(stdout);
        mousemask(0, nullptr);
        curs_set(1);
        endwin();
    }
    static bool active;
};
bool Terminal::active = false;

struct ErrorsToLog;
ErrorsToLog *g_errors = nullptr;  // while the screen is up

// Sends the process's own standard error to the debug log while the screen
// is up, so that stray messages land in the debug view instead of on top of it.
struct ErrorsToLog {
    explicit ErrorsToLog(const std::string &log)
    {
        saved = dup(2);
        int fd = -1;
        try {
            fd = board::file_util::open_append(log);  // never through a link
        } catch (const board::Error &e) {
            std::fprintf(stderr, "controlpanel: %s; stray messages stay here\n", e.message.c_str());
        }
        if (fd >= 0) {
            dup2(fd, 2);
            close(fd);
        }
    }
    ~ErrorsToLog()
    {
        restore();
        if (g_errors == this)
            g_errors = nullptr;
    }
    void restore()
    {
        if (saved >= 0) {
            dup2(saved, 2);
            close(saved);
            saved = -1;
        }
    }
    int saved = -1;
};

std::string g_log;

// Gives the terminal and standard error back on the way out of a crash,
// and says what ended the process.
void say_crashed(const char *what)
{
    // Held for good (if the thread is stuck inside curses, go on after a while).
    (void)g_curses.try_lock_for(std::chrono::seconds(1));
    Terminal::restore();
    if (g_errors)
        g_errors->restore();
    std::fprintf(stderr, "controlpanel: %s ended the Control Panel; the debug output is in %s\n", what,
                 g_log.c_str());
    std::fflush(nullptr);
}

// A fault that no handler takes (in an applet's own thread, or in its dialog
// on the Control Panel's thread) ends the process, as it ends the Control
// Panel on the device; so does a crash (an applet's bad pointer, say).  The
// terminal comes back first, and the user learns why.  Under the
// sanitizers their own handlers report a crash, to the debug log, then call
// on_death.
[[noreturn]] void on_terminate()
{
    char what[160] = "an exception that nothing handled";
    if (std::exception_ptr e = std::current_exception()) {
        try {
            std::rethrow_exception(e);
        } catch (const ce_fault &f) {
            std::snprintf(what, sizeof what, "a fault (exception code 0x%08X) that nothing handled",
                          static_cast<unsigned>(f.code));
        } catch (const std::exception &x) {
            std::snprintf(what, sizeof what, "an exception that nothing handled (%s)", x.what());
        } catch (...) {
        }
    }
    say_crashed(what);
    std::abort();
}

#if defined(__SANITIZE_ADDRESS__)
void on_death() { say_crashed("a crash a sanitizer reported"); }
#else
void on_crash(int sig)
{
    say_crashed(strsignal(sig));
    raise(sig);  // the handler was reset: ends as it would have
}

// A bus error in the board's mapping is a state file another program cut
// short: the board takes it and the Control Panel goes on (the next use of
// the board reports the file).  Any other is a crash.
void on_bus_error(int sig, siginfo_t *info, void *)
{
    if (board::take_bus_fault(info->si_addr))
        return;
    signal(sig, SIG_DFL);
    on_crash(sig);
}
#endif

void catch_crashes()
{
#if defined(__SANITIZE_ADDRESS__)
    __sanitizer_set_death_callback(on_death);
    // The undefined-behaviour checker, when linked too, keeps a callback of its own.
    if (void *ubsan = dlopen("libubsan.so.1", RTLD_NOW | RTLD_NOLOAD))
        if (void *set = dlsym(ubsan, "__sanitizer_set_death_callback"))
            reinterpret_cast<void (*)(void (*)())>(set)(on_death);
#else
    struct sigaction sa {};
    sa.sa_handler = on_crash;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESETHAND;
    for (int sig : {SIGSEGV, SIGILL, SIGFPE})
        sigaction(sig, &sa, nullptr);
    struct sigaction bus {};
    bus.sa_sigaction = on_bus_error;
    sigemptyset(&bus.sa_mask);
    bus.sa_flags = SA_SIGINFO;
    sigaction(SIGBUS, &bus, nullptr);
#endif
}

}  // namespace

int run_interactive(const std::string &folder)
{
    if (!isatty(0) || !isatty(1)) {
        std::fprintf(stderr, "controlpanel: the full-screen mode needs a terminal "
                             "(see --list and --script)\n");
        return 1;
    }
    std::string log;
    try {
        board::status();  // makes the default board on first use
        const char *env = std::getenv("BOARD_DEBUG_LOG");
        if (!env || !*env)
            setenv("BOARD_DEBUG_LOG", board::path("debug.log").c_str(), 1);
        log = std::getenv("BOARD_DEBUG_LOG");
    } catch (const board::Error &e) {
        std::fprintf(stderr, "controlpanel: %s\n", e.message.c_str());
        return 1;
    }

    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaction(sig, &sa, nullptr);

    {
        ErrorsToLog errors(log);
        g_errors = &errors;
        g_log = log;
        std::set_terminate(on_terminate);
        catch_crashes();
        Terminal terminal;
        if (!Terminal::active) {
            errors.restore();
            const char *term = std::getenv("TERM");
            std::fprintf(stderr, "controlpanel: cannot work the terminal TERM='%s' names (see --list and --script)\n",
                         term ? term : "");
            return 1;
        }
        cpl::ControlPanel cp(folder);
        Screen screen(cp, log);
        screen.run();
        if (g_signalled) {
            // Ended from outside (Ctrl-C, a hang-up, kill), as a Control
            // Panel killed on the device: nothing more reaches the applets.
            // An open dialog is not closed for the user (its close box would
            // choose for them), no CPL_STOP or CPL_EXIT goes out; what an
            // applet had started (Hemlark's PWM) stays as it was.
            (void)g_curses.try_lock_for(std::chrono::seconds(1));
            Terminal::restore();
            errors.restore();
            std::fflush(nullptr);
            std::_Exit(128 + g_signalled);  // as the shell reports a process the signal ended
        }
        if (!screen.close_open_dialog()) {
            Terminal::restore();
            errors.restore();
            std::fprintf(stderr, "controlpanel: the open dialog does not close; giving up\n");
            std::fflush(nullptr);
            std::_Exit(1);
        }
    }
    return g_signalled ? 128 + g_signalled : 0;  // a signal while q closed the dialog
}
