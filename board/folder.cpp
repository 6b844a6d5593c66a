// The board folder: where it is (BOARD_DIR or the user's default) and the
// paths of the files in it.
#include "board/folder.h"

#include "board/file_util.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace board {

namespace {

// The user's home folder: HOME, or when it is unset the one the passwd entry
// names.  Never a folder every user shares: with neither, the board refuses.
std::string home()
{
    const char *home = std::getenv("HOME");
    if (home && *home)
        return home;
    struct passwd pw, *found = nullptr;
    char buf[4096];
    struct stat st;
    if (getpwuid_r(getuid(), &pw, buf, sizeof buf, &found) == 0 && found && found->pw_dir &&
        found->pw_dir[0] == '/' && stat(found->pw_dir, &st) == 0 && S_ISDIR(st.st_mode))
        return found->pw_dir;
    throw Error{"HOME is not set and the user has no home folder in the passwd entry; "
                "set BOARD_DIR to the board folder"};
}

}  // namespace

std::string dir()
{
    const char *d = std::getenv("BOARD_DIR");
    if (d && *d)
        return d;
    const char *state = std::getenv("XDG_STATE_HOME");
    if (state && *state)
        return std::string(state) + "/ceboard/default";
    return home() + "/.local/state/ceboard/default";
}

std::string path(const std::string &name)
{
    std::string d = dir();
    if (!file_util::mkdirs(d))
        throw Error{"cannot create board folder " + d + ": " + std::strerror(errno)};
    return d + "/" + name;
}

}  // namespace board
