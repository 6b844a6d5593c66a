// Any bytes as a start-up shortcut: its target is read or the file is no
// shortcut, and the program `board boot` would run for it is always a
// runnable regular file directly in the programs folder, named as the
// target names it (with or without .exe), never reached through "..".
#include "board_dir.h"
#include "board/boot.h"
#include "board/device_files.h"
#include "board/registry_file.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string g_programs;

void make_file(const std::string &name, mode_t mode)
{
    std::string path = g_programs + "/" + name;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
    if (fd < 0 || close(fd) != 0) {
        std::perror(path.c_str());
        std::abort();
    }
}

// A programs folder with programs, a file that may not be run and a folder.
void setup()
{
    const std::string &dir = fuzz_board_dir();
    g_programs = dir + "/programs";
    mkdir(g_programs.c_str(), 0777);
    make_file("Velmorra", 0755);
    make_file("tool.exe", 0755);
    make_file("Notes.exe", 0644);
    mkdir((g_programs + "/Folder.exe").c_str(), 0777);
}

void fail(const char *what, const std::string &target)
{
    std::fprintf(stderr, "shortcut: %s: '%s'\n", what, target.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (g_programs.empty())
        setup();
    std::string text(reinterpret_cast<const char *>(data), size), target, program;
    if (!board::files::shortcut_target(text, &target))
        return 0;
    if (target.empty())
        fail("a shortcut with an empty target", target);
    board::boot::Lookup found = board::boot::find_program(target, g_programs, &program);
    if (found != board::boot::Lookup::Found)
        return 0;
    std::string name = target.substr(std::string("\\Windows\\").size());
    if (name.find("..") != std::string::npos || name.find('\\') != std::string::npos ||
        name.find('/') != std::string::npos)
        fail("a target that is no plain name found a program", target);
    if (program.compare(0, g_programs.size() + 1, g_programs + "/") != 0)
        fail("the program is not in the programs folder", program);
    std::string file = program.substr(g_programs.size() + 1);
    std::string base = name.substr(0, name.size() - 4);
    if (!board::reg::same_name(file, name) && !board::reg::same_name(file, base))
        fail("the program is not the one the target names", program);
    struct stat st;
    if (lstat(program.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || !(st.st_mode & S_IXUSR))
        fail("the program is no runnable regular file", program);
    return 0;
}
