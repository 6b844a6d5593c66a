// Any bytes as a dialog template (DLGTEMPLATE or DLGTEMPLATEEX): read
// within its size or refused, never a crash; every control read takes at
// least the bytes of the smallest item of its form.
#include "platform/host/window.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    host::win::DialogTemplate t;
    if (!host::win::parse_template(data, size, t))
        return 0;
    bool extended = size >= 4 && data[2] == 0xFF && data[3] == 0xFF;
    size_t smallest_item = extended ? 32 : 26;  // fixed part, class ordinal, empty title, extra count
    if (t.items.size() * smallest_item > size) {
        std::fprintf(stderr, "%zu controls read from %zu bytes\n", t.items.size(), size);
        std::abort();
    }
    return 0;
}
