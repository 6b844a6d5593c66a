# Writes the bytes of a compiled .res (RES) into a C++ source (OUT) as the
# module's host_embedded_resources array, which the module anchor hands to
# the stand-in at load.
file(READ ${RES} hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REPEAT "0x..," 16 line)
string(REGEX REPLACE "(${line})" "\\1\n" bytes "${bytes}")
file(WRITE ${OUT}.tmp
"// Compiled resources of this module, generated from ${RES}.
#include <stddef.h>

extern \"C\" {
__attribute__((visibility(\"hidden\"))) extern const size_t host_embedded_resources_size;
__attribute__((visibility(\"hidden\"))) extern const unsigned char host_embedded_resources[];
const size_t host_embedded_resources_size = ${size};
alignas(16) const unsigned char host_embedded_resources[] = {
${bytes}
};
}
")
file(RENAME ${OUT}.tmp ${OUT})
