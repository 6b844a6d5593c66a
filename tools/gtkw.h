// A GTKWave save file (.gtkw) for a capture of 'board record': GTKWave opens
// the capture with it on the PWM channels (running, the registers in
// decimal, the output and its too-fast wire), then the pins in use, power
// and presence.  Plain text over the wires' names: the file itself is the
// caller's (tools/board_record.cpp).
#pragma once

#include <string>
#include <vector>

namespace gtkw {

// The save file's name beside a capture: FILE.vcd gives FILE.gtkw, any
// other name has ".gtkw" added.
std::string save_name(const std::string &capture);

// Whether name can stand in the save file's quoted lines: no '"', no
// backslash, no control byte.
bool quotable(const std::string &name);

struct Save {
    std::string dumpfile;                // the capture, by its name beside the save file
    std::string savefile;                // the save file's own name
    std::vector<std::string> pin_wires;  // the pins' wires to show, in order
    bool logic_only = false;             // the capture has no registers
    std::string version;                 // for the opening comment
};

// The save file's text.
std::string text(const Save &s);

}  // namespace gtkw
