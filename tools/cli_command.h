// The command line of one 'board' sub-command, parsed with CLI11: its
// usage errors and --help, alike for every sub-command.
#pragma once

#include "common/text.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>
#include <vector>

namespace tools {

// 'board COMMAND: WHAT' and where the help is, on stderr; exit status 2.
inline int usage_error(const std::string &command, const std::string &what)
{
    std::fprintf(stderr, "board %s: %s\n(see 'board %s --help')\n", command.c_str(), what.c_str(),
                 command.c_str());
    return 2;
}

// Parses args (what follows the command's name) into app: -1 to go on,
// else the exit status (0 once --help is printed, 2 for a usage error).
inline int parse_command(CLI::App &app, const std::string &command, const std::vector<std::string> &args)
{
    std::string name = "board " + command;
    std::vector<const char *> argv{name.c_str()};
    for (const std::string &a : args)
        argv.push_back(a.c_str());
    try {
        app.parse(static_cast<int>(argv.size()), argv.data());
    } catch (const CLI::Success &) {
        std::fputs(app.help().c_str(), stdout);
        return 0;
    } catch (const CLI::ParseError &e) {
        return usage_error(command, text::excerpt(e.what(), 200));
    }
    return -1;
}

}  // namespace tools
