// The hive: the registry's keys and values as one program holds them, found
// by path without regard to case, and the limits of what it may hold.
#include "reg_hive.h"

#include "board/registry_file.h"

#include "common/text.h"

namespace board {
namespace reg {
namespace {

const char *const kRoots[] = {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER", "HKEY_CLASSES_ROOT",
                              "HKEY_USERS"};

}  // namespace

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

bool same_name(const std::string &a, const std::string &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (text::fold_ascii(a[i]) != text::fold_ascii(b[i]))
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
    auto it = index_.find(text::fold_ascii(path));
    if (it == index_.end())
        return nullptr;
    touched_[it->second] = 1;
    return &keys_[it->second];
}

const Key *Hive::find(const std::string &path) const
{
    auto it = index_.find(text::fold_ascii(path));
    return it == index_.end() ? nullptr : &keys_[it->second];
}

void Hive::add(const std::string &path)
{
    index_[text::fold_ascii(path)] = keys_.size();
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
        index_[text::fold_ascii(keys_[i].path)] = i;
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

}  // namespace reg
}  // namespace board
