// The splicer: a hive's changes written into the registry text it was read
// from, rewriting, adding or taking out only the lines of what changed and
// keeping everything else (comments, order, spelling) byte for byte.
#include "reg_splice.h"

#include "reg_hive.h"

#include "board/folder.h"

#include <algorithm>
#include <atomic>
#include <unordered_map>
#include <unordered_set>

#include "common/text.h"

namespace board {
namespace reg {
namespace {

// Each reading of a text is told from every other, so that a hive is only
// spliced into the text it was read from.
std::atomic<uint64_t> readings{0};

}  // namespace

// Reads the hive back from a text and writes what changed in it into that
// text; the friend of Hive that knows which of its keys came from where.
struct Splicer {
    static Hive parse(const std::string &text, const std::string &file, Layout *layout)
    {
        Parser p{file};
        p.layout = layout;
        Hive h = p.parse(text);
        size_t n = h.keys_.size();
        h.origin_.resize(n);
        for (size_t i = 0; i < n; ++i)
            h.origin_[i] = i;
        h.touched_.assign(n, 0);
        h.source_ = ++readings;
        if (layout)
            layout->source = h.source_;
        return h;
    }

    struct Edit {
        size_t begin, end;  // the bytes replaced
        std::string text;
    };

    const std::string &text;
    const Layout &layout;
    const Hive &hive;
    std::string eol;
    std::vector<Edit> edits;

    Splicer(const std::string &t, const Layout &l, const Hive &h) : text(t), layout(l), hive(h)
    {
        // New lines end as the file's first line does.
        size_t nl = text.find('\n');
        eol = nl != std::string::npos && nl > 0 && text[nl - 1] == '\r' ? "\r\n" : "\n";
    }

    std::string lines(const std::string &s) const
    {
        if (eol == "\n")
            return s + eol;
        std::string out;
        for (char c : s) {
            if (c == '\n')
                out += '\r';
            out += c;
        }
        return out + eol;
    }

    // What goes before text inserted at offset: a line end, when the file's
    // last line has none.
    std::string lead(size_t at) const
    {
        if (at != text.size() || text.empty() || text.back() == '\n')
            return std::string();
        // A last line cut after its CR only lacks the LF.
        return text.back() == '\r' ? "\n" : eol;
    }

    void insert(size_t at, const std::string &s) { edits.push_back(Edit{at, at, lead(at) + s}); }

    // The [key] line's path of a section.
    std::string section_path(const Layout::Section &sec) const
    {
        size_t pos = sec.begin;
        int lines = 0;
        std::string s = Parser::logical_line(text, &pos, &lines);
        return s.substr(1, s.size() - 2);
    }

    // A removed section goes with the blank line before it, so that adding
    // and removing a key leaves the file as it was.
    void remove_section(const Layout::Section &sec)
    {
        size_t begin = sec.begin;
        if (begin >= 1 && text[begin - 1] == '\n') {
            size_t prev = begin >= 2 ? text.rfind('\n', begin - 2) : std::string::npos;
            prev = prev == std::string::npos ? 0 : prev + 1;
            if (text.find_first_not_of(" \t\r", prev) >= begin - 1 &&
                !(prev == 0 && text.compare(0, 3, kBom) == 0))
                begin = prev;
        }
        edits.push_back(Edit{begin, sec.values_end, std::string()});
    }

    // The values of a key that has a section: changed lines rewritten,
    // removed ones taken out, new ones added after the last.
    void diff_values(const Key &key, const Layout::Section &sec)
    {
        const std::vector<Value> &now = key.values;
        std::unordered_map<std::string, size_t> by_name;
        for (size_t i = 0; i < now.size(); ++i)
            by_name.emplace(text::fold_ascii(now[i].name), i);
        std::vector<char> kept(now.size(), 0);
        static const std::string file = "registry";
        Parser p{file};
        for (size_t i = 0; i < sec.value_count; ++i) {
            const Layout::Span &span = layout.values[sec.first_value + i];
            size_t pos = span.begin;
            int lines = 0;
            Value was = p.value_line(Parser::logical_line(text, &pos, &lines));
            auto it = by_name.find(text::fold_ascii(was.name));
            if (it == by_name.end()) {
                edits.push_back(Edit{span.begin, span.end, std::string()});
                continue;
            }
            const Value &v = now[it->second];
            kept[it->second] = 1;
            if (v.name != was.name || v.type != was.type || v.data != was.data)
                edits.push_back(Edit{span.begin, span.end, lines_of(v, span.end)});
        }
        std::string added;
        for (size_t i = 0; i < now.size(); ++i)
            if (!kept[i] && by_name[text::fold_ascii(now[i].name)] == i)
                added += lines(value_text(now[i]));
        if (!added.empty())
            insert(sec.values_end, added);
    }

    // A value's new lines in place of old ones that end at end: the last
    // line of the file keeps having no line end if it had none.
    std::string lines_of(const Value &v, size_t end) const
    {
        std::string s = lines(value_text(v));
        if (end == text.size() && !text.empty() && text.back() != '\n')
            s.resize(s.size() - eol.size());
        return s;
    }

    std::string section_text(const Key &key) const
    {
        std::string s = eol + "[" + key.path + "]" + eol;
        for (const Value &v : key.values)
            s += lines(value_text(v));
        return s;
    }

