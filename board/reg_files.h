// The registry's side files in the board folder, for the rooms that use
// them: the lock every reader and writer takes, and the protected keys.
#pragma once

#ifndef CEBOARD_INTERNAL
#error "board/reg_files.h is the board's own: include board/registry_file.h"
#endif

#include <string>

namespace board {
namespace reg {

// The lock file: shared for readers, exclusive for writers, of both the
// registry file and the protected keys.
std::string lock_path();

// Empties the list of protected keys; the caller holds the lock.
void clear_protected_locked();

}  // namespace reg
}  // namespace board
