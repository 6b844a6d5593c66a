// The .reg syntax: a registry text parsed into a hive (with where each key
// and value stood, for the splicer), and a hive or a value written as text.
#include "reg_syntax.h"

#include "reg_encoding.h"
#include "reg_hive.h"

#include <algorithm>
#include <cstdio>
#include <unordered_set>

#include "common/text.h"

namespace board {
namespace reg {
namespace {

const char kHex[] = "=hex";

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = text::fold_ascii(c);
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace

void Parser::fail(const std::string &message) const { throw Damaged{file, line, message}; }

// "text" with \\ and \" escapes, from s[*at] (the opening quote).
std::string Parser::quoted(std::string_view s, size_t *at) const
{
    std::string out;
    size_t i = *at + 1;
    for (; i < s.size() && s[i] != '"'; ++i) {
        if (s[i] == '\\') {
            if (++i == s.size() || (s[i] != '\\' && s[i] != '"'))
                fail("a backslash in a quoted name or string must be followed by \\ or \"");
        }
        out += s[i];
    }
    if (i == s.size())
        fail("a quoted name or string has no closing quote");
    *at = i + 1;
    return out;
}

std::vector<uint8_t> Parser::hex_bytes(std::string_view s) const
{
    std::vector<uint8_t> out;
    size_t i = 0;
    auto blanks = [&]() {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t'))
            ++i;
    };
    blanks();
    while (i < s.size()) {
        int hi = hex_digit(s[i]), lo = i + 1 < s.size() ? hex_digit(s[i + 1]) : -1;
        if (hi < 0 || lo < 0)
            fail("hex data must be two-digit hex bytes separated by commas");
        out.push_back(static_cast<uint8_t>(hi * 16 + lo));
        i += 2;
        blanks();
        if (i == s.size())
            break;
        if (s[i] != ',')
            fail("hex data must be two-digit hex bytes separated by commas");
        ++i;
        blanks();
        if (i == s.size())
            fail("hex data ends in a comma");
    }
    return out;
}

Value Parser::value_line(const std::string &s) const
{
    Value v;
    size_t i = 0;
    if (s[0] == '@') {
        i = 1;
    } else {
        v.name = quoted(s, &i);
        if (v.name.empty())
            fail("a value name may not be empty (the default value is written @)");
        if (const char *fault = value_name_fault(v.name))
            fail(fault);
    }
    if (i == s.size() || s[i] != '=')
        fail("expected = after the value name");
    std::string_view rest = std::string_view(s).substr(i + 1);
    if (!rest.empty() && rest[0] == '"') {
        size_t at = 0;
        std::string text = quoted(rest, &at);
        if (at != rest.size())
            fail("text after the closing quote of a string");
        // Bytes that are no character would be stored as other text.
        for (size_t k = 0; k < text.size();) {
            uint32_t c;
            if (!text::next_utf8(text, &k, &c))
                fail("a string is not valid UTF-8");
        }
        v.type = kSz;
        for (char16_t u : text::to_utf16(text) + u'\0') {
            v.data.push_back(static_cast<uint8_t>(u & 0xFF));
            v.data.push_back(static_cast<uint8_t>(u >> 8));
        }
    } else if (rest.compare(0, 6, "dword:") == 0) {
        std::string_view digits = rest.substr(6);
        if (digits.empty() || digits.size() > 8)
            fail("dword: takes one to eight hex digits");
        uint32_t w = 0;
        for (char c : digits) {
            int d = hex_digit(c);
            if (d < 0)
                fail("dword: takes one to eight hex digits");
            w = w * 16 + static_cast<uint32_t>(d);
        }
        v.type = kDword;
        for (int k = 0; k < 4; ++k)
            v.data.push_back(static_cast<uint8_t>(w >> (8 * k)));
    } else if (rest.compare(0, 4, "hex:") == 0) {
        v.type = kBinary;
        v.data = hex_bytes(rest.substr(4));
    } else if (rest.compare(0, 4, "hex(") == 0) {
        size_t close = rest.find("):");
        if (close == std::string::npos || close == 4 || close > 12)
            fail("hex(N): takes the type number N in hex");
        uint32_t type = 0;
        for (size_t k = 4; k < close; ++k) {
            int d = hex_digit(rest[k]);
            if (d < 0)
                fail("hex(N): takes the type number N in hex");
            type = type * 16 + static_cast<uint32_t>(d);
        }
        v.type = type;
        v.data = hex_bytes(rest.substr(close + 2));
    } else {
        fail("a value must be \"text\", dword:, hex: or hex(N):");
    }
    return v;
}

// One logical line from text[*pos]: a line of hex data ending in a
// backslash goes on in the next.  Leading and trailing blanks and the
// line ends are dropped; *pos moves past the line end.
std::string Parser::logical_line(const std::string &text, size_t *pos, int *lines)
{
    std::string s;
    for (;;) {
        size_t end = text.find('\n', *pos);
        size_t stop = end == std::string::npos ? text.size() : end;
        size_t b = text.find_first_not_of(" \t", *pos);
        if (b > stop)
            b = stop;
        if (stop > b && text[stop - 1] == '\r')
            --stop;
        *pos = end == std::string::npos ? text.size() : end + 1;
        ++*lines;
        // Only hex data is split over lines ("hex:01,02,\"); the
        // first line tells, so a long value is joined in linear time.
        bool more = stop > b && text[stop - 1] == '\\' && text[b] != '[' && text[b] != ';' &&
                    (!s.empty() ||
                     std::string_view(text).substr(b, stop - b).find(kHex) != std::string_view::npos);
        if (more)
            --stop;
        s.append(text, b, stop - b);
        if (!more || *pos >= text.size())
            break;
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.pop_back();
    return s;
}

Hive Parser::parse(const std::string &text)
{
    Hive hive;
    Key *key = nullptr;
    // Which keys (by position) have had a section; the value names of
    // a key with many values, in capitals (a few are compared in place).
    std::vector<char> sectioned;
    std::unordered_set<std::string> names;
    bool header = false;
    // A byte-order mark before the first line is no part of it.
    size_t pos = text.compare(0, 3, kBom) == 0 ? 3 : 0;
    int next_line = 1;
    while (pos < text.size()) {
        line = next_line;
        size_t begin = pos;
        std::string s = logical_line(text, &pos, &next_line);
        if (s.empty() || s[0] == ';')
            continue;
        if (!header) {
            if (s != "REGEDIT4" && s != "Windows Registry Editor Version 5.00") {
                if (const char *encoding = foreign_encoding(text))
                    fail(std::string("the file is ") + encoding +
                         ": save it as UTF-8, or as UTF-16 with a byte-order mark");
                fail("the first line must be REGEDIT4");
            }
            header = true;
            continue;
        }
        if (s[0] == '[') {
            if (s.back() != ']' || s.size() < 3)
                fail("a key line must be [HKEY_...\\Key]");
            std::string path = s.substr(1, s.size() - 2);
            if (path[0] == '-')
                fail("deleting keys ([-...]) has no place in the registry file");
            std::string root = path.substr(0, path.find('\\'));
            if (!is_root(root))
                fail("unknown root key '" + text::excerpt(root) + "'");
            // A key no registry call could open is a mistake, not a key.
            if (const char *fault = key_path_fault(path))
                fail(fault);
            key = hive.create(path);
            size_t at = static_cast<size_t>(key - hive.keys().data());
            sectioned.resize(hive.keys().size(), 0);
            if (sectioned[at])
                fail("key [" + text::excerpt(path) + "] appears twice");
            sectioned[at] = 1;
            names.clear();
            if (layout)
                layout->open_section(at, begin, pos);
            continue;
        }
        if (s[0] != '"' && s[0] != '@')
            fail("expected a [key] line or a \"name\"=value line");
        if (!key)
            fail("a value before the first [key] line");
        Value v = value_line(s);
        bool twice = false;
        if (key->values.size() < 16) {
            for (const Value &w : key->values)
                twice = twice || same_name(w.name, v.name);
        } else {
            if (names.empty())
                for (const Value &w : key->values)
                    names.insert(text::fold_ascii(w.name));
            twice = !names.insert(text::fold_ascii(v.name)).second;
        }
        if (twice)
            fail("value \"" + text::excerpt(v.name) + "\" appears twice in [" + text::excerpt(key->path) + "]");
        key->values.push_back(std::move(v));
        if (layout)
            layout->add_value(begin, pos);
    }
    if (!header) {
        line = 0;
        fail("empty, or not a registry file (no REGEDIT4 line)");
    }
    if (layout)
        layout->section_of.resize(hive.keys().size(), Layout::kNone);
    return hive;
}

namespace {

std::string escaped(const std::string &s)
{
    std::string out;
    for (char c : s) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out;
}

// The UTF-8 text of REG_SZ data when it reads back to the same bytes as a
// quoted string: whole characters, one terminating zero and nothing else
// below a blank.
bool as_text(const std::vector<uint8_t> &data, std::string *text)
{
    size_t n = data.size();
    if (n < 2 || n % 2 || data[n - 1] || data[n - 2])
        return false;
    std::u16string units(n / 2 - 1, u'\0');
    for (size_t i = 0; i < units.size(); ++i) {
        units[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
        if (units[i] < 0x20)
            return false;
    }
    // A lone surrogate comes back as U+FFFD.
    *text = text::to_utf8(units.data(), units.size());
    return text::to_utf16(*text) == units;
}

}  // namespace

std::string value_text(const Value &v)
{
    std::string out = v.name.empty() ? "@=" : "\"" + escaped(v.name) + "\"=";
    std::string text;
    char buf[16];
    if (v.type == kSz && as_text(v.data, &text))
        return out + "\"" + escaped(text) + "\"";
    if (v.type == kDword && v.data.size() == 4) {
        uint32_t w = v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) | (uint32_t(v.data[3]) << 24);
        std::snprintf(buf, sizeof buf, "%08x", w);
        return out + "dword:" + buf;
    }
    if (v.type == kBinary) {
        out += "hex:";
    } else {
        std::snprintf(buf, sizeof buf, "%x", v.type);
        out += std::string("hex(") + buf + "):";
    }
    // Lines of at most about 80 columns, each but the last ending in ",\".
    size_t column = out.size();
    for (size_t i = 0; i < v.data.size(); ++i) {
        std::snprintf(buf, sizeof buf, "%02x", v.data[i]);
        out += buf;
        column += 2;
        if (i + 1 < v.data.size()) {
            out += ',';
            ++column;
            if (column >= 76) {
                out += "\\\n  ";
                column = 2;
            }
        }
    }
    return out;
}

std::string Damaged::what() const
{
    return line > 0 ? file + " line " + std::to_string(line) + ": " + message
                    : file + ": " + message;
}

std::string serialise(const Hive &hive)
{
    // Keys in path order, so that each follows its parent.
    std::vector<const Key *> keys;
    for (const Key &k : hive.keys())
        keys.push_back(&k);
    std::sort(keys.begin(), keys.end(), [](const Key *a, const Key *b) {
        const std::string &x = a->path, &y = b->path;
        for (size_t i = 0; i < x.size() && i < y.size(); ++i) {
            char p = x[i] == '\\' ? '\1' : text::fold_ascii(x[i]),
                 q = y[i] == '\\' ? '\1' : text::fold_ascii(y[i]);
            if (p != q)
                return p < q;
        }
        return x.size() < y.size();
    });
    std::string out = "REGEDIT4\n";
    for (const Key *k : keys) {
        out += "\n[" + k->path + "]\n";
        for (const Value &v : k->values)
            out += value_text(v) + "\n";
    }
    return out;
}

}  // namespace reg
}  // namespace board
