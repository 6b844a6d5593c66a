#include "board/registry_file.h"

#include "board/folder.h"
#include "board/file_util.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <string_view>
#include <unordered_set>

#include "common/text.h"

namespace board {
namespace reg {
namespace {

const char *const kRoots[] = {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER", "HKEY_CLASSES_ROOT",
                              "HKEY_USERS"};

char fold(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

std::string folded(const std::string &s)
{
    std::string out = s;
    for (char &c : out)
        c = fold(c);
    return out;
}

// True when path lies at or below key.
bool within(const std::string &path, const std::string &key)
{
    if (path.size() < key.size() || !same_name(path.substr(0, key.size()), key))
        return false;
    return path.size() == key.size() || path[key.size()] == '\\';
}

std::string parent_of(const std::string &path)
{
    size_t cut = path.rfind('\\');
    return cut == std::string::npos ? std::string() : path.substr(0, cut);
}

// ---- reading ----

const char kBom[] = "\xEF\xBB\xBF";
const char kHex[] = "=hex";

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

    [[noreturn]] void fail(const std::string &message) const
    {
        throw Damaged{file, line, message};
    }

    static int hex_digit(char c)
    {
        if (c >= '0' && c <= '9')
            return c - '0';
        c = fold(c);
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }

    // "text" with \\ and \" escapes, from s[*at] (the opening quote).
    std::string quoted(std::string_view s, size_t *at) const
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

    std::vector<uint8_t> hex_bytes(std::string_view s) const
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

    static std::vector<uint8_t> utf16_bytes(const std::string &utf8, bool *ok)
    {
        std::vector<uint8_t> out;
        *ok = true;
        auto put = [&](uint32_t u) {
            out.push_back(static_cast<uint8_t>(u & 0xFF));
            out.push_back(static_cast<uint8_t>(u >> 8));
        };
        for (size_t i = 0; i < utf8.size();) {
            // Bytes that are no character would be stored as other text.
            uint32_t c;
            if (!text::next_utf8(utf8, &i, &c)) {
                *ok = false;
                return out;
            }
            if (c >= 0x10000) {
                c -= 0x10000;
                put(0xD800 + (c >> 10));
                put(0xDC00 + (c & 0x3FF));
            } else {
                put(c);
            }
        }
        put(0);
        return out;
    }

    Value value_line(const std::string &s) const
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
            bool ok;
            v.type = kSz;
            v.data = utf16_bytes(text, &ok);
            if (!ok)
                fail("a string is not valid UTF-8");
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

    // Byte ranges of what was read, for a later write that keeps the rest.
    Layout *layout = nullptr;

    // One logical line from text[*pos]: a line of hex data ending in a
    // backslash goes on in the next.  Leading and trailing blanks and the
    // line ends are dropped; *pos moves past the line end.
    static std::string logical_line(const std::string &text, size_t *pos, int *lines)
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

    Hive parse(const std::string &text)
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
                if (s != "REGEDIT4" && s != "Windows Registry Editor Version 5.00")
                    fail("the first line must be REGEDIT4");
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
                        names.insert(folded(w.name));
                twice = !names.insert(folded(v.name)).second;
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
};

// ---- writing ----

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
    text->clear();
    for (size_t i = 0; i + 2 < n; i += 2) {
        uint32_t c = data[i] | (data[i + 1] << 8);
        if (c < 0x20)
            return false;
        if (c >= 0xD800 && c < 0xDC00) {
            if (i + 4 >= n)
                return false;
            uint32_t lo = data[i + 2] | (data[i + 3] << 8);
            if (lo < 0xDC00 || lo >= 0xE000)
                return false;
            c = 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00);
            i += 2;
        } else if (c >= 0xDC00 && c < 0xE000) {
            return false;
        }
        if (c < 0x80) {
            *text += static_cast<char>(c);
        } else if (c < 0x800) {
            *text += static_cast<char>(0xC0 | (c >> 6));
            *text += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            *text += static_cast<char>(0xE0 | (c >> 12));
            *text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *text += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            *text += static_cast<char>(0xF0 | (c >> 18));
            *text += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            *text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *text += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return true;
}

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

// ---- the file ----

std::string lock_path() { return board::path("registry.lock"); }
std::string protected_path() { return board::path("registry.protected"); }

std::string read_or_empty(const std::string &file, bool *exists)
{
    std::string text;
    if (!file_util::read_file(file, &text, exists))
        throw Error{"cannot read " + file + ": " + std::strerror(errno)};
    return text;
}

// The registry file's text; the default registry's when there is no file.
std::string registry_text(const std::string &file)
{
    bool exists;
    std::string text = read_or_empty(file, &exists);
    return exists ? text : serialise(default_hive());
}

// What tells one registry file from another without reading it: a file
// replaced (renamed over) is a new inode, one changed in place has a new
// size or change time.
struct FileId {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    struct timespec mtime = {}, ctime = {};

