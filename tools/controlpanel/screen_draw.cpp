// Drawing the full-screen Control Panel: the title, the applet list with
// the applets' icons, the open dialog (frame, caption boxes, controls),
// the board view's lines in colour, the help and status lines, and the
// cells the mouse can hit.
#include "screen.h"

#include "terminal.h"

#include <algorithm>
#include <cstdint>
#include <map>

namespace ui {

namespace {

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

// Writes s at (y, x), cut to width cells, a control byte as a blank.
void put(int y, int x, const std::string &s, int width, attr_t attr = 0)
{
    if (width <= 0 || y < 0 || y >= LINES || x < 0 || x >= COLS)
        return;
    std::string cut = first_cells(s, std::min(width, COLS - x));
    for (char &ch : cut)
        if (static_cast<unsigned char>(ch) < 0x20)
            ch = ' ';
    attron(attr);
    mvaddstr(y, x, cut.c_str());
    attroff(attr);
}

}  // namespace

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

}  // namespace ui
