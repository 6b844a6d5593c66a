// Between the registry's file I/O and its splicer: a text read with where
// its keys stand, and the text with a hive's changes written into it.
#pragma once

#ifndef CEBOARD_INTERNAL
#error "board/reg_splice.h is the board's own: include board/registry_file.h"
#endif

#include "reg_syntax.h"

namespace board {
namespace reg {

// The hive of a registry text; with layout, one that remembers which of its
// keys came from where in text, so that splice() keeps the rest.  Throws
// Damaged.
Hive read_text(const std::string &text, const std::string &file, Layout *layout);

// text with the changes of hive (read_text(text, ..., &layout), then
// changed) written into it: only the lines of what changed.
std::string splice(const std::string &text, const Layout &layout, const Hive &hive);

}  // namespace reg
}  // namespace board
