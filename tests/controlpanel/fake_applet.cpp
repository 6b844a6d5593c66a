// A stand-in applet library for the loader tests.  What it does depends on
// its file name, so that one build serves as many applets:
//   "Two*"    holds two applets
//   "Zero*"   holds none
//   "NoInit*" refuses CPL_INIT
//   "Long*"   fills the whole name and description, with no terminator
//   "Crash*"  writes through a null pointer when double-clicked
//   "Fault*"  raises a fault (an access violation) when double-clicked
//   "CrashLoad*", "FaultLoad*"  do so on CPL_INIT instead
// Every message is appended to the file FAKE_CPL_LOG names, as
//   <file> <message> <lParam1> <lParam2> <thread>
#include "ce_host.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <functional>
#include <string>
#include <thread>

namespace {

std::string own_file()
{
    Dl_info info{};
    dladdr(reinterpret_cast<void *>(&own_file), &info);
    std::string path = info.dli_fname ? info.dli_fname : "";
    return path.substr(path.rfind('/') + 1);
}

bool named(const char *prefix) { return own_file().rfind(prefix, 0) == 0; }

void record(UINT msg, LPARAM p1, LPARAM p2)
{
    const char *log = std::getenv("FAKE_CPL_LOG");
    if (!log)
        return;
    if (FILE *f = std::fopen(log, "a")) {
        std::fprintf(f, "%s %u %ld %ld %zu\n", own_file().c_str(), msg, static_cast<long>(p1),
                     static_cast<long>(p2), std::hash<std::thread::id>()(std::this_thread::get_id()));
        std::fclose(f);
    }
}

void fill(WCHAR *dst, size_t room, const std::string &s, bool terminate)
{
    size_t i = 0;
    for (; i < room && (i < s.size() || !terminate); ++i)
        dst[i] = i < s.size() ? static_cast<WCHAR>(s[i]) : u'x';
    if (terminate)
        dst[i < room ? i : room - 1] = 0;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) LONG CPlApplet(HWND, UINT msg, LPARAM p1, LPARAM p2)
{
    record(msg, p1, p2);
    if (msg == (named("CrashLoad") || named("FaultLoad") ? CPL_INIT : CPL_DBLCLK)) {
        if (named("Crash"))
            *static_cast<volatile int *>(nullptr) = 1;
        if (named("Fault"))
            RaiseException(EXCEPTION_ACCESS_VIOLATION, 0, 0, nullptr);
    }
    switch (msg) {
    case CPL_INIT:
        return named("NoInit") ? 0 : 1;
    case CPL_GETCOUNT:
        return named("Two") ? 2 : named("Zero") ? 0 : 1;
    case CPL_INQUIRE: {
        CPLINFO *info = reinterpret_cast<CPLINFO *>(p2);
        info->idIcon = 5;
        info->idName = 1;
        info->idInfo = 2;
        info->lData = 70 + static_cast<LONG>(p1);
        return 0;
    }
    case CPL_NEWINQUIRE: {
        NEWCPLINFO *info = reinterpret_cast<NEWCPLINFO *>(p2);
        bool whole = named("Long");
        std::string base = own_file().substr(0, own_file().find('.'));
        fill(info->szName, 32, base + " " + std::to_string(p1), !whole);
        fill(info->szInfo, 64, "about " + base, !whole);
        info->lData = 40 + static_cast<LONG>(p1);
        info->hIcon = 0;
        return 0;
    }
    default:
        return 0;
    }
}
