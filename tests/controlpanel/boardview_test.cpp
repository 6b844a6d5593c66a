// Pieces of the board view: the PWM waveform and the debug tail.
#include "boardview.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

TEST(BoardView, WaveformDrawsTheDutyCycleOfARunningChannel)
{
    EXPECT_EQ(waveform(board::Pwm{1, 16, 256, 512}, 16, false), "----____----____");
    EXPECT_EQ(waveform(board::Pwm{1, 16, 128, 512}, 12, false), "--______--__");
    EXPECT_EQ(waveform(board::Pwm{1, 16, 1023, 512}, 8, false), "--------");  // dcr past pcr
    EXPECT_EQ(waveform(board::Pwm{1, 16, 0, 512}, 8, false), "________");
    EXPECT_EQ(waveform(board::Pwm{1, 16, 256, 0}, 8, false), "________");    // no period
    EXPECT_EQ(waveform(board::Pwm{0, 16, 256, 512}, 8, false), "________");  // stopped
    EXPECT_EQ(waveform(board::Pwm{1, 0, 256, 512}, 2, true), "\u2594\u2594");
}

TEST(BoardView, TailKeepsTheLastLinesWithoutTheirEnds)
{
    char name[] = "/tmp/cpl_tail_XXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    {
        std::ofstream out(name, std::ios::binary);
        out << "one\r\ntwo\r\nthree\r\n";
    }
    EXPECT_EQ(tail_lines(name, 2), (std::vector<std::string>{"two", "three"}));
    EXPECT_EQ(tail_lines(name, 9), (std::vector<std::string>{"one", "two", "three"}));
    {
        // A long file is read from its end; a line cut by that is left out.
        std::ofstream out(name, std::ios::binary | std::ios::app);
        for (int i = 0; i < 3000; ++i)
            out << "line " << i << "\r\n";
        out << "unfinished";
    }
    std::vector<std::string> t = tail_lines(name, 1000000);
    ASSERT_FALSE(t.empty());
    EXPECT_EQ(t.back(), "unfinished");
    EXPECT_EQ(t[t.size() - 2], "line 2999");
    EXPECT_EQ(t.front().rfind("line ", 0), 0u);
    EXPECT_LT(t.size(), 3000u);
    std::remove(name);
    EXPECT_TRUE(tail_lines(name, 5).empty());
}

// The board tool is run without a shell: a folder name with a quote in it
// is only a name.  Both its outputs are caught; its input is empty.
TEST(BoardView, RunCapturingNeedsNoShell)
{
    char name[] = "/tmp/cpl_run_XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    std::string folder = std::string(name) + "/it's \"here\" $(x)";
    ASSERT_EQ(mkdir(folder.c_str(), 0777), 0);
    std::string tool = folder + "/board";
    {
        std::ofstream out(tool);
        out << "#!/bin/sh\necho \"out $1\"\necho err >&2\nread x && echo \"read $x\"\nexit 3\n";
    }
    ASSERT_EQ(chmod(tool.c_str(), 0755), 0);
    std::string output;
    EXPECT_EQ(run_capturing({tool, "boot"}, &output), 3);
    EXPECT_EQ(output, "out boot\nerr\n");

    EXPECT_EQ(run_capturing({folder + "/missing", "boot"}, &output), -1);
    EXPECT_EQ(output.rfind("cannot run " + folder + "/missing: ", 0), 0u) << output;
    std::filesystem::remove_all(name);
}

}  // namespace
