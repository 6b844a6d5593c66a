// Geometry of the terminal view of a dialog: dialog units to character
// cells, and the thumbs of scroll bars.
#pragma once

#include "ce_host.h"

#include <vector>

namespace cpl {

// A rectangle in dialog units.
struct Rect {
    int x, y, cx, cy;
};

// A control's place in cells, relative to the dialog's client area.
struct Cell {
    int row, col, width;
};

struct DialogLayout {
    int width, height;       // the client area in cells
    std::vector<Cell> cells; // one per rectangle, in the same order
};

// A dialog unit is a quarter of a character's width and an eighth of its
// height, so one cell is 4 x 8 units.  Controls that stand side by side
// (their middles no more than 4 units apart) share a row; rows keep their
// order and never merge.
DialogLayout layout_dialog(int cx, int cy, const std::vector<Rect> &controls);

// Squeezes a layout taller than rows by taking out rows that hold no
// control, one at a time from the widest gap (the lowest of equal ones),
// so the controls keep their order and rows.  It stays taller than rows
// when there are not enough empty rows.
void fit_height(DialogLayout &layout, int rows);

// The thumb of a scroll bar whose track is track cells long: first cell and
// length.  The thumb covers nPage of the bar's positions and sits at nPos
// (at nTrackPos while it is being dragged).
struct Thumb {
    int start, length;
};
Thumb thumb(const SCROLLINFO &bar, bool tracking, int track);

// The position a thumb dragged so that its first cell is at start stands
// for, within the reachable positions nMin ... nMax - max(nPage - 1, 0).
int thumb_position(const SCROLLINFO &bar, int track, int start);

// The same while the thumb is dragged with the pointer: it was grabbed with
// its first cell at grabbed_start while the bar stood at grabbed_pos.  Back
// at that cell it stands for grabbed_pos again: one cell covers several
// positions, and a press on the thumb that does not move it must not move
// the bar.
int drag_position(const SCROLLINFO &bar, int track, int grabbed_start, int grabbed_pos, int start);

// The highest position the bar reaches.
int highest_position(const SCROLLINFO &bar);

}  // namespace cpl
