// The board's boot as the board view calls it, in this process: its steps
// as data in the order they happen, the programs it runs on this board and,
// when asked, off the caller's terminal.
#include "board/boot.h"

#include "board/device_faults.h"
#include "board/device_files.h"
#include "process.h"
#include "reset_board.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using board::boot::Step;
using Kind = Step::Kind;
using test_support::read_file;
using test_support::write_file;

class BootCall : public ResetBoard {
protected:
    BootCall()
    {
        mkdir(programs_.c_str(), 0777);
        std::remove(file(startup_ + "Velmorra.lnk").c_str());
    }
    // A program of the device: a shell script.
    void program(const std::string &name, const std::string &body)
    {
        std::string path = programs_ + "/" + name;
        write_file(path, "#!/bin/sh\n" + body + "\n");
        ASSERT_EQ(chmod(path.c_str(), 0755), 0);
    }
    void shortcut(const std::string &name, const std::string &target)
    {
        write_file(file(startup_ + name), board::files::shortcut_text(target));
    }
    board::boot::Outcome boot(bool quiet, const std::function<void(const Step &)> &seen = nullptr)
    {
        board::boot::Options options;
        options.programs = programs_;
        options.quiet = quiet;
        return board::boot::run(options, seen);
    }

    const std::string startup_ = "fs/Windows/Startup/";
    const std::string programs_ = file("programs");
};

std::vector<Kind> kinds(const std::vector<Step> &steps)
{
    std::vector<Kind> out;
    for (const Step &s : steps)
        out.push_back(s.kind);
    return out;
}

// Every step is seen once, as it happens: a program's Running step before
// it runs, its Ran step after, with how it ended.
TEST_F(BootCall, StepsAreSeenAsTheyHappenAndKeptInOrder)
{
    std::string ran = file("ran");
    program("good", "echo good >> '" + ran + "'");
    program("bad", "exit 3");
    program("killed", "kill -9 $$");
    shortcut("A.lnk", "\\Windows\\good.exe");
    shortcut("B.lnk", "\\Windows\\bad.exe");
    shortcut("C.lnk", "\\Windows\\killed.exe");
    shortcut("D.lnk", "\\Windows\\missing.exe");
    shortcut("E.lnk", "\\Windows\\..good.exe");
    write_file(file(startup_ + "F.lnk"), "no shortcut");
    write_file(file(startup_ + "notes.txt"), board::files::shortcut_text("\\Windows\\good.exe"));

    std::vector<Step> seen;
    std::vector<std::string> ran_when_seen;
    board::boot::Outcome outcome = boot(true, [&](const Step &s) {
        seen.push_back(s);
        ran_when_seen.push_back(read_file(ran));
    });
    const std::vector<Kind> expected = {Kind::Running, Kind::Ran,         Kind::Running,
                                        Kind::Ran,     Kind::Running,     Kind::Ran,
                                        Kind::NotAProgram, Kind::Refused, Kind::NotAShortcut};
    ASSERT_EQ(kinds(outcome.steps), expected);
    EXPECT_EQ(kinds(seen), expected);
    EXPECT_EQ(ran_when_seen[0], "") << "the program ran before its Running step was seen";
    EXPECT_EQ(ran_when_seen[1], "good\n");
    EXPECT_EQ(read_file(ran), "good\n") << "notes.txt is no shortcut, whatever it holds";

    const std::vector<Step> &s = outcome.steps;
    EXPECT_EQ(s[0].shortcut, "\\Windows\\Startup\\A.lnk");
    EXPECT_EQ(s[0].target, "\\Windows\\good.exe");
    EXPECT_EQ(s[0].program, programs_ + "/good");
    EXPECT_EQ(s[1].exit_code, 0);
    EXPECT_EQ(s[3].exit_code, 3);
    EXPECT_EQ(s[5].exit_code, -1);
    EXPECT_EQ(s[5].signal, 9);
    EXPECT_EQ(s[6].program, programs_);
    EXPECT_EQ(board::boot::line(s[3]), "boot: \\Windows\\bad.exe exited with code 3");
    EXPECT_EQ(board::boot::line(s[5]), "boot: \\Windows\\killed.exe ended by signal 9");
    EXPECT_EQ(board::boot::line(s[8]), "boot: \\Windows\\Startup\\F.lnk is not a shortcut");
}

// A program that cannot be run (no program the host can start) ends with
// 127 and says why, rather than seem to have run.
TEST_F(BootCall, AProgramThatCannotBeRunSaysWhy)
{
    write_file(programs_ + "/junk", "neither a script nor a program");
    ASSERT_EQ(chmod((programs_ + "/junk").c_str(), 0755), 0);
    shortcut("A.lnk", "\\Windows\\junk.exe");
    board::boot::Outcome outcome = boot(true);
    ASSERT_EQ(kinds(outcome.steps), (std::vector<Kind>{Kind::Running, Kind::Ran}));
    EXPECT_EQ(outcome.steps[1].exit_code, 127);
    EXPECT_EQ(outcome.steps[1].error, ENOEXEC);
}

