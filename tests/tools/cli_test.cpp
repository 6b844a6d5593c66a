// The command line all three tools share: --help on every command,
// --version on every tool, exit 2 with one line for a usage error and 1 for
// a failure, a write error on standard output as a failure, and one rule
// for numbers wherever one is taken.
#include "board/board.h"
#include "board_folder.h"
#include "common/child_process.h"
#include "process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <regex>
#include <string>
#include <vector>

namespace {

using test_support::ProgramResult;
using test_support::split_lines;
using Args = std::vector<std::string>;

const std::string kBoard = BOARD_TOOL, kPinctl = PINCTL, kControlPanel = CONTROLPANEL;

struct Tool {
    std::string name, path;
};
const std::vector<Tool> kTools = {{"board", kBoard}, {"pinctl", kPinctl}, {"controlpanel", kControlPanel}};

std::string path_of(const std::string &tool)
{
    for (const Tool &t : kTools)
        if (t.name == tool)
            return t.path;
    ADD_FAILURE() << "no tool " << tool;
    return tool;
}

class CommandLine : public test_support::BoardTest {
protected:
    ProgramResult run(const std::string &tool, const Args &args) { return test_support::run_program(path_of(tool), args); }

    // Runs the tool with its standard output on /dev/full.
    ProgramResult run_full(const std::string &tool, const Args &args)
    {
        std::string err = board_.dir() + "/stderr";
        child::Launch launch;
        launch.argv.push_back(path_of(tool));
        launch.argv.insert(launch.argv.end(), args.begin(), args.end());
        launch.in = child::Stream::null_input();
        launch.out = child::Stream::file("/dev/full", O_WRONLY);
        launch.err = child::Stream::file(err, O_WRONLY | O_CREAT | O_TRUNC);
        int error = 0;
        pid_t pid = child::start(launch, &error);
        if (pid < 0)
            throw std::runtime_error("cannot start " + tool);
        child::Ended end = child::wait(pid);
        return ProgramResult{end.exit_code, end.signal, "", test_support::read_file(err)};
    }
};

// Every command a user can name, with the name its help and messages go by.
const std::vector<Args> kCommands = {
    {"board"}, {"board", "status"}, {"board", "reset"}, {"board", "input"}, {"board", "name"},
    {"board", "unname"}, {"board", "unplug"}, {"board", "plug"}, {"board", "fault"}, {"board", "hold"},
    {"board", "registry"},
    {"board", "registry", "protected"}, {"board", "registry", "protect"}, {"board", "registry", "unprotect"},
    {"board", "ras"}, {"board", "ras", "list"}, {"board", "ras", "remove"}, {"board", "ras", "restore"},
    {"board", "files"}, {"board", "files", "readonly"}, {"board", "boot"}, {"board", "serial"},
    {"board", "sync"}, {"board", "record"}, {"board", "play"}, {"board", "serve"}, {"board", "wine"},
    {"board", "watch"}, {"pinctl"},
    {"pinctl", "set"}, {"pinctl", "get"}, {"pinctl", "poweroff"}, {"controlpanel"}};

std::string joined(const Args &words)
{
    std::string s;
    for (const std::string &w : words)
        s += (s.empty() ? "" : " ") + w;
    return s;
}

TEST_F(CommandLine, EveryCommandAnswersHelpWithItsUsageAndChangesNothing)
{
    for (const Args &cmd : kCommands) {
        for (const char *flag : {"--help", "-h"}) {
            SCOPED_TRACE(joined(cmd) + " " + flag);
            Args args(cmd.begin() + 1, cmd.end());
            args.push_back(flag);
            ProgramResult r = run(cmd[0], args);
            EXPECT_EQ(r.exit_code, 0) << r.err;
            EXPECT_EQ(r.err, "");
            EXPECT_EQ(r.out.rfind("Usage: " + joined(cmd), 0), 0u) << r.out;
            EXPECT_NE(r.out.find("-h, --help"), std::string::npos) << r.out;
        }
    }
    // Every command 'board --help' lists is among them.
    std::string help = run("board", {"--help"}).out;
    size_t from = help.find("Commands:\n"), to = help.find("\n\n", from);
    ASSERT_NE(from, std::string::npos) << help;
    for (const std::string &line : split_lines(help.substr(from, to - from))) {
        if (line.compare(0, 2, "  ") != 0)
            continue;
        std::string name = line.substr(2, line.find(' ', 2) - 2);
        EXPECT_NE(std::find(kCommands.begin(), kCommands.end(), Args{"board", name}), kCommands.end())
            << "board " << name << " is not among the commands checked";
    }
    // The help wins over arguments it comes with, good or bad.
    EXPECT_EQ(run("board", {"input", "64", "x", "--help"}).exit_code, 0);
    EXPECT_EQ(run("pinctl", {"get", "nosuch", "--help"}).exit_code, 0);
    EXPECT_FALSE(board::status().pins[0].touched);
}

TEST_F(CommandLine, EveryToolTellsTheOneProjectVersion)
{
    std::string version;
    for (const Tool &t : kTools) {
        SCOPED_TRACE(t.name);
        ProgramResult r = run(t.name, {"--version"});
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.err, "");
        std::smatch m;
        ASSERT_TRUE(std::regex_match(r.out, m, std::regex(t.name + " \\(boardutils\\) ([0-9]+\\.[0-9]+\\.[0-9]+\\S*)\n")))
            << r.out;
        if (version.empty())
            version = m[1];
        EXPECT_EQ(m[1], version) << "the tools tell different versions";
    }
    // Only the tool itself takes it.
    EXPECT_EQ(run("board", {"status", "--version"}).exit_code, 2);
}

