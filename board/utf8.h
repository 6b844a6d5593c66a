// UTF-8 read one character at a time, for every place that takes text
// from outside (the registry file, names handed to the platform's calls).
#pragma once

#include <cstdint>
#include <string>

namespace board {

// Reads the character at s[*at] into *c and moves *at past it.  False when
// the bytes there are no character (no lead byte, cut short, overlong, a
// surrogate, past U+10FFFF); *at then moves past the lead byte and the
// continuation bytes right after it, so the next call starts afresh.
bool next_utf8(const std::string &s, size_t *at, uint32_t *c);

}  // namespace board

namespace board {

// text as a message may quote it: at most most characters (then "..."),
// each byte that is no printable character written as an escape (\0, \t,
// \n, \r, \xNN for other control bytes and bytes that are no UTF-8,
// \u{XXXX} for control and direction characters beyond ASCII; a backslash
// is left as it is, since registry and device paths are full of them), so
// that a message shows what the text holds, a zero byte cannot cut it and
// it never works the terminal.
std::string excerpt(const std::string &text, size_t most = 40);

}  // namespace board
