// Text helpers every host layer shares (board, stand-in, tools): UTF-8
// read a character at a time and counted, conversion between UTF-8 and the
// platform's UTF-16, ASCII case folding, and text quoted safely in a message.
#pragma once

#ifdef CE_PRODUCT_CODE
#error "product code has no host helpers: it calls the platform (platform/platform.h)"
#endif

#include <cstdint>
#include <string>

namespace text {

// Reads the character at s[*at] into *c and moves *at past it.  False when
// the bytes there are no character (no lead byte, cut short, overlong, a
// surrogate, past U+10FFFF); *at then moves past the lead byte and the
// continuation bytes right after it, so the next call starts afresh.
bool next_utf8(const std::string &s, size_t *at, uint32_t *c);

// The characters of UTF-8 text as a terminal steps over them: every byte
// that continues no character (ASCII, a lead byte, a stray byte) starts one.
size_t utf8_count(const std::string &s);
// The byte where character n from byte from (counted as utf8_count does)
// starts; the text's size when it has no more than n there.
size_t utf8_offset(const std::string &s, size_t n, size_t from = 0);

// UTF-16 (up to n units or a zero) as UTF-8; a lone surrogate becomes
// U+FFFD.  A null pointer gives "".
std::string to_utf8(const char16_t *s, size_t n = std::string::npos);
// UTF-8 as UTF-16; each byte sequence that is no character becomes U+FFFD.
std::u16string to_utf16(const std::string &s);
// Equal but for the case of ASCII letters, as the platform compares names.
bool equal_nocase(const char16_t *a, const char16_t *b);

// c, or its capital when it is an ASCII letter: names that differ only so
// are the same name.  s with each of its characters so.
inline char fold_ascii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }
std::string fold_ascii(std::string s);

// text as a message may quote it: at most most characters (then "..."),
// each byte that is no printable character written as an escape (\0, \t,
// \n, \r, \xNN for other control bytes and bytes that are no UTF-8,
// \u{XXXX} for control and direction characters beyond ASCII; a backslash
// is left as it is, since registry and device paths are full of them), so
// that a message shows what the text holds, a zero byte cannot cut it and
// it never works the terminal.
std::string excerpt(const std::string &text, size_t most = 40);

}  // namespace text
