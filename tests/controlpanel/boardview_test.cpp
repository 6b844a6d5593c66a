// Pieces of the board view: the PWM waveform and the debug tail.
#include "boardview.h"
#include "board/registry_file.h"
#include "board_folder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>
#include <sys/stat.h>
#include <sys/wait.h>
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
    test_support::BoardFolder folder;
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
}

// A board folder whose name holds a newline and a terminal escape is shown
// escaped on the view's first line, never raw.
TEST(BoardView, TheFolderNameIsShownEscaped)
{
    test_support::BoardFolder folder;
    std::string name = folder.dir() + "/a\nb\x1b[2J";
    ASSERT_EQ(mkdir(name.c_str(), 0755), 0);
    setenv("BOARD_DIR", name.c_str(), 1);  // the folder object puts it back
    board::reset();
    BoardView view(board::dir(), "");
    view.refresh();
    std::vector<BoardView::Line> lines = view.lines(200, 100, true);
    ASSERT_FALSE(lines.empty());
    std::string first;
    for (const BoardView::Span &s : lines.front().spans)
        first += s.text;
    EXPECT_EQ(first.find('\n'), std::string::npos) << first;
    EXPECT_EQ(first.find('\x1b'), std::string::npos) << first;
    EXPECT_NE(first.find("a\\nb\\x1B[2J"), std::string::npos) << first;
}

// ---- fitting long text into the view ----

TEST(BoardView, LongPathsAreShortenedFromTheLeftKeepingTheFileName)
{
    EXPECT_EQ(shorten_path("/tmp/b/debug.log", 28, true), "/tmp/b/debug.log");
    EXPECT_EQ(shorten_path("/home/someone/.local/state/ceboard/default/debug.log", 28, true),
              "\u2026e/ceboard/default/debug.log");
    EXPECT_EQ(shorten_path("/home/someone/.local/state/ceboard/default/debug.log", 28, false),
              "...ceboard/default/debug.log");
    // Cells, not bytes.
    EXPECT_EQ(shorten_path("/a/\u00e4\u00e4\u00e4\u00e4\u00e4\u00e4/x.log", 10, true), "\u2026\u00e4\u00e4\u00e4/x.log");
    // A file name wider than the room: its start, so it is still recognised.
    EXPECT_EQ(shorten_path("/tmp/a-very-long-debug-log-name.log", 12, true), "a-very-long\u2026");
}

TEST(BoardView, WrapsBetweenWordsAndBreaksOnlyWordsWiderThanARow)
{
    EXPECT_EQ(wrap_words("", 10), std::vector<std::string>{""});
    EXPECT_EQ(wrap_words("RasEntry '`USB' Created", 40), std::vector<std::string>{"RasEntry '`USB' Created"});
    EXPECT_EQ(wrap_words("pwmcpl::ghInst = GetModuleHandle(TEXT(Hemlark.cpl)) = 269484032 (0x10100000)", 40),
              (std::vector<std::string>{"pwmcpl::ghInst =", "GetModuleHandle(TEXT(Hemlark.cpl)) =",
                                        "269484032 (0x10100000)"}));
    EXPECT_EQ(wrap_words("one  two   three", 5), (std::vector<std::string>{"one", "two", "three"}));
    EXPECT_EQ(wrap_words("abcdefghij kl", 4), (std::vector<std::string>{"abcd", "efgh", "ij", "kl"}));
    // Cells, not bytes: a row of characters of two bytes each is not cut inside one.
    EXPECT_EQ(wrap_words("\u00e4\u00e4\u00e4\u00e4\u00e4", 2),
              (std::vector<std::string>{"\u00e4\u00e4", "\u00e4\u00e4", "\u00e4"}));
}

TEST(BoardView, TheBootLineKeepsTheExitCode)
{
    const std::string done = "done: boot: \\Windows\\Velmorra.exe exited with code 0";
    EXPECT_EQ(fit_boot_result(done, 60, true), done);
    EXPECT_EQ(fit_boot_result(done, 37, true), "done: Velmorra.exe exited with code 0");
    EXPECT_EQ(fit_boot_result(done, 34, true), "done: Velmorra.exe exit code 0");
    EXPECT_EQ(fit_boot_result(done, 20, true), "done: \u2026e exit code 0");
    EXPECT_EQ(fit_boot_result("failed: boot: \\Windows\\Startup\\Velmorra.lnk leads to no program", 34, false),
              "failed: ...lnk leads to no program");
    for (int w = 1; w <= 60; ++w)
        EXPECT_LE(text_width(fit_boot_result(done, w, true)), w) << w;
}

