// Other programs run as child processes: started without a shell, their
// standard streams and environment set up as the caller asks, and waited
// for.  The one way the board's boot, the tools and the tests' helpers start
// a program.
#pragma once

#ifdef CE_PRODUCT_CODE
#error "product code has no host helpers: it calls the platform (platform/platform.h)"
#endif

#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace child {

// Where one standard stream of the child goes.
struct Stream {
    enum class Kind { Inherit, Fd, File, Closed };
    Kind kind = Kind::Inherit;
    int fd = -1;       // Fd: this descriptor of ours
    std::string path;  // File: opened with flags (created with mode 0644)
    int flags = 0;

    static Stream inherit() { return Stream(); }
    static Stream of(int fd) { return Stream{Kind::Fd, fd, std::string(), 0}; }
    static Stream file(const std::string &path, int flags) { return Stream{Kind::File, -1, path, flags}; }
    static Stream null_input();   // /dev/null, to read
    static Stream null_output();  // /dev/null, to write
    static Stream closed() { return Stream{Kind::Closed, -1, std::string(), 0}; }
};

struct Launch {
    std::vector<std::string> argv;  // argv[0]: the program's path (not looked up in PATH)
    Stream in, out, err;
    // Set in its environment over ours (which it gets as it is otherwise).
    std::vector<std::pair<std::string, std::string>> env;
    // SIGINT, SIGHUP and SIGTERM at their default action, as for a shell's
    // foreground job, whatever this process does with them.
    bool default_signals = false;
    // The most bytes it may write to any file (RLIMIT_FSIZE); -1: no limit.
    long long file_limit = -1;
};

// Starts the program.  The child's process id, or -1 when no process could
// be started (*error: the errno).  When the process started but its
// program could not be run, it has exited with 127 and *error says why (0
// otherwise); the caller waits for it all the same.
pid_t start(const Launch &launch, int *error);

// How a child ended.
struct Ended {
    int exit_code;  // -1 when a signal ended it
    int signal;     // that signal, else 0
};

// Waits for a child to end (through interruptions by signals).
Ended wait(pid_t pid);

}  // namespace child
