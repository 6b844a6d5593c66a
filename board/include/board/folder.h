// The board folder, where every file of the simulated board lives, and the
// error every part of the board raises when the folder or a file in it
// cannot be used.
#pragma once

#ifdef CE_PRODUCT_CODE
#error "product code reaches the board only through the platform (platform/platform.h)"
#endif

#include <string>

namespace board {

// Error raised when the board folder or its state file cannot be used, or
// when asked for a pin the board does not have.
struct Error {
    std::string message;
};

// The board folder: BOARD_DIR, or a per-user default when it is unset (below
// XDG_STATE_HOME, or HOME, or the passwd entry's home folder; Error when
// there is none).
std::string dir();

// Path of a file in the board folder (the folder is created if missing).
std::string path(const std::string &name);

}  // namespace board
