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

// The tail is read from a regular file only: a link in the log's place
// shows the refusal, not its target, and a pipe does not keep it waiting.
TEST(BoardView, TailReadsNoLinkAndNoPipe)
{
    char dir[] = "/tmp/cpl_tail_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string log = std::string(dir) + "/debug.log", secret = std::string(dir) + "/secret";
    std::ofstream(secret) << "secret\n";
    ASSERT_EQ(symlink(secret.c_str(), log.c_str()), 0);
    EXPECT_EQ(tail_lines(log, 5),
              std::vector<std::string>{log + " is a symbolic link: the board reaches no file through a link"});
    std::remove(log.c_str());
    ASSERT_EQ(mkfifo(log.c_str(), 0666), 0);
    EXPECT_TRUE(tail_lines(log, 5).empty());
    std::filesystem::remove_all(dir);
}

// At its narrowest the view still shows every figure whole, with both
// channels at their highest rates: a cut "pcr 1023" would read "pcr 102".
// And it shows what "board status" shows beyond the figures.
TEST(BoardView, TheNarrowestViewCutsNoFigureAndShowsAnArmedFault)
{
    char name[] = "/tmp/cpl_view_XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    setenv("BOARD_DIR", name, 1);
    board::reset();
    for (int32_t channel = 0; channel < board::kChannels; ++channel) {
        int32_t set[5] = {channel, 0, board::kMaxCr, board::kMaxRate, board::kMaxRate};
        ASSERT_TRUE(board::request(board::kPwmSet, set, sizeof set, nullptr, 0).ok);
        ASSERT_TRUE(board::request(board::kPwmStart, set, sizeof set, nullptr, 0).ok);
    }
    board::set_input(9, 0);
    BoardView view(board::dir(), "");
    view.refresh();
    std::vector<BoardView::Line> lines = view.lines(BoardView::kMinWidth, 100, true);
    ASSERT_EQ(static_cast<int>(lines.size()) + 1, view.fixed_lines());  // and room for the boot line
    std::string text;
    // The first line names the board's folder, the last the debug log: names, not figures.
    for (size_t i = 1; i + 1 < lines.size(); ++i) {
        for (const BoardView::Span &s : lines[i].spans) {
            int cells = 0;
            for (char ch : s.text)
                cells += (static_cast<unsigned char>(ch) & 0xC0) != 0x80;
            EXPECT_LE(s.column + cells, BoardView::kMinWidth) << "line " << i << ": " << s.text;
            text += s.text + "|";
        }
    }
    EXPECT_NE(text.find("cr 63  dcr 1023  pcr 1023"), std::string::npos) << text;
    EXPECT_NE(text.find("(not set)"), std::string::npos) << text;

    // A fault armed for the next request shows until a request takes it.
    auto heading = [&] {
        view.refresh();
        std::vector<BoardView::Line> now = view.lines(BoardView::kMinWidth, 100, true);
        std::string t;
        for (const BoardView::Span &s : now.front().spans)
            t += s.text + "|";
        return t;
    };
    EXPECT_EQ(heading().find("fault armed"), std::string::npos);
    board::arm_fault();
    EXPECT_NE(heading().find("fault armed"), std::string::npos);
    int32_t get[2] = {3, 0};
    EXPECT_TRUE(board::request(board::kGetPin, get, sizeof get, get, sizeof get).fault);
    EXPECT_EQ(heading().find("fault armed"), std::string::npos);
    std::filesystem::remove_all(name);
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
