// Names for the board's pins ("led", "reset_btn"), kept in the board folder
// as BOARD_DIR/pin-names, one "PIN NAME" a line.  A reset gives a fresh
// default board: it drops them.
#pragma once

#ifdef CE_PRODUCT_CODE
#error "product code reaches the board only through the platform (platform/platform.h)"
#endif

#include "board/board.h"
#include "board/file_util.h"

#include <string>

namespace board {
namespace pin_names {

constexpr size_t kMaxName = 32;

// The pins' names; "" for a pin without one.
struct Names {
    std::string of[kPins];
    // The pin named name; -1 when none is.
    int find(const std::string &name) const;
};

// Why name cannot name a pin (nullptr when it can): 1 to kMaxName
// characters of A-Z a-z 0-9 _ . -, starting with a letter or '_' (so that
// no name reads as a number or an option).
const char *name_fault(const std::string &name);

std::string file_path();

// The names in the file (none when it is missing).  Throws board::Error
// naming the file and the line when it is damaged: a bad line, a pin out
// of range, a bad name, a pin or a name given twice, a file too big.
Names load();

// Gives pin the name (name empty: takes its name away), written aside and
// renamed into place.  Throws board::Error when name is another pin's.
void set(int pin, const std::string &name);

// Removes the file (the board's reset).
void clear(const file_util::Folder &board);

}  // namespace pin_names
}  // namespace board
