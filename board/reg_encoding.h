// The encodings a registry file may be saved in, between the file I/O that
// reads and writes it and the parser that names one it cannot read.
#pragma once

#ifndef CEBOARD_INTERNAL
#error "board/reg_encoding.h is the board's own: include board/registry_file.h"
#endif

#include <string>

namespace board {
namespace reg {

enum class Encoding { Utf8, Utf16Le, Utf16Be };

// The text of a registry file's bytes, in UTF-8: UTF-16 with a byte-order
// mark decoded (the mark dropped), anything else as it is.  *encoding
// tells which.  Throws Damaged (file, and the line where it can tell) for
// UTF-16 that is no text: cut in half a unit, or a lone surrogate.
std::string decoded(const std::string &bytes, const std::string &file, Encoding *encoding);

// The bytes of text (UTF-8, as decoded gave it) in encoding: decoded's
// bytes again, mark and all.
std::string encoded(const std::string &text, Encoding encoding);

// What text is, when its first bytes show it to be in an encoding other
// than UTF-8 ("UTF-32", "UTF-16 without a byte-order mark", ...); null
// otherwise.
const char *foreign_encoding(const std::string &text);

}  // namespace reg
}  // namespace board
