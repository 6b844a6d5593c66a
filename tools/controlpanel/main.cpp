// controlpanel: the Control Panel of the simulated board.  It loads the
// applets of the project's library folder (or of --applets DIR) as the device does and lets the
// user open them, full-screen in the terminal or driven by a script.
#include "applets.h"
#include "crash.h"
#include "runner.h"
#include "script.h"
#include "ui.h"
#include "cli.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>

namespace {

const char kFooter[] =
    "Without --list or --script: the full-screen Control Panel with a live view of\n"
    "the board.\n"
    "\n"
    "Script commands, one a line of at most 4096 bytes ('#' starts a comment):\n"
    "  open NAME                 double-click the applet (its name or file name)\n"
    "  click ID                  click control ID of the open dialog\n"
    "  key enter|escape|tab      press a key in the open dialog\n"
    "  scroll ID PART            press PART of scroll bar ID: lineleft, lineright,\n"
    "                            pageleft, pageright, left, right or endscroll\n"
    "  drag ID POS               drag the thumb of scroll bar ID to POS and let go\n"
    "  ok                        the caption's OK button\n"
    "  close                     the caption's close box\n"
    "  pin N 0|1|release         apply an external level to pin N, or take it away\n"
    "  wait MS                   let MS milliseconds pass\n"
    "  show                      print the open dialog, one control a line\n"
    "  quit                      close the open dialog and stop\n"
    "\n"
    "The board is the one in BOARD_DIR; when unset, $XDG_STATE_HOME/ceboard/default\n"
    "(XDG_STATE_HOME defaults to ~/.local/state).  A folder that does not exist yet\n"
    "is created, with a fresh default board.  Debug output goes where\n"
    "BOARD_DEBUG_LOG says (the full-screen mode sets it to debug.log in the board\n"
    "folder when unset).\n"
    "\n"
    "Exit status: 0 done, 1 the board or a file could not be used or the output\n"
    "could not be written, 2 bad arguments or a bad script line, 128+N when signal N (Ctrl-C: 130) ended it.  A fault\n"
    "that nothing handled ends it with 134 (as abort), a crash with 128+N for the\n"
    "signal (SIGSEGV: 139), after a line saying what ended it and in which applet.\n"
    "A signal ends it where it is: an open dialog is left as it is, not closed\n"
    "through its close box, and nothing more is sent to the applets ('quit' and\n"
    "'q' close it first).";

static_assert(script::kMaxLine == 4096, "the usage text names the longest line");

// A file name or text of an applet as one field of a line: a tab or line
// end in it would make fields or lines of its own.
std::string field(const std::string &s) { return script::excerpt(s, script::kLongExcerpt); }

int list(const cpl::ControlPanel &cp)
{
    for (const cpl::Applet &a : cp.applets()) {
        if (a.loaded())
            std::printf("%s\t%s\t%s\n", field(a.file).c_str(), field(a.name).c_str(), field(a.info).c_str());
        else
            std::printf("%s\tnot loaded: %s\n", field(a.file).c_str(), field(a.error).c_str());
    }
    return 0;
}

int run(const std::string &folder, bool do_list, const std::string &script)
{
    struct stat st;
    if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        std::fprintf(stderr, "controlpanel: %s is not a folder of applets\n", field(folder).c_str());
        return 1;
    }
    if (do_list || !script.empty()) {
        // An applet that faults or crashes ends the Control Panel: say so.
        const char *log = std::getenv("BOARD_DEBUG_LOG");
        crash::catch_all(nullptr, log ? log : "");
    }
    if (do_list) {
        cpl::ControlPanel cp(folder);
        return list(cp);
    }
    if (!script.empty())
        return run_script(folder, script);
    return run_interactive(folder);
}

}  // namespace

int main(int argc, char **argv)
{
    CLI::App app{"The Control Panel of the simulated board: its applets, full screen in the\n"
                 "terminal or driven by a script.",
                 "controlpanel"};
    cli::set_up(app);
    app.footer(kFooter);
    std::string folder = cpl::applet_folder(), script;
    bool do_list = false;
    CLI::Option *listing = app.add_flag("--list", do_list, "one line per applet: file, name, description\n(tab-separated)");
    app.add_option("--script", script, "run the commands of FILE ('-' for standard input)")
        ->type_name("FILE")
        ->excludes(listing)
        ->check([](const std::string &file) -> std::string {
            if (file.empty())
                throw cli::UsageError("--script needs a file ('-' for standard input)");
            return "";
        });
    app.add_option("--applets", folder, "load the *.cpl files of DIR (default: the\nproject's library folder)")
        ->type_name("DIR");
    if (std::optional<int> done = cli::parse(app, argc, argv))
        return *done;
    return cli::finish("controlpanel", run(folder, do_list, script));
}
