// The serial debug port's switch for the current start, a word of the
// board's state: what the start-up code (board/serial.h) sets at each boot
// and every program's debug output reads.
#pragma once

#ifdef CE_PRODUCT_CODE
#error "product code reaches the board only through the platform (platform/platform.h)"
#endif

#include "board/folder.h"

namespace board {

// The serial debug port for the current start (board/serial.h decides it at
// each boot).  A board that has not booted since its reset has it on, as
// the image starts it.  Reading it never waits for a request in progress.
// Both throw Error as the board does.
bool serial_port_on();
void set_serial_port(bool on);

}  // namespace board
