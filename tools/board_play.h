// board play FILE.vcd [--map WIRE=PIN]... [--speed X] [--loop] [--release]:
// drives the board's pins from outside (as 'board input' does) along the
// timeline of a Value Change Dump.  args[0] is "play".  Returns the exit
// status: 0 played (or stopped by Ctrl-C), 1 the file or the board could not
// be used, 2 bad arguments.
#pragma once

#include <string>
#include <vector>

int play_command(const std::vector<std::string> &args);
