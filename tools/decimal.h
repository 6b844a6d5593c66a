// Numbers on every command line and in the Control Panel's scripts, read
// by one rule: decimal digits only (010 is ten, not eight; no plus sign, no
// spaces), at most 18 of them, a '-' first only where negative numbers are
// taken; and the one message that refuses one.
#pragma once

#include <cstdint>
#include <string>

namespace tools {

// The number s writes, when it is one from lo to hi.
inline bool decimal(const std::string &s, uint64_t lo, uint64_t hi, uint64_t *value)
{
    if (s.empty() || s.size() > 18 || s.find_first_not_of("0123456789") != std::string::npos)
        return false;
    uint64_t v = 0;
    for (char c : s)
        v = v * 10 + static_cast<uint64_t>(c - '0');
    if (v < lo || v > hi)
        return false;
    *value = v;
    return true;
}

// The same rule with a sign: '-' and the digits, where lo is below zero.
inline bool whole(const std::string &s, int64_t lo, int64_t hi, int64_t *value)
{
    bool minus = !s.empty() && s[0] == '-' && lo < 0;
    uint64_t v;
    if (!decimal(minus ? s.substr(1) : s, 0, UINT64_MAX, &v))
        return false;
    int64_t n = minus ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
    if (n < lo || n > hi)
        return false;
    *value = n;
    return true;
}

// The range a message names when s is refused: "from 1 to 1000000000000".
// Whatever s was (too big, signed, no number at all), saying what is taken
// is what helps.
inline std::string decimal_range(int64_t lo, int64_t hi)
{
    return "from " + std::to_string(lo) + " to " + std::to_string(hi);
}

}  // namespace tools