    bool operator==(const FileId &o) const
    {
        return exists == o.exists && dev == o.dev && ino == o.ino && size == o.size &&
               mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec &&
               ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
    }
};

FileId file_id(const std::string &file)
{
    FileId id;
    struct stat st;
    if (stat(file.c_str(), &st) != 0) {
        if (errno != ENOENT)
            throw Error{"cannot read " + file + ": " + std::strerror(errno)};
        return id;
    }
    id.exists = true;
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    id.size = st.st_size;
    id.mtime = st.st_mtim;
    id.ctime = st.st_ctim;
    return id;
}

constexpr size_t kCompareBytesBelow = 4u << 20;

// The registry text with the identity of the file it came from; a file
// replaced while it was read is read again.  False when it kept changing.
bool identified_text(const std::string &file, std::string *text, FileId *id)
{
    for (int tries = 0; tries < 3; ++tries) {
        FileId before = file_id(file);
        *text = registry_text(file);
        *id = file_id(file);
        if (before == *id)
            return true;
    }
    return false;
}

std::atomic<uint64_t> readings{0};
std::atomic<int64_t> lock_nanoseconds{0};

}  // namespace

bool same_name(const std::string &a, const std::string &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (fold(a[i]) != fold(b[i]))
            return false;
    return true;
}

bool is_root(const std::string &name)
{
    for (const char *r : kRoots)
        if (same_name(name, r))
            return true;
    return false;
}

namespace {

constexpr size_t kNotUtf8 = static_cast<size_t>(-1);
constexpr size_t kControl = static_cast<size_t>(-2);

// The length of name[begin, end) in UTF-16 units, or kNotUtf8 or kControl
// for a name that is no text or holds a control character.
size_t name_length(const std::string &name, size_t begin, size_t end)
{
    size_t units = 0;
    for (size_t i = begin; i < end;) {
        uint32_t c;
        if (!text::next_utf8(name, &i, &c) || i > end)
            return kNotUtf8;
        if (c < 0x20)
            return kControl;
        units += c >= 0x10000 ? 2 : 1;
    }
    return units;
}

}  // namespace

const char *key_path_fault(const std::string &path)
{
    size_t pos = path.find('\\');
    if (!is_root(path.substr(0, pos)))
        return "a key path must start with a root key such as HKEY_LOCAL_MACHINE";
    size_t depth = 0;
    while (pos != std::string::npos) {
        size_t end = path.find('\\', pos + 1);
        size_t stop = end == std::string::npos ? path.size() : end;
        if (stop == pos + 1)
            return "a key path has an empty name in it";
        size_t n = name_length(path, pos + 1, stop);
        if (n == kNotUtf8)
            return "a key path has bytes that are not UTF-8 in it";
        if (n == kControl)
            return "a key path has a control character in it";
        if (n > kMaxKeyName)
            return "a key name is longer than 255 characters";
        if (++depth > kMaxDepth)
            return "keys nest more than 16 levels below their root";
        pos = end;
    }
    return nullptr;
}

bool valid_key_path(const std::string &path) { return key_path_fault(path) == nullptr; }

const char *value_name_fault(const std::string &name)
{
    size_t n = name_length(name, 0, name.size());
    if (n == kNotUtf8)
        return "a value name has bytes that are not UTF-8 in it";
    if (n == kControl)
        return "a value name has a control character in it";
    if (n > kMaxValueName)
        return "a value name is longer than 255 characters";
    return nullptr;
}

Key *Hive::find(const std::string &path)
{
    auto it = index_.find(folded(path));
    if (it == index_.end())
        return nullptr;
    touched_[it->second] = 1;
    return &keys_[it->second];
}

const Key *Hive::find(const std::string &path) const
{
    auto it = index_.find(folded(path));
    return it == index_.end() ? nullptr : &keys_[it->second];
}

void Hive::add(const std::string &path)
{
    index_[folded(path)] = keys_.size();
    keys_.push_back(Key{path, {}});
    origin_.push_back(kNew);
    touched_.push_back(1);
}

Key *Hive::create(const std::string &path, bool *created)
{
    if (created)
        *created = false;
    if (Key *k = find(path))
        return k;
    // The missing parents first, from the top: up from the nearest until
    // one exists.  The roots always exist; a root gets a key of its own
    // only for values.
    std::vector<size_t> missing;
    for (size_t cut = path.rfind('\\'); cut != std::string::npos && cut > 0; cut = path.rfind('\\', cut - 1)) {
        std::string parent = path.substr(0, cut);
        if (parent.find('\\') == std::string::npos || static_cast<const Hive *>(this)->find(parent))
            break;
        missing.push_back(cut);
    }
    for (size_t k = missing.size(); k-- > 0;)
        add(path.substr(0, missing[k]));
    if (created)
        *created = true;
    add(path);
    return &keys_.back();
}

bool Hive::remove(const std::string &path)
{
    size_t kept = 0;
    for (size_t i = 0; i < keys_.size(); ++i) {
        if (within(keys_[i].path, path))
            continue;
        if (kept != i) {
            keys_[kept] = std::move(keys_[i]);
            origin_[kept] = origin_[i];
            touched_[kept] = touched_[i];
        }
        ++kept;
    }
    if (kept == keys_.size())
        return false;
    keys_.resize(kept);
    origin_.resize(kept);
    touched_.resize(kept);
    index_.clear();
    for (size_t i = 0; i < keys_.size(); ++i)
        index_[folded(keys_[i].path)] = i;
    return true;
}

std::vector<std::string> Hive::subkeys(const std::string &path) const
{
    std::vector<std::string> out;
    for (const Key &k : keys_)
        if (k.path.size() > path.size() && within(k.path, path) &&
            k.path.find('\\', path.size() + 1) == std::string::npos)
            out.push_back(k.path.substr(path.size() + 1));
    return out;
}

Value *Hive::find_value(Key &key, const std::string &name)
{
    for (Value &v : key.values)
        if (same_name(v.name, name))
            return &v;
    return nullptr;
}

const Value *Hive::find_value(const Key &key, const std::string &name)
{
    return find_value(const_cast<Key &>(key), name);
}

void Hive::set_value(Key &key, const Value &value)
{
    if (Value *v = find_value(key, value.name)) {
        v->type = value.type;
        v->data = value.data;
    } else {
        key.values.push_back(value);
    }
}

bool Hive::remove_value(Key &key, const std::string &name)
{
    for (size_t i = 0; i < key.values.size(); ++i) {
        if (same_name(key.values[i].name, name)) {
            key.values.erase(key.values.begin() + static_cast<long>(i));
            return true;
        }
    }
    return false;
}

std::string Damaged::what() const
{
    return line > 0 ? file + " line " + std::to_string(line) + ": " + message
                    : file + ": " + message;
}

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
            by_name.emplace(folded(now[i].name), i);
        std::vector<char> kept(now.size(), 0);
        static const std::string file = "registry";
        Parser p{file};
        for (size_t i = 0; i < sec.value_count; ++i) {
            const Layout::Span &span = layout.values[sec.first_value + i];
            size_t pos = span.begin;
            int lines = 0;
            Value was = p.value_line(Parser::logical_line(text, &pos, &lines));
            auto it = by_name.find(folded(was.name));
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
            if (!kept[i] && by_name[folded(now[i].name)] == i)
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
                   hive.index_.find(folded(parent)) == hive.index_.end())
                parent = parent_of(parent);
            if (parent.find('\\') != std::string::npos)
                orphans.insert(parent);
        }
        for (const std::string &parent : orphans) {
            auto it = hive.index_.find(folded(parent));
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
                last.emplace(folded(path.substr(0, cut)), Layout::kNone);
        }
        for (const Layout::Section &sec : layout.sections) {
            if (!alive[sec.key])
                continue;
            std::string path = folded(section_path(sec));
            for (size_t cut = path.size(); cut != std::string::npos && cut > 0;
                 cut = cut == 0 ? std::string::npos : path.rfind('\\', cut - 1)) {
                auto it = last.find(path.substr(0, cut));
                if (it != last.end())
                    it->second = sec.values_end;
            }
        }
        for (size_t j : placed) {
            const Key &key = hive.keys_[j];
            std::string path = folded(key.path);
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

Hive parse(const std::string &text, const std::string &file)
{
    return Splicer::parse(text, file, nullptr);
}

bool edit(std::string *text, const std::string &file, const std::function<bool(Hive &)> &change)
{
    Layout layout;
    Hive hive = Splicer::parse(*text, file, &layout);
    if (!change(hive))
        return false;
    *text = Splicer::apply(*text, Splicer(*text, layout, hive).plan());
    return true;
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
            char p = x[i] == '\\' ? '\1' : fold(x[i]), q = y[i] == '\\' ? '\1' : fold(y[i]);
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

Hive default_hive()
{
    Hive h;
    // The debug port switch's key; the value itself is written by the applet.
    h.create("HKEY_LOCAL_MACHINE\\Debug");
    // The Control Panel's own key; a fresh device has no PC connection
    // chosen yet, so no ControlPanel\Comm.
    h.create("HKEY_CURRENT_USER\\ControlPanel");
    return h;
}

std::string file_path() { return board::path("registry.reg"); }

Hive read()
{
    std::string file = file_path();
    std::string text;
    {
        file_util::Lock lock(lock_path(), false);
        text = registry_text(file);
    }
    return Splicer::parse(text, file, nullptr);
}

bool update(const std::function<bool(Hive &)> &change)
{
    // Parsed before the lock; under it, the file is only checked to be the
    // one parsed, and parsed again when another writer changed it since.
    std::string file = file_path();
    std::string text;
    FileId id;
    Layout layout;
    Hive hive;
    bool parsed = false;
    if (identified_text(file, &text, &id)) {
        try {
            hive = Splicer::parse(text, file, &layout);
            parsed = true;
        } catch (const Damaged &) {
            // Told below, once the lock is held and the file read again.
        }
    }
    file_util::Lock lock(lock_path(), true);
    struct Timer {
        std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
        ~Timer()
        {
            lock_nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::steady_clock::now() - start)
                                   .count();
        }
    } timer;
    bool same = parsed && file_id(file) == id;
    // Times are kept to a clock tick or so, and a freed inode number may be
    // given to the next file: two quick writes of a small file in one tick
    // could look like none, so a small file is compared byte for byte.  A
    // large one takes far longer than a tick to write.
    if (same && static_cast<size_t>(id.size) <= kCompareBytesBelow)
        same = registry_text(file) == text;
    if (!same) {
        hive = Hive();
        layout = Layout();
        text = registry_text(file);
        hive = Splicer::parse(text, file, &layout);
    }
    if (!change(hive))
        return false;
    // The hive is freed once the lock is given back: taking a large one
    // apart costs more than writing the file.
    file_util::replace_file(file, Splicer::apply(text, Splicer(text, layout, hive).plan()));
    return true;
}

double last_update_lock_seconds() { return static_cast<double>(lock_nanoseconds) / 1e9; }

void reset()
{
    file_util::Lock lock(lock_path(), true);
    file_util::replace_file(file_path(), serialise(default_hive()));
    file_util::replace_file(protected_path(), "");
}

namespace {
// More than any list of protected keys: each line names one key, of at
// most 16 levels of 255 characters.
constexpr size_t kProtectedLimit = 1 << 20;

std::vector<std::string> protected_locked()
{
    bool exists;
    std::string text;
    file_util::Folder folder(board::dir());
    if (!file_util::read_at(folder, "registry.protected", &text, &exists, kProtectedLimit)) {
        int e = errno;
        std::string file = protected_path();
        if (e == EFBIG)
            throw Error{file + " is larger than 1 MiB, more than any list of protected keys; "
                               "remove it or run 'board reset'"};
        throw Error{"cannot read " + file + ": " + std::strerror(e)};
    }
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        // A line saved with CR LF still names its key (no key path holds a CR).
        size_t stop = end > pos && text[end - 1] == '\r' ? end - 1 : end;
        if (stop > pos)
            out.push_back(text.substr(pos, stop - pos));
        pos = end + 1;
    }
    return out;
}
}  // namespace

std::vector<std::string> protected_keys()
{
    file_util::Lock lock(lock_path(), false);
    return protected_locked();
}

bool is_protected(const std::string &path)
{
    for (const std::string &k : protected_keys())
        if (within(path, k))
            return true;
    return false;
}

bool set_protected(const std::string &path, bool on)
{
    file_util::Lock lock(lock_path(), true);
    std::vector<std::string> keys = protected_locked();
    auto same = [&](const std::string &k) { return same_name(k, path); };
    bool was = std::find_if(keys.begin(), keys.end(), same) != keys.end();
    if (was == on)
        return was;
    if (on)
        keys.push_back(path);
    else
        keys.erase(std::remove_if(keys.begin(), keys.end(), same), keys.end());
    std::string text;
    for (const std::string &k : keys)
        text += k + "\n";
    file_util::replace_file(protected_path(), text);
    return was;
}

}  // namespace reg
}  // namespace board
