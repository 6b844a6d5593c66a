// pinctl and board as a user runs them: what they print, their exit codes,
// and what they do to the board.
#include "board/board.h"
#include "board_folder.h"
#include "board/device_files.h"
#include "process.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using test_support::ProgramResult;
using Lines = std::vector<std::string>;
using test_support::split_lines;

class Tools : public test_support::BoardTest {
protected:
    ProgramResult pinctl(const std::vector<std::string> &args) { return test_support::run_program(PINCTL, args); }
    ProgramResult board(const std::vector<std::string> &args) { return test_support::run_program(BOARD_TOOL, args); }
    // Runs a command that must succeed without a word on stderr.
    std::string ok(const ProgramResult &r)
    {
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.err, "");
        return r.out;
    }
    // The build's bin folder, the board tool's own, links resolved.
    static std::string bin_folder()
    {
        char real[PATH_MAX];
        if (!realpath(BOARD_TOOL, real))
            return "";
        std::string bin = real;
        return bin.erase(bin.rfind('/'));
    }
};

bool has_line(const std::string &text, const std::string &line)
{
    for (const std::string &l : test_support::split_lines(text))
        if (l == line)
            return true;
    return false;
}

TEST_F(Tools, SetThenGetOnAFreshBoardThenUnplugged)
{
    ok(board({"reset"}));
    EXPECT_EQ(ok(pinctl({"set", "3", "1"})), "");
    EXPECT_EQ(ok(pinctl({"get", "3"})), "1\n");
    EXPECT_EQ(board_.trace_lines(), (Lines{"open", "IOCTL_GPIO_SET_PIN 8 3 1 -> 1", "close", "open",
                                           "IOCTL_GPIO_GET_PIN 8 3 0 -> 1 level=1", "close"}));

    ok(board({"unplug"}));
    ProgramResult r = pinctl({"get", "3"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "pinctl: cannot read pin 3 (error 2)\n");
    r = pinctl({"set", "3", "0"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "pinctl: cannot set pin 3 (error 2)\n");

    ok(board({"plug"}));
    EXPECT_EQ(ok(pinctl({"get", "3"})), "1\n");
}

TEST_F(Tools, PinctlReadsWhatTheBoardHolds)
{
    ok(pinctl({"set", "4", "0"}));
    EXPECT_EQ(ok(pinctl({"get", "4"})), "0\n");
    ok(board({"input", "4", "1"}));
    EXPECT_EQ(ok(pinctl({"get", "4"})), "1\n");
    ok(board({"input", "4", "release"}));
    EXPECT_EQ(ok(pinctl({"get", "4"})), "0\n");
    ok(pinctl({"set", "4", "01"}));
    EXPECT_EQ(ok(pinctl({"get", "04"})), "1\n");
}

TEST_F(Tools, PinNumbersAreDecimalWithLeadingZeros)
{
    ok(pinctl({"set", "010", "0"}));
    board::Status st = board::status();
    EXPECT_TRUE(st.pins[10].touched);
    EXPECT_EQ(st.pins[10].level(), 0);
    EXPECT_FALSE(st.pins[8].touched) << "010 was read as octal";
    EXPECT_EQ(ok(pinctl({"get", "0010"})), "0\n");
    EXPECT_EQ(board_.trace_lines()[1], "IOCTL_GPIO_SET_PIN 8 10 0 -> 1");
}

TEST_F(Tools, PinctlFailuresNameThePin)
{
    // A fault in the driver: the handle is closed and the fault reported.
    ok(board({"fault"}));
    ProgramResult r = pinctl({"get", "7"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "pinctl: the driver faulted on pin 7 (exception 0xC0000005)\n");
    EXPECT_EQ(board_.trace_lines().back(), "close");
    EXPECT_EQ(ok(pinctl({"get", "7"})), "1\n");
}

TEST_F(Tools, PinctlBadArgumentsExitTwoWithUsage)
{
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{}, {"frob"}, {"set"}, {"set", "3"}, {"set", "3", "1", "2"},
          {"set", "x", "1"}, {"set", "3", "high"}, {"get"}, {"get", "3", "x"}, {"get", "3x"},
          {"get", "99999999999"}, {"get", ""}, {"get", "0x4"}, {"poweroff", "now"}}) {
        SCOPED_TRACE(args.empty() ? "(none)" : args[0] + (args.size() > 1 ? " " + args[1] : ""));
        ProgramResult r = pinctl(args);
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_EQ(r.out, "");
        // One line, naming the program (and the command) and where its help is.
        std::string prog = args.empty() || args[0] == "frob" ? "pinctl" : "pinctl " + args[0];
        EXPECT_EQ(r.err.rfind(prog + ": ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find("(see '" + prog + " --help')\n"), std::string::npos) << r.err;
        EXPECT_EQ(split_lines(r.err).size(), 1u) << r.err;
    }
    EXPECT_TRUE(board_.trace_lines().empty()) << "a bad command reached the driver";
    EXPECT_NE(ok(pinctl({"--help"})).find("Usage: pinctl"), std::string::npos);
}

// A number beyond what a command takes is a usage error that names the
// range: not "no number", nor a call the driver refuses or takes as
// something else (any level but 0 once drove the pin high).
TEST_F(Tools, NumbersOutOfRangeAreUsageErrorsNamingTheRange)
{
    struct Case {
        bool pinctl;
        std::vector<std::string> args;
        std::string says;
    };
    const std::string pins = "PIN must be a pin number from 0 to 63, not ";
    const std::string levels = "LEVEL must be 0 or 1, not ";
    std::string vcd = board_.dir() + "/x.vcd";
    for (const Case &c : std::vector<Case>{
             {true, {"set", "2147483648", "1"}, pins + "'2147483648'"},
             {true, {"set", "64", "1"}, pins + "'64'"},
             {true, {"set", "-5", "1"}, pins + "'-5'"},
             {true, {"get", "64"}, pins + "'64'"},
             {true, {"get", "99999999999999999999"}, pins + "'99999999999999999999'"},
             {true, {"set", "3", "2147483647"}, levels + "'2147483647'"},
             {true, {"set", "3", "5"}, levels + "'5'"},
             {true, {"set", "3", "-1"}, levels + "'-1'"},
             {true, {"set", "3=1", "64=1"}, pins + "'64'"},
             {true, {"set", "3=1", "4=2"}, levels + "'2'"},
             {true, {"set", "3=1", "4="}, levels + "''"},
             {true, {"get", "3", "64"}, pins + "'64'"},
             {false, {"record", vcd, "--duration", "9223372036854775807"},
              "--duration must be a number of milliseconds from 1 to 100000000000, not '9223372036854775807'"},
             {false, {"watch", "--idle-timeout", "9223372036854775807"},
              "--idle-timeout must be a number of milliseconds from 1 to 1000000000000, not '9223372036854775807'"},
             {false, {"watch", "-n", "1000000000001"},
              "-n must be a number of events from 1 to 1000000000000, not '1000000000001'"}}) {
        SCOPED_TRACE(c.says);
        ProgramResult r = c.pinctl ? pinctl(c.args) : board(c.args);
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(": " + c.says + " (see '"), std::string::npos) << r.err;
    }
    EXPECT_TRUE(board_.trace_lines().empty()) << "a bad number reached the driver";
    EXPECT_FALSE(board::status().pins[3].touched);
}

TEST_F(Tools, PowerOffSwitchesTheBoardOffWithoutTheDriver)
{
    ok(board({"unplug"}));
    EXPECT_EQ(ok(pinctl({"poweroff"})), "");
    EXPECT_FALSE(board::status().powered);
    EXPECT_EQ(board_.trace_lines(), (Lines{"poweroff"}));
    EXPECT_TRUE(has_line(ok(board({"status"})), "power off"));
}

TEST_F(Tools, BoardStatusShowsWhatWasDone)
{
    ok(pinctl({"set", "3", "0"}));
    ok(board({"input", "63", "0"}));
    ok(board({"fault"}));
    std::string out = ok(board({"status"}));
    EXPECT_TRUE(has_line(out, "board " + board_.dir())) << out;
    EXPECT_TRUE(has_line(out, "power on")) << out;
    EXPECT_TRUE(has_line(out, "device GPI1: present")) << out;
    EXPECT_TRUE(has_line(out, "pin 3 level=0 driven=0 external=none")) << out;
    EXPECT_TRUE(has_line(out, "pin 63 level=0 driven=1 external=0")) << out;
    EXPECT_EQ(out.find("pin 4 "), std::string::npos) << "an untouched pin is listed\n" << out;
    EXPECT_TRUE(has_line(out, "pwm 1 running=0 cr=0 dcr=0 pcr=0")) << out;
    EXPECT_TRUE(has_line(out, "requests 1")) << out;
    EXPECT_TRUE(has_line(out, "fault armed for the next request")) << out;
    // pinctl closed its driver handle: no process holds one.
    EXPECT_EQ(out.find("handles "), std::string::npos) << out;
    board::handle_opened();
    out = ok(board({"status"}));
    EXPECT_TRUE(has_line(out, "handles pid=" + std::to_string(getpid()) + " open=1")) << out;

    ok(board({"unplug"}));
    EXPECT_TRUE(has_line(ok(board({"status"})), "device GPI1: absent"));
    ok(board({"reset"}));
    out = ok(board({"status"}));
    EXPECT_TRUE(has_line(out, "device GPI1: present")) << out;
    EXPECT_EQ(out.find("pin 3 "), std::string::npos) << out;
}

// The board folder is the user's choice, but its name may hold anything: a
// newline or an escape sequence in it cannot split or colour the status.
TEST_F(Tools, BoardStatusShowsAStrangeFolderNameEscaped)
{
    std::string odd = board_.dir() + "/a\nb\x1b[31m";
    setenv("BOARD_DIR", odd.c_str(), 1);
    ProgramResult r = board({"status"});
    setenv("BOARD_DIR", board_.dir().c_str(), 1);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    Lines lines = split_lines(r.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "board " + board_.dir() + "/a\\nb\\x1B[31m");
    EXPECT_EQ(lines[1], "power on");
}

TEST_F(Tools, BoardBadArgumentsExitTwoAndChangeNothing)
{
    struct Case {
        std::vector<std::string> args;
        std::string says;
    };
    for (const Case &c : std::vector<Case>{
             {{}, "a command is needed"},
             {{"frob"}, "unknown command 'frob'"},
             {{"reset", "now"}, "takes no arguments, not 'now'"},
             {{"status", "-v"}, "unknown option '-v'"},
             {{"unplug", "1"}, "takes no arguments, not '1'"},
             {{"input"}, "PIN is missing"},
             {{"input", "3"}, "LEVEL is missing"},
             {{"input", "64", "1"}, "not '64'"},
             {{"input", "-1", "1"}, "PIN must be a pin number from 0 to 63, not '-1'"},
             {{"input", "x", "1"}, "not 'x' (no pin has that name)"},
             {{"input", "3", "2"}, "LEVEL must be 0, 1 or release, not '2'"},
             {{"input", "3", "high"}, "not 'high'"},
             {{"boot", "--programs", "/nonexistent"}, "'/nonexistent' is not one"},
             {{"boot", "--programs=/dev/null"}, "'/dev/null' is not one"},
             {{"boot", "--programs"}, "--programs needs a value: DIR"}}) {
        SCOPED_TRACE(c.says);
        ProgramResult r = board(c.args);
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_EQ(r.out, "");
        std::string prog = c.args.empty() || c.args[0] == "frob" ? "board" : "board " + c.args[0];
        EXPECT_EQ(r.err.rfind(prog + ": ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(c.says + " (see '" + prog + " --help')\n"), std::string::npos) << r.err;
        EXPECT_EQ(split_lines(r.err).size(), 1u) << r.err;
    }
    board::Status st = board::status();
    EXPECT_TRUE(st.plugged);
    for (const board::Pin &p : st.pins)
        EXPECT_FALSE(p.touched);
    EXPECT_NE(ok(board({"--help"})).find("Usage: board"), std::string::npos);
}

// Start-up shortcuts whose target names a program outside the programs
// folder, a name the device's files never hold, or something that is not a
// program, and a shortcut that is a pipe: each is reported and left alone,
// and the others still run.
TEST_F(Tools, BootRunsOnlyProgramsInTheProgramsFolder)
{
    ok(board({"reset"}));
    std::string programs = board_.dir() + "/programs", ran = board_.dir() + "/ran";
    ASSERT_EQ(mkdir(programs.c_str(), 0777), 0);
    ASSERT_EQ(mkdir((programs + "/Folder").c_str(), 0777), 0);
    auto program = [&](const std::string &path, const std::string &says) {
        test_support::write_file(path, "#!/bin/sh\necho " + says + " >> '" + ran + "'\n");
        ASSERT_EQ(chmod(path.c_str(), 0755), 0);
    };
    program(board_.dir() + "/outside", "outside");
    program(programs + "/a|b", "bar");
    program(programs + "/..twice", "twice");
    program(programs + "/good", "good");
    std::string startup = board_.dir() + "/fs/Windows/Startup/";
    std::remove((startup + "Velmorra.lnk").c_str());
    auto shortcut = [&](const std::string &name, const std::string &target) {
        test_support::write_file(startup + name, board::files::shortcut_text(target));
    };
    shortcut("A.lnk", "\\Windows\\../outside.exe");
    shortcut("B.lnk", "\\Windows\\a|b.exe");
    shortcut("C.lnk", "\\Windows\\..twice.exe");
    shortcut("D.lnk", "\\Windows\\Folder.exe");
    shortcut("E.lnk", "\\Windows\\good.exe");
    ASSERT_EQ(mkfifo((startup + "F.lnk").c_str(), 0666), 0);  // would block a reader
    shortcut("G.lnk", "\\WINDOWS\\GOOD.EXE");  // the device's names ignore case

    std::string refused = " refused: not a program name the device allows";
    EXPECT_EQ(split_lines(ok(board({"boot", "--programs", programs}))),
              (Lines{"boot: \\Windows\\../outside.exe (\\Windows\\Startup\\A.lnk)" + refused,
                     "boot: \\Windows\\a|b.exe (\\Windows\\Startup\\B.lnk)" + refused,
                     "boot: \\Windows\\..twice.exe (\\Windows\\Startup\\C.lnk)" + refused,
                     "boot: \\Windows\\Folder.exe (\\Windows\\Startup\\D.lnk) is not a program in " +
                         programs,
                     "boot: running \\Windows\\good.exe (\\Windows\\Startup\\E.lnk)",
                     "boot: \\Windows\\good.exe exited with code 0",
                     "boot: \\Windows\\Startup\\F.lnk is not a shortcut",
                     "boot: running \\WINDOWS\\GOOD.EXE (\\Windows\\Startup\\G.lnk)",
                     "boot: \\WINDOWS\\GOOD.EXE exited with code 0"}));
    EXPECT_EQ(test_support::read_file(ran), "good\ngood\n");
}

// Whatever stands in the start-up folder under a shortcut's name and is no
// shortcut file (a folder, a link, even one to a good shortcut, a pipe, a
// name the device's files cannot hold) is reported alike, and nothing is
// read through the link.
TEST_F(Tools, BootReportsEveryLnkThatIsNoShortcutAlike)
{
    ok(board({"reset"}));
    std::string programs = board_.dir() + "/programs", ran = board_.dir() + "/ran";
    ASSERT_EQ(mkdir(programs.c_str(), 0777), 0);
    test_support::write_file(programs + "/good", "#!/bin/sh\necho good >> '" + ran + "'\n");
    ASSERT_EQ(chmod((programs + "/good").c_str(), 0755), 0);
    std::string startup = board_.dir() + "/fs/Windows/Startup/";
    std::remove((startup + "Velmorra.lnk").c_str());
    std::string good = board::files::shortcut_text("\\Windows\\good.exe");
    ASSERT_EQ(mkdir((startup + "A.lnk").c_str(), 0777), 0);
    test_support::write_file(board_.dir() + "/outside.lnk", good);
    ASSERT_EQ(symlink((board_.dir() + "/outside.lnk").c_str(), (startup + "B.lnk").c_str()), 0);
    ASSERT_EQ(mkfifo((startup + "C.lnk").c_str(), 0666), 0);
    test_support::write_file(startup + "D.lnk", good);
    test_support::write_file(startup + "E\x01.lnk", good);

    EXPECT_EQ(split_lines(ok(board({"boot", "--programs", programs}))),
              (Lines{"boot: \\Windows\\Startup\\A.lnk is not a shortcut",
                     "boot: \\Windows\\Startup\\B.lnk is not a shortcut",
                     "boot: \\Windows\\Startup\\C.lnk is not a shortcut",
                     "boot: running \\Windows\\good.exe (\\Windows\\Startup\\D.lnk)",
                     "boot: \\Windows\\good.exe exited with code 0",
                     "boot: \\Windows\\Startup\\E\\x01.lnk is not a shortcut"}));
    EXPECT_EQ(test_support::read_file(ran), "good\n");
}

// By default boot runs the device's own programs only: a shortcut naming a
// tool or a test program built beside the board tool is no device program
// and is not run, while the start-up program still runs.
TEST_F(Tools, BootByDefaultRunsOnlyTheDevicesOwnPrograms)
{
    ok(board({"reset"}));
    std::string bin = bin_folder();
    ASSERT_NE(bin, "");
    std::string startup = board_.dir() + "/fs/Windows/Startup/";
    Lines expected;
    for (const char *name : {"board", "pinctl", "reg_writer"}) {
        // They are there to be found, were the folder the wrong one.
        ASSERT_EQ(access((bin + "/" + name).c_str(), X_OK), 0) << name;
        std::string target = std::string("\\Windows\\") + name + ".exe";
        test_support::write_file(startup + "A-" + name + ".lnk", board::files::shortcut_text(target));
        expected.push_back("boot: " + target + " (\\Windows\\Startup\\A-" + name +
                           ".lnk) is not a program in " + bin + "/device");
    }
    expected.push_back("boot: running \\Windows\\Velmorra.exe (\\Windows\\Startup\\Velmorra.lnk)");
    expected.push_back("boot: \\Windows\\Velmorra.exe exited with code 0");

    EXPECT_EQ(split_lines(ok(board({"boot"}))), expected);
    EXPECT_EQ(board_.debug_log(), "RasEntry '`USB' Created\r\n");
}

// The device's programs lie beside the project's libraries, wherever the
// tool is (installed, the tools are in bin/ and the libraries elsewhere): a
// copy of the board tool in a folder of its own, which loads the build's
// libraries, still boots the build's Velmorra and names that folder.
TEST_F(Tools, BootFindsTheDeviceProgramsBesideTheLibrariesNotTheTool)
{
    ok(board({"reset"}));
    std::string bin = bin_folder();
    ASSERT_NE(bin, "");
    std::string elsewhere = board_.dir() + "/elsewhere";
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0777), 0);
    std::ifstream from(BOARD_TOOL, std::ios::binary);
    std::ofstream(elsewhere + "/board", std::ios::binary) << from.rdbuf();
    ASSERT_EQ(chmod((elsewhere + "/board").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((elsewhere + "/device").c_str(), 0777), 0);  // beside the copy, and empty
    std::string startup = board_.dir() + "/fs/Windows/Startup/";
    test_support::write_file(startup + "W.lnk", board::files::shortcut_text("\\Windows\\Nowhere.exe"));

    EXPECT_EQ(split_lines(ok(test_support::run_program(elsewhere + "/board", {"boot"}))),
              (Lines{"boot: running \\Windows\\Velmorra.exe (\\Windows\\Startup\\Velmorra.lnk)",
                     "boot: \\Windows\\Velmorra.exe exited with code 0",
                     "boot: \\Windows\\Nowhere.exe (\\Windows\\Startup\\W.lnk) is not a program in " + bin +
                         "/device"}));
    EXPECT_EQ(board_.debug_log(), "RasEntry '`USB' Created\r\n");
}

// What the start-up folder holds reaches the terminal escaped and quoted
// short: a terminal's escape sequences, control bytes, bytes that are no
// UTF-8 and a mark that turns the text around as escapes, a target of
// thousands of characters cut.
TEST_F(Tools, BootShowsWhatShortcutsSayEscapedAndShort)
{
    ok(board({"reset"}));
    std::string programs = board_.dir() + "/programs";
    ASSERT_EQ(mkdir(programs.c_str(), 0777), 0);
    std::string startup = board_.dir() + "/fs/Windows/Startup/";
    std::remove((startup + "Velmorra.lnk").c_str());
    auto shortcut = [&](const std::string &name, const std::string &target) {
        test_support::write_file(startup + name, board::files::shortcut_text(target));
    };
    shortcut("A.lnk", "\\Windows\\\x1b]0;owned\x07\xff.exe");
    shortcut("B.lnk", "\\Windows\\" + std::string(2000, 'n') + ".exe");
    shortcut("del\x7f.lnk", "\\Windows\\x.exe");
    shortcut("evil\u202Egpj.lnk", "\\Windows\\x.exe");
    shortcut("\xff.lnk", "\\Windows\\x.exe");

    std::string not_found = " is not a program in " + programs;
    EXPECT_EQ(split_lines(ok(board({"boot", "--programs", programs}))),
              (Lines{"boot: \\Windows\\\\x1B]0;owned\\x07\\xFF.exe (\\Windows\\Startup\\A.lnk) refused: "
                     "not a program name the device allows",
                     "boot: \\Windows\\" + std::string(31, 'n') + "... (\\Windows\\Startup\\B.lnk)" +
                         not_found,
                     "boot: \\Windows\\x.exe (\\Windows\\Startup\\del\\x7F.lnk)" + not_found,
                     "boot: \\Windows\\x.exe (\\Windows\\Startup\\evil\\u{202E}gpj.lnk)" + not_found,
                     "boot: \\Windows\\x.exe (\\Windows\\Startup\\\\xFF.lnk)" + not_found}));
}

TEST_F(Tools, UnusableBoardExitsOne)
{
    test_support::write_file(board_.dir() + "/board.state", "damaged");
    ProgramResult r = board({"status"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("board reset"), std::string::npos) << r.err;
    r = pinctl({"get", "3"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("cannot read pin 3"), std::string::npos) << r.err;

    ok(board({"reset"}));
    EXPECT_EQ(ok(pinctl({"get", "3"})), "1\n");
}

// A link planted where the board keeps a file: each tool says which file in
// one line and exits 1, and nothing is written where the link leads.
TEST_F(Tools, PlantedLinksAreRefusedByNameAndTheirTargetsLeftAlone)
{
    ok(board({"reset"}));
    std::string victim = board_.dir() + "-victim";
    test_support::write_file(victim, "victim");
    auto refused = [&](const std::string &name) {
        return board_.dir() + "/" + name + " is a symbolic link: the board reaches no file through a link";
    };
    struct Case {
        const char *file;
        std::vector<std::string> args;  // of board; empty: pinctl get 3
    };
    const Case cases[] = {
        {"board.state", {"reset"}},
        {"board.state", {"status"}},
        {"board.state", {}},
        {"board.state.new", {"reset"}},
        {"registry.reg", {"registry"}},
        {"registry.reg.new", {"reset"}},
        {"registry.protected.new", {"registry", "protect", "HKEY_CURRENT_USER\\x"}},
        {"registry.lock", {"registry", "protected"}},
    };
    for (const Case &c : cases) {
        std::string file = board_.dir() + "/" + c.file;
        SCOPED_TRACE(file);
        std::remove(file.c_str());
        ASSERT_EQ(symlink(victim.c_str(), file.c_str()), 0);
        ProgramResult r = c.args.empty() ? pinctl({"get", "3"}) : board(c.args);
        EXPECT_EQ(r.exit_code, 1);
        if (c.args.empty())
            EXPECT_NE(r.err.find(refused(c.file) + "\n"), std::string::npos) << r.err;
        else
            EXPECT_EQ(r.err, "board: " + refused(c.file) + "\n");
        EXPECT_EQ(test_support::read_file(victim), "victim");
        std::remove(file.c_str());
        ok(board({"reset"}));
    }
    std::remove(victim.c_str());
}

// With the device root linked to a folder of shortcuts, boot refuses the
// root and runs none of them.
TEST_F(Tools, BootRefusesADeviceRootThatIsALink)
{
    ok(board({"reset"}));
    std::string outside = board_.dir() + "/../" + "outside-" + std::to_string(getpid());
    std::string ran = outside + "/ran", programs = outside + "/programs";
    ASSERT_EQ(system(("mkdir -p '" + outside + "/Windows/Startup' '" + programs + "'").c_str()), 0);
    test_support::write_file(outside + "/Windows/Startup/X.lnk", board::files::shortcut_text("\\Windows\\x.exe"));
    test_support::write_file(programs + "/x", "#!/bin/sh\necho ran > '" + ran + "'\n");
    ASSERT_EQ(chmod((programs + "/x").c_str(), 0755), 0);
    ASSERT_EQ(system(("rm -rf '" + board_.dir() + "/fs'").c_str()), 0);
    ASSERT_EQ(symlink(outside.c_str(), (board_.dir() + "/fs").c_str()), 0);

    ProgramResult r = board({"boot", "--programs", programs});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "board: " + board_.dir() + "/fs is a symbolic link: the board reaches no file through a link\n");
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(std::ifstream(ran).good()) << "a shortcut outside the board ran";
    EXPECT_EQ(system(("rm -rf '" + outside + "'").c_str()), 0);
}

// What killed programs left in the board folder is gone after the next
// command, whichever it is.
TEST_F(Tools, LeftOversOfKilledProgramsGoWithTheNextCommand)
{
    ok(board({"reset"}));
    pid_t gone = test_support::fork_child([] { return 0; });
    test_support::wait_child(gone);
    std::string image = board_.dir() + "/fs.new." + std::to_string(gone);
    ASSERT_EQ(mkdir(image.c_str(), 0777), 0);
    test_support::write_file(image + "/half", "x");
    for (const char *n : {"registry.reg.new", "registry.protected.new", "board.state.new"})
        test_support::write_file(board_.dir() + "/" + n, "half");
    EXPECT_EQ(ok(pinctl({"get", "3"})), "1\n");
    for (const char *n : {"registry.reg.new", "registry.protected.new", "board.state.new"})
        EXPECT_FALSE(std::ifstream(board_.dir() + "/" + n).good()) << n;
    struct stat st;
    EXPECT_NE(lstat(image.c_str(), &st), 0) << image;
}

// Several pins in one call, in the order given; -l turns the levels round
// both ways; nothing is driven unless every argument is good.
TEST_F(Tools, PinctlSetsAndGetsSeveralPinsActiveLowToo)
{
    EXPECT_EQ(ok(pinctl({"set", "3=1", "4=0", "05=1"})), "");
    board::Status st = board::status();
    EXPECT_EQ(st.pins[3].driven, 1);
    EXPECT_EQ(st.pins[4].driven, 0);
    EXPECT_EQ(st.pins[5].driven, 1);
    EXPECT_EQ(ok(pinctl({"get", "3", "4", "5", "4"})), "1 0 1 0\n");
    // The same pin twice: the last level stays.
    ok(pinctl({"set", "6=0", "6=1"}));
    EXPECT_EQ(ok(pinctl({"get", "6"})), "1\n");

    ok(pinctl({"set", "-l", "7=1", "8=0"}));
    st = board::status();
    EXPECT_EQ(st.pins[7].driven, 0);
    EXPECT_EQ(st.pins[8].driven, 1);
    EXPECT_EQ(ok(pinctl({"get", "--active-low", "7", "8", "3"})), "1 0 0\n");
    ok(pinctl({"set", "--active-low", "9", "1"}));  // the old form takes it too
    EXPECT_EQ(ok(pinctl({"get", "9"})), "0\n");
    // An external level is what a read sees, inverted as well.
    ok(board({"input", "7", "1"}));
    EXPECT_EQ(ok(pinctl({"get", "-l", "7"})), "0\n");

    ok(board({"reset"}));
    for (const Lines &args : {Lines{"set", "3=1", "4"}, Lines{"set", "3=1", "x=1"}, Lines{"set", "3", "1", "4=0"},
                              Lines{"set", "=1"}, Lines{"get", "3", "--bogus"}, Lines{"set", "-x", "3=1"}}) {
        ProgramResult r = pinctl(args);
        EXPECT_EQ(r.exit_code, 2) << args[1] << " " << args[2];
        EXPECT_NE(r.err.find("(see 'pinctl " + args[0] + " --help')"), std::string::npos) << r.err;
    }
    EXPECT_FALSE(board::status().pins[3].touched) << "a bad call drove the pins before it";

    for (const char *cmd : {"set", "get", "poweroff"}) {
        std::string help = ok(pinctl({cmd, "--help"}));
        EXPECT_NE(help.find(cmd), std::string::npos) << help;
        EXPECT_NE(help.find("Exit status"), std::string::npos) << help;
        if (std::string(cmd) != "poweroff") {
            EXPECT_NE(help.find("--active-low"), std::string::npos) << help;
        }
    }
}

// A name given with 'board name' serves wherever a pin number does, shows in
// the status, goes with unname and with a reset.
TEST_F(Tools, PinNamesServeAsPinsAndGoWithAReset)
{
    ok(board({"name", "5", "led"}));
    ok(board({"name", "63", "Reset_btn.2-a"}));
    ok(pinctl({"set", "led=0", "3=1"}));
    EXPECT_EQ(board::status().pins[5].driven, 0);
    ok(board({"input", "Reset_btn.2-a", "0"}));
    EXPECT_EQ(ok(pinctl({"get", "led", "63", "Reset_btn.2-a"})), "0 0 0\n");
    std::string out = ok(board({"status"}));
    EXPECT_TRUE(has_line(out, "pin 5 level=0 driven=0 external=none name=led")) << out;
    EXPECT_TRUE(has_line(out, "pin 63 level=0 driven=1 external=0 name=Reset_btn.2-a")) << out;
    // A named pin is in use even when nothing drove it.
    ok(board({"name", "12", "spare"}));
    EXPECT_TRUE(has_line(ok(board({"status"})), "pin 12 level=1 driven=1 external=none name=spare"));

    // Renaming a pin, a name that is another pin's, names that are none.
    ok(board({"name", "led", "lamp"}));
    EXPECT_EQ(ok(pinctl({"get", "lamp"})), "0\n");
    ProgramResult r = board({"name", "6", "lamp"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("'lamp' is pin 5's already"), std::string::npos) << r.err;
    for (const std::string &bad : {std::string("9x"), std::string(""), std::string("a b"), std::string("-l"),
                                   std::string("\x1b[31m"), std::string(33, 'a')}) {
        r = board({"name", "6", bad});
        EXPECT_EQ(r.exit_code, 2) << bad;
        // "-l" reads as an option.
        EXPECT_NE(r.err.find(bad == "-l" ? "unknown option '-l'" : "is no pin name"),
                  std::string::npos) << r.err;
        EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << "echoed raw";
    }
    ok(board({"name", "6", std::string(32, 'a')}));
    r = pinctl({"get", "nosuch"});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("not 'nosuch' (no pin has that name)"), std::string::npos) << r.err;

    ok(board({"unname", "lamp"}));
    EXPECT_EQ(pinctl({"get", "lamp"}).exit_code, 2);
    EXPECT_EQ(board({"unname", "lamp"}).exit_code, 2);
    ok(board({"reset"}));
    EXPECT_EQ(pinctl({"get", "Reset_btn.2-a"}).exit_code, 2) << "a reset kept the names";
    EXPECT_EQ(ok(board({"status"})).find("name="), std::string::npos);
}

// The names file is the user's to break: a damaged one is named with its
// line, stands in the way of names only, and is never written through a link.
TEST_F(Tools, ADamagedOrLinkedNamesFileIsRefusedClearly)
{
    const std::string path = board_.dir() + "/pin-names";
    struct Case {
        std::string text, says;
    };
    for (const Case &c : std::vector<Case>{
             {"5 led\nxx\n", "line 2: expected 'PIN NAME', found 'xx'"},
             {"64 led\n", "line 1: pin 64 is out of range"},
             {"5 led\n6 led\n", "line 2: the name 'led' is given twice"},
             {"5 led\n5 lamp\n", "line 2: pin 5 is named twice"},
             {"5 9a\n", "line 1: '9a' is no pin name"},
             {"5 led", "line 1: the last line has no newline"},
             {std::string(20000, 'a'), "bigger than"}}) {
        SCOPED_TRACE(c.says);
        { std::ofstream(path) << c.text; }
        ProgramResult r = pinctl({"get", "led"});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_NE(r.err.find("pin names file " + path), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_EQ(board({"name", "7", "x"}).exit_code, 1);
        // Numbers need no names; the status says what is wrong and goes on.
        EXPECT_EQ(ok(pinctl({"get", "5"})), "1\n");
        r = board({"status"});
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_TRUE(has_line(r.out, "power on")) << r.out;
    }
    unlink(path.c_str());

    std::string victim = board_.dir() + "/victim";
    { std::ofstream(victim) << "5 led\n"; }
    ASSERT_EQ(symlink(victim.c_str(), path.c_str()), 0);
    ProgramResult r = board({"name", "7", "x"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find(path), std::string::npos) << r.err;
    EXPECT_EQ(pinctl({"get", "led"}).exit_code, 1) << "read through a link";
    std::ifstream in(victim);
    std::string kept((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(kept, "5 led\n");
}

// --all lists every pin; --json says the same for scripts, its strings
// escaped whatever the folder's name holds.
TEST_F(Tools, StatusAllAndJsonShowEachPinsThreeLevels)
{
    ok(pinctl({"set", "3", "0"}));
    ok(board({"input", "3", "1"}));
    ok(board({"name", "3", "btn"}));
    Lines pins;
    for (const std::string &l : split_lines(ok(board({"status", "--all"}))))
        if (l.rfind("pin ", 0) == 0)
            pins.push_back(l);
    ASSERT_EQ(pins.size(), 64u);
    EXPECT_EQ(pins[0], "pin 0 level=1 driven=1 external=none");
    EXPECT_EQ(pins[3], "pin 3 level=1 driven=0 external=1 name=btn");

    std::string json = ok(board({"status", "--json"}));
    EXPECT_NE(json.find("{\"pin\": 3, \"name\": \"btn\", \"driven\": 0, \"external\": 1, \"level\": 1}"),
              std::string::npos) << json;
    EXPECT_EQ(json.find("\"pin\": 0,"), std::string::npos) << "an unused pin without --all\n" << json;
    EXPECT_NE(json.find("\"power\": true"), std::string::npos) << json;
    EXPECT_NE(json.find("{\"channel\": 1, \"running\": false, \"cr\": 0, \"dcr\": 0, \"pcr\": 0}"),
              std::string::npos) << json;
    EXPECT_NE(json.find("\"requests\": 1,"), std::string::npos) << json;
    std::string all = ok(board({"status", "--json", "--all"}));
    EXPECT_NE(all.find("{\"pin\": 63, \"name\": null, \"driven\": 1, \"external\": null, \"level\": 1}"),
              std::string::npos) << all;

    std::string odd = board_.dir() + "/q\"b\\s\nn\x01\xff\xc3\xa9";
    setenv("BOARD_DIR", odd.c_str(), 1);
    ProgramResult r = board({"status", "--json"});
    setenv("BOARD_DIR", board_.dir().c_str(), 1);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("\"board\": \"" + board_.dir() + "/q\\\"b\\\\s\\u000an\\u0001\\ufffd\xc3\xa9\""),
              std::string::npos) << r.out;
}

}  // namespace
