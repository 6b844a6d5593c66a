#include "common/self_path.h"

#include <climits>
#include <cstdlib>
#include <dlfcn.h>
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

std::string library_folder()
{
    Dl_info info;
    char real[PATH_MAX];
    if (!dladdr(reinterpret_cast<void *>(&library_folder), &info) || !info.dli_fname ||
        !realpath(info.dli_fname, real))
        return program_folder();
    std::string path = real;
    size_t slash = path.rfind('/');
    return path.substr(0, slash == 0 ? 1 : slash);
}

}  // namespace self_path