// What the Control Panel shows at 80 x 24: the board view 41 cells wide,
// the board's folder and the debug log's path long, the board booted, a
// long debug line.  Nothing runs past the view, and what matters shows.
TEST(BoardView, AtEightyByTwentyFourTheLongLinesFit)
{
    test_support::BoardFolder folder;
    std::string name = folder.dir() + "/cpl_view_a_folder_with_a_long_name";
    ASSERT_EQ(mkdir(name.c_str(), 0755), 0);
    setenv("BOARD_DIR", name.c_str(), 1);  // the folder object puts it back
    board::reset();
    std::string log = name + "/debug.log";
    {
        std::ofstream out(log);
        out << "pwmcpl::ghInst = GetModuleHandle(TEXT(Hemlark.cpl)) = 269484032 (0x10100000)\n"
               "RasEntry '`USB' Created\n";
    }
    // A stand-in for the start-up program, which the boot runs.
    std::string programs = std::string(name) + "/programs";
    ASSERT_EQ(mkdir(programs.c_str(), 0777), 0);
    {
        std::ofstream out(programs + "/Velmorra");
        out << "#!/bin/sh\necho 'kept off the screen'\n";
    }
    ASSERT_EQ(chmod((programs + "/Velmorra").c_str(), 0755), 0);
    BoardView view(board::dir(), log);
    view.boot(programs);
    std::vector<BoardView::Line> lines;
    std::string text;
    for (int i = 0; i < 500 && text.find("code 0") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        view.refresh();
        lines = view.lines(BoardView::kMinWidth, 20, true);
        text.clear();
        for (const BoardView::Line &l : lines)
            for (const BoardView::Span &s : l.spans)
                text += s.text + "|";
    }
    for (const BoardView::Line &l : lines)
        for (const BoardView::Span &s : l.spans)
            EXPECT_LE(s.column + text_width(s.text), BoardView::kMinWidth) << s.text;
    EXPECT_NE(text.find("|done: Velmorra.exe exit code 0|"), std::string::npos) << text;
    EXPECT_NE(text.find("|\u2026"), std::string::npos) << text;
    EXPECT_NE(text.find("/debug.log|pwmcpl::ghInst =|GetModuleHandle(TEXT(Hemlark.cpl)) =|269484032 "
                        "(0x10100000)|RasEntry '`USB' Created|"),
              std::string::npos)
        << text;
}

std::string all_text(const std::vector<BoardView::Line> &lines)
{
    std::string t;
    for (const BoardView::Line &l : lines) {
        for (const BoardView::Span &s : l.spans)
            t += s.text + " ";
        t += "\n";
    }
    return t;
}

// The serial debug port for this start and the next, and the desktop
// connection's verdict as 'board sync' gives it; when rows are short the
// verdict gives way first, and only it.
TEST(BoardView, ShowsTheSerialPortAndTheDesktopConnection)
{
    test_support::BoardFolder folder;
    board::reset();
    BoardView view(board::dir(), "");
    view.refresh();
    std::string t = all_text(view.lines(BoardView::kMinWidth, 100, false));
    EXPECT_NE(t.find("serial port on next boot on"), std::string::npos) << t;
    EXPECT_NE(t.find("sync not connected: no \"Cnct\""), std::string::npos) << t;

    board::reg::update([](board::reg::Hive &h) {
        board::reg::Key *k = h.create("HKEY_CURRENT_USER\\Comm\\RasBook\\`USB");
        board::reg::Hive::set_value(*k, {"DeviceName", board::reg::kSz,
                                         {'S', 0, 'e', 0, 'r', 0, 'i', 0, 'a', 0, 'l', 0, ' ', 0,
                                          'o', 0, 'n', 0, ' ', 0, 'U', 0, 'S', 0, 'B', 0, 0, 0}});
        board::reg::Hive::set_value(*h.create("HKEY_CURRENT_USER\\ControlPanel\\Comm"),
                                    {"Cnct", board::reg::kSz, {'`', 0, 'U', 0, 'S', 0, 'B', 0, 0, 0}});
        board::reg::Hive::set_value(*h.create("HKEY_LOCAL_MACHINE\\Debug"),
                                    {"dbgSerial", board::reg::kDword, {0, 0, 0, 0}});
        return true;
    });
    board::set_serial_port(false);
    BoardView later(board::dir(), "");  // a view reads the registry twice a second at most
    later.refresh();
    std::vector<BoardView::Line> all = later.lines(BoardView::kMinWidth, 100, false);
    t = all_text(all);
    EXPECT_NE(t.find("serial port off next boot off"), std::string::npos) << t;
    EXPECT_NE(t.find("sync connected through \"`USB\" on \n\"Serial on USB\""), std::string::npos) << t;
    EXPECT_EQ(later.needed_lines() + 2, later.fixed_lines());

    std::vector<BoardView::Line> short_view =
        later.lines(BoardView::kMinWidth, later.needed_lines() - 1, false);
    t = all_text(short_view);
    EXPECT_EQ(t.find("connected"), std::string::npos) << t;
    EXPECT_NE(t.find("Debug output"), std::string::npos) << t;
    EXPECT_EQ(short_view.size(), all.size() - 2);
}

}  // namespace

