// How the Control Panel says what ended it when an applet takes it down,
// in every mode (full screen, --script, --list): a fault that no handler
// takes or an exception nothing caught, or a crash (a bad pointer, say).
// One line on standard error names the program, what happened and, where
// known, the applet and the script line; then the process ends as such an
// end does: abort() for a fault (status 134), the signal's own default for
// a crash (128+N).  Under the sanitizers their report comes first and the
// status is theirs.
#pragma once

#include <string>

namespace crash {

// Installs the reports.  give_back (when given) runs before the line is
// written: the full-screen mode gives the terminal and standard error back
// there.  debug_log (when not empty) is named in the line.  A later call
// replaces what an earlier one gave.
void catch_all(void (*give_back)() = nullptr, const std::string &debug_log = "");

// What an applet is doing on the Control Panel's thread.
enum class Stage { None, Loading, Open, Ending };

// While it lives, the line names file (which must outlive it) as being
// loaded, open (its double-click running) or ending (CPL_STOP, CPL_EXIT,
// unloading).  One at a time, on the Control Panel's thread.
class AppletNote {
public:
    AppletNote(const char *file, Stage stage);
    ~AppletNote();
    AppletNote(const AppletNote &) = delete;
    AppletNote &operator=(const AppletNote &) = delete;
};

// The script line being run (where must outlive the note; null: none).
void note_line(const char *where, int line);

}  // namespace crash
