// What the Windows probes print: "ok NAME" or "FAIL NAME: why" per check,
// "note NAME: what" for what was seen without judging it.  The probe exits
// with probe::failures().
#pragma once

#include <cstdio>
#include <string>

namespace probe {

inline int &failures()
{
    static int count = 0;
    return count;
}

inline void check(bool passed, const char *name, const std::string &why = std::string())
{
    if (passed) {
        std::printf("ok %s\n", name);
    } else {
        std::printf("FAIL %s: %s\n", name, why.c_str());
        ++failures();
    }
    std::fflush(stdout);
}

inline void note(const char *name, const std::string &what)
{
    std::printf("note %s: %s\n", name, what.c_str());
    std::fflush(stdout);
}

inline std::string number(long long value) { return std::to_string(value); }

}  // namespace probe
