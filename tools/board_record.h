// board record FILE.vcd [--duration MS] [--timescale 1ns|1us|1ms]
// [--logic-only] [PIN...]: the board's pins, PWM channels, power and
// presence, captured from the board's events into a Value Change Dump until
// Ctrl-C (or the duration).  args[0] is "record".  Returns the exit status:
// 0 done, 1 the board or the file could not be used, 2 bad arguments.
#pragma once

#include <string>
#include <vector>

int record_command(const std::vector<std::string> &args);
