// A driver request's round trip, timed: the open, one pin read and the
// close of a kestrin call, and the read alone on a handle kept open.  Built
// for the host (the stand-in's in-process board) and for desktop Windows
// (under Wine, the board served by 'board serve'), from the same calls.
// Prints the median and p99 of each, in microseconds.  On the host, with
// BOARD_DIR unset, on a fresh board of its own (removed at the end).
// Usage: bench_request_rtt [COUNT]
#include "bench/timing.h"
#include "platform/platform.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>
#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

using bench::Clock;
using bench::us_since;

const DWORD kGetPin = 0x812C0008;

HANDLE open_driver()
{
    return CreateFileW(TEXT("GPI1:"), 0, 0, NULL, OPEN_EXISTING, 0, NULL);
}

bool read_pin(HANDLE h)
{
    LONG record[2] = {1, 0};
    DWORD returned = 0;
    return DeviceIoControl(h, kGetPin, record, sizeof record, record, sizeof record, &returned, NULL) != 0;
}

}  // namespace

int main(int argc, char **argv)
{
    int count = argc > 1 ? std::atoi(argv[1]) : 2000;
    if (count < 1) {
        std::fprintf(stderr, "usage: bench_request_rtt [COUNT] (at least 1)\n");
        return 2;
    }
#ifndef _WIN32
    char folder[] = "/tmp/bench-rtt-XXXXXX";
    const char *given = std::getenv("BOARD_DIR");
    bool own = !given || !*given;
    if (own && (!mkdtemp(folder) || setenv("BOARD_DIR", folder, 1) != 0))
        return 1;
#endif
    std::vector<double> call, request;
    for (int i = 0; i < count; ++i) {
        Clock::time_point t0 = Clock::now();
        HANDLE h = open_driver();
        if (h == INVALID_HANDLE_VALUE) {
            std::fprintf(stderr, "GPI1: cannot be opened (error %lu)\n", (unsigned long)GetLastError());
            return 1;
        }
        bool ok = read_pin(h);
        CloseHandle(h);
        call.push_back(us_since(t0));
        if (!ok) {
            std::fprintf(stderr, "the pin read failed\n");
            return 1;
        }
    }
    HANDLE h = open_driver();
    for (int i = 0; i < count && h != INVALID_HANDLE_VALUE; ++i) {
        Clock::time_point t0 = Clock::now();
        read_pin(h);
        request.push_back(us_since(t0));
    }
    CloseHandle(h);
    bench::report_us("open + read + close", call);
    bench::report_us("read on an open handle", request);
#ifndef _WIN32
    if (own)
        return std::system(("rm -rf '" + std::string(folder) + "'").c_str()) == 0 ? 0 : 1;
#endif
    return 0;
}