// ---- the board's last events ----

namespace events {

board::Event pin(int which, board::EventKind kind, int level, int before, uint64_t ms)
{
    board::Event e{};
    e.time = 5000000000ull + ms * 1000000;
    e.kind = kind;
    e.cause = board::Cause::Request;
    e.pid = 4242;
    e.which = which;
    e.level = level;
    e.before = before;
    return e;
}

// The rows of the view that follow the pins' "outside" row, up to the
// first PWM row.
std::vector<std::string> under_the_pins(const std::vector<BoardView::Line> &lines)
{
    std::vector<std::string> rows;
    bool in = false;
    for (const BoardView::Line &l : lines) {
        std::string t;
        for (const BoardView::Span &s : l.spans)
            t += (t.empty() ? "" : " ") + s.text;
        if (t.rfind("PWM 0", 0) == 0)
            break;
        if (in)
            rows.push_back(t);
        in = in || t.rfind("outside", 0) == 0;
    }
    return rows;
}

}  // namespace events

// Pinvane's click writes nine pins and its poll thread reads them: the view
// lists what happened in order under the pins, the newest last, each time
// relative to the newest.
TEST(BoardView, EventsShowUnderThePinsInOrderNewestLast)
{
    using board::EventKind;
    BoardView view("/tmp/b", "");
    std::vector<board::Event> got{events::pin(3, EventKind::Pin, 1, 0, 0),
                                  events::pin(3, EventKind::Read, 1, 1, 20),
                                  events::pin(4, EventKind::Write, 0, 0, 30)};
    board::Event power{};
    power.time = 5000000000ull + 50 * 1000000;
    power.kind = EventKind::Power;
    power.cause = board::Cause::Outside;
    power.pid = 77;
    power.which = -1;
    got.push_back(power);
    view.add_events(got, 0);
    EXPECT_EQ(events::under_the_pins(view.lines(60, 100, false)),
              (std::vector<std::string>{"Events newest last", "-0.050s pin 3 rising pid=4242",
                                        "-0.030s pin 3 read 1 pid=4242", "-0.020s pin 4 write 0 pid=4242",
                                        " 0.000s power off outside pid=77"}));

    // Events the view lost are counted in its heading, and add up.
    view.add_events({events::pin(5, EventKind::Pin, 0, 1, 60)}, 120);
    view.add_events({}, 3);
    std::vector<std::string> rows = events::under_the_pins(view.lines(60, 100, false));
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows.front(), "Events newest last missed 123 events");
    EXPECT_EQ(rows.back(), " 0.000s pin 5 falling pid=4242");  // the times in a column
}

