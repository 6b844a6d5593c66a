#include "device_files.h"

#include "board.h"
#include "file_util.h"
#include "registry_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

namespace board {
namespace files {
namespace {

constexpr uint32_t kFileNotFound = 2;
constexpr uint32_t kPathNotFound = 3;
constexpr uint32_t kAccessDenied = 5;
constexpr uint32_t kInvalidName = 123;
constexpr uint32_t kTooLong = 206;  // ERROR_FILENAME_EXCED_RANGE
constexpr size_t kMaxPath = 260;
constexpr size_t kMaxName = 255;

const char kStartupShortcut[] = "Velmorra.lnk";
const char kStartupProgram[] = "\\Windows\\Velmorra.exe";

int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path);
}

// Removes a host folder and everything in it; links are removed, never followed.
void remove_tree(const std::string &dir)
{
    nftw(dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

void write_new(const std::string &path, const std::string &text)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    bool ok = fd >= 0 && write(fd, text.data(), text.size()) == (ssize_t)text.size();
    if (fd >= 0)
        close(fd);
    if (!ok)
        throw Error{"cannot write " + path + ": " + std::strerror(errno)};
}

// Builds the default image in a folder beside the root and puts it in
// place; false when a root appeared meanwhile (and replace is false).
bool build_image(const std::string &fs, bool replace)
{
    std::string fresh = fs + ".new." + std::to_string(getpid());
    remove_tree(fresh);
    std::string startup = fresh + "/Windows/Startup";
    if (!file_util::mkdirs(startup) || !file_util::mkdirs(fresh + "/My Documents") ||
        !file_util::mkdirs(fresh + "/Temp"))
        throw Error{"cannot create " + fresh + ": " + std::strerror(errno)};
    write_new(startup + "/" + kStartupShortcut, shortcut_text(kStartupProgram));
    std::string old = fs + ".old." + std::to_string(getpid());
    if (replace && rename(fs.c_str(), old.c_str()) != 0 && errno != ENOENT)
        throw Error{"cannot replace " + fs + ": " + std::strerror(errno)};
    if (rename(fresh.c_str(), fs.c_str()) != 0) {
        int e = errno;
        remove_tree(fresh);
        if (!replace && (e == EEXIST || e == ENOTEMPTY))
            return false;
        throw Error{"cannot create " + fs + ": " + std::strerror(e)};
    }
    remove_tree(old);
    return true;
}

bool bad_char(unsigned char c)
{
    return c < 0x20 || std::strchr("<>:\"|?*/\\", c) != nullptr;
}

std::string fold(const std::string &s)
{
    std::string out = s;
    for (char &c : out)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 32);
    return out;
}

}  // namespace

std::string match(const std::string &dir, const std::string &name)
{
    DIR *d = opendir(dir.c_str());
    if (!d)
        return std::string();
    std::string found;
    while (struct dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n == "." || n == "..")
            continue;
        if (n == name) {
            found = n;
            break;
        }
        if (found.empty() && reg::same_name(n, name))
            found = n;
    }
    closedir(d);
    return found;
}

bool valid_name(const std::string &name)
{
    if (name.empty() || name == "." || name == "..")
        return false;
    for (unsigned char c : name)
        if (bad_char(c))
            return false;
    return true;
}

std::string root()
{
    std::string fs = board::path("fs");
    struct stat st;
    if (lstat(fs.c_str(), &st) != 0)
        build_image(fs, false);
    return fs;
}

void reset()
{
    build_image(board::path("fs"), true);
}

Found resolve(const std::string &path)
{
    Found f{0, std::string(), false};
    if (path.empty())
        return Found{kPathNotFound, std::string(), false};
    // Characters, as the device counts them (UTF-8 continuation bytes are not).
    size_t chars = 0;
    for (unsigned char c : path)
        chars += (c & 0xC0) != 0x80;
    if (chars >= kMaxPath)
        return Found{kTooLong, std::string(), false};
    std::vector<std::string> parts;
    size_t pos = path[0] == '\\' ? 1 : 0;  // no current folder: relative is from the root
    for (;;) {
        size_t end = path.find('\\', pos);
        std::string part = path.substr(pos, end == std::string::npos ? end : end - pos);
        if (!valid_name(part))
            return Found{kInvalidName, std::string(), false};
        if (part.size() > kMaxName)
            return Found{kTooLong, std::string(), false};
        parts.push_back(part);
        if (end == std::string::npos)
            break;
        pos = end + 1;
    }
    std::string cur = root();
    for (size_t i = 0; i < parts.size(); ++i) {
        bool last = i + 1 == parts.size();
        std::string name = match(cur, parts[i]);
        if (name.empty())
            return Found{last ? kFileNotFound : kPathNotFound,
                         last ? cur + "/" + parts[i] : std::string(), false};
        cur += "/" + name;
        struct stat st;
        if (lstat(cur.c_str(), &st) != 0)
            return Found{last ? kFileNotFound : kPathNotFound, std::string(), false};
        if (S_ISLNK(st.st_mode))
            return Found{kAccessDenied, std::string(), false};
        f.is_dir = S_ISDIR(st.st_mode);
        if (!last && !f.is_dir)
            return Found{kPathNotFound, std::string(), false};
    }
    f.host = cur;
    return f;
}

uint32_t read_only(const std::string &host, bool *on)
{
    int fd = open(host.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? kFileNotFound : kAccessDenied;
    struct stat st;
    int r = fstat(fd, &st);
    close(fd);
    if (r != 0 || !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)))
        return kAccessDenied;
    *on = (st.st_mode & S_IWUSR) == 0;
    return 0;
}

uint32_t set_read_only(const std::string &host, bool on)
{
    // Opened without waiting (a pipe put in its place) and without following a link.
    int fd = open(host.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? kFileNotFound : kAccessDenied;
    struct stat st;
    uint32_t error = 0;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = kAccessDenied;
    } else {
        mode_t mode = st.st_mode & 07777;
        mode = on ? mode & ~mode_t(0222) : mode | S_IWUSR;
        if (fchmod(fd, mode) != 0)
            error = kAccessDenied;
    }
    close(fd);
    return error;
}

std::vector<std::string> list(const std::string &device_dir)
{
    Found f = resolve(device_dir);
    std::vector<std::string> names;
    if (f.error || !f.is_dir)
        return names;
    DIR *d = opendir(f.host.c_str());
    if (!d)
        return names;
    while (struct dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..")
            names.push_back(n);
    }
    closedir(d);
    std::sort(names.begin(), names.end(),
              [](const std::string &a, const std::string &b) { return fold(a) < fold(b); });
    return names;
}

std::string shortcut_text(const std::string &target)
{
    size_t chars = 0;
    for (unsigned char c : target)
        chars += (c & 0xC0) != 0x80;
    return std::to_string(chars) + "#" + target;
}

bool shortcut_target(const std::string &text, std::string *target)
{
    size_t hash = text.find('#');
    if (hash == 0 || hash == std::string::npos ||
        text.find_first_not_of("0123456789") != hash)
        return false;
    std::string rest = text.substr(hash + 1);
    while (!rest.empty() && std::strchr("\r\n \t", rest.back()))
        rest.pop_back();
    if (!rest.empty() && rest[0] == '"') {
        size_t close = rest.find('"', 1);
        if (close == std::string::npos)
            return false;
        *target = rest.substr(1, close - 1);
    } else {
        *target = rest.substr(0, rest.find(' '));
    }
    return !target->empty();
}

}  // namespace files
}  // namespace board
