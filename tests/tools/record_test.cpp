// board record as a user runs it: captures of what other processes do to
// the board, read back by the readers people use (sigrok-cli, GTKWave's
// converters) and by the strict reader of these tests.
#include "board/board.h"
#include "board_folder.h"
#include "process.h"
#include "vcd_reader.h"
#include "board_child.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include <algorithm>
#include <cerrno>
#include <map>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using test_support::parse_vcd;
using test_support::ProgramResult;
using test_support::read_file;
using test_support::VcdFile;
using Times = std::vector<uint64_t>;

using test_support::Recorder;

class Record : public test_support::BoardToolTest {
protected:
    // A Control Panel script run by its own process, as a person would.
    void script(const std::string &text)
    {
        test_support::write_file(file("session.script"), text);
        run(CONTROLPANEL, {"--script", file("session.script")});
    }
};

// What sigrok-cli writes as VCD, after the line of metadata it puts first.
VcdFile sigrok_read(const ProgramResult &r)
{
    size_t at = r.out.find("$date");
    return parse_vcd(at == std::string::npos ? r.out : r.out.substr(at), false);
}

// The value changes of each wire, x read as 0 (as sampling readers do).
std::map<std::string, std::vector<std::pair<uint64_t, std::string>>> levels(const VcdFile &f)
{
    std::map<std::string, std::vector<std::pair<uint64_t, std::string>>> out;
    for (const auto &w : f.changes)
        for (const auto &c : w.second) {
            std::string v = c.second == "x" ? "0" : c.second;
            auto &list = out[w.first];
            if (list.empty() || list.back().second != v)
                list.push_back({c.first, v});
        }
    return out;
}

