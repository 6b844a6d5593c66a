#include "vcd_reader.h"

#include <sstream>

namespace test_support {

std::string VcdFile::at(const std::string &wire, uint64_t t) const
{
    auto it = changes.find(wire);
    if (it == changes.end())
        return "";
    std::string v;
    for (const auto &c : it->second)
        if (c.first <= t)
            v = c.second;
    return v;
}

std::vector<uint64_t> VcdFile::edges(const std::string &wire, const std::string &value) const
{
    std::vector<uint64_t> out;
    auto it = changes.find(wire);
    if (it != changes.end())
        for (size_t i = 1; i < it->second.size(); ++i)
            if (it->second[i].second == value)
                out.push_back(it->second[i].first);
    return out;
}

namespace {

bool valid_bits(const std::string &v, size_t width)
{
    if (v.empty() || v.size() > width)
        return false;
    for (char c : v)
        if (c != '0' && c != '1' && c != 'x')
            return false;
    return true;
}

}  // namespace

VcdFile parse_vcd(const std::string &text, bool strict)
{
    VcdFile f;
    std::istringstream in(text);
    std::vector<std::string> tok;
    for (std::string t; in >> t;)
        tok.push_back(t);
    std::map<std::string, std::string> name_of;
    size_t i = 0;
    auto fail = [&](const std::string &why) {
        if (f.error.empty())
            f.error = why + " (token " + std::to_string(i) + ")";
        return f;
    };
    auto skip_to_end = [&](std::vector<std::string> *words) {
        for (++i; i < tok.size() && tok[i] != "$end"; ++i)
            if (words)
                words->push_back(tok[i]);
        return i < tok.size();
    };
    // Declarations.
    bool defined = false;
    while (i < tok.size() && !defined) {
        const std::string &t = tok[i];
        std::vector<std::string> w;
        if (t == "$var") {
            if (!skip_to_end(&w) || w.size() != 4)
                return fail("a $var without type, width, code and name");
            int width = std::stoi(w[1]);
            if (name_of.count(w[2]) || f.width.count(w[3]) || width < 1 || width > 32)
                return fail("a $var declared twice or of no width: " + w[3]);
            name_of[w[2]] = w[3];
            f.width[w[3]] = width;
        } else if (t == "$timescale") {
            if (!skip_to_end(&w) || w.empty())
                return fail("an empty $timescale");
            for (const std::string &s : w)
                f.timescale += s;
        } else if (t == "$enddefinitions") {
            if (!skip_to_end(nullptr))
                return fail("$enddefinitions not closed");
            defined = true;
        } else if (t == "$date" || t == "$version" || t == "$comment" || t == "$scope" ||
                   t == "$upscope") {
            if (!skip_to_end(nullptr))
                return fail(t + " not closed");
        } else {
            return fail("unknown declaration " + t);
        }
        ++i;
    }
    if (!defined)
        return fail("no $enddefinitions");
    // Values.
    bool have_time = false, in_dump = false, dumped = false;
    uint64_t now = 0;
    for (; i < tok.size(); ++i) {
        const std::string &t = tok[i];
        std::string value, code;
        if (t[0] == '#') {
            uint64_t next = std::stoull(t.substr(1));
            if (have_time && (next < now || (strict && next == now)))
                return fail("time goes back or repeats: " + t);
            if (strict && !have_time && next != 0)
                return fail("the first timestamp is not #0");
            if (strict && have_time && !dumped)
                return fail("no $dumpvars at #0");
            have_time = true;
            now = next;
            f.timestamps_text.push_back(t);
            continue;
        }
        if (t == "$dumpvars") {
            if (!have_time || now != 0 || dumped)
                return fail("$dumpvars not at #0");
            in_dump = true;
            continue;
        }
        if (t == "$end" && in_dump) {
            in_dump = false;
            dumped = true;
            if (strict)
                for (const auto &w : f.width)
                    if (!f.changes.count(w.first))
                        return fail("$dumpvars without " + w.first);
            continue;
        }
        if (t == "$comment") {
            std::vector<std::string> w;
            if (!skip_to_end(&w))
                return fail("a $comment not closed");
            std::string s;
            for (const std::string &x : w)
                s += (s.empty() ? "" : " ") + x;
            f.notes.push_back({now, s});
            continue;
        }
        if (!have_time)
            return fail("a value before the first timestamp: " + t);
        if (t[0] == 'b' || t[0] == 'B') {
            if (i + 1 >= tok.size())
                return fail("a vector without its code");
            value = t.substr(1);
            code = tok[++i];
        } else if (t[0] == '0' || t[0] == '1' || t[0] == 'x' || t[0] == 'X') {
            value = std::string(1, t[0] == 'X' ? 'x' : t[0]);
            code = t.substr(1);
        } else {
            return fail("not a value: " + t);
        }
        auto n = name_of.find(code);
        if (n == name_of.end())
            return fail("a value of an undeclared code: " + code);
        if (!valid_bits(value, static_cast<size_t>(f.width[n->second])) ||
            (strict && value.size() != static_cast<size_t>(f.width[n->second])))
            return fail("a value that does not fit " + n->second + ": " + value);
        auto &list = f.changes[n->second];
        if (strict && !list.empty() && list.back().second == value)
            return fail("a change of " + n->second + " that changes nothing at #" + std::to_string(now));
        if (!list.empty() && list.back().first == now)
            list.back().second = value;
        else
            list.push_back({now, value});
    }
    if (!have_time)
        return fail("no timestamp");
    f.end = now;
    return f;
}

}  // namespace test_support
