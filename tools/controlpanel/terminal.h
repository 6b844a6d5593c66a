// The terminal while the full-screen Control Panel is up: curses set up
// (keys, mouse, colours) and given back on every way out, standard error
// sent to the debug log meanwhile, the lock that keeps curses to one
// thread, and the glyphs a UTF-8 terminal shows.
#pragma once

#include <mutex>
#include <string>

namespace ui {

// Curses is the Control Panel thread's alone.  A crash on another thread
// (an applet's poll thread, say) must not give the terminal back while
// that thread is inside curses: its next refresh would take the terminal
// again.  The thread holds this while it draws or waits for a key; the
// crash path takes it and never lets go.
extern std::recursive_timed_mutex g_curses;
using CursesUse = std::lock_guard<std::recursive_timed_mutex>;

// Whether the terminal takes UTF-8 (set up by Terminal).
extern bool g_utf8;

// The glyph in UTF-8 terminals, else the ASCII stand-in.
inline const char *glyph(const char *utf8, const char *ascii) { return g_utf8 ? utf8 : ascii; }

// The colour pairs the terminal is set up with; icon colours come after.
enum Pair : short {
    kTitle = 1,
    kHigh,      // a pin or signal at 1
    kLow,       // at 0
    kExternal,  // a level applied from outside
    kWarn,      // absent, off, failed
    kFrame,     // dialog frame and caption
    kFirstDynamic
};

// Puts the terminal back however the program leaves.
struct Terminal {
    Terminal();
    ~Terminal() { restore(); }
    static void restore();
    static bool active;  // set up and not given back yet
};

// Sends the process's own standard error to the debug log while the screen
// is up, so that stray messages land in the debug view instead of on top of it.
struct ErrorsToLog {
    explicit ErrorsToLog(const std::string &log);
    ~ErrorsToLog();
    void restore();
    int saved = -1;
};

// Gives the terminal and standard error back on a way out that skips the
// destructors (a crash, a signal): curses is held for good first (if the
// thread is stuck inside curses, it goes on after a while).
void give_back_now();

}  // namespace ui
