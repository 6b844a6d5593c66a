#include "common/text.h"

#include <cstdio>

namespace text {

namespace {

bool continues(char ch) { return (static_cast<unsigned char>(ch) & 0xC0) == 0x80; }

}  // namespace

bool next_utf8(const std::string &s, size_t *at, uint32_t *c)
{
    static const uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
    size_t i = *at;
    unsigned char b = s[i];
    int extra = b < 0x80 ? 0 : (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2 : (b & 0xF8) == 0xF0 ? 3 : -1;
    size_t end = i + 1;
    for (int k = 0; k < extra && end < s.size() && continues(s[end]); ++k)
        ++end;
    *at = end;
    if (extra < 0 || end - i != static_cast<size_t>(extra) + 1)
        return false;
    uint32_t v = extra == 0 ? b : b & (0x3F >> extra);
    for (size_t k = i + 1; k < end; ++k)
        v = (v << 6) | (static_cast<unsigned char>(s[k]) & 0x3F);
    if (v < kLeast[extra] || (v >= 0xD800 && v < 0xE000) || v > 0x10FFFF)
        return false;
    *c = v;
    return true;
}

size_t utf8_count(const std::string &s)
{
    size_t n = 0;
    for (char ch : s)
        n += !continues(ch);
    return n;
}

size_t utf8_offset(const std::string &s, size_t n, size_t from)
{
    size_t i = from;
    for (size_t c = 0; i < s.size(); ++i)
        if (!continues(s[i]) && c++ == n)
            break;
    return i;
}

std::string to_utf8(const char16_t *s, size_t n)
{
    std::string out;
    if (!s)
        return out;
    for (size_t i = 0; i < n && s[i]; ++i) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;  // a lone surrogate
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string to_utf16(const std::string &s)
{
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        uint32_t c;
        if (!next_utf8(s, &i, &c)) {
            out += u'\uFFFD';
        } else if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

bool equal_nocase(const char16_t *a, const char16_t *b)
{
    for (; *a && *b; ++a, ++b) {
        char16_t x = *a, y = *b;
        if (x >= u'a' && x <= u'z')
            x -= 32;
        if (y >= u'a' && y <= u'z')
            y -= 32;
        if (x != y)
            return false;
    }
    return *a == *b;
}

std::string fold_ascii(std::string s)
{
    for (char &c : s)
        c = fold_ascii(c);
    return s;
}

namespace {

// Characters beyond ASCII that a terminal does not show as themselves:
// the C1 controls and those that are invisible or turn the direction of text.
bool hidden(uint32_t c)
{
    return (c >= 0x80 && c < 0xA0) || c == 0xAD || (c >= 0x200B && c <= 0x200F) ||
           (c >= 0x2028 && c <= 0x202E) || (c >= 0x2060 && c <= 0x2069) || c == 0xFEFF;
}

}  // namespace

std::string excerpt(const std::string &text, size_t most)
{
    std::string out;
    size_t shown = 0;
    for (size_t at = 0; at < text.size(); ++shown) {
        if (shown == most) {
            out += "...";
            break;
        }
        size_t from = at;
        uint32_t c = 0;
        char esc[16];
        if (!next_utf8(text, &at, &c)) {
            for (size_t k = from; k < at; ++k) {
                std::snprintf(esc, sizeof esc, "\\x%02X", static_cast<unsigned char>(text[k]));
                out += esc;
            }
        } else if (c == 0) {
            out += "\\0";
        } else if (c == '\t' || c == '\n' || c == '\r') {
            out += c == '\t' ? "\\t" : c == '\n' ? "\\n" : "\\r";
        } else if (c < 0x20 || c == 0x7F) {
            std::snprintf(esc, sizeof esc, "\\x%02X", static_cast<unsigned>(c));
            out += esc;
        } else if (hidden(c)) {
            std::snprintf(esc, sizeof esc, "\\u{%04X}", static_cast<unsigned>(c));
            out += esc;
        } else {
            out.append(text, from, at - from);
        }
    }
    return out;
}

}  // namespace text
