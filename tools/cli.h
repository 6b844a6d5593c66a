// The command line of every tool: CLI11 set up one way (help, --version,
// one line for each usage error, the exit statuses), numbers and pins read
// by one rule, and the check that standard output took what was written.
#pragma once

#include "decimal.h"

#include <CLI/CLI.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tools {
class PinReader;
}

namespace cli {

constexpr int kDone = 0, kFailed = 1, kUsage = 2;

// A usage error with its whole text, thrown by a validator or a check
// after the parse; the parse says it as it is.
class UsageError : public CLI::ParseError {
public:
    explicit UsageError(const std::string &what) : CLI::ParseError(what, CLI::ExitCodes::ValidationError) {}
};

// Sets up a tool's app: the shared help layout, --help, and --version.
// Sub-commands added later get the same help layout and --help.
void set_up(CLI::App &app);

// Parses the command line.  Empty: go on and run.  Otherwise the status to
// exit with: 0 after the help or the version was printed, 2 after a usage
// error was said, 1 when the help could not be written.
std::optional<int> parse(CLI::App &app, int argc, const char *const *argv);

// "board status", the name a sub-command's messages start with.
std::string path_of(const CLI::App &app);

// One line on stderr: "PROG: WHAT (see 'PROG --help')"; returns 2.
int usage_error(const std::string &prog, const std::string &what);
// One line on stderr: "PROG: WHAT"; returns 1.
int failed(const std::string &prog, const std::string &what);

// The status to exit with once the command ran: what it returned, or 1,
// with a line naming PROG, when standard output did not take all of it.
int finish(const std::string &prog, int status);
// Flushes standard output; false once a write to it failed (kept for
// finish, which says why).
bool flush_out();

// A validator of the number rule (decimal.h) for an option or argument called name.
CLI::Validator number(const std::string &name, const std::string &what, uint64_t lo, uint64_t hi);
// One of the words given: "NAME must be a, b or c, not 'S'" otherwise.
CLI::Validator one_of(const std::string &name, std::vector<std::string> words);
// A pin by number or by the name 'board name' gave it; the value becomes
// the pin's number.  A damaged names file throws board::Error (exit 1).
CLI::Validator pin(std::shared_ptr<tools::PinReader> reader);

}  // namespace cli
