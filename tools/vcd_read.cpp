// The Value Change Dump reader of 'board play' (see vcd_read.h).
#include "vcd_read.h"

#include "common/text.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vcd {

namespace {

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// Decimal digits only, at most 20 of them and no more than hi.
bool number(const std::string &s, uint64_t hi, uint64_t *value)
{
    if (s.empty() || s.size() > 20 || s.find_first_not_of("0123456789") != std::string::npos)
        return false;
    unsigned __int128 v = 0;
    for (char c : s)
        v = v * 10 + static_cast<unsigned>(c - '0');
    if (v > hi)
        return false;
    *value = static_cast<uint64_t>(v);
    return true;
}

// "1ns", "10 us", "100ps": femtoseconds; 0 for anything else.
uint64_t timescale_fs(const std::string &text)
{
    size_t digits = text.find_first_not_of("0123456789");
    if (digits == std::string::npos || digits == 0)
        return 0;
    std::string n = text.substr(0, digits), unit = text.substr(digits);
    uint64_t mult = n == "1" ? 1 : n == "10" ? 10 : n == "100" ? 100 : 0;
    static const struct {
        const char *name;
        uint64_t fs;
    } units[] = {{"s", 1000000000000000ull}, {"ms", 1000000000000ull}, {"us", 1000000000ull},
                 {"ns", 1000000ull},         {"ps", 1000ull},           {"fs", 1ull}};
    for (const auto &u : units)
        if (unit == u.name)
            return mult * u.fs;
    return 0;
}

bool bits(const std::string &v)
{
    return !v.empty() && v.find_first_not_of("01xXzZ") == std::string::npos;
}

}  // namespace

bool Reader::fail(ReadError *error, const std::string &what, int line)
{
    bad_ = true;
    error->line = line ? line : token_line_;
    error->what = what;
    return false;
}

bool Reader::next(std::string *token, ReadError *error)
{
    for (;;) {
        while (pos_ < line_.size() && is_space(line_[pos_]))
            ++pos_;
        if (pos_ < line_.size()) {
            size_t from = pos_;
            while (pos_ < line_.size() && !is_space(line_[pos_]))
                ++pos_;
            *token = line_.substr(from, pos_ - from);
            token_line_ = line_no_;
            return true;
        }
        if (eof_ || bad_)
            return false;
        // The next line, no longer than kMaxLine.
        line_.clear();
        pos_ = 0;
        ++line_no_;
        int c;
        while ((c = std::getc(file_)) != EOF && c != '\n') {
            if (line_.size() >= kMaxLine)
                return fail(error, "a line longer than " + std::to_string(kMaxLine) + " bytes", line_no_);
            if (c == 0)
                return fail(error, "a zero byte: no text file", line_no_);
            line_ += static_cast<char>(c);
        }
        if (c == EOF) {
            if (std::ferror(file_))
                return fail(error, std::string("cannot read: ") + std::strerror(errno), line_no_);
            eof_ = true;
        }
    }
}

// The words up to "$end"; false (with a message) when the file ends first.
bool Reader::until_end(std::vector<std::string> *words, const std::string &what, ReadError *error)
{
    int from = token_line_;
    std::string t;
    size_t n = 0;
    while (next(&t, error)) {
        if (t == "$end")
            return true;
        if (words && ++n <= 16)
            words->push_back(t);
    }
    return bad_ ? false : fail(error, what + " is not closed by $end", from);
}

