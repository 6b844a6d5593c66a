// The board's serial debug port.  At each start the board's start-up code
// reads HKEY_LOCAL_MACHINE\Debug "dbgSerial": 1 enables the port for that
// start, 0 disables it, and without a usable value the image's default
// applies (the image ships 1).  While the port is on, the debug output of
// every program on the board also goes out on it: the simulated port is the
// file serial.log in the board folder, appended to and read, never through
// a link.
#pragma once

#ifdef CE_PRODUCT_CODE
#error "product code reaches the board only through the platform (platform/platform.h)"
#endif

#include <string>

namespace board {
namespace serial {

// The value the board's image ships for "dbgSerial".
constexpr unsigned kImageDefault = 1;

// The port's file in the board folder.
std::string file_path();

// What the start-up code makes of the registry: on or off, and why
// ("dbgSerial 0", "dbgSerial not set: the image's default").
struct Choice {
    bool on;
    std::string why;
};
// The choice the next start would make, from the registry as it is now.
// A registry that cannot be read gives the image's default, and says why.
Choice next_start();
// What a start does: decides the port from the registry and switches it.
Choice apply_at_start();

// Sends text out on the port when it is on; otherwise nothing.  The text
// goes out whole or not at all.  Throws board::Error naming the file when
// it cannot be written (a link, a file with other names, no regular file,
// a full disk).
void write(const std::string &text);

// Opens the port's file for reading, never through a link: -1 when there
// is none yet.  Throws board::Error naming it otherwise.
int open_for_reading();

// The end of the port's file: at most limit bytes, starting at a line when
// cut.  Throws as open_for_reading does.
std::string tail(size_t limit);
// The same for a file opened with open_for_reading; *end gets the offset
// just past what was read.
std::string tail_of(int fd, size_t limit, long long *end);

// A fresh board's port: nothing sent yet.  Throws board::Error.
void reset();

}  // namespace serial
}  // namespace board
