// Any line of a Control Panel script: a command, a blank, or an Error with
// a message; never a crash, and a command's fields within their ranges.
// What a message quotes of the line is short and holds no control byte.
#include "script.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string line(reinterpret_cast<const char *>(data), size);
    // What a message quotes of it: short, and no byte that works a terminal.
    std::string quoted = script::excerpt(line);
    if (quoted.size() > script::kExcerpt * 10 + 3)
        std::abort();
    for (unsigned char b : quoted)
        if (b < 0x20 || b == 0x7F)
            std::abort();
    script::Command c;
    try {
        if (!script::parse(line, &c))
            return 0;
    } catch (const script::Error &e) {
        if (e.message.empty())
            std::abort();
        return 0;
    }
    if (c.op == script::Op::Open && c.name.empty())
        std::abort();
    if (c.op == script::Op::Pin && (c.id < 0 || c.id > 63 || c.value < -1 || c.value > 1))
        std::abort();
    if (c.op == script::Op::Wait && (c.value < 0 || c.value > 3600000))
        std::abort();
    return 0;
}
