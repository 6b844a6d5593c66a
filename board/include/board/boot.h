// Booting the board as its start-up does: power on, the serial debug port
// switched as the registry says, then each shortcut in \Windows\Startup run
// as the shell runs it.  One call, its outcome as data: 'board boot' prints
// it, the Control Panel's board view shows how it ended.
#pragma once

#ifdef CE_PRODUCT_CODE
#error "product code reaches the board only through the platform (platform/platform.h)"
#endif

#include <functional>
#include <string>
#include <vector>

namespace board {
namespace boot {

// What became of one entry of the start-up folder, in the order they come.
struct Step {
    enum class Kind {
        NotAShortcut,  // named *.lnk, but no regular file holding a shortcut
        Unreadable,    // the host could not read it (error)
        Refused,       // its target is no name the device allows
        NotAProgram,   // its target is no program in the programs folder
        Running,       // its program is about to start
        NotStarted,    // no process could be started for it (error)
        Ran,           // its program ran and ended (exit_code, signal)
    };
    Kind kind;
    std::string shortcut;  // its device path, \Windows\Startup\Velmorra.lnk
    std::string target;    // what it names, \Windows\Velmorra.exe
    // The host program (Running, NotStarted, Ran); for NotAProgram the
    // folder that holds none of that name.
    std::string program;
    int exit_code;  // Ran: its exit code, -1 when a signal ended it
    int signal;     // Ran: that signal, else 0
    int error;      // Unreadable, NotStarted: the errno; Ran: why the program
                    // could not be run (it exited with 127), else 0
};

struct Options {
    std::string programs;  // the device's programs; empty: device_programs()
    // The programs' standard input, output and error on /dev/null rather
    // than this process's (a full-screen view keeps its terminal).
    bool quiet = false;
};

struct Outcome {
    std::vector<Step> steps;
    // Whether a shortcut could not be read (the others still ran).
    bool failed() const;
};

// Boots the board.  Each step goes to seen as it happens (a Running step
// before its program starts, so that what the program prints comes after
// it), and is kept in the outcome.  Throws board::Error, naming the file,
// when the board, its root or a folder on the way to \Windows\Startup
// cannot be used or read.
Outcome run(const Options &options, const std::function<void(const Step &)> &seen = nullptr);

// A step as 'board boot' prints it, one line without its newline; what the
// shortcut's name and target say is escaped and quoted short (text::excerpt).
std::string line(const Step &step);

// The device's own programs, apart from the tools and tests built beside
// them: device/ in the folder of the project's libraries (self_path).
std::string device_programs();

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

}  // namespace boot
}  // namespace board
