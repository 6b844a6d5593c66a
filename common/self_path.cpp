#include "common/self_path.h"

#include <climits>
#include <unistd.h>

namespace self_path {

std::string program_file()
{
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

std::string program_folder()
{
    std::string path = program_file();
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return path.substr(0, slash == 0 ? 1 : slash);
}

}  // namespace self_path
