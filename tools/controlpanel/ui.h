// The full-screen Control Panel: the applet list, the open dialog and a
// live view of the board, in the terminal (ncurses).
#pragma once

#include <string>

// Runs until the user quits (q) or a signal asks it to end; the terminal is
// restored on every way out.  Returns the exit status.
int run_interactive(const std::string &folder);
