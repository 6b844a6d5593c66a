// Numbers on the tools' command lines: decimal digits only (010 is ten, not
// eight; no sign, no spaces), at most 18 of them, and the words a message
// names their range in.
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

// The range a message names when s is refused: "from 1 to 1000000000000".
// Whatever s was (too big, signed, no number at all), saying what is taken
// is what helps.
inline std::string decimal_range(uint64_t lo, uint64_t hi)
{
    return "from " + std::to_string(lo) + " to " + std::to_string(hi);
}

}  // namespace tools
