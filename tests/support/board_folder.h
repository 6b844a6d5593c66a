// A fresh simulated board for one test: an empty temporary folder named by
// BOARD_DIR, with BOARD_TRACE and BOARD_DEBUG_LOG pointing at files inside
// it.  Each test gets its own, so tests run in parallel (ctest -j) without
// seeing one another's board.  The variables are put back and the folder is
// removed when the object goes away.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace test_support {

class BoardFolder {
public:
    BoardFolder();
    ~BoardFolder();
    BoardFolder(const BoardFolder &) = delete;
    BoardFolder &operator=(const BoardFolder &) = delete;

    const std::string &dir() const { return dir_; }
    std::string trace_path() const { return dir_ + "/trace"; }
    std::string debug_log_path() const { return dir_ + "/debug.log"; }

    // The trace lines written so far, without their newlines.
    std::vector<std::string> trace_lines() const;
    // Forgets the trace written so far.
    void clear_trace() const;
    // Everything written to the debug output so far.
    std::string debug_log() const;
    void clear_debug_log() const;

private:
    struct Saved {
        const char *name;
        bool set;
        std::string value;
    };
    std::string dir_;
    std::vector<Saved> saved_;
};

// A test with its own board folder.
class BoardTest : public ::testing::Test {
protected:
    BoardFolder board_;
};

// Whole contents of a file; empty when it does not exist.
std::string read_file(const std::string &path);

// Replaces a file's contents with text.
void write_file(const std::string &path, const std::string &text);

// Splits text into lines, without the newlines.
std::vector<std::string> split_lines(const std::string &text);

}  // namespace test_support
