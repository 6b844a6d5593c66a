// board: look at and change the simulated board in BOARD_DIR.  The tool's
// own command line; each sub-command is in board_commands.h's table.
#include "board/board.h"
#include "board/registry_file.h"
#include "board_commands.h"
#include "cli.h"

#include <cstring>
#include <utility>
#include <vector>

namespace {

const char kFooter[] =
    "'board COMMAND --help' tells more of each command.\n"
    "\n"
    "The board lives in the folder BOARD_DIR names; when BOARD_DIR is unset, in\n"
    "$XDG_STATE_HOME/ceboard/default (XDG_STATE_HOME defaults to ~/.local/state).\n"
    "A folder that does not exist yet is created, with a fresh default board.\n"
    "The device's files are in BOARD_DIR/fs and its registry in\n"
    "BOARD_DIR/registry.reg.  'reset' also writes the default registry and files,\n"
    "with the start-up shortcut \\Windows\\Startup\\Velmorra.lnk.  While the serial\n"
    "debug port is on, the debug output of every program also goes to\n"
    "BOARD_DIR/serial.log; a value Dovrel writes takes effect at the next boot.\n"
    "\n"
    "Exit status: 0 done, 1 a failure (the board could not be used, the output\n"
    "could not be written, or what the command's help says), 2 bad arguments.";

struct Command {
    const char *name;
    const char *summary;
    board_tool::Run (*define)(CLI::App &app);
};

#define BOARD_ENTRY(name, summary) {#name, summary, board_tool::define_##name},
const Command kCommands[] = {BOARD_COMMANDS(BOARD_ENTRY)};
#undef BOARD_ENTRY

}  // namespace

int main(int argc, char **argv)
{
    CLI::App app{"Looks at and changes the simulated board.", "board"};
    cli::set_up(app);
    app.footer(kFooter);
    app.require_subcommand(1);
    std::vector<std::pair<CLI::App *, board_tool::Run>> runs;
    for (const Command &c : kCommands) {
        CLI::App *sub = app.add_subcommand(c.name, c.summary);
        runs.emplace_back(sub, c.define(*sub));
    }
    // 'board help' as it always was.
    std::vector<const char *> args(argv, argv + argc);
    if (argc == 2 && !std::strcmp(argv[1], "help"))
        args[1] = "--help";
    try {
        if (std::optional<int> done = cli::parse(app, argc, args.data()))
            return *done;
        for (const auto &r : runs)
            if (r.first->parsed())
                return cli::finish(cli::path_of(*r.first), r.second());
    } catch (const board::Error &e) {
        return cli::failed("board", e.message);
    } catch (const board::reg::Damaged &d) {
        return cli::failed("board", "registry file " + d.what());
    }
    return cli::kFailed;
}
