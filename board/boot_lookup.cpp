// How boot finds the host program a start-up shortcut names.
#include "board/boot.h"

#include "board/device_files.h"
#include "board/registry_file.h"

#include <sys/stat.h>
#include <unistd.h>

namespace board {
namespace boot {

bool ends_with_folded(const std::string &s, const std::string &tail)
{
    return s.size() >= tail.size() &&
           board::reg::same_name(s.substr(s.size() - tail.size()), tail);
}

Lookup find_program(const std::string &target, const std::string &programs, std::string *program)
{
    const std::string windows = "\\Windows\\";
    if (target.size() <= windows.size() || !board::reg::same_name(target.substr(0, windows.size()), windows))
        return Lookup::NotAProgram;
    std::string name = target.substr(windows.size());
    if (!board::files::valid_name(name) || name.find("..") != std::string::npos)
        return Lookup::Refused;
    if (!ends_with_folded(name, ".exe"))
        return Lookup::NotAProgram;
    std::string base = name.substr(0, name.size() - 4);
    for (const std::string &candidate : {base, name}) {
        std::string found = board::files::match(programs, candidate);
        if (found.empty())
            continue;
        std::string path = programs + "/" + found;
        struct stat st;
        if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0) {
            *program = path;
            return Lookup::Found;
        }
    }
    return Lookup::NotAProgram;
}

}  // namespace boot
}  // namespace board