    // The edits that write the hive's changes into the text, in order.
    std::vector<Edit> plan()
    {
        const size_t none = Layout::kNone;
        // A hive that is not the one read with this layout (change() put
        // another in its place) is written as all new.
        bool ours = hive.source_ != 0 && hive.source_ == layout.source &&
                    hive.origin_.size() == hive.keys_.size();
        size_t n0 = layout.section_of.size();
        std::vector<char> alive(n0, 0);
        for (size_t j = 0; ours && j < hive.keys_.size(); ++j)
            if (hive.origin_[j] != Hive::kNew && hive.origin_[j] < n0)
                alive[hive.origin_[j]] = 1;
            else if (hive.origin_[j] != Hive::kNew)
                ours = false;
        if (!ours)
            alive.assign(n0, 0);

        // Keys that are gone; a key above them that stays, and that only
        // they implied, gets a section of its own.
        std::vector<char> needs_section(hive.keys_.size(), 0);
        std::unordered_set<std::string> orphans;
        for (const Layout::Section &sec : layout.sections) {
            if (alive[sec.key])
                continue;
            remove_section(sec);
            // The nearest key above it that stays.
            std::string parent = parent_of(section_path(sec));
            while (parent.find('\\') != std::string::npos &&
                   hive.index_.find(text::fold_ascii(parent)) == hive.index_.end())
                parent = parent_of(parent);
            if (parent.find('\\') != std::string::npos)
                orphans.insert(parent);
        }
        for (const std::string &parent : orphans) {
            auto it = hive.index_.find(text::fold_ascii(parent));
            if (it == hive.index_.end())
                continue;
            size_t o = ours ? hive.origin_[it->second] : Hive::kNew;
            if (o == Hive::kNew || layout.section_of[o] != none)
                continue;
            bool implied = false;
            for (const Layout::Section &sec : layout.sections)
                if (alive[sec.key] && within(section_path(sec), parent))
                    implied = true;
            if (!implied)
                needs_section[it->second] = 1;
        }

        // Keys that were handed out for changing, and new keys.
        std::vector<size_t> placed;
        for (size_t j = 0; j < hive.keys_.size(); ++j) {
            size_t o = ours ? hive.origin_[j] : Hive::kNew;
            const Key &key = hive.keys_[j];
            if (o != Hive::kNew && layout.section_of[o] != none) {
                if (hive.touched_[j])
                    diff_values(key, layout.sections[layout.section_of[o]]);
            } else if (o == Hive::kNew || needs_section[j] || (hive.touched_[j] && !key.values.empty())) {
                placed.push_back(j);
            }
        }
        place_sections(placed, alive);

        std::stable_sort(edits.begin(), edits.end(), [](const Edit &a, const Edit &b) {
            return a.begin != b.begin ? a.begin < b.begin : a.end < b.end;
        });
        return std::move(edits);
    }

    static std::string apply(const std::string &text, const std::vector<Edit> &edits)
    {
        size_t grow = 0;
        for (const Edit &e : edits)
            grow += e.text.size();
        std::string out;
        out.reserve(text.size() + grow);
        size_t at = 0;
        for (const Edit &e : edits) {
            if (e.begin < at)
                throw Error{"registry write: two changes overlap in the file"};
            out.append(text, at, e.begin - at);
            out += e.text;
            at = e.end;
        }
        out.append(text, at, std::string::npos);
        return out;
    }

    // A new section goes after the last section of its own subtree (a key
    // the file names only through its subkeys), else of its parent's (the
    // parent's and its other subkeys'), else of the nearest ancestor's that
    // has one, else at the end of the file.
    void place_sections(const std::vector<size_t> &placed, const std::vector<char> &alive)
    {
        if (placed.empty())
            return;
        std::unordered_map<std::string, size_t> last;
        for (size_t j : placed) {
            const std::string &path = hive.keys_[j].path;
            for (size_t cut = path.size(); cut != std::string::npos && cut > 0;
                 cut = path.rfind('\\', cut - 1))
                last.emplace(text::fold_ascii(path.substr(0, cut)), Layout::kNone);
        }
        for (const Layout::Section &sec : layout.sections) {
            if (!alive[sec.key])
                continue;
            std::string path = text::fold_ascii(section_path(sec));
            for (size_t cut = path.size(); cut != std::string::npos && cut > 0;
                 cut = cut == 0 ? std::string::npos : path.rfind('\\', cut - 1)) {
                auto it = last.find(path.substr(0, cut));
                if (it != last.end())
                    it->second = sec.values_end;
            }
        }
        for (size_t j : placed) {
            const Key &key = hive.keys_[j];
            std::string path = text::fold_ascii(key.path);
            size_t at = text.size();
            for (size_t cut = path.size(); cut != std::string::npos && cut > 0;
                 cut = path.rfind('\\', cut - 1)) {
                auto it = last.find(path.substr(0, cut));
                if (it != last.end() && it->second != Layout::kNone) {
                    at = it->second;
                    break;
                }
            }
            insert(at, section_text(key));
        }
    }
};

Hive read_text(const std::string &text, const std::string &file, Layout *layout)
{
    return Splicer::parse(text, file, layout);
}

std::string splice(const std::string &text, const Layout &layout, const Hive &hive)
{
    return Splicer::apply(text, Splicer(text, layout, hive).plan());
}

Hive parse(const std::string &text, const std::string &file)
{
    return read_text(text, file, nullptr);
}

bool edit(std::string *text, const std::string &file, const std::function<bool(Hive &)> &change)
{
    Layout layout;
    Hive hive = read_text(*text, file, &layout);
    if (!change(hive))
        return false;
    *text = splice(*text, layout, hive);
    return true;
}

}  // namespace reg
}  // namespace board