// A usage error: status 2, nothing on stdout, and one line on stderr that
// names the program and the command, says what is wrong and where the help is.
TEST_F(CommandLine, UsageErrorsExitTwoWithOneLineNamingTheCommand)
{
    struct Case {
        std::string tool;
        Args args;
        std::string prog, says;
    };
    std::string vcd = board_.dir() + "/x.vcd";
    for (const Case &c : std::vector<Case>{
             {"board", {}, "board", "a command is needed"},
             {"board", {"--frob"}, "board", "unknown option '--frob'"},
             {"board", {"stat"}, "board", "unknown command 'stat'"},
             {"board", {"status", "--json", "x"}, "board status", "takes no arguments, not 'x'"},
             {"board", {"registry", "protect"}, "board registry protect", "KEY is missing"},
             {"board", {"registry", "frob"}, "board registry", "unknown command 'frob'"},
             {"board", {"ras"}, "board ras", "a command is needed"},
             {"board", {"files", "readonly", "\\x", "maybe"}, "board files readonly",
              "STATE must be on or off, not 'maybe'"},
             {"board", {"serial", "--follow", "x"}, "board serial", "takes no arguments, not 'x'"},
             {"board", {"watch", "--edges", "up"}, "board watch", "--edges must be rising, falling or both, not 'up'"},
             {"board", {"watch", "--utc", "--realtime"}, "board watch", ""},
             {"board", {"record"}, "board record", "FILE is missing"},
             {"board", {"record", vcd, "--timescale=1s"}, "board record",
              "--timescale must be 1ns, 1us or 1ms, not '1s'"},
             {"board", {"play"}, "board play", "FILE is missing"},
             {"board", {"play", vcd, "--speed", "0"}, "board play", ""},
             {"pinctl", {}, "pinctl", "a command is needed"},
             {"pinctl", {"get"}, "pinctl get", "PIN is missing"},
             {"pinctl", {"poweroff", "now"}, "pinctl poweroff", "takes no arguments, not 'now'"},
             {"controlpanel", {"--list", "--script=-"}, "controlpanel", "--list excludes --script"},
             {"controlpanel", {"--script"}, "controlpanel", "--script needs a value: FILE"},
             {"controlpanel", {"extra"}, "controlpanel", "takes no arguments, not 'extra'"}}) {
        SCOPED_TRACE(c.tool + " " + joined(c.args));
        ProgramResult r = run(c.tool, c.args);
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_EQ(r.out, "");
        ASSERT_EQ(split_lines(r.err).size(), 1u) << r.err;
        EXPECT_EQ(r.err.rfind(c.prog + ": " + c.says, 0), 0u) << r.err;
        EXPECT_NE(r.err.find(" (see '" + c.prog + " --help')\n"), std::string::npos) << r.err;
    }
    EXPECT_FALSE(board::status().pins[0].touched);
}

// A failure: status 1, and a line that names the program.
TEST_F(CommandLine, FailuresExitOneWithALineNamingTheProgram)
{
    ASSERT_EQ(run("board", {"reset"}).exit_code, 0);
    ASSERT_EQ(run("board", {"unplug"}).exit_code, 0);
    struct Case {
        std::string tool;
        Args args;
        std::string says;
    };
    for (const Case &c : std::vector<Case>{
             {"pinctl", {"get", "3"}, "pinctl: cannot read pin 3 (error 2)"},
             {"board", {"files", "readonly", "\\Temp\\none"}, "board: \\Temp\\none: no such file (error 2)"},
             {"board", {"registry", "unprotect", "HKEY_CURRENT_USER\\Nothing"}, "board: HKEY_CURRENT_USER\\Nothing is not protected"},
             {"board", {"play", board_.dir() + "/none.vcd"}, "board play: "},
             {"controlpanel", {"--applets=" + board_.dir() + "/none", "--list"}, "controlpanel: " + board_.dir() + "/none is not a folder of applets"}}) {
        SCOPED_TRACE(c.tool + " " + joined(c.args));
        ProgramResult r = run(c.tool, c.args);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.err.rfind(c.says, 0), 0u) << r.err;
    }
}

