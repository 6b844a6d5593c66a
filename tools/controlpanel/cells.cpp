// Text in terminal cells (cells.h).
#include "cells.h"

#include "common/text.h"

#include <algorithm>

namespace {

// The byte where cell n of s starts (its size when shorter).
size_t cell_offset(const std::string &s, int n) { return text::utf8_offset(s, static_cast<size_t>(std::max(0, n))); }

}  // namespace

int text_width(const std::string &s) { return static_cast<int>(text::utf8_count(s)); }

std::string first_cells(const std::string &s, int n) { return s.substr(0, cell_offset(s, n)); }

std::string last_cells(const std::string &s, int n)
{
    int total = text_width(s);
    return n >= total ? s : s.substr(cell_offset(s, total - std::max(0, n)));
}

std::string ellipsis(bool utf8) { return utf8 ? "\u2026" : "..."; }

std::string centred(const std::string &s, int width)
{
    int pad = std::max(0, width - text_width(s));
    return std::string(pad / 2, ' ') + s + std::string(pad - pad / 2, ' ');
}

std::string shorten_path(const std::string &path, int width, bool utf8)
{
    if (text_width(path) <= width)
        return path;
    std::string dots = ellipsis(utf8);
    int room = width - text_width(dots);
    if (room <= 0)
        return last_cells(path, width);
    std::string name = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
    if (text_width(name) > room)  // the name alone does not fit: its start, then the dots
        return first_cells(name, room) + dots;
    return dots + last_cells(path, room);
}

std::vector<std::string> wrap_words(const std::string &text, int width)
{
    std::vector<std::string> rows;
    width = std::max(1, width);
    const size_t n = text.size();
    size_t at = 0;
    do {
        // Up to width cells from at; i ends at the first byte that does not fit.
        size_t i = text::utf8_offset(text, static_cast<size_t>(width), at);
        size_t blank = std::string::npos;  // the last blank up to there, that one included
        for (size_t k = at; k <= i && k < n; ++k)
            if (text[k] == ' ')
                blank = k;
        if (i >= n) {
            rows.push_back(text.substr(at));
            break;
        }
        size_t end = blank == std::string::npos ? at : blank;
        while (end > at && text[end - 1] == ' ')
            --end;
        if (end > at) {  // break at the blank after the last word that fits
            rows.push_back(text.substr(at, end - at));
            at = blank;
        } else {  // a word wider than a row
            rows.push_back(text.substr(at, i - at));
            at = i;
        }
        while (at < n && text[at] == ' ')
            ++at;
    } while (at < n);
    return rows;
}
