#include "registry_file.h"

#include "board.h"
#include "file_util.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unordered_set>

#include "utf8.h"

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
    std::string quoted(const std::string &s, size_t *at) const
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

    std::vector<uint8_t> hex_bytes(const std::string &s) const
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
            if (!next_utf8(utf8, &i, &c)) {
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

    // Names reach programs as UTF-16, so they must be text as strings must.
    void utf8_only(const std::string &name, const char *what) const
    {
        bool ok;
        utf16_bytes(name, &ok);
        if (!ok)
            fail(std::string(what) + " is not valid UTF-8");
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
            utf8_only(v.name, "a value name");
        }
        if (i == s.size() || s[i] != '=')
            fail("expected = after the value name");
        std::string rest = s.substr(i + 1);
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
            std::string digits = rest.substr(6);
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

    Hive parse(const std::string &text)
    {
        Hive hive;
        Key *key = nullptr;
        // Key paths met so far and the current key's value names, in capitals.
        std::unordered_set<std::string> sections, names;
        bool header = false;
        size_t pos = 0;
        int next_line = 1;
        while (pos < text.size()) {
            // One logical line: a line ending in a backslash goes on.
            std::string s;
            line = next_line;
            for (;;) {
                size_t end = text.find('\n', pos);
                std::string piece = text.substr(pos, end == std::string::npos ? end : end - pos);
                pos = end == std::string::npos ? text.size() : end + 1;
                ++next_line;
                if (!piece.empty() && piece.back() == '\r')
                    piece.pop_back();
                size_t b = piece.find_first_not_of(" \t");
                piece = b == std::string::npos ? std::string() : piece.substr(b);
                // Only hex data is split over lines ("hex:01,02,\"); the
                // first line tells, so a long value is joined in linear time.
                bool more = !piece.empty() && piece.back() == '\\' && piece[0] != '[' &&
                            (!s.empty() || piece.find("=hex") != std::string::npos);
                if (more)
                    piece.pop_back();
                s += piece;
                if (!more || pos >= text.size())
                    break;
            }
            while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
                s.pop_back();
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
                    fail("unknown root key '" + root + "'");
                // A key no registry call could open is a mistake, not a key.
                if (!valid_key_path(path))
                    fail("a key path has an empty name or a control character in it");
                utf8_only(path, "a key path");
                if (!sections.insert(folded(path)).second)
                    fail("key [" + path + "] appears twice");
                names.clear();
                key = hive.create(path);
                continue;
            }
            if (s[0] != '"' && s[0] != '@')
                fail("expected a [key] line or a \"name\"=value line");
            if (!key)
                fail("a value before the first [key] line");
            Value v = value_line(s);
            if (!names.insert(folded(v.name)).second)
                fail("value \"" + v.name + "\" appears twice in [" + key->path + "]");
            key->values.push_back(v);
        }
        if (!header) {
            line = 0;
            fail("empty, or not a registry file (no REGEDIT4 line)");
        }
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

Hive read_locked()
{
    std::string file = file_path();
    bool exists;
    std::string text = read_or_empty(file, &exists);
    return exists ? parse(text, file) : default_hive();
}

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

bool valid_key_path(const std::string &path)
{
    size_t pos = path.find('\\');
    if (!is_root(path.substr(0, pos)))
        return false;
    while (pos != std::string::npos) {
        size_t end = path.find('\\', pos + 1);
        std::string name = path.substr(pos + 1, end == std::string::npos ? end : end - pos - 1);
        if (name.empty())
            return false;
        for (unsigned char c : name)
            if (c < 0x20)
                return false;
        pos = end;
    }
    return true;
}

Key *Hive::find(const std::string &path)
{
    auto it = index_.find(folded(path));
    return it == index_.end() ? nullptr : &keys_[it->second];
}

const Key *Hive::find(const std::string &path) const
{
    return const_cast<Hive *>(this)->find(path);
}

Key *Hive::create(const std::string &path, bool *created)
{
    if (created)
        *created = false;
    if (Key *k = find(path))
        return k;
    // The roots always exist; a root gets a key of its own only for values.
    std::string parent = parent_of(path);
    if (parent.find('\\') != std::string::npos)
        create(parent);
    if (created)
        *created = true;
    index_[folded(path)] = keys_.size();
    keys_.push_back(Key{path, {}});
    return &keys_.back();
}

bool Hive::remove(const std::string &path)
{
    size_t before = keys_.size();
    keys_.erase(std::remove_if(keys_.begin(), keys_.end(),
                               [&](const Key &k) { return within(k.path, path); }),
                keys_.end());
    if (keys_.size() == before)
        return false;
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

Hive parse(const std::string &text, const std::string &file)
{
    Parser p{file};
    return p.parse(text);
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
    file_util::Lock lock(lock_path(), false);
    return read_locked();
}

bool update(const std::function<bool(Hive &)> &change)
{
    file_util::Lock lock(lock_path(), true);
    Hive hive = read_locked();
    if (!change(hive))
        return false;
    file_util::replace_file(file_path(), serialise(hive));
    return true;
}

void reset()
{
    file_util::Lock lock(lock_path(), true);
    file_util::replace_file(file_path(), serialise(default_hive()));
    file_util::replace_file(protected_path(), "");
}

namespace {
std::vector<std::string> protected_locked()
{
    bool exists;
    std::string text = read_or_empty(protected_path(), &exists);
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