// One pass of Pinvane's poll (nine reads microseconds apart) is one line;
// a run broken by another pin, process, kind or a pause is not.
TEST(BoardView, APassOfReadsIsOneLine)
{
    using board::EventKind;
    std::vector<board::Event> got;
    auto at = [](board::Event e, uint64_t us) {
        e.time = 5000000000ull + us * 1000;
        return e;
    };
    for (int pin = 1; pin <= 9; ++pin)  // a click's nine writes
        got.push_back(at(events::pin(pin, EventKind::Write, pin == 3, pin == 3, 0), 10 * pin));
    for (int pin = 1; pin <= 9; ++pin)  // a pass of reads
        got.push_back(at(events::pin(pin, EventKind::Read, pin == 3, pin == 3, 0), 50000 + 10 * pin));
    got.push_back(at(events::pin(1, EventKind::Read, 0, 0, 0), 100000));
    got.push_back(at(events::pin(2, EventKind::Read, 0, 0, 0), 100000 + 600));  // a pause
    got.push_back(at(events::pin(3, EventKind::Read, 1, 1, 0), 100000 + 610));
    board::Event other = at(events::pin(4, EventKind::Read, 0, 0, 0), 100000 + 620);
    other.pid = 99;  // another process
    got.push_back(other);
    EXPECT_EQ(event_texts(got, 7), (std::vector<std::string>{
                                       "-0.101s pins 1-9 write 001000000 pid=4242",
                                       "-0.051s pins 1-9 read 001000000 pid=4242",
                                       "-0.001s pin 1 read 0 pid=4242",
                                       " 0.000s pins 2-3 read 01 pid=4242",
                                       " 0.000s pin 4 read 0 pid=99",
                                   }));
}

// Passes of the poll alike one after another are one line with their
// count and span, so the writes between them stay on the screen; a pass
// that read another level, or a write, starts a new line.
TEST(BoardView, IdenticalPassesAreOneLine)
{
    using board::EventKind;
    std::vector<board::Event> got;
    auto pass = [&](EventKind kind, int high, uint64_t ms) {
        for (int pin = 1; pin <= 9; ++pin) {
            board::Event e = events::pin(pin, kind, pin == high, pin == high, 0);
            e.time = 5000000000ull + ms * 1000000 + 10000 * pin;
            got.push_back(e);
        }
    };
    for (uint64_t ms = 0; ms < 500; ms += 50)  // ten passes alike
        pass(EventKind::Read, 3, ms);
    pass(EventKind::Write, 3, 500);  // a click's writes
    pass(EventKind::Read, 3, 550);
    pass(EventKind::Read, 3, 600);
    pass(EventKind::Read, 4, 650);  // the poll reads a change
    EXPECT_EQ(event_texts(got, 7), (std::vector<std::string>{
                                       "-0.650s pins 1-9 read 001000000 pid=4242 x10 in 450.0 ms",
                                       "-0.150s pins 1-9 write 001000000 pid=4242",
                                       "-0.100s pins 1-9 read 001000000 pid=4242 x2 in 50.0 ms",
                                       " 0.000s pins 1-9 read 000100000 pid=4242",
                                   }));
}

// However few rows are left, the list never starts with the tail of an
// event that wraps (a PWM channel's), cut from its head.
TEST(BoardView, NoEventShowsItsTailWithoutItsHead)
{
    using board::EventKind;
    BoardView view("/tmp/b", "");
    board::Event pwm = events::pin(0, EventKind::Pwm, 0, 0, 0);
    pwm.pwm = board::Pwm{1, 63, 1023, 1023};
    view.add_events({pwm, events::pin(1, EventKind::Pin, 0, 1, 5)}, 0);
    int fixed = view.fixed_lines();
    for (int height = fixed; height < fixed + 6; ++height) {
        SCOPED_TRACE(height);
        std::vector<BoardView::Line> lines = view.lines(BoardView::kMinWidth, height, false);
        for (size_t i = 0; i + 1 < lines.size(); ++i)
            if (!lines[i].spans.empty() && lines[i].spans[0].text == "Events" && !lines[i + 1].spans.empty()) {
                EXPECT_EQ(lines[i + 1].spans[0].column, 1) << lines[i + 1].spans[0].text;
            }
    }
}

