#include "board/pin_names.h"

#include "common/text.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace board {
namespace pin_names {

namespace {

const char kFile[] = "pin-names";
const char kLock[] = "pin-names.lock";
// 64 lines of "PIN NAME\n" fit many times over; anything bigger is no file
// the board wrote.
constexpr size_t kMaxFile = 16 * 1024;

bool name_char(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '.' || c == '-';
}

std::string open_folder_path()
{
    std::string d = dir();
    if (!file_util::mkdirs(d))
        throw Error{"cannot create board folder " + d + ": " + std::strerror(errno)};
    return d;
}

Names parse(const std::string &text, const std::string &shown)
{
    Names n;
    size_t at = 0;
    int line = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        ++line;
        auto damaged = [&](const std::string &why) {
            return Error{"pin names file " + shown + " line " + std::to_string(line) + ": " + why};
        };
        if (end == std::string::npos)
            throw damaged("the last line has no newline (the file was cut short)");
        std::string l = text.substr(at, end - at);
        at = end + 1;
        size_t space = l.find(' ');
        std::string pin = l.substr(0, space), name = space == std::string::npos ? "" : l.substr(space + 1);
        if (space == std::string::npos || pin.empty() || pin.size() > 2 ||
            pin.find_first_not_of("0123456789") != std::string::npos)
            throw damaged("expected 'PIN NAME', found '" + text::excerpt(l) + "'");
        int p = std::stoi(pin);
        if (p >= kPins)
            throw damaged("pin " + pin + " is out of range (0 to " + std::to_string(kPins - 1) + ")");
        if (const char *fault = name_fault(name))
            throw damaged("'" + text::excerpt(name) + "' is no pin name: " + fault);
        if (!n.of[p].empty())
            throw damaged("pin " + pin + " is named twice");
        if (n.find(name) >= 0)
            throw damaged("the name '" + name + "' is given twice");
        n.of[p] = name;
    }
    return n;
}

std::string render(const Names &n)
{
    std::string out;
    for (int p = 0; p < kPins; ++p)
        if (!n.of[p].empty())
            out += std::to_string(p) + " " + n.of[p] + "\n";
    return out;
}

Names read_in(const file_util::Folder &folder)
{
    std::string text;
    bool exists = false;
    if (!file_util::read_at(folder, kFile, &text, &exists, kMaxFile)) {
        if (errno == EFBIG)
            throw Error{"pin names file " + folder.shown(kFile) + " is bigger than " +
                        std::to_string(kMaxFile) + " bytes: no file the board wrote"};
        throw Error{file_util::failure("read", folder.shown(kFile))};
    }
    return parse(text, folder.shown(kFile));
}

}  // namespace

int Names::find(const std::string &name) const
{
    for (int p = 0; p < kPins && !name.empty(); ++p)
        if (of[p] == name)
            return p;
    return -1;
}

const char *name_fault(const std::string &name)
{
    if (name.empty())
        return "it is empty";
    if (name.size() > kMaxName)
        return "it is longer than 32 characters";
    for (char c : name)
        if (!name_char(c))
            return "only letters, digits, '_', '.' and '-' are taken";
    char c = name[0];
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'))
        return "it must start with a letter or '_'";
    return nullptr;
}

std::string file_path() { return dir() + "/" + kFile; }

Names load()
{
    file_util::Folder folder(open_folder_path());
    return read_in(folder);
}

void set(int pin, const std::string &name)
{
    file_util::Folder folder(open_folder_path());
    file_util::Lock lock(folder, kLock, true, true);
    Names n = read_in(folder);
    if (!name.empty()) {
        int other = n.find(name);
        if (other >= 0 && other != pin)
            throw Error{"the name '" + name + "' is pin " + std::to_string(other) + "'s already"};
    }
    n.of[pin] = name;
    file_util::replace_at(folder, kFile, render(n));
}

void clear(const file_util::Folder &board)
{
    file_util::Lock lock(board, kLock, true, true);
    if (unlinkat(board.fd(), kFile, 0) != 0 && errno != ENOENT)
        throw Error{file_util::failure("remove", board.shown(kFile))};
}

}  // namespace pin_names
}  // namespace board
