// Test support: a fresh board folder (BOARD_DIR) and debug log
// (BOARD_DEBUG_LOG) for the life of the object.
#pragma once

#include "platform/host/include/ce_host.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

class BoardFolder {
public:
    BoardFolder()
    {
        char templ[] = "/tmp/applet-test-XXXXXX";
        const char *made = mkdtemp(templ);
        EXPECT_NE(made, nullptr);
        dir_ = made ? made : "/tmp";
        log_ = dir_ + "/debug.log";
        setenv("BOARD_DIR", dir_.c_str(), 1);
        setenv("BOARD_DEBUG_LOG", log_.c_str(), 1);
    }
    ~BoardFolder()
    {
        unsetenv("BOARD_DEBUG_LOG");
        unsetenv("BOARD_DIR");
        std::string cmd = "rm -rf '" + dir_ + "'";
        if (std::system(cmd.c_str()) != 0)
            ADD_FAILURE() << "cannot remove " << dir_;
    }
    // Everything written to the debug output so far.
    std::string debug_log() const
    {
        std::ifstream in(log_, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

private:
    std::string dir_;
    std::string log_;
};
