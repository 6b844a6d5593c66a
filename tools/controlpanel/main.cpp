// controlpanel: the Control Panel of the simulated board.  It loads the
// applets of the project's library folder (or of --applets DIR) as the device does and lets the
// user open them, full-screen in the terminal or driven by a script.
#include "applets.h"
#include "crash.h"
#include "runner.h"
#include "script.h"
#include "ui.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>

namespace {

const char kUsage[] =
    "usage: controlpanel [--applets DIR] [--list | --script FILE]\n"
    "\n"
    "  (no option)      full-screen Control Panel with a live view of the board\n"
    "  --list           one line per applet: file, name, description (tab-separated)\n"
    "  --script FILE    run the commands of FILE ('-' for standard input)\n"
    "  --applets DIR    load the *.cpl files of DIR (default: beside the project's libraries)\n"
    "  --help           this text\n"
    "\n"
    "Script commands, one a line of at most 4096 bytes ('#' starts a comment):\n"
    "  open NAME                 double-click the applet (its name or file name)\n"
    "  click ID                  click control ID of the open dialog\n"
    "  key enter|escape|tab      press a key in the open dialog\n"
    "  scroll ID lineleft|lineright|pageleft|pageright|left|right|endscroll\n"
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
    "Exit status: 0 done, 1 the board or a file could not be used, 2 bad arguments\n"
    "or a bad script line, 128+N when signal N (Ctrl-C: 130) ended it.  A fault\n"
    "that nothing handled ends it with 134 (as abort), a crash with 128+N for the\n"
    "signal (SIGSEGV: 139), after a line saying what ended it and in which applet.\n"
    "A signal ends it where it is: an open dialog is left as it is, not closed\n"
    "through its close box, and nothing more is sent to the applets ('quit' and\n"
    "'q' close it first).\n";

static_assert(script::kMaxLine == 4096, "the usage text names the longest line");

int usage_error(const std::string &what)
{
    std::fprintf(stderr, "controlpanel: %s\n(see 'controlpanel --help')\n", what.c_str());
    return 2;
}

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

}  // namespace

int main(int argc, char **argv)
{
    std::string folder = cpl::applet_folder();
    std::string script;
    bool do_list = false, do_script = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--list") {
            do_list = true;
        } else if (arg == "--applets" || arg == "--script") {
            if (i + 1 >= argc)
                return usage_error(arg + " needs an argument");
            (arg == "--applets" ? folder : script) = argv[++i];
            do_script = do_script || arg == "--script";
        } else {
            return usage_error("unknown argument '" + script::excerpt(arg) + "'");
        }
    }
    if (do_list && do_script)
        return usage_error("--list and --script do not go together");
    struct stat st;
    if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        std::fprintf(stderr, "controlpanel: %s is not a folder of applets\n", field(folder).c_str());
        return 1;
    }

    if (do_list || do_script) {
        // An applet that faults or crashes ends the Control Panel: say so.
        const char *log = std::getenv("BOARD_DEBUG_LOG");
        crash::catch_all(nullptr, log ? log : "");
    }
    if (do_list) {
        cpl::ControlPanel cp(folder);
        return list(cp);
    }
    if (do_script)
        return run_script(folder, script);
    return run_interactive(folder);
}
