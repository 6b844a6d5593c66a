// board play: the reader of Value Change Dumps against what other tools
// write and what a hostile file holds, and captures played back onto the
// board and recorded again.
#include "board/board.h"
#include "board_child.h"
#include "board_folder.h"
#include "process.h"
#include "vcd_read.h"
#include "vcd_reader.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

using test_support::parse_vcd;
using test_support::ProgramResult;
using test_support::read_file;
using test_support::VcdFile;

struct Read {
    bool ok;
    vcd::ReadError error;
    std::vector<vcd::Declared> wires;
    std::vector<vcd::Change> changes;
    uint64_t end_ns = 0;
};

// Reads text as 'board play' does, keeping the wires want names (all when empty).
Read read_text(std::string text, const std::vector<std::string> &want = {})
{
    Read r;
    std::FILE *f = fmemopen(text.empty() ? nullptr : &text[0], text.size(), "r");
    vcd::Reader reader(f);
    r.ok = reader.header(&r.error);
    if (r.ok) {
        r.wires = reader.wires();
        std::vector<bool> wanted(r.wires.size());
        for (size_t i = 0; i < wanted.size(); ++i)
            wanted[i] = want.empty() || std::find(want.begin(), want.end(), r.wires[i].name) != want.end();
        r.ok = reader.values(wanted, &r.changes, &r.end_ns, &r.error);
    }
    std::fclose(f);
    return r;
}

const char kHead[] = "$timescale 1us $end\n$var wire 1 ! pin3 $end\n$var wire 4 \" bus $end\n"
                     "$enddefinitions $end\n";  // lines 1-4

TEST(VcdRead, TakesTheFormsOtherToolsWrite)
{
    // Values on the timestamp's line, a spaced timescale, a code "$", nested
    // scopes, one code for two wires, vectors, reals, x and z, $dumpvars.
    Read r = read_text("$date today $end\n$timescale 10 us $end\n$scope module top $end\n"
                       "$scope module cpu $end\n$var wire 1 $ D0 $end\n$var wire 1 $ alias $end\n"
                       "$upscope $end\n$var wire 8 % data [7:0] $end\n$var real 64 & volts $end\n"
                       "$var wire 1 ' D1 $end\n$upscope $end\n$enddefinitions $end\n"
                       "$dumpvars 1$ b0 % r0.5 & z' $end\n#3 0$ b1x1 % X'\n#4 r1e3 & 1'\n"
                       "$comment note $end\n#7\n");
    ASSERT_TRUE(r.ok) << r.error.line << ": " << r.error.what;
    ASSERT_EQ(r.wires.size(), 5u);
    EXPECT_EQ(r.wires[0].scope, "top.cpu");
    EXPECT_EQ(r.wires[2].name, "data");
    EXPECT_EQ(r.wires[2].width, 8);
    EXPECT_EQ(r.end_ns, 70000u);
    std::vector<std::tuple<uint64_t, uint32_t, int>> got;
    for (const vcd::Change &c : r.changes)
        got.emplace_back(c.time_ns, c.wire, c.value);
    std::vector<std::tuple<uint64_t, uint32_t, int>> want = {
        {0, 0, 1}, {0, 1, 1}, {0, 4, -1}, {30000, 0, 0}, {30000, 1, 0}, {30000, 4, -1}, {40000, 4, 1}};
    EXPECT_EQ(got, want);

    // Only the wires asked for are kept.
    Read some = read_text(std::string(kHead) + "#0 0! b0 \"\n#5 1! b1 \"\n", {"pin3"});
    ASSERT_TRUE(some.ok) << some.error.what;
    ASSERT_EQ(some.changes.size(), 2u);
    EXPECT_EQ(some.changes[1].time_ns, 5000u);
}

TEST(VcdRead, RefusesWhatIsWrongWithItsLine)
{
    struct Case {
        std::string text;
        int line;
        const char *says;
    } cases[] = {
        {"$comment\n" + std::string(vcd::kMaxLine + 1, 'a') + "\n$end\n", 2, "longer than"},
        {std::string("$comment a\0b $end\n", 17), 1, "zero byte"},
        {"$timescale 3 ns $end\n", 1, "timescale"},
        {"\n$var wire 99999999999999999999999 ! p $end\n", 2, "width"},
        {"$var wire 0 ! p $end\n", 1, "width"},
        {"$var wire 1 ! $end\n", 1, "needs a type"},
        {"$scope module a $end\n\n$var wire 1 ! p\n", 3, "not closed"},
        {"$upscope $end\n", 1, "outside"},
        {"$var wire 1 ! p $end\n", 1, "ends before $enddefinitions"},
        {"hello\n", 1, "declaration"},
        {std::string(kHead) + "#0\n1?\n", 6, "no $var declares"},
        {std::string(kHead) + "#0\n1!\n#9\n#8\n", 8, "time goes back"},
        {std::string(kHead) + "#99999999999999999999999\n", 5, "timestamp must be"},
        {std::string(kHead) + "#-1\n", 5, "timestamp must be"},
        {std::string(kHead) + "#18446744073709551615\n", 5, "past"},
        {std::string(kHead) + "#0 1\"\n", 5, "4 bits wide"},
        {std::string(kHead) + "#0 b102 \"\n", 5, "vector's value"},
        {std::string(kHead) + "#0 b1\n", 5, "without its wire's code"},
        {std::string(kHead) + "#0\n?!\n", 6, "no value change"},
    };
    for (const Case &c : cases) {
        Read r = read_text(c.text);
        EXPECT_FALSE(r.ok) << c.says;
        EXPECT_EQ(r.error.line, c.line) << c.says << ": " << r.error.what;
        EXPECT_NE(r.error.what.find(c.says), std::string::npos) << r.error.what;
    }
}