// The view keeps only the last events, however many come, and lists as
// many as fit: at 80 x 24 the debug output keeps a third of the rows left,
// long lines break without running past the view.
TEST(BoardView, EventsAreBoundedAndShareTheRowsWithTheDebugOutput)
{
    using board::EventKind;
    test_support::BoardFolder folder;
    std::string log = folder.debug_log_path();
    {
        std::ofstream out(log);
        for (int i = 0; i < 20; ++i)
            out << "debug line " << i << "\n";
    }
    board::reset();
    BoardView view(folder.dir(), log);
    view.refresh();
    std::vector<board::Event> many;
    for (int i = 0; i < 1000; ++i)
        many.push_back(events::pin(i % 9 + 1, EventKind::Read, i % 2, i % 2, static_cast<uint64_t>(i)));
    view.add_events(many, 0);

    std::vector<std::string> rows = events::under_the_pins(view.lines(60, 400, false));
    ASSERT_EQ(rows.size(), BoardView::kKeptEvents + 1);
    EXPECT_EQ(rows[1], "-0.255s pin 7 read 0 pid=4242");  // event 744
    EXPECT_EQ(rows.back(), " 0.000s pin 1 read 1 pid=4242");   // event 999

    // A PWM line is long: at the narrowest it breaks, set in.
    board::Event pwm{};
    pwm.time = many.back().time + 1000000;
    pwm.kind = EventKind::Pwm;
    pwm.cause = board::Cause::Request;
    pwm.pid = 4242;
    pwm.which = 0;
    pwm.pwm = board::Pwm{1, 63, 1023, 1023};
    view.add_events({pwm}, 0);
    std::vector<BoardView::Line> lines = view.lines(BoardView::kMinWidth, 20, false);
    EXPECT_EQ(lines.size(), 20u);
    for (const BoardView::Line &l : lines)
        for (const BoardView::Span &s : l.spans)
            EXPECT_LE(s.column + text_width(s.text), BoardView::kMinWidth) << s.text;
    int head = view.fixed_lines() - 1;  // without room for a boot line that is not there
    int room = 20 - head;
    rows = events::under_the_pins(lines);
    ASSERT_EQ(static_cast<int>(rows.size()), room - room / 3);
    EXPECT_EQ(rows.front(), "Events newest last");
    EXPECT_EQ(rows[rows.size() - 2], " 0.000s pwm 0 start cr=63 dcr=1023");
    EXPECT_EQ(rows.back(), "pcr=1023 running pid=4242");
    EXPECT_EQ(lines.back().spans.back().text, "debug line 19");

    // With no room to spare the events give way, and the figures stay.
    lines = view.lines(BoardView::kMinWidth, head, false);
    EXPECT_TRUE(events::under_the_pins(lines).empty());
    EXPECT_EQ(static_cast<int>(lines.size()), head);
}

// On a real board: requests of another process, a change from outside and
// the reads and writes that change nothing, listed in the order they were
// made, by whom.
TEST(BoardView, ListsTheRequestsOfAnotherProcessInOrder)
{
    test_support::BoardFolder folder;
    board::reset();
    int32_t low[2] = {3, 0};
    ASSERT_TRUE(board::request(board::kSetPin, low, sizeof low, nullptr, 0).ok);
    BoardView view(board::dir(), "");
    view.refresh();  // from now on, and asking for reads and writes
    std::fflush(nullptr);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int32_t set[2] = {3, 1};
        int32_t get[2] = {3, 0};
        bool ok = board::request(board::kSetPin, set, sizeof set, nullptr, 0).ok &&
                  board::request(board::kGetPin, get, sizeof get, get, sizeof get).ok &&
                  board::request(board::kSetPin, set, sizeof set, nullptr, 0).ok;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    board::set_input(3, 0);
    std::string by = " pid=" + std::to_string(child), outside = " outside pid=" + std::to_string(getpid());
    std::vector<std::string> rows;
    for (int i = 0; i < 500 && rows.size() < 5; ++i) {
        view.refresh();  // the events are there once written: this only looks again
        rows = events::under_the_pins(view.lines(80, 100, false));
    }
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(rows[0], "Events newest last");
    std::regex time("^ *-?[0-9]+\\.[0-9]{3}s ");
    for (std::string &r : rows) {
        if (r == rows[0])
            continue;
        EXPECT_TRUE(std::regex_search(r, time)) << r;
        r = std::regex_replace(r, time, "");
    }
    EXPECT_EQ(rows, (std::vector<std::string>{"Events newest last", "pin 3 rising" + by, "pin 3 read 1" + by,
                                              "pin 3 write 1" + by, "pin 3 falling" + outside}));
}
