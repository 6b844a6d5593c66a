// Other processes for tests: starting a built program (as
// common/child_process.h starts one), running one and capturing what it
// prints, and forking a child that runs a function.
#pragma once

#include "common/child_process.h"

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace test_support {

struct ProgramResult {
    int exit_code;  // -1 when the program was killed by a signal
    int signal;     // the signal that killed it, else 0
    std::string out, err;
};

// Starts the program launch names; throws std::runtime_error, naming it, when
// it cannot be started or run.  The caller waits for it (child::wait).
pid_t start_program(const child::Launch &launch);

// Starts launch's program with its standard output (stream 1) or error
// (stream 2) on a pipe; *read_end gets the end this side reads.  -1, with
// a test failure added, when it cannot be started or run.
pid_t start_piped(child::Launch launch, int stream, int *read_end);

// Runs path with args in this process's environment and waits for it (exit
// code 127 when it could not be run).
ProgramResult run_program(const std::string &path, const std::vector<std::string> &args);

// Forks a child that runs body and exits with its result (with 99 when
// body throws).  The child never returns into the test.
pid_t fork_child(const std::function<int()> &body);

// Waits for a child; its exit code, or -1 when a signal ended it.
int wait_child(pid_t pid);

}  // namespace test_support
