// The registry file's encoding: UTF-8 as the board writes it, or UTF-16
// with a byte-order mark as a desktop registry editor saves it, read as
// UTF-8 and written back as it came.
#include "reg_encoding.h"

#include "board/registry_file.h"

#include "common/text.h"

namespace board {
namespace reg {
namespace {

bool starts(const std::string &s, const char *prefix, size_t n) { return s.compare(0, n, prefix, n) == 0; }

bool utf32_mark(const std::string &s)
{
    return starts(s, "\xFF\xFE\0\0", 4) || starts(s, "\0\0\xFE\xFF", 4);
}

}  // namespace

std::string decoded(const std::string &bytes, const std::string &file, Encoding *encoding)
{
    *encoding = Encoding::Utf8;
    if (utf32_mark(bytes))
        return bytes;  // the parser names it
    bool le = starts(bytes, "\xFF\xFE", 2);
    if (!le && !starts(bytes, "\xFE\xFF", 2))
        return bytes;
    *encoding = le ? Encoding::Utf16Le : Encoding::Utf16Be;
    const char *name = le ? "UTF-16 (little-endian)" : "UTF-16 (big-endian)";
    if (bytes.size() % 2)
        throw Damaged{file, 0, std::string("the file is ") + name +
                                   " but ends in half a character: cut short?"};
    std::u16string units((bytes.size() - 2) / 2, u'\0');
    for (size_t i = 0; i < units.size(); ++i) {
        unsigned char a = bytes[2 + 2 * i], b = bytes[3 + 2 * i];
        units[i] = static_cast<char16_t>(le ? a | b << 8 : a << 8 | b);
    }
    // Only whole characters: a lone surrogate would be written back as
    // another one.
    int line = 1;
    for (size_t i = 0; i < units.size(); ++i) {
        char16_t u = units[i];
        if (u == u'\n')
            ++line;
        else if (u >= 0xD800 && u < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
                 units[i + 1] < 0xE000)
            ++i;
        else if (u >= 0xD800 && u < 0xE000)
            throw Damaged{file, line, std::string("the file is ") + name +
                                          " with half a character (a lone surrogate) here"};
    }
    // to_utf8 stops at a zero: the text goes on after one.
    std::string out;
    out.reserve(units.size());
    for (size_t at = 0;;) {
        size_t zero = units.find(u'\0', at);
        size_t end = zero == std::u16string::npos ? units.size() : zero;
        out += text::to_utf8(units.data() + at, end - at);
        if (end == units.size())
            break;
        out += '\0';
        at = end + 1;
    }
    return out;
}

std::string encoded(const std::string &text, Encoding encoding)
{
    if (encoding == Encoding::Utf8)
        return text;
    bool le = encoding == Encoding::Utf16Le;
    std::u16string units = u"\uFEFF" + text::to_utf16(text);
    std::string out(units.size() * 2, '\0');
    for (size_t i = 0; i < units.size(); ++i) {
        out[2 * i + (le ? 0 : 1)] = static_cast<char>(units[i] & 0xFF);
        out[2 * i + (le ? 1 : 0)] = static_cast<char>(units[i] >> 8);
    }
    return out;
}

const char *foreign_encoding(const std::string &text)
{
    if (utf32_mark(text))
        return "UTF-32";
    if (starts(text, "\xFF\xFE", 2) || starts(text, "\xFE\xFF", 2))
        return "UTF-16";
    // Text in ASCII: every other byte zero.
    if (text.size() >= 4 && text[0] && !text[1] && !text[2] && !text[3])
        return "UTF-32 (little-endian) without a byte-order mark";
    if (text.size() >= 4 && !text[0] && !text[1] && !text[2] && text[3])
        return "UTF-32 (big-endian) without a byte-order mark";
    if (text.size() >= 2 && text[0] && !text[1])
        return "UTF-16 (little-endian) without a byte-order mark";
    if (text.size() >= 2 && !text[0] && text[1])
        return "UTF-16 (big-endian) without a byte-order mark";
    return nullptr;
}

}  // namespace reg
}  // namespace board
