// Dialog units to character cells, and the scroll bar's thumb in cells
// (layout.h).
#include "layout.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace cpl {

DialogLayout layout_dialog(int cx, int cy, const std::vector<Rect> &controls)
{
    DialogLayout out;
    out.width = std::max(1, (cx + 3) / 4);
    out.height = std::max(1, (cy + 7) / 8);
    out.cells.resize(controls.size());

    std::vector<size_t> order(controls.size());
    std::iota(order.begin(), order.end(), 0);
    auto middle = [&](size_t i) { return 2 * controls[i].y + controls[i].cy; };  // twice the middle
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return middle(a) < middle(b); });

    int row = -1, band = 0;
    for (size_t k = 0; k < order.size(); ++k) {
        const Rect &r = controls[order[k]];
        int m = middle(order[k]);
        if (k == 0 || m - band > 8) {
            band = m;
            int want = static_cast<int>(std::lround(m / 16.0 - 0.5));
            row = std::max(want, row + 1);
        }
        Cell &c = out.cells[order[k]];
        c.row = std::max(0, row);
        c.col = std::max(0, static_cast<int>(std::lround(r.x / 4.0)));
        c.width = std::max(1, static_cast<int>(std::lround(r.cx / 4.0)));
        out.height = std::max(out.height, c.row + 1);
    }
    return out;
}

void fit_height(DialogLayout &layout, int rows)
{
    while (layout.height > rows) {
        std::vector<bool> used(layout.height, false);
        for (const Cell &c : layout.cells)
            used[c.row] = true;
        // The last row of the widest run of empty rows.
        int best = -1, best_run = 0, run = 0;
        for (int r = 0; r < layout.height; ++r) {
            run = used[r] ? 0 : run + 1;
            if (run > 0 && run >= best_run && (r + 1 == layout.height || used[r + 1])) {
                best = r;
                best_run = run;
            }
        }
        if (best < 0)
            return;
        for (Cell &c : layout.cells)
            if (c.row > best)
                --c.row;
        --layout.height;
    }
}

int highest_position(const SCROLLINFO &bar)
{
    int page = static_cast<int>(bar.nPage);
    return std::max(bar.nMin, bar.nMax - std::max(page - 1, 0));
}

Thumb thumb(const SCROLLINFO &bar, bool tracking, int track)
{
    if (track <= 0)
        return Thumb{0, 0};
    long long range = static_cast<long long>(bar.nMax) - bar.nMin + 1;
    // A bar without a page has the smallest thumb.
    int length = 1;
    if (range > 0 && bar.nPage > 0)
        length = static_cast<int>(std::min<long long>(track, track * static_cast<long long>(bar.nPage) / range));
    else if (range <= 0)
        length = track;
    length = std::max(1, length);
    int top = highest_position(bar);
    int pos = std::min(std::max(tracking ? bar.nTrackPos : bar.nPos, bar.nMin), top);
    int free = track - length;
    int start = 0;
    if (top > bar.nMin && free > 0)
        start = static_cast<int>(std::lround(static_cast<double>(pos - bar.nMin) * free / (top - bar.nMin)));
    return Thumb{start, length};
}

int thumb_position(const SCROLLINFO &bar, int track, int start)
{
    int free = track - thumb(bar, false, track).length;
    int top = highest_position(bar);
    if (free <= 0)
        return bar.nMin;
    start = std::min(std::max(start, 0), free);
    return bar.nMin + static_cast<int>(std::lround(static_cast<double>(start) * (top - bar.nMin) / free));
}

int drag_position(const SCROLLINFO &bar, int track, int grabbed_start, int grabbed_pos, int start)
{
    int free = track - thumb(bar, false, track).length;
    if (std::min(std::max(start, 0), free) == grabbed_start)
        return grabbed_pos;
    return thumb_position(bar, track, start);
}

}  // namespace cpl
