// A strict reader of Value Change Dumps for the tests: what 'board record'
// writes, and what other readers write back from it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace test_support {

struct VcdFile {
    std::string error;      // empty when the text is a valid dump
    std::string timescale;  // "1ns"
    std::map<std::string, int> width;  // wire name -> bits
    // Per wire, its values in order: (time, value), the first at time 0.
    std::map<std::string, std::vector<std::pair<uint64_t, std::string>>> changes;
    std::vector<std::pair<uint64_t, std::string>> notes;  // comments among the values
    std::vector<std::string> timestamps_text;             // the "#" lines, as written
    uint64_t end = 0;                                     // the last timestamp

    // The value of a wire at time t ("" for no such wire).
    std::string at(const std::string &wire, uint64_t t) const;
    // The times a 1-bit wire went to value.
    std::vector<uint64_t> edges(const std::string &wire, const std::string &value) const;
};

// Reads text.  strict: as 'board record' must write it: every wire in a
// $dumpvars at #0, timestamps rising, no change that changes nothing.
VcdFile parse_vcd(const std::string &text, bool strict);

}  // namespace test_support
