// Shared by the registry harnesses: the text the writer produced must read
// back; anything else is a finding.
#pragma once

#include "board/registry_file.h"

#include <cstdio>
#include <cstdlib>

inline board::reg::Hive reparse(const std::string &written)
{
    try {
        return board::reg::parse(written, "written.reg");
    } catch (const board::reg::Damaged &d) {
        std::fprintf(stderr, "written registry does not parse: %s\n%s\n", d.what().c_str(),
                     written.c_str());
        std::abort();
    }
}
