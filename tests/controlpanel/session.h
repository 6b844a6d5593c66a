// The fixture of the end-to-end tests: a fresh board folder per test (the
// shared one of tests/support), and controlpanel run as its own process
// against it.
#pragma once

#include "board/board.h"
#include "ce_host.h"
#include "reset_board.h"
#include "process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace cpltest {

namespace fs = std::filesystem;

inline const std::string kBin = CONTROLPANEL_BIN;
inline const std::string kAppletDir = fs::path(CONTROLPANEL_BIN).parent_path();

struct Outcome {
    int status;
    std::string out, err;
};

using test_support::read_file;

// The lines of text without their ends, "\r\n" (the debug output's) or "\n".
inline std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> out = test_support::split_lines(text);
    for (std::string &l : out)
        if (!l.empty() && l.back() == '\r')
            l.pop_back();
    return out;
}

// Copies an applet so that it looks for the libraries it needs in its own
// folder only, as on the device: the build's search path, which also names
// the build folder, is cut back to its first entry, "$ORIGIN".
inline void copy_searching_own_folder(const std::string &from, const std::string &to)
{
    std::string image = read_file(from);
    size_t at = image.find("$ORIGIN:");
    if (at != std::string::npos)
        image[at + 7] = '\0';
    std::ofstream(to, std::ios::binary) << image;
    fs::permissions(to, fs::perms::owner_all);
}

class Session : public ResetBoard {
protected:

    // Runs controlpanel with args; script (when given) is written to a file
    // and passed with --script.
    Outcome run(std::vector<std::string> args, const std::string &script = "")
    {
        return spawn(std::move(args), script, "/dev/null");
    }
    // Runs controlpanel with args and standard input from the file in.
    Outcome run_stdin(std::vector<std::string> args, const std::string &in)
    {
        return spawn(std::move(args), "", in);
    }
    Outcome spawn(std::vector<std::string> args, const std::string &script, const std::string &in)
    {
        pid_t pid = start(std::move(args), script, in);
        Outcome r{-1, "", ""};
        if (pid > 0) {
            int st = 0;
            waitpid(pid, &st, 0);
            r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        }
        r.out = read_file(dir_ + "/out");
        r.err = read_file(dir_ + "/err");
        return r;
    }
    // Starts controlpanel as spawn() does and returns its process id (-1
    // when it could not start) without waiting; SIGINT, SIGHUP and SIGTERM
    // are at their default action, as for a shell's foreground job.
    pid_t start(std::vector<std::string> args, const std::string &script, const std::string &in)
    {
        if (!script.empty()) {
            std::ofstream(dir_ + "/script") << script;
            args.insert(args.begin(), {"--script", dir_ + "/script"});
        }
        child::Launch launch;
        launch.argv = {kBin};
        launch.argv.insert(launch.argv.end(), args.begin(), args.end());
        launch.in = child::Stream::file(in, O_RDONLY);
        launch.out = child::Stream::file(dir_ + "/out", O_WRONLY | O_CREAT | O_TRUNC);
        launch.err = child::Stream::file(dir_ + "/err", O_WRONLY | O_CREAT | O_TRUNC);
        launch.default_signals = true;
        try {
            return test_support::start_program(launch);
        } catch (const std::exception &) {
            return -1;
        }
    }
    // The value of name in key of the board's registry file, as the file
    // writes it ("dword:00000001"), or "" when it is not there.
    std::string registry_value(const std::string &key, const std::string &name)
    {
        std::string section;
        for (const std::string &l : split_lines(read_file(file("registry.reg")))) {
            if (!l.empty() && l[0] == '[')
                section = l;
            else if (section == "[" + key + "]" && l.rfind("\"" + name + "\"=", 0) == 0)
                return l.substr(name.size() + 3);
        }
        return "";
    }
    std::vector<std::string> trace() { return board_.trace_lines(); }
    std::vector<std::string> debug() { return split_lines(board_.debug_log()); }

    // The board folder (BOARD_DIR): the runs' files go there too.
    const std::string dir_ = board_.dir();
};

}  // namespace cpltest
