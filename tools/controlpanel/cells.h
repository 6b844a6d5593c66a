// Text in terminal cells, one a character, as the board view lays out its
// lines and the screen writes them: widths, cuts at a cell, shortened
// paths, centred labels and words wrapped into rows.
#pragma once

#include <string>
#include <vector>

// Cells a UTF-8 text takes (one per character).
int text_width(const std::string &s);

// The first n cells of s, and the last n.
std::string first_cells(const std::string &s, int n);
std::string last_cells(const std::string &s, int n);

// "…" in UTF-8 terminals, else "...".
std::string ellipsis(bool utf8);

// s in the middle of width cells, padded with blanks (s whole when wider).
std::string centred(const std::string &s, int width);

// path in at most width cells: whole when it fits, else its end after an
// ellipsis, the file name kept (or its start, when the name alone is wider).
std::string shorten_path(const std::string &path, int width, bool utf8);

// text in rows of at most width cells, broken at blanks (the blanks at a
// break dropped); a word wider than a row is broken where the row ends.
// At least one row.
std::vector<std::string> wrap_words(const std::string &text, int width);
