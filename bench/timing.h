// What the benchmarks that time whole operations share: the time since a
// point, and one line of percentiles for a sample of times.  Header only:
// the host's and the desktop build's benchmarks take it alike.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace bench {

typedef std::chrono::steady_clock Clock;

inline double ms_since(Clock::time_point t0)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

inline double us_since(Clock::time_point t0)
{
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

// The value below which share q of the sorted v lies.
inline double at(const std::vector<double> &v, double q)
{
    return v[std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())))];
}

// "WHAT n=N p50 .. p90 .. p99 .. max .." in milliseconds.
inline void report_ms(const char *what, std::vector<double> v)
{
    if (v.empty()) {
        std::printf("%-22s n=0\n", what);
        return;
    }
    std::sort(v.begin(), v.end());
    std::printf("%-22s n=%-4zu p50 %6.2f ms  p90 %6.2f ms  p99 %6.2f ms  max %6.2f ms\n", what, v.size(),
                at(v, 0.50), at(v, 0.90), at(v, 0.99), v.back());
}

// "WHAT n=N median .. p99 .. max .." in microseconds.
inline void report_us(const char *what, std::vector<double> v)
{
    if (v.empty()) {
        std::printf("%-30s n=0\n", what);
        return;
    }
    std::sort(v.begin(), v.end());
    std::printf("%-30s n=%-6zu median %8.1f us  p99 %8.1f us  max %8.1f us\n", what, v.size(), v[v.size() / 2],
                v[std::min(v.size() - 1, v.size() * 99 / 100)], v.back());
}

}  // namespace bench
