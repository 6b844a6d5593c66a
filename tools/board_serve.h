// 'board serve' and 'board wine': the board's GPI1: served to desktop
// builds of the product, and a Windows program run under Wine on it.
#pragma once

#include <string>
#include <vector>

// args: what follows "serve" / "wine" on the command line.  Returns the
// exit status.
int board_serve(const std::vector<std::string> &args);
int board_wine(const std::vector<std::string> &args);
