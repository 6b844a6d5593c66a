// The .reg syntax between the parser, the writer and the splicer: a registry
// text read line by line into a hive, and where each key and value stood.
#pragma once

#ifndef CEBOARD_INTERNAL
#error "board/reg_syntax.h is the board's own: include board/registry_file.h"
#endif

#include "board/registry_file.h"

#include <string>
#include <string_view>
#include <vector>

namespace board {
namespace reg {

constexpr char kBom[] = "\xEF\xBB\xBF";  // UTF-8's byte-order mark

// Where each key and value of a registry file stands in its text.
struct Layout {
    static constexpr size_t kNone = static_cast<size_t>(-1);
    struct Section {
        size_t key;         // position of its key in the hive as read
        size_t begin;       // start of the [key] line
        size_t values_end;  // end of its last value's lines (or of the [key] line)
        size_t first_value, value_count;  // in values
    };
    struct Span {
        size_t begin, end;  // a value's lines, with their line ends
    };
    std::vector<Section> sections;
    std::vector<size_t> section_of;  // by key position; kNone for a key only a subkey implies
    std::vector<Span> values;        // in the order read, so in each key's order
    uint64_t source = 0;             // the reading, as the hive read with it knows it

    void open_section(size_t key, size_t begin, size_t end)
    {
        if (section_of.size() <= key)
            section_of.resize(key + 1, kNone);
        section_of[key] = sections.size();
        sections.push_back(Section{key, begin, end, values.size(), 0});
    }
    void add_value(size_t begin, size_t end)
    {
        values.push_back(Span{begin, end});
        sections.back().values_end = end;
        ++sections.back().value_count;
    }
};

struct Parser {
    const std::string &file;
    int line = 0;
    // Byte ranges of what was read, for a later write that keeps the rest.
    Layout *layout = nullptr;

    [[noreturn]] void fail(const std::string &message) const;

    // The keys and values of a registry text (UTF-8).  Throws Damaged.
    Hive parse(const std::string &text);
    // One "name"=value line, as logical_line gives it.
    Value value_line(const std::string &s) const;

    // One logical line from text[*pos]: a line of hex data ending in a
    // backslash goes on in the next.  Leading and trailing blanks and the
    // line ends are dropped; *pos moves past the line end and *lines counts
    // the lines read.
    static std::string logical_line(const std::string &text, size_t *pos, int *lines);

private:
    std::string quoted(std::string_view s, size_t *at) const;
    std::vector<uint8_t> hex_bytes(std::string_view s) const;
};

// The line (or, for long hex data, lines joined by "\\\n  ") that writes v.
std::string value_text(const Value &v);

}  // namespace reg
}  // namespace board
