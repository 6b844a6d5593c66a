// The full-screen Control Panel's loop: it reads the board, draws, takes
// a key, until the user quits, a signal asks it to end or the terminal
// hangs up; and how it sets up (the board, the debug log, the terminal,
// the crash reports) and ends.  Drawing is screen_draw.cpp, the keys and
// the mouse screen_input.cpp, the terminal terminal.cpp.
#include "ui.h"

#include "crash.h"
#include "screen.h"
#include "terminal.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <unistd.h>

namespace ui {

namespace {

// The signal that asked the Control Panel to end (0: none).
std::atomic<int> g_signalled{0};
void on_signal(int sig) { g_signalled = sig; }

// Whether the terminal has hung up (its other end closed): getch() then
// answers at once with nothing, for ever, instead of waiting for a key.
bool terminal_gone()
{
    struct pollfd in = {STDIN_FILENO, POLLIN, 0};
    return poll(&in, 1, 0) < 0 || (in.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

}  // namespace

void Screen::status(const std::string &s)
{
    status_ = s;
    status_time_ = Clock::now();
}

void Screen::run()
{
    while (!quit_ && !g_signalled) {
        after_input();  // the dialog may have ended on its own
        if (dlg_) {
            info_ = host_dialog_info(dlg_);
            controls_ = host_controls(dlg_);
        }
        view_.refresh();
        int ch;
        {
            CursesUse use(g_curses);
            draw();
            ch = getch();
            if (ch == 27)
                ch = escape_or_nothing();
        }
        if (ch != ERR)
            key(ch);
        else if (terminal_gone())
            g_signalled = SIGHUP;  // as a hang-up: the terminal will give no more input
    }
}

bool Screen::close_open_dialog()
{
    if (!cp_.running())
        return true;
    bool ok = cpl::close_dialog(cp_, dlg_, kDialogTimeoutMs);
    dlg_ = nullptr;
    return ok;
}

}  // namespace ui

using namespace ui;

int run_interactive(const std::string &folder)
{
    if (!isatty(0) || !isatty(1)) {
        std::fprintf(stderr, "controlpanel: the full-screen mode needs a terminal "
                             "(see --list and --script)\n");
        return 1;
    }
    std::string log;
    try {
        board::status();  // makes the default board on first use
        const char *env = std::getenv("BOARD_DEBUG_LOG");
        if (!env || !*env)
            setenv("BOARD_DEBUG_LOG", board::path("debug.log").c_str(), 1);
        log = std::getenv("BOARD_DEBUG_LOG");
    } catch (const board::Error &e) {
        std::fprintf(stderr, "controlpanel: %s\n", e.message.c_str());
        return 1;
    }

    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaction(sig, &sa, nullptr);

    {
        ErrorsToLog errors(log);
        // A fault or crash gives the terminal back first, then says what
        // ended it (the sanitizers' report goes to the debug log).
        crash::catch_all(give_back_now, log);
        Terminal terminal;
        if (!Terminal::active) {
            errors.restore();
            const char *term = std::getenv("TERM");
            std::fprintf(stderr, "controlpanel: cannot work the terminal TERM='%s' names (see --list and --script)\n",
                         term ? term : "");
            return 1;
        }
        cpl::ControlPanel cp(folder);
        Screen screen(cp, log);
        screen.run();
        if (g_signalled) {
            // Ended from outside (Ctrl-C, a hang-up, kill), as a Control
            // Panel killed on the device: nothing more reaches the applets.
            // An open dialog is not closed for the user (its close box would
            // choose for them), no CPL_STOP or CPL_EXIT goes out; what an
            // applet had started (Hemlark's PWM) stays as it was.
            give_back_now();
            std::fflush(nullptr);
            std::_Exit(128 + g_signalled);  // as the shell reports a process the signal ended
        }
        if (!screen.close_open_dialog()) {
            Terminal::restore();
            errors.restore();
            std::fprintf(stderr, "controlpanel: the open dialog does not close; giving up\n");
            std::fflush(nullptr);
            std::_Exit(1);
        }
    }
    return g_signalled ? 128 + g_signalled : 0;  // a signal while q closed the dialog
}
