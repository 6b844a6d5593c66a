// Setting up the terminal for the screen and giving it back (terminal.h).
#include "terminal.h"

#include "board/board.h"
#include "board/file_util.h"

#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <langinfo.h>
#include <unistd.h>

#include <curses.h>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace ui {

std::recursive_timed_mutex g_curses;
bool g_utf8 = false;
bool Terminal::active = false;

namespace {

ErrorsToLog *g_errors = nullptr;  // while the screen is up

}  // namespace

Terminal::Terminal()
{
    std::setlocale(LC_ALL, "");
    g_utf8 = std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
    // Not initscr(), which ends the program when TERM names no terminal
    // it knows, its message going where standard error points.
    // What it allocates for a terminal it then refuses is lost inside it.
#if defined(__SANITIZE_ADDRESS__)
    __lsan_disable();
#endif
    SCREEN *screen = newterm(nullptr, stdout, stdin);
#if defined(__SANITIZE_ADDRESS__)
    __lsan_enable();
#endif
    if (!screen)
        return;
    active = true;
    cbreak();
    noecho();
    nonl();
    keypad(stdscr, TRUE);
    // Home and End as terminals other than the one TERM names send them
    // (tmux and screen, the Linux console, rxvt, xterm's cursor modes).
    for (const char *seq : {"\033[1~", "\033[7~", "\033[H", "\033OH"})
        define_key(seq, KEY_HOME);
    for (const char *seq : {"\033[4~", "\033[8~", "\033[F", "\033OF"})
        define_key(seq, KEY_END);
    // Time for the rest of a key sequence after its Escape: long enough
    // that a loaded machine does not split a mouse report into Escape
    // and stray keys (100 ms was not, with the tests of four builds
    // running at once), short enough that Escape itself feels prompt
    // (the terminal library's own default is a second).
    set_escdelay(250);
    timeout(100);
    curs_set(0);
    if (has_colors()) {
        start_color();
        use_default_colors();
        init_pair(kTitle, COLOR_WHITE, COLOR_BLUE);
        init_pair(kHigh, COLOR_GREEN, -1);
        init_pair(kLow, COLOR_BLUE, -1);
        init_pair(kExternal, COLOR_YELLOW, -1);
        init_pair(kWarn, COLOR_RED, -1);
        init_pair(kFrame, COLOR_CYAN, -1);
    }
    mousemask(BUTTON1_PRESSED | BUTTON1_RELEASED | REPORT_MOUSE_POSITION, nullptr);
    mouseinterval(0);
    // Report pointer motion while a button is held, for thumb drags.
    std::printf("\033[?1002h");
    std::fflush(stdout);
}

void Terminal::restore()
{
    if (!active)
        return;
    active = false;
    std::printf("\033[?1002l");
    std::fflush(stdout);
    mousemask(0, nullptr);
    curs_set(1);
    endwin();
}

ErrorsToLog::ErrorsToLog(const std::string &log)
{
    saved = dup(2);
    int fd = -1;
    try {
        fd = board::file_util::open_append(log);  // never through a link
    } catch (const board::Error &e) {
        std::fprintf(stderr, "controlpanel: %s; stray messages stay here\n", e.message.c_str());
    }
    if (fd >= 0) {
        dup2(fd, 2);
        close(fd);
    }
    g_errors = this;
}

ErrorsToLog::~ErrorsToLog()
{
    restore();
    if (g_errors == this)
        g_errors = nullptr;
}

void ErrorsToLog::restore()
{
    if (saved >= 0) {
        dup2(saved, 2);
        close(saved);
        saved = -1;
    }
}

void give_back_now()
{
    (void)g_curses.try_lock_for(std::chrono::seconds(1));
    Terminal::restore();
    if (g_errors)
        g_errors->restore();
}

}  // namespace ui
