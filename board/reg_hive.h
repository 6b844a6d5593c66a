// Paths of registry keys, as every room of the registry reads them.
#pragma once

#ifndef CEBOARD_INTERNAL
#error "board/reg_hive.h is the board's own: include board/registry_file.h"
#endif

#include <string>

namespace board {
namespace reg {

// True when path lies at or below key.
bool within(const std::string &path, const std::string &key);

// path without its last element; "" for a root.
std::string parent_of(const std::string &path);

}  // namespace reg
}  // namespace board
