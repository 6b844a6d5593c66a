// A test on its own board folder, reset as 'board reset' leaves it.
#pragma once

#include "board/board.h"
#include "board_folder.h"

#include <string>
#include <unistd.h>

class ResetBoard : public test_support::BoardTest {
protected:
    ResetBoard() { board::reset(); }
    std::string file(const std::string &name) const { return board_.dir() + "/" + name; }
    static bool exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }
};
