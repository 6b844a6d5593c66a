// How `board boot` finds the host program a start-up shortcut names.
#pragma once

#include <string>

namespace startup {

// Whether s ends with tail, compared without regard to case.
bool ends_with_folded(const std::string &s, const std::string &tail);

// How a shortcut's target maps to a host program.
enum class Lookup { Found, NotAProgram, Refused };

// The host program that is the device's \Windows\NAME.exe: NAME (or
// NAME.exe) in the programs folder, matched without regard to case.  NAME
// must be a name the device's files allow, with no "..": a target such as
// \Windows\../../usr/bin/id.exe never reaches outside the folder.  Only a
// regular file we may run is a program; *program is set when Found.
Lookup find_program(const std::string &target, const std::string &programs, std::string *program);

}  // namespace startup
