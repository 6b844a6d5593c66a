// board wine: a Windows program run under Wine on the board, its GPI1: the
// board's (through 'board serve', started for it unless one serves the
// board already).
#include "served_file.h"

#include "board/board.h"
#include "common/child_process.h"
#include "common/self_path.h"
#include "common/text.h"
#include "platform/served_wire.h"

#include "board_commands.h"
#include "cli.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char kDescription[] =
    "Runs PROGRAM (a Windows program, with its ARGs) under wine64 on the board in\n"
    "BOARD_DIR: its GPI1: is the board's.  A 'board serve' is started for it unless\n"
    "one serves the board already, and stopped when the program ends.  BOARD_GPI1\n"
    "is set in the program's environment.  Ctrl-C goes to the program; SIGTERM and\n"
    "SIGHUP are handed on to it.";

const char kFooter[] =
    "The Wine loader is WINE when set, else wine64 on the PATH, else\n"
    "/usr/lib/wine/wine64.\n"
    "\n"
    "Exit status: the program's; 1 the board could not be served or Wine not run;\n"
    "2 bad arguments.\n";

int usage_error(const std::string &what) { return cli::usage_error("board wine", what); }

// The Wine loader to run.
std::string wine_loader()
{
    if (const char *w = std::getenv("WINE"); w && *w)
        return w;
    if (const char *path = std::getenv("PATH")) {
        std::string p = path;
        for (size_t at = 0; at <= p.size();) {
            size_t end = p.find(':', at);
            if (end == std::string::npos)
                end = p.size();
            std::string candidate = (end > at ? p.substr(at, end - at) : ".") + "/wine64";
            if (access(candidate.c_str(), X_OK) == 0)
                return candidate;
            at = end + 1;
        }
    }
    return "/usr/lib/wine/wine64";
}

// A server started here: its process, and the line it printed.
struct Started {
    pid_t pid = -1;
    std::string line;
};

// Starts 'board serve' and reads its first line (10 s at most).
bool start_server(Started *s)
{
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return false;
    child::Launch launch;
    launch.argv = {self_path::program_file(), "serve"};
    launch.out = child::Stream::of(out[1]);
    launch.in = child::Stream::null_input();
    int error = 0;
    s->pid = child::start(launch, &error);
    close(out[1]);
    if (s->pid < 0) {
        close(out[0]);
        return false;
    }
    std::string got;
    char c;
    while (got.size() < 200) {
        struct pollfd p = {out[0], POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0 || read(out[0], &c, 1) != 1)
            break;
        if (c == '\n') {
            s->line = got;
            break;
        }
        got += c;
    }
    close(out[0]);
    return !s->line.empty();
}

// The program run, for a signal to be handed on to.
volatile pid_t g_program = 0;
void hand_on(int sig)
{
    if (g_program > 0)
        kill(g_program, sig);
}

void stop_server(const Started &s)
{
    if (s.pid <= 0)
        return;
    kill(s.pid, SIGTERM);
    child::wait(s.pid);
}

int run_under_wine(std::vector<std::string> program)
{
    if (!program.empty() && program[0] == "--")
        program.erase(program.begin());
    if (program.empty())
        return usage_error("a PROGRAM to run is needed");

    board::status();  // the board is usable (or says why not)
    board::file_util::Folder folder(board::dir());
    // Ctrl-C goes to the program (the same process group), not to the
    // server started here, nor to this one, which waits for the program.
    signal(SIGINT, SIG_IGN);
    Started started;
    std::string line;
    if (served::serving(folder))
        line = served::read_line(folder);
    if (line.empty()) {
        if (!start_server(&started)) {
            stop_server(started);
            std::fprintf(stderr, "board wine: 'board serve' did not start for %s\n", folder.path().c_str());
            return 1;
        }
        line = started.line;
    }
    std::string value = line.substr(std::strlen(SERVED_ENV) + 1);

    child::Launch launch;
    launch.argv.push_back(wine_loader());
    launch.argv.insert(launch.argv.end(), program.begin(), program.end());
    launch.env.push_back({SERVED_ENV, value});
    launch.default_signals = true;
    // SIGTERM and SIGHUP end the program, and then this (and the server it
    // started) as when the program ends by itself.
    struct sigaction forward {};
    forward.sa_handler = hand_on;
    sigaction(SIGTERM, &forward, nullptr);
    sigaction(SIGHUP, &forward, nullptr);
    int error = 0;
    pid_t pid = child::start(launch, &error);
    g_program = pid;
    int status = 1;
    if (pid < 0 || error) {
        std::fprintf(stderr, "board wine: cannot run %s: %s\n", launch.argv[0].c_str(), std::strerror(error));
        if (pid > 0)
            child::wait(pid);
    } else {
        child::Ended e = child::wait(pid);
        status = e.exit_code >= 0 ? e.exit_code : 128 + e.signal;
    }
    stop_server(started);
    return status;
}

}  // namespace

namespace board_tool {

Run define_wine(CLI::App &app)
{
    app.footer(std::string(kDescription) + "\n\n" + kFooter);
    auto program = std::make_shared<std::vector<std::string>>();
    app.add_option("PROGRAM", *program, "the program and its arguments")->required()->type_name("PROGRAM [ARG...]");
    app.prefix_command();  // everything from PROGRAM on is the program's
    CLI::App *self = &app;
    return [self, program] {
        std::vector<std::string> all = *program, rest = self->remaining();
        all.insert(all.end(), rest.begin(), rest.end());
        return run_under_wine(all);
    };
}

}  // namespace board_tool
