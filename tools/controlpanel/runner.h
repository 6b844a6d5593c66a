// The Control Panel driven by a script (see script.h for the language).
#pragma once

#include <string>

// Runs the script in file ('-' for standard input) against the applets of
// folder.  Returns the exit status: 0 done, 1 a file or the board could not
// be used or an applet misbehaved, 2 a bad line.
int run_script(const std::string &folder, const std::string &file);
