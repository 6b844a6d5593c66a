// The board's registry: one text file in the board folder, in the .reg
// syntax a person can read and edit ("REGEDIT4", [HKEY_...\Key] sections,
// "name"=dword:00000001, "name"="text", "name"=hex(n):..).  Every process on
// the board shares it.  A change is made under a lock on a side file: the
// registry as it is then is changed, only the lines of what changed are
// rewritten (comments, order and spelling of the rest stay as they were),
// and the whole file is written aside, flushed and renamed over the old one,
// so a writer killed half-way leaves the previous file whole and two writers
// never lose each other's values.
#pragma once

#ifdef CE_PRODUCT_CODE
#error "product code reaches the board only through the platform (platform/platform.h)"
#endif

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

namespace board {
namespace reg {

// Value types, as the platform numbers them.
constexpr uint32_t kNone = 0;
constexpr uint32_t kSz = 1;
constexpr uint32_t kBinary = 3;
constexpr uint32_t kDword = 4;

// What the board's registry can hold, as the platform documents it: a key
// name (one element of a path) of at most 255 characters, a value name of at
// most 255 characters, and keys nested at most 16 levels below their root.
// Characters are counted as the platform counts them, in UTF-16 units.
constexpr size_t kMaxKeyName = 255;
constexpr size_t kMaxValueName = 255;
constexpr size_t kMaxDepth = 16;

struct Value {
    std::string name;  // UTF-8; empty is the key's default value
    uint32_t type;
    std::vector<uint8_t> data;  // kept byte for byte
};

struct Key {
    std::string path;  // UTF-8, "HKEY_LOCAL_MACHINE\Debug"; as first created
    std::vector<Value> values;
};

// Names of keys and values compare without regard to case.
bool same_name(const std::string &a, const std::string &b);

struct Splicer;

// Every key of the registry, each with its full path.  A key's parents are
// keys of the hive as well.
class Hive {
public:
    Key *find(const std::string &path);
    const Key *find(const std::string &path) const;
    // The key, created with its missing parents when absent; created tells
    // whether it was.
    Key *create(const std::string &path, bool *created = nullptr);
    // Removes the key and every key below it; false when it is absent.
    bool remove(const std::string &path);
    // Names (last path element) of the keys directly below path, in order.
    std::vector<std::string> subkeys(const std::string &path) const;
    const std::vector<Key> &keys() const { return keys_; }

    static Value *find_value(Key &key, const std::string &name);
    static const Value *find_value(const Key &key, const std::string &name);
    static void set_value(Key &key, const Value &value);
    static bool remove_value(Key &key, const std::string &name);

private:
    friend struct Splicer;
    static constexpr size_t kNew = static_cast<size_t>(-1);
    void add(const std::string &path);

    std::vector<Key> keys_;
    // Position in keys_ of each key by its path in capitals, so that a
    // registry of many keys is read in linear time.
    std::unordered_map<std::string, size_t> index_;
    // For each key, in step with keys_: its position when the hive was read
    // from a file (kNew for a key made since), and whether it was handed out
    // for changing (find or create).  A write rewrites only those keys' lines.
    std::vector<size_t> origin_;
    std::vector<char> touched_;
    // Which reading the origins refer to (0: none).
    uint64_t source_ = 0;
};

// The roots a registry path may start with.
bool is_root(const std::string &name);

// Whether path names a key: a root, then names that are neither empty nor
// hold a control character ("HKEY_CURRENT_USER\ControlPanel"), in UTF-8,
// within the limits above.
bool valid_key_path(const std::string &path);
// What is wrong with path as a key path, or null when it is one.
const char *key_path_fault(const std::string &path);
// What is wrong with name as a value name, or null when it is one.
const char *value_name_fault(const std::string &name);

// A registry file that cannot be read as one.
struct Damaged {
    std::string file;
    int line;  // 0 when the file as a whole is at fault
    std::string message;
    std::string what() const;  // "FILE line N: MESSAGE"
};

// Parses the text of a registry file (UTF-8); file names it in errors.  A
// UTF-8 byte-order mark before the first line is allowed; lines may end in
// LF or CR LF.  Text in another encoding is refused naming it.  Throws
// Damaged.
Hive parse(const std::string &text, const std::string &file);
std::string serialise(const Hive &hive);

// The registry a fresh board has.
Hive default_hive();

// The registry file of the board in BOARD_DIR.
std::string file_path();

// The registry file may also be saved as UTF-16 with a byte-order mark, as
// a desktop registry editor saves it: it is read as UTF-8 text, and left in
// UTF-16 (only what changed rewritten) when written.  Other encodings are
// refused, naming them.

// The text of the board's registry file as it is now, in UTF-8, unparsed
// (the default registry's when the file is not there yet), for showing it
// as it is.  Throws board::Error when it cannot be read, Damaged when it is
// UTF-16 that is no text.
std::string file_text();

// The board's registry as it is now (the default one when the file is not
// there yet).  Throws Damaged, or board::Error when it cannot be read.
Hive read();

// Applies one change: change() is run on the current registry under the
// lock and returns whether it changed anything; only then is the file
// written.  Returns what change() returned.  Throws as read() does; a
// damaged file is left as it is.  The file is parsed before the lock is
// taken; under the lock it is only checked to be the one parsed.
bool update(const std::function<bool(Hive &)> &change);

// The text of a registry file after change() was run on parse(text): the
// lines of the values and keys that changed are rewritten, added or taken
// out, everything else is kept byte for byte.  Returns false (text as it
// is) when change() returns false.  Throws Damaged as parse() does.
bool edit(std::string *text, const std::string &file, const std::function<bool(Hive &)> &change);

// How long the last update() of this process held the lock, in seconds.
double last_update_lock_seconds();

// Writes the default registry, whatever the file held.
void reset();

// Keys the board protects: no program may create, change or delete them or
// anything below them (they can still be opened and read).  Kept in a small
// side file, one key path per line, in the order they were protected.  A
// list with a line that is no valid_key_path is refused: board::Error
// naming the file and the line.
std::vector<std::string> protected_keys();
bool is_protected(const std::string &path);
// Protects path (a valid_key_path) or takes its protection away; returns
// whether it was protected before, itself and not through a key above it.
bool set_protected(const std::string &path, bool on);

}  // namespace reg
}  // namespace board
