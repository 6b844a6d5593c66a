// The sub-commands of board, one table: each one's name, the line 'board
// --help' gives it, and the function (in a file of its own) that adds its
// options and arguments and returns what runs once they are parsed.
// Adding a sub-command: a line here and its file in tools/CMakeLists.txt.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>

namespace board_tool {

using Run = std::function<int()>;

// In the order 'board --help' lists them.
#define BOARD_COMMANDS(X)                                                                          \
    X(status, "pins, PWM channels, power, the device, handles and the serial debug port")          \
    X(reset, "a fresh default board (pin names dropped too)")                                      \
    X(input, "apply an external level to a pin, or take it away")                                  \
    X(name, "name a pin: the name serves wherever a pin is taken")                                 \
    X(unname, "take a pin's name away")                                                            \
    X(unplug, "the device GPI1: is absent")                                                        \
    X(plug, "the device GPI1: is present")                                                         \
    X(fault, "the driver raises a fault on its next request")                                      \
    X(hold, "for tests: every request waits in the driver (a minute at most) until 'hold off'")    \
    X(registry, "print the board's registry file, or protect its keys")                            \
    X(ras, "the board's RAS devices: list, remove and restore them")                               \
    X(files, "the read-only attribute of a device file")                                           \
    X(boot, "power on and run the start-up shortcuts, as the device does")                         \
    X(serial, "what went out on the serial debug port")                                            \
    X(sync, "whether the desktop connection would come up")                                        \
    X(record, "capture the board as a Value Change Dump for waveform viewers")                     \
    X(play, "drive pins from outside along a Value Change Dump")                                   \
    X(serve, "serve GPI1: to desktop builds of the product (under Wine) until Ctrl-C")             \
    X(wine, "run a Windows program under Wine on the board")                                       \
    X(watch, "one line for each change on the board as it happens")

#define BOARD_DECLARE(name, summary) Run define_##name(CLI::App &app);
BOARD_COMMANDS(BOARD_DECLARE)
#undef BOARD_DECLARE

}  // namespace board_tool