TEST_F(Record, ASessionOfOtherProcessesAsSigrokAndGtkwaveReadIt)
{
    board({"reset"});
    Recorder logic({file("logic.vcd"), "--logic-only", "--timescale", "1us"});
    Recorder full({file("full.vcd")});
    ASSERT_TRUE(logic.started()) << logic.err();
    ASSERT_TRUE(full.started()) << full.err();

    board({"input", "20", "0"});
    board({"input", "20", "1"});
    board({"input", "20", "release"});  // pulled up anyway: no change
    run(PINCTL, {"set", "21", "0"});
    run(PINCTL, {"set", "21", "1"});
    script("open Pinvane\nclick 1002\nclick 1002\nclose\n"
           "open Hemlark\nscroll 1001 lineright\nwait 30\nscroll 1005 pageleft\nwait 30\nclick 1\n");
    board({"unplug"});
    board({"plug"});

    ASSERT_EQ(logic.stop(SIGINT), 0) << logic.err();
    ASSERT_EQ(full.stop(SIGTERM), 0) << full.err();
    EXPECT_NE(logic.err().find(" 0 missed"), std::string::npos) << logic.err();

    VcdFile f = parse_vcd(read_file(file("logic.vcd")), true);
    ASSERT_EQ(f.error, "");
    EXPECT_EQ(f.timescale, "1us");
    EXPECT_EQ(f.width.count("pwm0_cr"), 0u);
    ASSERT_EQ(f.edges("pin20", "0").size(), 1u);
    ASSERT_EQ(f.edges("pin20", "1").size(), 1u);
    ASSERT_EQ(f.edges("pin21", "0").size(), 1u);
    ASSERT_EQ(f.edges("pin21", "1").size(), 1u);
    // Pinvane drives all nine outputs on each click, a cleared box low:
    // pin 1 falls at the first, pin 3 (ticked, then cleared) at the second.
    ASSERT_EQ(f.edges("pin1", "0").size(), 1u);
    ASSERT_EQ(f.changes["pin3"].size(), 2u);
    ASSERT_EQ(f.edges("pwm0_running", "1").size(), 1u);
    ASSERT_EQ(f.edges("pwm0_running", "0").size(), 1u);
    ASSERT_EQ(f.edges("present", "0").size(), 1u);
    // In the order the processes ran.
    uint64_t started = f.edges("pwm0_running", "1")[0], stopped = f.edges("pwm0_running", "0")[0];
    Times order = {f.edges("pin20", "0")[0], f.edges("pin20", "1")[0], f.edges("pin21", "0")[0],
                   f.edges("pin21", "1")[0], f.edges("pin1", "0")[0],  f.changes["pin3"][1].first,
                   started,                  stopped,                  f.edges("present", "0")[0],
                   f.edges("present", "1")[0]};
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
    EXPECT_LE(order.back(), f.end);
    // The output toggles while the channel runs, and is low once stopped.
    Times rises = f.edges("pwm0_out", "1");
    ASSERT_GE(rises.size(), 2u);
    EXPECT_GE(rises.front(), started);
    EXPECT_LT(rises.back(), stopped);
    EXPECT_EQ(f.at("pwm0_out", stopped), "0");

    // sigrok-cli reads it back, edge for edge.
    ProgramResult s = run("/usr/bin/sigrok-cli", {"-I", "vcd", "-i", file("logic.vcd"), "-O", "vcd"});
    VcdFile back = sigrok_read(s);
    ASSERT_EQ(back.error, "") << s.out.substr(0, 2000);
    EXPECT_EQ(levels(back), levels(f));

    // GTKWave's converters read the whole capture, vectors too.
    VcdFile whole = parse_vcd(read_file(file("full.vcd")), true);
    ASSERT_EQ(whole.error, "");
    run("/usr/bin/vcd2fst", {file("full.vcd"), file("full.fst")});
    ProgramResult g = run("/usr/bin/fst2vcd", {file("full.fst")});
    VcdFile round = parse_vcd(g.out, false);
    ASSERT_EQ(round.error, "") << g.out.substr(0, 2000);
    EXPECT_EQ(round.width["pwm0_dcr"], 10);
    EXPECT_EQ(levels(round), levels(whole));
    // Hemlark's scrolls, in the registers: started with what the board had
    // (0), then cr 17 (16 and a line), dcr 256 and then 246 (a page less).
    std::vector<std::string> crs, dcrs;
    for (const auto &c : whole.changes["pwm0_cr"])
        crs.push_back(c.second);
    for (const auto &c : whole.changes["pwm0_dcr"])
        dcrs.push_back(c.second);
    ASSERT_EQ(crs, (std::vector<std::string>{"000000", "010001"}));
    ASSERT_EQ(dcrs, (std::vector<std::string>{"0000000000", "0100000000", "0011110110"}));
    EXPECT_EQ(whole.at("pwm1_cr", whole.end), "010000");
    // The output between the registers' changes: periods of 513 ticks of
    // 18 us, high for 256 and then 246 ticks.
    uint64_t on = whole.changes["pwm0_cr"][1].first, narrower = whole.changes["pwm0_dcr"][2].first,
             off = whole.edges("pwm0_running", "0")[0];
    const auto &out = whole.changes["pwm0_out"];
    ASSERT_GE(out.size(), 2u);
    EXPECT_EQ(out[1], (std::pair<uint64_t, std::string>{on, "1"}));
    int spans = 0;
    for (size_t i = 1; i + 1 < out.size(); ++i) {
        uint64_t t = out[i].first, until = out[i + 1].first;
        bool high = out[i].second == "1";
        if (until < narrower)
            EXPECT_EQ(until - t, (high ? 256u : 257u) * 18000) << "at " << t;
        else if (t >= narrower && until < off)
            EXPECT_EQ(until - t, (high ? 246u : 267u) * 18000) << "at " << t;
        else
            continue;
        ++spans;
    }
    // Each setting ran 30 ms at least: three periods of 9.234 ms.
    EXPECT_GE(spans, 8);
}