// Every command that prints: standard output on a full disk is a failure,
// said in one line, never a silent success.
TEST_F(CommandLine, AWriteErrorOnStandardOutputIsAFailure)
{
    ASSERT_EQ(run("board", {"reset"}).exit_code, 0);
    ASSERT_EQ(run("board", {"registry", "protect", "HKEY_CURRENT_USER\\ControlPanel"}).exit_code, 0);
    std::string lnk = "\\Windows\\Startup\\Velmorra.lnk";
    for (const Args &cmd : std::vector<Args>{
             {"board", "--help"}, {"board", "--version"}, {"board", "status"}, {"board", "status", "--all", "--json"},
             {"board", "registry"}, {"board", "registry", "protected"}, {"board", "ras", "list"},
             {"board", "files", "readonly", lnk}, {"board", "sync"}, {"board", "input", "--help"},
             {"pinctl", "get", "3", "4"}, {"pinctl", "--version"}, {"pinctl", "set", "--help"},
             {"controlpanel", "--list"}, {"controlpanel", "--help"}}) {
        SCOPED_TRACE(joined(cmd));
        ProgramResult r = run_full(cmd[0], Args(cmd.begin() + 1, cmd.end()));
        EXPECT_EQ(r.exit_code, 1) << r.err;
        std::vector<std::string> lines = split_lines(r.err);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back().rfind(cmd[0], 0), 0u) << r.err;
        EXPECT_NE(lines.back().find(": cannot write the output"), std::string::npos) << r.err;
    }
    // board boot prints each step as it goes; what its programs sent to the
    // serial debug port is then there for board serial.
    ProgramResult r = run_full("board", {"boot"});
    EXPECT_EQ(r.exit_code, 1) << r.err;
    EXPECT_NE(r.err.find("board boot: cannot write the output"), std::string::npos) << r.err;
    ASSERT_NE(run("board", {"serial"}).out, "");
    r = run_full("board", {"serial"});
    EXPECT_EQ(r.exit_code, 1) << r.err;
    EXPECT_EQ(r.err, "board serial: cannot write the output: No space left on device\n");
    // Nor does --follow go on writing to an output that takes nothing.
    r = run_full("board", {"serial", "--follow"});
    EXPECT_EQ(r.exit_code, 1) << r.err;
    EXPECT_EQ(r.err, "board serial: cannot write the output: No space left on device\n");
}

// One rule for a number wherever one is taken: decimal digits, a leading
// zero allowed (010 is ten), no sign, no spaces, no base prefix, no exponent.
TEST_F(CommandLine, NumbersFollowOneRuleEverywhere)
{
    struct Place {
        std::string tool;
        Args before, after;  // the number goes between
    };
    std::string vcd = board_.dir() + "/n.vcd";
    const std::vector<Place> places = {
        {"board", {"input"}, {"release"}},
        {"board", {"unname"}, {}},
        {"pinctl", {"get"}, {}},
        {"pinctl", {"set"}, {"0"}},
        {"board", {"watch", "--idle-timeout=1"}, {}},
        {"board", {"watch", "--idle-timeout=1", "-n"}, {}},
        {"board", {"watch", "--idle-timeout"}, {}},
        {"board", {"record", vcd, "--duration"}, {}},
    };
    struct Value {
        std::string text;
        bool taken;
    };
    for (const Value &v : std::vector<Value>{{"10", true}, {"010", true}, {" 10", false}, {"10 ", false},
                                             {"+10", false}, {"0x10", false}, {"1e1", false}, {"", false},
                                             {"-10", false}, {"10.0", false}, {"１0", false}}) {
        for (const Place &p : places) {
            Args args = p.before;
            args.push_back(v.text);
            args.insert(args.end(), p.after.begin(), p.after.end());
            SCOPED_TRACE(p.tool + " " + joined(args) + " ['" + v.text + "']");
            ProgramResult r = run(p.tool, args);
            EXPECT_EQ(r.exit_code, v.taken ? 0 : 2) << r.err;
            if (!v.taken) {
                EXPECT_NE(r.err.find(v.text.empty() ? "" : "'" + v.text + "'"), std::string::npos) << r.err;
            }
        }
        // The Control Panel's scripts read theirs by the same rule (words
        // there are split at spaces, so those cannot come in).
        if (v.text.empty() || v.text.find(' ') != std::string::npos)
            continue;
        for (const std::string &line : {"pin " + v.text + " release", "wait " + v.text}) {
            SCOPED_TRACE(line);
            std::string script = board_.dir() + "/script";
            test_support::write_file(script, line + "\n");
            ProgramResult r = run("controlpanel", {"--applets=" + board_.dir(), "--script=" + script});
            EXPECT_EQ(r.exit_code, v.taken ? 0 : 2) << r.err;
        }
    }
    // 010 was ten: pin 10, not 8.
    EXPECT_TRUE(board::status().pins[10].touched);
    EXPECT_FALSE(board::status().pins[8].touched);
}

}  // namespace