// The programs run on this board wherever they go, and quiet keeps what
// they print (and what they would read) off the caller's terminal, where a
// full-screen view is drawn.
TEST_F(BootCall, ProgramsGetTheBoardInFullAndQuietKeepsThemOffTheTerminal)
{
    std::string seen = file("seen");
    program("talk", "cd / && echo \"$BOARD_DIR\" > '" + seen + "'\n"
                    "echo out; echo err >&2; read x && echo \"read $x\" >> '" + seen + "'\nexit 0");
    shortcut("A.lnk", "\\Windows\\talk.exe");
    setenv("BOARD_DIR", (board_.dir() + "/.").c_str(), 1);  // the same folder, not named in full

    // Our standard streams on a file, our input a line waiting to be read.
    std::string terminal = file("terminal");
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], "typed\n", 6), 6);
    close(fds[1]);
    std::fflush(nullptr);
    int saved[3] = {dup(0), dup(1), dup(2)};
    int t = open(terminal.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fds[0], 0);
    dup2(t, 1);
    dup2(t, 2);
    close(t);
    close(fds[0]);
    board::boot::Outcome quiet = boot(true);
    std::string after_quiet = read_file(terminal);
    board::boot::Outcome loud = boot(false);
    for (int i = 0; i < 3; ++i) {
        dup2(saved[i], i);
        close(saved[i]);
    }
    setenv("BOARD_DIR", board_.dir().c_str(), 1);

    ASSERT_EQ(quiet.steps.size(), 2u);
    EXPECT_EQ(quiet.steps[1].exit_code, 0);
    char real[PATH_MAX];
    ASSERT_NE(realpath(board_.dir().c_str(), real), nullptr);
    EXPECT_EQ(after_quiet, "");
    EXPECT_EQ(read_file(terminal), "out\nerr\n");
    EXPECT_EQ(read_file(seen), std::string(real) + "\nread typed\n")
        << "only the second boot's program may read the caller's input";
    EXPECT_EQ(loud.steps.size(), 2u);
}

// A disk that fails under the start-up folder: an I/O error is told as
// one, naming the file, and never passes for an empty folder (nothing run,
// nothing said) or for a file that is no shortcut.
bool ends_with(const std::string &s, const std::string &tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

class BootOnAFailingDisk : public BootCall {
protected:
    ~BootOnAFailingDisk() override { board::files::faults::fail_reads_of("", 0); }
    std::string root() const { return board::files::root(); }
};

TEST_F(BootOnAFailingDisk, AFolderOnTheWayIsReportedByName)
{
    std::string ran = file("ran");
    program("good", "echo good >> '" + ran + "'");
    shortcut("A.lnk", "\\Windows\\good.exe");
    for (const std::string &folder : {root(), root() + "/Windows", root() + "/Windows/Startup"}) {
        SCOPED_TRACE(folder);
        board::files::faults::fail_reads_of(folder, EIO);
        try {
            boot(true);
            ADD_FAILURE() << "the boot went on";
        } catch (const board::Error &e) {
            // "cannot look at" or "cannot read the folder", the folder and why.
            EXPECT_EQ(e.message.rfind("cannot ", 0), 0u) << e.message;
            EXPECT_TRUE(ends_with(e.message, " " + folder + ": " + std::strerror(EIO))) << e.message;
        }
    }
    EXPECT_EQ(read_file(ran), "");
    // The same errors reach the platform's calls as ERROR_GEN_FAILURE.
    board::files::faults::fail_reads_of(root() + "/Windows", EIO);
    board::files::Found f = board::files::resolve("\\Windows\\Startup\\A.lnk");
    EXPECT_EQ(f.error, 31u);
    EXPECT_TRUE(ends_with(f.why, " " + root() + "/Windows: " + std::strerror(EIO))) << f.why;
    EXPECT_EQ(board::files::remove("\\Windows\\Startup\\A.lnk"), 31u);
}

TEST_F(BootOnAFailingDisk, AShortcutThatCannotBeReadIsReportedAndTheOthersRun)
{
    std::string ran = file("ran");
    program("good", "echo good >> '" + ran + "'");
    shortcut("A.lnk", "\\Windows\\good.exe");
    shortcut("B.lnk", "\\Windows\\good.exe");
    board::files::faults::fail_reads_of(root() + "/Windows/Startup/A.lnk", EIO);
    board::boot::Outcome outcome = boot(true);
    ASSERT_EQ(kinds(outcome.steps), (std::vector<Kind>{Kind::Unreadable, Kind::Running, Kind::Ran}));
    EXPECT_EQ(outcome.steps[0].error, EIO);
    EXPECT_EQ(board::boot::line(outcome.steps[0]),
              "boot: cannot read \\Windows\\Startup\\A.lnk: " + std::string(std::strerror(EIO)));
    EXPECT_TRUE(outcome.failed());
    EXPECT_EQ(read_file(ran), "good\n");

    board::files::faults::fail_reads_of("", 0);
    EXPECT_FALSE(boot(true).failed());
}

}  // namespace
