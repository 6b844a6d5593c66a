// Any bytes as a Value Change Dump for 'board play': the reader either
// refuses the file with a line number inside it, or gives wires each
// declared on a line of the file, and changes of the wires asked for only,
// in time order, never past the last time nor past the largest time taken.
#include "vcd_read.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

[[noreturn]] void broken(const char *what)
{
    std::fprintf(stderr, "fuzz_vcd: %s\n", what);
    std::abort();
}

// The lines in the input, for the line numbers told.
int lines_in(const uint8_t *data, size_t size)
{
    int n = 1;
    for (size_t i = 0; i < size; ++i)
        n += data[i] == '\n';
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::FILE *f = fmemopen(const_cast<uint8_t *>(data), size, "rb");
    if (size == 0 || !f) {
        if (f)
            std::fclose(f);
        return 0;  // fmemopen takes no empty buffer
    }
    int lines = lines_in(data, size);
    vcd::Reader r(f);
    vcd::ReadError e;
    if (!r.header(&e)) {
        if (e.line < 0 || e.line > lines || e.what.empty())
            broken("a refused header names no line of the file");
        std::fclose(f);
        return 0;
    }
    const std::vector<vcd::Declared> &wires = r.wires();
    if (wires.size() > vcd::kMaxWires)
        broken("more wires than a file may declare");
    for (const vcd::Declared &w : wires)
        if (w.line < 1 || w.line > lines || w.width < 1)
            broken("a wire declared nowhere, or of no width");
    // Every other wire wanted, so that dropped values are exercised too.
    std::vector<bool> wanted(wires.size());
    for (size_t i = 0; i < wanted.size(); i += 2)
        wanted[i] = true;
    std::vector<vcd::Change> changes;
    uint64_t end = 0;
    if (!r.values(wanted, &changes, &end, &e)) {
        if (e.line < 0 || e.line > lines || e.what.empty())
            broken("refused values name no line of the file");
        std::fclose(f);
        return 0;
    }
    if (changes.size() > vcd::kMaxChanges || end > vcd::kMaxTimeNs)
        broken("more changes, or a later time, than are taken");
    uint64_t last = 0;
    for (const vcd::Change &c : changes) {
        if (c.wire >= wires.size() || !wanted[c.wire])
            broken("a change of a wire not asked for");
        if (c.time_ns < last || c.time_ns > end)
            broken("changes out of time order, or past the end");
        if (c.value < -1 || c.value > 1)
            broken("a value other than 0, 1 or unknown");
        last = c.time_ns;
    }
    std::fclose(f);
    return 0;
}