class Play : public test_support::BoardToolTest {
protected:

    // Records (1 us) while what runs.
    VcdFile record(const std::string &name, const std::function<void()> &what)
    {
        test_support::Recorder rec({file(name), "--timescale", "1us"});
        EXPECT_TRUE(rec.started()) << rec.err();
        what();
        EXPECT_EQ(rec.stop(SIGINT), 0) << rec.err();
        return parse_vcd(read_file(file(name)), true);
    }
};

using Edges = std::vector<std::pair<uint64_t, std::string>>;

// A wire's changes after its initial value.
Edges edges_of(const VcdFile &f, const std::string &wire)
{
    auto it = f.changes.find(wire);
    return it == f.changes.end() ? Edges() : Edges(it->second.begin() + 1, it->second.end());
}

// Edges b has as a has them: the same values, each at the same time
// (scale: a's units per b's unit) after the first edge of its file, within
// tolerance units of b.
void expect_same_edges(const Edges &a, uint64_t a_first, double scale, const Edges &b, uint64_t b_first,
                       double tolerance, const std::string &what)
{
    ASSERT_EQ(a.size(), b.size()) << what;
    for (size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].second, b[i].second) << what << " edge " << i;
        double want = static_cast<double>(a[i].first - a_first) / scale;
        double got = static_cast<double>(b[i].first - b_first);
        EXPECT_NEAR(got, want, tolerance) << what << " edge " << i;
    }
}

uint64_t first_edge(const VcdFile &f)
{
    uint64_t first = UINT64_MAX;
    for (const auto &w : f.changes)
        if (w.first.compare(0, 3, "pin") == 0 && w.second.size() > 1)
            first = std::min(first, w.second[1].first);
    return first;
}

// Each change lands within 1 ms of when the player says it applied it.  How
// late that was after its schedule is the machine's doing (bench/play
// measures it on a quiet one): here, with other tests and the sanitizers
// sharing two cores, the player can be kept off the processor for several
// milliseconds, so its own report of the latest change widens the bound.  A
// wrong scale or unit is off by far more, and is not late by its own clock.
constexpr double kToleranceUs = 1000;

// The latest change's lateness, in microseconds, from play's last line.
double reported_lateness_us(const std::string &err)
{
    static const std::string kSays = "after their time by at most ";
    size_t at = err.rfind(kSays);
    EXPECT_NE(at, std::string::npos) << err;
    return at == std::string::npos ? 0 : std::strtod(err.c_str() + at + kSays.size(), nullptr);
}

TEST_F(Play, ARecordedSessionPlayedBackGivesTheSameEdges)
{
    // The session: pins driven from outside at uneven times, and an output
    // driven by a program (played back as an outside level).
    VcdFile first = record("first.vcd", [&] {
        auto at = std::chrono::steady_clock::now();
        const int gaps_ms[] = {30, 70, 2, 150, 50, 1, 90, 40, 120, 60};
        for (int i = 0; i < 10; ++i) {
            at += std::chrono::milliseconds(gaps_ms[i]);
            std::this_thread::sleep_until(at);
            board::set_input(10 + i % 3, i % 2);
        }
        run(PINCTL, {"set", "21", "0"});
        board::set_input(12, -1);
    });
    ASSERT_EQ(first.error, "");
    ASSERT_GE(edges_of(first, "pin10").size(), 3u);
    ASSERT_EQ(edges_of(first, "pin21").size(), 1u);

    board({"reset"});
    double late_us = 0;
    VcdFile second = record("second.vcd",
                            [&] { late_us = reported_lateness_us(board({"play", file("first.vcd")}).err); });
    ASSERT_EQ(second.error, "");
    for (int pin = 0; pin < board::kPins; ++pin) {
        std::string w = "pin" + std::to_string(pin);
        expect_same_edges(edges_of(first, w), first_edge(first), 1, edges_of(second, w), first_edge(second),
                          kToleranceUs + late_us, w);
    }
    // The levels stay as last played: pin 21, an output in the session, is
    // held low from outside.
    EXPECT_EQ(board::status().pins[21].external, 0);
}

