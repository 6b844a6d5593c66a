// The board's boot: power, the serial debug port, then the start-up folder's
// shortcuts, each program in a process of its own on this board.
#include "board/boot.h"

#include "board/board.h"
#include "board/device_files.h"
#include "board/serial.h"
#include "common/child_process.h"
#include "common/self_path.h"
#include "common/text.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace board {
namespace boot {
namespace {

using Kind = Step::Kind;

// A shortcut is one short line; anything longer is not one.
constexpr size_t kMaxShortcut = 4096;

const char kStartup[] = "\\Windows\\Startup";

Step step(Kind kind, const std::string &shortcut, const std::string &target = std::string())
{
    return Step{kind, shortcut, target, std::string(), 0, 0, 0};
}

// Runs one program as the shell would, in its own process on this board
// (the folder named in full, whatever folder the program starts in).
Step run_program(Step s, const std::string &board_dir, bool quiet)
{
    child::Launch launch;
    launch.argv = {s.program};
    launch.env = {{"BOARD_DIR", board_dir}};
    if (quiet) {
        launch.in = child::Stream::null_input();
        launch.out = launch.err = child::Stream::null_output();
    }
    pid_t pid = child::start(launch, &s.error);
    if (pid < 0) {
        s.kind = Kind::NotStarted;
        return s;
    }
    child::Ended end = child::wait(pid);
    s.kind = Kind::Ran;
    s.exit_code = end.exit_code;
    s.signal = end.signal;
    return s;
}

// The shortcut's device path, the name it has in the folder escaped.
std::string shown_shortcut(const std::string &shortcut)
{
    size_t back = shortcut.rfind('\\');
    return shortcut.substr(0, back + 1) + text::excerpt(shortcut.substr(back + 1));
}

}  // namespace

bool Outcome::failed() const
{
    for (const Step &s : steps)
        if (s.kind == Kind::Unreadable)
            return true;
    return false;
}

std::string device_programs()
{
    return self_path::library_folder() + "/device";
}

Outcome run(const Options &options, const std::function<void(const Step &)> &seen)
{
    const std::string programs = options.programs.empty() ? device_programs() : options.programs;
    set_power(true);
    trace("boot");
    // As the board's start-up code does before any program runs ('board
    // status' shows what it decided).
    serial::apply_at_start();
    char board_dir[PATH_MAX];
    if (!realpath(dir().c_str(), board_dir))
        throw Error{"cannot find the board folder " + dir()};
    Outcome out;
    auto report = [&](const Step &s) {
        out.steps.push_back(s);
        if (seen)
            seen(s);
    };
    for (const std::string &name : files::list(kStartup)) {
        if (!ends_with_folded(name, ".lnk"))
            continue;
        std::string shortcut = std::string(kStartup) + "\\" + name;
        // A folder, a link, a pipe or a name the device cannot hold are all
        // no shortcut, as text that is none: read() tells them so.
        std::string text, target, program;
        Step s = step(Kind::NotAShortcut, shortcut);
        switch (files::read(shortcut, &text, kMaxShortcut, &s.error)) {
        case files::Read::Missing:  // gone since the folder was read
            continue;
        case files::Read::Failed:
            s.kind = Kind::Unreadable;
            report(s);
            continue;
        case files::Read::NotAFile:
            report(s);
            continue;
        case files::Read::Done:
            break;
        }
        if (!files::shortcut_target(text, &target)) {
            report(s);
            continue;
        }
        s.target = target;
        Lookup found = find_program(target, programs, &program);
        if (found != Lookup::Found) {
            s.kind = found == Lookup::Refused ? Kind::Refused : Kind::NotAProgram;
            s.program = found == Lookup::Refused ? std::string() : programs;
            report(s);
            continue;
        }
        s.kind = Kind::Running;
        s.program = program;
        report(s);
        report(run_program(s, board_dir, options.quiet));
    }
    return out;
}

std::string line(const Step &s)
{
    // What the folder and the shortcut hold is anybody's: never whole, never raw.
    const std::string shortcut = shown_shortcut(s.shortcut), target = text::excerpt(s.target);
    switch (s.kind) {
    case Kind::NotAShortcut:
        return "boot: " + shortcut + " is not a shortcut";
    case Kind::Unreadable:
        return "boot: cannot read " + shortcut + ": " + std::strerror(s.error);
    case Kind::Refused:
        return "boot: " + target + " (" + shortcut + ") refused: not a program name the device allows";
    case Kind::NotAProgram:
        return "boot: " + target + " (" + shortcut + ") is not a program in " + s.program;
    case Kind::Running:
        return "boot: running " + target + " (" + shortcut + ")";
    case Kind::NotStarted:
        return "boot: cannot start " + target + ": " + std::strerror(s.error);
    case Kind::Ran:
        if (s.exit_code >= 0)
            return "boot: " + target + " exited with code " + std::to_string(s.exit_code);
        return "boot: " + target + " ended by signal " + std::to_string(s.signal);
    }
    return std::string();
}

}  // namespace boot
}  // namespace board
