// board reset, plug, unplug, fault, boot and sync: the board as a whole,
// its start-up and its desktop connection.
#include "board/board.h"
#include "board/boot.h"
#include "board_commands.h"
#include "cli.h"
#include "common/text.h"
#include "sync_client.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <sys/stat.h>

namespace {

// Prints each step of the boot as it happens, so that what a program
// prints comes after the line saying it runs.
int boot(const std::string &programs)
{
    using board::boot::Step;
    board::boot::Options options;
    options.programs = programs;
    board::boot::Outcome outcome = board::boot::run(options, [](const Step &s) {
        if (s.kind == Step::Kind::Ran && s.error)
            std::fprintf(stderr, "boot: cannot run %s: %s\n",
                         text::excerpt(s.program, std::string::npos).c_str(), std::strerror(s.error));
        std::printf("%s\n", board::boot::line(s).c_str());
        std::fflush(stdout);
    });
    return outcome.failed() ? 1 : 0;
}

int sync_cmd()
{
    SyncVerdict v = sync_verdict();
    std::printf("%s\n", v.line.c_str());
    return v.connected ? 0 : 1;
}

// A command that takes nothing and does one thing to the board.
board_tool::Run plain(void (*act)())
{
    return [act] {
        act();
        return 0;
    };
}

}  // namespace

namespace board_tool {

Run define_reset(CLI::App &app)
{
    app.footer("Also writes the default registry and files, with the start-up shortcut\n"
               "\\Windows\\Startup\\Velmorra.lnk.");
    return plain(board::reset);
}

Run define_unplug(CLI::App &) { return plain([] { board::set_plugged(false); }); }
Run define_plug(CLI::App &) { return plain([] { board::set_plugged(true); }); }
Run define_fault(CLI::App &) { return plain(board::arm_fault); }

Run define_hold(CLI::App &app)
{
    auto state = std::make_shared<std::string>();
    app.add_option("STATE", *state, "on: requests wait; off: they go on")
        ->required()
        ->check(cli::one_of("STATE", {"on", "off"}));
    return [state] {
        board::hold_requests(*state == "on");
        return 0;
    };
}

Run define_boot(CLI::App &app)
{
    auto programs = std::make_shared<std::string>();
    app.footer("Powers on, switches the serial debug port as HKEY_LOCAL_MACHINE\\Debug\n"
               "\"dbgSerial\" says (1 on, 0 off, not set: the image's default, on), and runs\n"
               "each shortcut in \\Windows\\Startup, as the shell does; \\Windows\\NAME.exe is\n"
               "the program NAME in the programs folder.\n"
               "Exit status: 0 done, 1 the board could not be used or a start-up shortcut\n"
               "could not be read or run, 2 bad arguments.");
    app.add_option("--programs", *programs,
                   "the device's programs (default: device/ in the folder this tool\n"
                   "is in, where the build puts them)")
        ->type_name("DIR")
        ->check([](const std::string &dir) -> std::string {
            struct stat st;
            if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
                throw cli::UsageError("--programs takes a folder; '" + text::excerpt(dir) + "' is not one");
            return "";
        });
    return [programs] { return boot(*programs); };
}

Run define_sync(CLI::App &app)
{
    app.footer("The entry HKEY_CURRENT_USER\\ControlPanel\\Comm \"Cnct\" names, looked up in\n"
               "the phone book, and its device.\n"
               "Exit status: 0 connected, 1 not (with the reason), 2 bad arguments.");
    return sync_cmd;
}

}  // namespace board_tool