TEST_F(Record, EventsLostWhileStoppedAreNotedAndTheWiresReadAgain)
{
    board({"reset"});
    Recorder r({file("m.vcd"), "4", "5"});
    ASSERT_TRUE(r.started()) << r.err();
    // Stopped, it reads nothing while the board's ring for this thread
    // turns over a few times.
    ASSERT_EQ(kill(r.pid(), SIGSTOP), 0);
    int status = 0;
    ASSERT_EQ(waitpid(r.pid(), &status, WUNTRACED), r.pid());
    ASSERT_TRUE(WIFSTOPPED(status));
    for (int i = 0; i < 4001; ++i)
        board::set_input(4, i % 2);
    ASSERT_EQ(kill(r.pid(), SIGCONT), 0);
    // Changes go on as it reads the wires again.
    for (int i = 0; i < 400; ++i) {
        board::set_input(5, i % 2);
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    board::set_input(5, 0);
    ASSERT_EQ(r.stop(SIGINT), 0) << r.err();
    EXPECT_EQ(r.err().find(" 0 missed"), std::string::npos) << r.err();
    // What the reader still held back when the wires were read again is in
    // what was read: not written again, later than it happened.
    EXPECT_NE(r.err().find(" 0 put later than stamped"), std::string::npos) << r.err();

    VcdFile f = parse_vcd(read_file(file("m.vcd")), true);
    ASSERT_EQ(f.error, "");
    ASSERT_FALSE(f.notes.empty());
    EXPECT_NE(f.notes[0].second.find("events missed here"), std::string::npos) << f.notes[0].second;
    // Whatever was lost, the capture ends as the board is.
    EXPECT_EQ(f.at("pin4", f.end), "0");
    EXPECT_EQ(f.at("pin5", f.end), "0");
}

// A change made just before Ctrl-C is in the capture; a hang-up ends it
// as Ctrl-C does, complete, with nothing left beside it.
TEST_F(Record, TheLastChangeBeforeTheEndIsCapturedAndAHangUpEndsItWhole)
{
    board({"reset"});
    for (int sig : {SIGINT, SIGHUP}) {
        SCOPED_TRACE(sig);
        std::string name = "last" + std::to_string(sig) + ".vcd";
        Recorder r({file(name), "3"});
        ASSERT_TRUE(r.started()) << r.err();
        board::set_input(3, 0);
        ASSERT_EQ(r.stop(sig), 0) << r.err();
        VcdFile f = parse_vcd(read_file(file(name)), true);
        ASSERT_EQ(f.error, "");
        EXPECT_EQ(f.at("pin3", 0), "1");
        EXPECT_EQ(f.at("pin3", f.end), "0");
        board::set_input(3, -1);
    }
    for (const auto &e : std::filesystem::directory_iterator(board_.dir()))
        EXPECT_EQ(e.path().filename().string().find(".rec-"), std::string::npos) << e.path();
}

TEST_F(Record, ADurationEndsACompleteCaptureThatSigrokReads)
{
    board({"reset"});
    board({"input", "7", "0"});
    Recorder r({file("d.vcd"), "--duration", "300", "--timescale", "1us", "--logic-only", "7", "07", "9"});
    EXPECT_EQ(r.stop(0), 0) << r.err();
    VcdFile f = parse_vcd(read_file(file("d.vcd")), true);
    ASSERT_EQ(f.error, "");
    EXPECT_EQ(f.end, 300000u);
    EXPECT_EQ(f.width.count("pin7") + f.width.count("pin9") + f.width.count("pin8"), 2u);
    EXPECT_EQ(f.at("pin7", 0), "0");
    ProgramResult s = run("/usr/bin/sigrok-cli", {"-I", "vcd", "-i", file("d.vcd"), "-O", "vcd"});
    VcdFile back = sigrok_read(s);
    ASSERT_EQ(back.error, "");
    EXPECT_EQ(back.at("pin7", 0), "0");
    EXPECT_EQ(back.at("pin9", 0), "1");
}

TEST_F(Record, ByDefaultThePinsInUseAndThoseNamed)
{
    board({"reset"});
    board({"input", "5", "0"});  // touched before the capture
    Recorder r({file("u.vcd"), "--logic-only", "--timescale", "1us", "40"});
    ASSERT_TRUE(r.started()) << r.err();
    run(PINCTL, {"set", "21", "0"});
    board({"input", "22", "1"});  // touched, its level unchanged
    ASSERT_EQ(r.stop(SIGINT), 0) << r.err();
    VcdFile f = parse_vcd(read_file(file("u.vcd")), true);
    ASSERT_EQ(f.error, "");
    std::vector<std::string> pins;
    for (const auto &w : f.width)
        if (w.first.compare(0, 3, "pin") == 0)
            pins.push_back(w.first);
    EXPECT_EQ(pins, (std::vector<std::string>{"pin21", "pin22", "pin40", "pin5"}));
    EXPECT_EQ(f.width.size(), 4u + 3 * board::kChannels + 2);
    EXPECT_EQ(f.at("pin5", 0), "0");
    EXPECT_EQ(f.edges("pin21", "0").size(), 1u);
    ProgramResult s = run("/usr/bin/sigrok-cli", {"-I", "vcd", "-i", file("u.vcd"), "-O", "vcd"});
    EXPECT_EQ(levels(sigrok_read(s)), levels(f));

    Recorder all({file("a.vcd"), "--all-pins", "--duration", "50"});
    EXPECT_EQ(all.stop(0), 0) << all.err();
    VcdFile a = parse_vcd(read_file(file("a.vcd")), true);
    ASSERT_EQ(a.error, "");
    EXPECT_EQ(a.width.count("pin63") + a.width.count("pin0"), 2u);
    for (const auto &e : std::filesystem::directory_iterator(board_.dir()))
        EXPECT_EQ(e.path().filename().string().find(".rec-"), std::string::npos) << e.path();
}

TEST_F(Record, ALinkOrAFolderIsNoCaptureFileAndAFileIsReplacedWhole)
{
    std::string target = file("target"), link = file("link.vcd");
    test_support::write_file(target, "keep me\n");
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    Recorder r({link, "--duration", "10"});
    EXPECT_EQ(r.stop(0), 1);
    EXPECT_EQ(r.err(), "board record: " + link +
                           " is a symbolic link: the capture is not written through a link\n");
    EXPECT_EQ(read_file(target), "keep me\n");
    struct stat st;
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));

    ASSERT_EQ(mkdir(file("dir.vcd").c_str(), 0755), 0);
    Recorder d({file("dir.vcd"), "--duration", "10"});
    EXPECT_EQ(d.stop(0), 1);
    EXPECT_NE(d.err().find("is a folder"), std::string::npos);

    // An existing file is replaced by a rename: its other name keeps it.
    std::string old = file("old.vcd"), other = file("other-name");
    test_support::write_file(old, "an old capture\n");
    ASSERT_EQ(chmod(old.c_str(), 0600), 0);  // kept private, and so it stays
    ASSERT_EQ(::link(old.c_str(), other.c_str()), 0);
    Recorder o({old, "--duration", "10", "1"});
    EXPECT_EQ(o.stop(0), 0) << o.err();
    EXPECT_EQ(read_file(other), "an old capture\n");
    EXPECT_EQ(parse_vcd(read_file(old), true).error, "");
    ASSERT_EQ(stat(old.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // Nothing left beside it.
    ProgramResult ls = run("/bin/ls", {"-a", board_.dir()});
    EXPECT_EQ(ls.out.find(".rec-"), std::string::npos) << ls.out;
}

TEST_F(Record, ABoardThatCannotBeUsedExits1AndLeavesNothing)
{
    std::string state = board_.dir() + "/board.state";
    ASSERT_EQ(symlink("/tmp/elsewhere", state.c_str()), 0);
    Recorder r({file("c.vcd"), "--duration", "10"});
    EXPECT_EQ(r.stop(0), 1);
    EXPECT_NE(r.err().find("board.state is a symbolic link"), std::string::npos) << r.err();
    ProgramResult ls = run("/bin/ls", {"-a", board_.dir()});
    EXPECT_EQ(ls.out.find(".vcd"), std::string::npos) << ls.out;
}

// The board made unusable while it records (its state cut short): the
// capture ends there, complete and in place, and the recorder says why.
TEST_F(Record, ABoardLostMidCaptureEndsTheCaptureCompleteAndSaysWhy)
{
    board({"reset"});
    board({"input", "3", "0"});
    Recorder r({file("cut.vcd"), "3"});
    ASSERT_TRUE(r.started()) << r.err();
    ASSERT_EQ(truncate((board_.dir() + "/board.state").c_str(), 100), 0);
    EXPECT_EQ(r.stop(0), 1);
    EXPECT_NE(r.err().find("wrong size"), std::string::npos) << r.err();
    EXPECT_NE(r.err().find("the capture up to then is in " + file("cut.vcd")), std::string::npos) << r.err();
    VcdFile f = parse_vcd(read_file(file("cut.vcd")), true);
    ASSERT_EQ(f.error, "");
    EXPECT_EQ(f.at("pin3", 0), "0");
}

// What a recorder killed before its end left beside its capture is removed
// by the next recorder in the folder; a finished capture kept there (its
// rename failed, and its recorder said where it is) and the file of a
// recorder still at work stay.
TEST_F(Record, ACaptureLeftByAKilledRecorderIsRemovedByTheNext)
{
    board({"reset"});
    pid_t ended = test_support::fork_child([] { return 0; });
    ASSERT_EQ(test_support::wait_child(ended), 0);
    std::string dead = std::to_string(ended), alive = std::to_string(getpid());
    std::string left = file(".a.vcd.rec-" + dead + "-0"), kept = file(".b.vcd.rec-" + dead + "-1"),
                working = file(".c.vcd.rec-" + alive + "-0");
    test_support::write_file(left, "$date cut short");
    test_support::write_file(kept, "$date\n...\n$comment capture ended: 0 events, 0 missed, 0 put later $end\n");
    test_support::write_file(working, "$date at work");
    Recorder r({file("next.vcd"), "--duration", "10"});
    EXPECT_EQ(r.stop(0), 0) << r.err();
    struct stat st;
    EXPECT_NE(stat(left.c_str(), &st), 0) << "the left-over stays";
    EXPECT_EQ(stat(kept.c_str(), &st), 0);
    EXPECT_EQ(stat(working.c_str(), &st), 0);
}

TEST_F(Record, BadArgumentsExit2AndWriteNothing)
{
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {},
             {file("a.vcd"), "64"},
             {file("a.vcd"), "-1"},
             {file("a.vcd"), "0x3"},
             {file("a.vcd"), "--duration", "0"},
             {file("a.vcd"), "--duration", "1.5"},
             {file("a.vcd"), "--timescale", "10ns"},
             {file("a.vcd"), "--what"}}) {
        Recorder r(args);
        EXPECT_EQ(r.stop(0), 2) << r.err();
        EXPECT_NE(r.err().find("(see 'board record --help')"), std::string::npos) << r.err();
    }
    struct stat st;
    EXPECT_NE(stat(file("a.vcd").c_str(), &st), 0);
    ProgramResult help = test_support::run_program(BOARD_TOOL, {"record", "--help"});
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_NE(help.out.find("--logic-only"), std::string::npos);
}

// A pin named on the board is recorded, and chosen, by its name.
TEST_F(Record, NamedPinsAreChosenByNameAndRecordedAsTheirWires)
{
    board({"reset"});
    board({"name", "7", "clk"});
    board({"input", "clk", "0"});
    Recorder r({file("n.vcd"), "--duration", "100", "clk", "9"});
    EXPECT_EQ(r.stop(0), 0) << r.err();
    VcdFile f = parse_vcd(read_file(file("n.vcd")), true);
    ASSERT_EQ(f.error, "");
    EXPECT_EQ(f.at("clk", 0), "0");
    EXPECT_EQ(f.width.count("pin7"), 0u);
    EXPECT_EQ(f.at("pin9", 0), "1");
    Recorder bad({file("m.vcd"), "--duration", "100", "nosuch"});
    EXPECT_EQ(bad.stop(0), 2) << bad.err();
    EXPECT_NE(bad.err().find("'nosuch' (no pin has that name)"), std::string::npos) << bad.err();
}

}  // namespace