bool Reader::header(ReadError *error)
{
    std::vector<std::string> scope;
    std::string t;
    while (next(&t, error)) {
        std::vector<std::string> w;
        if (t == "$var") {
            int at = token_line_;
            if (!until_end(&w, "$var", error))
                return false;
            // $var TYPE WIDTH CODE NAME [RANGE] $end
            uint64_t width = 0;
            if (w.size() < 4 || w.size() > 5)
                return fail(error, "a $var needs a type, a width, a code and a name", at);
            if (!number(w[1], 1u << 20, &width) || width == 0)
                return fail(error, "a $var's width must be a number from 1 to 1048576, not '" +
                                       text::excerpt(w[1]) + "'", at);
            if (wires_.size() >= kMaxWires)
                return fail(error, "more than " + std::to_string(kMaxWires) + " wires", at);
            Declared d;
            d.name = w[3].substr(0, w[3].find('['));
            for (const std::string &s : scope)
                d.scope += (d.scope.empty() ? "" : ".") + s;
            d.width = static_cast<int>(width);
            d.line = at;
            codes_[w[2]].push_back(static_cast<uint32_t>(wires_.size()));
            wires_.push_back(d);
        } else if (t == "$scope") {
            int at = token_line_;
            if (!until_end(&w, "$scope", error))
                return false;
            if (w.size() != 2)
                return fail(error, "a $scope needs a type and a name", at);
            if (scope.size() >= 64)
                return fail(error, "scopes nested more than 64 deep", at);
            scope.push_back(w[1]);
        } else if (t == "$upscope") {
            int at = token_line_;
            if (!until_end(nullptr, "$upscope", error))
                return false;
            if (scope.empty())
                return fail(error, "an $upscope outside any $scope", at);
            scope.pop_back();
        } else if (t == "$timescale") {
            int at = token_line_;
            if (!until_end(&w, "$timescale", error))
                return false;
            std::string joined;
            for (const std::string &s : w)
                joined += s;
            unit_fs_ = timescale_fs(joined);
            if (!unit_fs_)
                return fail(error, "a $timescale must be 1, 10 or 100 of s, ms, us, ns, ps or fs, not '" +
                                       text::excerpt(joined) + "'", at);
        } else if (t == "$enddefinitions") {
            end_line_ = token_line_;
            return until_end(nullptr, "$enddefinitions", error);
        } else if (t == "$date" || t == "$version" || t == "$comment") {
            if (!until_end(nullptr, t, error))
                return false;
        } else {
            return fail(error, "'" + text::excerpt(t) + "' where a declaration ($var, $scope...) belongs");
        }
    }
    return bad_ ? false : fail(error, "the file ends before $enddefinitions", std::max(token_line_, 1));
}

bool Reader::values(const std::vector<bool> &wanted, std::vector<Change> *changes, uint64_t *end_ns,
                    ReadError *error)
{
    uint64_t now = 0;
    *end_ns = 0;
    std::string t;
    while (next(&t, error)) {
        if (t[0] == '#') {
            uint64_t units = 0;
            if (!number(t.substr(1), UINT64_MAX, &units))
                return fail(error, "a timestamp must be # and a number, not '" + text::excerpt(t) + "'");
            unsigned __int128 ns = static_cast<unsigned __int128>(units) * unit_fs_ / 1000000;
            if (ns > kMaxTimeNs)
                return fail(error, "a timestamp past " + std::to_string(kMaxTimeNs / 1000000000) +
                                       " s: '" + text::excerpt(t) + "'");
            if (static_cast<uint64_t>(ns) < now)
                return fail(error, "time goes back: '" + text::excerpt(t) + "'");
            now = *end_ns = static_cast<uint64_t>(ns);
            continue;
        }
        if (t == "$dumpvars" || t == "$dumpall" || t == "$dumpon" || t == "$dumpoff" || t == "$end")
            continue;
        if (t == "$comment") {
            if (!until_end(nullptr, t, error))
                return false;
            continue;
        }
        std::string value, code;
        char c = t[0];
        if (c == 'b' || c == 'B' || c == 'r' || c == 'R') {
            value = t.substr(1);
            if ((c == 'b' || c == 'B') && !bits(value))
                return fail(error, "a vector's value must be bits 0, 1, x or z, not '" + text::excerpt(t) + "'");
            if (!next(&code, error))
                return bad_ ? false : fail(error, "a value without its wire's code");
        } else if (std::strchr("01xXzZ", c)) {
            value = t.substr(0, 1);
            code = t.substr(1);
            if (code.empty() && !next(&code, error))
                return bad_ ? false : fail(error, "a value without its wire's code");
        } else {
            return fail(error, "'" + text::excerpt(t) + "' is no value change, timestamp or command");
        }
        auto it = codes_.find(code);
        if (it == codes_.end())
            return fail(error, "a value of the code '" + text::excerpt(code) + "', which no $var declares");
        if (c == 'b' || c == 'B' || c == 'r' || c == 'R')
            continue;
        for (uint32_t w : it->second) {
            if (wires_[w].width != 1)
                return fail(error, "a one-bit value for " + text::excerpt(wires_[w].name) + ", which is " +
                                       std::to_string(wires_[w].width) + " bits wide");
            if (w >= wanted.size() || !wanted[w])
                continue;
            if (changes->size() >= kMaxChanges)
                return fail(error, "more than " + std::to_string(kMaxChanges) + " changes of the wires played");
            changes->push_back(Change{now, w, static_cast<int8_t>(value == "0" ? 0 : value == "1" ? 1 : -1)});
        }
    }
    return !bad_;
}

}  // namespace vcd
