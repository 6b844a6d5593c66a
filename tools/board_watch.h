// 'board watch': a live line for each change on the board.
#pragma once

#include <string>
#include <vector>

// args: what follows "watch" on the command line.  Returns the exit status.
int board_watch(const std::vector<std::string> &args);
