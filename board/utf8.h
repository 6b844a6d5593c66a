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

// A short piece of s fit to quote in a message: at most max characters,
// control bytes and bytes that are no character written \xNN (a zero byte
// too, so it cannot cut the message), "..." added when s goes on.
std::string excerpt(const std::string &s, size_t max = 40);

}  // namespace board
