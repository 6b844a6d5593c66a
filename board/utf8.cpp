#include "utf8.h"

#include <cstdio>

namespace board {

bool next_utf8(const std::string &s, size_t *at, uint32_t *c)
{
    static const uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
    size_t i = *at;
    unsigned char b = s[i];
    int extra = b < 0x80 ? 0 : (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2 : (b & 0xF8) == 0xF0 ? 3 : -1;
    size_t end = i + 1;
    for (int k = 0; k < extra && end < s.size() && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80; ++k)
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

}  // namespace board

namespace board {

std::string excerpt(const std::string &s, size_t max)
{
    std::string out;
    size_t shown = 0;
    for (size_t i = 0; i < s.size();) {
        if (shown == max) {
            out += "...";
            break;
        }
        size_t start = i;
        uint32_t c;
        bool ok = next_utf8(s, &i, &c);
        if (ok && c >= 0x20 && c != 0x7F) {
            out.append(s, start, i - start);
        } else {
            // One byte at a time: the rest of a broken sequence is read afresh.
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", static_cast<unsigned char>(s[start]));
            out += buf;
            i = start + 1;
        }
        ++shown;
    }
    return out;
}

}  // namespace board