TEST_F(Play, ADumpOfALogicAnalysersSoftwarePlaysOnTheMappedPins)
{
    ProgramResult s = run("/usr/bin/sigrok-cli", {"-d", "demo", "--config", "samplerate=1k", "--samples", "1000",
                                                  "-C", "D0,D1", "-O", "vcd", "-o", file("demo.vcd")});
    VcdFile demo = parse_vcd(read_file(file("demo.vcd")), false);
    ASSERT_EQ(demo.error, "") << read_file(file("demo.vcd")).substr(0, 1000);
    ASSERT_EQ(demo.timescale, "1ms");
    ASSERT_GE(edges_of(demo, "D0").size(), 10u);

    double late_us = 0;
    VcdFile played = record("played.vcd", [&] {
        late_us = reported_lateness_us(
            board({"play", file("demo.vcd"), "--map", "D0=20", "--map", "libsigrok.D1=21", "--speed", "4"}).err);
    });
    ASSERT_EQ(played.error, "");
    // The pins start pulled up: a wire that starts low makes an edge at the
    // start of the play, time 0 of the dump.
    auto expected = [&](const std::string &w) {
        Edges e = edges_of(demo, w);
        if (demo.changes[w].front().second == "0")
            e.insert(e.begin(), {0, "0"});
        return e;
    };
    ASSERT_TRUE(demo.at("D0", 0) == "0" || demo.at("D1", 0) == "0");
    expect_same_edges(expected("D0"), 0, 4.0 / 1000, edges_of(played, "pin20"), first_edge(played),
                      kToleranceUs + late_us, "D0");
    expect_same_edges(expected("D1"), 0, 4.0 / 1000, edges_of(played, "pin21"), first_edge(played),
                      kToleranceUs + late_us, "D1");

    // Without --map nothing in it is a pin.
    ProgramResult none = board({"play", file("demo.vcd")}, 1);
    EXPECT_NE(none.err.find("demo.vcd: line 11: no wire named pin0 to pin63"), std::string::npos) << none.err;
    ProgramResult missing = board({"play", file("demo.vcd"), "--map", "D7=1"}, 1);
    EXPECT_NE(missing.err.find("line 11: no wire D7"), std::string::npos) << missing.err;
}

TEST_F(Play, RefusesFilesAndArgumentsItCannotPlay)
{
    test_support::write_file(file("two.vcd"), "$var wire 1 ! pin3 $end\n$var wire 1 \" x $end\n"
                                              "$var wire 2 # v $end\n$enddefinitions $end\n#0 1!\n#5 2!\n");
    ProgramResult bad = board({"play", file("two.vcd")}, 1);
    EXPECT_NE(bad.err.find("two.vcd: line 6: '2!' is no value change"), std::string::npos) << bad.err;
    ProgramResult twice = board({"play", file("two.vcd"), "--map", "pin3=4", "--map", "x=4"}, 1);
    EXPECT_NE(twice.err.find("line 2: a second wire for pin 4"), std::string::npos) << twice.err;
    ProgramResult wide = board({"play", file("two.vcd"), "--map", "v=4"}, 1);
    EXPECT_NE(wide.err.find("line 3: v is 2 bits wide"), std::string::npos) << wide.err;
    EXPECT_EQ(board::status().pins[3].external, -1);  // nothing played

    board({"play", file("two.vcd"), "--map", "pin3=64"}, 2);
    board({"play", file("two.vcd"), "--speed", "0.0001"}, 2);
    board({"play", file("two.vcd"), "--speed", "1001"}, 2);
    board({"play", file("two.vcd"), "--speed", "-1"}, 2);
    board({"play", file("nothing.vcd")}, 1);
    board({"play", board_.dir()}, 1);
}

TEST_F(Play, StoppedItLeavesThePinsAsLastSetOrReleased)
{
    // Pin 7 low at once, high only after a minute.
    test_support::write_file(file("long.vcd"), "$timescale 1ms $end\n$var wire 1 ! pin7 $end\n"
                                               "$enddefinitions $end\n#0 0!\n#60000 1!\n");
    for (bool release : {false, true}) {
        board::set_input(7, 1);
        std::vector<std::string> args = {file("long.vcd"), "--loop"};
        if (release)
            args.push_back("--release");
        test_support::BoardChild play("play", args);
        ASSERT_TRUE(play.wait_for("(Ctrl-C stops it)\n")) << play.err();
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (board::status().pins[7].external != 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_EQ(board::status().pins[7].external, 0);
        EXPECT_EQ(play.stop(SIGINT), 0) << play.err();
        EXPECT_NE(play.err().find("1 changes in 0 whole passes (stopped)"), std::string::npos) << play.err();
        EXPECT_EQ(board::status().pins[7].external, release ? -1 : 0);
    }
}

}  // namespace
