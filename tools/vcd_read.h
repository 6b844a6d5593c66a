// A reader of Value Change Dumps for 'board play': our own captures and
// what other tools write (logic analysers' software, simulators).  The file
// is the user's and may be anything: lines are bounded, every number is
// checked for its range, and what is wrong is told with its line number.
//
// It takes the declarations first, so that the caller can choose the wires
// it wants, then the values of those wires only (1-bit wires; vectors and
// reals are read and checked, and their values dropped).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <vector>

namespace vcd {

constexpr size_t kMaxLine = 64 * 1024;       // bytes in one line
constexpr size_t kMaxWires = 1 << 16;        // declared wires
constexpr size_t kMaxChanges = 4 * 1024 * 1024;  // changes kept of the wanted wires
// The latest time taken: about 11.5 days, so that any speed keeps it in range.
constexpr uint64_t kMaxTimeNs = 1000000ull * 1000000000ull;

struct Declared {
    std::string name;   // the reference, without its scope or bit range
    std::string scope;  // "board", "top.cpu": the scopes it is in, dot-separated
    int width = 1;
    int line = 0;       // where it was declared
};

struct Change {
    uint64_t time_ns;
    uint32_t wire;  // index into the declared wires
    int8_t value;   // 0, 1, or -1 for x or z
};

struct ReadError {
    int line = 0;
    std::string what;
};

class Reader {
public:
    // file: open for reading, owned by the caller.
    explicit Reader(std::FILE *file) : file_(file) {}

    // The declarations, up to $enddefinitions.
    bool header(ReadError *error);
    const std::vector<Declared> &wires() const { return wires_; }
    uint64_t unit_fs() const { return unit_fs_; }  // the timescale, femtoseconds
    int definitions_line() const { return end_line_; }

    // The values to the end of the file: the changes of the wires with
    // wanted[i], in time order (values before the first timestamp, or in
    // $dumpvars, are at time 0), and the last timestamp.
    bool values(const std::vector<bool> &wanted, std::vector<Change> *changes, uint64_t *end_ns,
                ReadError *error);

private:
    bool next(std::string *token, ReadError *error);  // false at the end or on error
    bool until_end(std::vector<std::string> *words, const std::string &what, ReadError *error);
    bool fail(ReadError *error, const std::string &what, int line = 0);

    std::FILE *file_;
    std::string line_;
    size_t pos_ = 0;
    int line_no_ = 0;
    int token_line_ = 0;
    bool eof_ = false;
    bool bad_ = false;
    std::vector<Declared> wires_;
    // Identifier code -> the wires declared with it (one code may name several).
    std::unordered_map<std::string, std::vector<uint32_t>> codes_;
    uint64_t unit_fs_ = 1000000;      // 1ns unless the file says
    int end_line_ = 0;
};

}  // namespace vcd
