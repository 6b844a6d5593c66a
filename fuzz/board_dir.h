// A board folder of its own for a harness that reads files of the board:
// made once under /tmp, named by BOARD_DIR, removed when the process exits.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <ftw.h>
#include <string>

inline int fuzz_remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    std::remove(path);
    return 0;
}

inline std::string &fuzz_board_dir_name()
{
    static std::string dir;
    return dir;
}

inline void fuzz_remove_board_dir()
{
    // Depth first, links themselves and not what they lead to.
    nftw(fuzz_board_dir_name().c_str(), fuzz_remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

// The folder; the first call makes it and sets BOARD_DIR.
inline const std::string &fuzz_board_dir()
{
    std::string &dir = fuzz_board_dir_name();
    if (dir.empty()) {
        char tmpl[] = "/tmp/fuzz_board_XXXXXX";
        if (!mkdtemp(tmpl)) {
            std::perror("mkdtemp");
            std::abort();
        }
        dir = tmpl;
        setenv("BOARD_DIR", dir.c_str(), 1);
        std::atexit(fuzz_remove_board_dir);
    }
    return dir;
}
