// Dialog units to terminal cells, and scroll-bar thumbs.
#include "layout.h"

#include <gtest/gtest.h>

namespace {

TEST(Layout, ControlsSideBySideShareARowAndRowsKeepTheirOrder)
{
    // Nine check boxes at x 15 from y 12 and nine indicators at x 57 from
    // y 14, 13 units apart: the two columns of a GPIO test dialog.
    std::vector<cpl::Rect> rects;
    for (int n = 0; n < 9; ++n)
        rects.push_back({15, 12 + 13 * n, 40, 10});
    for (int n = 0; n < 9; ++n)
        rects.push_back({57, 14 + 13 * n, 10, 10});
    cpl::DialogLayout l = cpl::layout_dialog(89, 142, rects);
    EXPECT_EQ(l.width, 23);
    EXPECT_GE(l.height, 18);
    for (int n = 0; n < 9; ++n) {
        EXPECT_EQ(l.cells[n].row, l.cells[9 + n].row) << "pin " << n + 1;
        EXPECT_EQ(l.cells[n].col, 4);
        EXPECT_EQ(l.cells[9 + n].col, 14);
        EXPECT_EQ(l.cells[n].width, 10);
        if (n > 0) {
            EXPECT_GT(l.cells[n].row, l.cells[n - 1].row);
        }
        EXPECT_LT(l.cells[n].row, l.height);
    }
}

TEST(Layout, CrowdedRowsArePushedDownRatherThanMerged)
{
    // Three controls 5 units apart: too far apart to share a row, too close
    // for rows of their own at 8 units a row.
    std::vector<cpl::Rect> rects = {{0, 0, 20, 8}, {0, 5, 20, 8}, {0, 10, 20, 8}, {30, 11, 8, 8}};
    cpl::DialogLayout l = cpl::layout_dialog(40, 16, rects);
    EXPECT_EQ(l.cells[0].row, 0);
    EXPECT_EQ(l.cells[1].row, 1);
    EXPECT_EQ(l.cells[2].row, 2);
    EXPECT_EQ(l.cells[3].row, 2);  // beside the third
    EXPECT_EQ(l.height, 3);        // grows to hold them
}

TEST(Layout, AShortTerminalSqueezesEmptyRowsFromTheWidestGapsOnly)
{
    // Controls on rows 0, 4 (two side by side), 5 and 7 of nine.
    std::vector<cpl::Rect> rects = {{0, 0, 20, 8}, {0, 32, 20, 8}, {30, 32, 20, 8}, {0, 40, 20, 8}, {0, 56, 20, 8}};
    cpl::DialogLayout l = cpl::layout_dialog(60, 72, rects);
    ASSERT_EQ(l.height, 9);
    ASSERT_EQ(l.cells[4].row, 7);

    cpl::DialogLayout fits = l;
    cpl::fit_height(fits, 12);  // room enough: nothing moves
    EXPECT_EQ(fits.height, 9);
    EXPECT_EQ(fits.cells[4].row, 7);

    // The gap of three goes down to one, then the lowest single gap goes.
    cpl::fit_height(l, 6);
    EXPECT_EQ(l.height, 6);
    std::vector<int> rows;
    for (const cpl::Cell &c : l.cells)
        rows.push_back(c.row);
    EXPECT_EQ(rows, (std::vector<int>{0, 2, 2, 3, 5}));

    // Never fewer rows than hold controls.
    cpl::fit_height(l, 1);
    EXPECT_EQ(l.height, 4);
    rows.clear();
    for (const cpl::Cell &c : l.cells)
        rows.push_back(c.row);
    EXPECT_EQ(rows, (std::vector<int>{0, 1, 1, 2, 3}));
}

TEST(Layout, ThumbFollowsThePositionWithinTheReachableRange)
{
    SCROLLINFO cr{28, SIF_ALL, 0, 63, 10, 16, 16};
    const int track = 22;
    cpl::Thumb t = cpl::thumb(cr, false, track);
    EXPECT_EQ(t.length, 3);  // 10 of 64 positions
    EXPECT_EQ(cpl::highest_position(cr), 54);

    cr.nPos = 0;
    EXPECT_EQ(cpl::thumb(cr, false, track).start, 0);
    cr.nPos = 54;
    EXPECT_EQ(cpl::thumb(cr, false, track).start, track - 3);
    cr.nPos = 63;  // beyond the reachable end: drawn at the end, not past it
    EXPECT_EQ(cpl::thumb(cr, false, track).start, track - 3);
    cr.nPos = -4;
    EXPECT_EQ(cpl::thumb(cr, false, track).start, 0);

    // While dragged the thumb shows the track position.
    cr.nPos = 0;
    cr.nTrackPos = 54;
    EXPECT_EQ(cpl::thumb(cr, true, track).start, track - 3);
    EXPECT_EQ(cpl::thumb(cr, false, track).start, 0);
}

TEST(Layout, DraggingTheThumbReachesBothEndsAndEveryCellRoundTrips)
{
    for (SCROLLINFO bar : {SCROLLINFO{28, SIF_ALL, 0, 63, 10, 0, 0}, SCROLLINFO{28, SIF_ALL, 0, 1023, 10, 0, 0},
                           SCROLLINFO{28, SIF_ALL, 5, 9, 0, 5, 5}}) {
        const int track = 22;
        int free = track - cpl::thumb(bar, false, track).length;
        EXPECT_EQ(cpl::thumb_position(bar, track, -3), bar.nMin);
        EXPECT_EQ(cpl::thumb_position(bar, track, free), cpl::highest_position(bar));
        EXPECT_EQ(cpl::thumb_position(bar, track, free + 7), cpl::highest_position(bar));
        int positions = cpl::highest_position(bar) - bar.nMin + 1;
        if (positions > free) {
            // More positions than cells: every cell stands for a position.
            for (int start = 0; start <= free; ++start) {
                bar.nPos = cpl::thumb_position(bar, track, start);
                EXPECT_EQ(cpl::thumb(bar, false, track).start, start) << "max " << bar.nMax;
            }
        } else {
            // Fewer: every position has a cell of its own.
            for (int pos = bar.nMin; pos <= cpl::highest_position(bar); ++pos) {
                bar.nPos = pos;
                EXPECT_EQ(cpl::thumb_position(bar, track, cpl::thumb(bar, false, track).start), pos);
            }
        }
    }
    EXPECT_EQ(cpl::highest_position(SCROLLINFO{28, SIF_ALL, 0, 1023, 10, 0, 0}), 1014);
}

TEST(Layout, APressOnTheThumbThatDoesNotMoveItKeepsThePosition)
{
    // 55 reachable positions on 19 free cells: most cells stand for several.
    SCROLLINFO bar{28, SIF_ALL, 0, 63, 10, 0, 0};
    const int track = 22;
    for (int pos = 0; pos <= 54; ++pos) {
        bar.nPos = pos;
        int start = cpl::thumb(bar, false, track).start;
        EXPECT_EQ(cpl::drag_position(bar, track, start, pos, start), pos);
    }
    // Grabbed at the end and pulled on past it: still the end.
    EXPECT_EQ(cpl::drag_position(bar, track, 19, 54, 25), 54);
    // Moved, it stands for the cell it is on, whatever it was grabbed at.
    EXPECT_EQ(cpl::drag_position(bar, track, 6, 17, 0), 0);
    EXPECT_EQ(cpl::drag_position(bar, track, 6, 17, 19), 54);
    EXPECT_EQ(cpl::drag_position(bar, track, 6, 17, 7), cpl::thumb_position(bar, track, 7));
}

TEST(Layout, ABarWithoutRoomOrRangeKeepsItsThumbAtTheStart)
{
    SCROLLINFO flat{28, SIF_ALL, 3, 3, 0, 3, 3};
    EXPECT_EQ(cpl::thumb(flat, false, 10).start, 0);
    EXPECT_EQ(cpl::thumb_position(flat, 10, 4), 3);
    SCROLLINFO big_page{28, SIF_ALL, 0, 9, 50, 0, 0};
    EXPECT_EQ(cpl::thumb(big_page, false, 10).length, 10);
    EXPECT_EQ(cpl::thumb_position(big_page, 10, 5), 0);
    EXPECT_EQ(cpl::thumb(big_page, false, 0).length, 0);
}

}  // namespace
