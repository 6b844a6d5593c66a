// 'board watch' as a user runs it: a child with its output in a pipe, and
// the board changed by other processes ('board', 'pinctl', a forked child
// making driver requests) while it watches.
#include "board/board.h"
#include "board_folder.h"
#include "board/events.h"
#include "process.h"
#include "state_layout.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <poll.h>
#include <regex>
#include <thread>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using test_support::ProgramResult;
using Lines = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

constexpr auto kDeadline = std::chrono::seconds(30);

// One 'board watch' running as a child, its standard output and error in
// pipes read here.
class Watcher {
public:
    explicit Watcher(const std::vector<std::string> &args)
    {
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
            throw std::runtime_error("cannot make a pipe");
        child::Launch launch;
        launch.argv = {BOARD_TOOL, "watch"};
        launch.argv.insert(launch.argv.end(), args.begin(), args.end());
        launch.in = child::Stream::null_input();
        launch.out = child::Stream::of(out[1]);
        launch.err = child::Stream::of(err[1]);
        out_ = out[0];
        err_ = err[0];
        try {
            pid_ = test_support::start_program(launch);
        } catch (...) {
            close(out[1]);
            close(err[1]);
            throw;
        }
        close(out[1]);
        close(err[1]);
    }
    ~Watcher()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            finish();
        }
        if (out_ >= 0)
            close(out_);
        close(err_);
    }

    // Waits until it says it is watching (the first line on stderr).
    bool ready()
    {
        return wait_for([&] { return err_text_.find('\n') != std::string::npos; }) &&
               err_text_.rfind("watching ", 0) == 0;
    }

    // Waits until it has printed n lines in all; the lines so far.
    Lines lines(size_t n)
    {
        wait_for([&] { return lines_.size() >= n; });
        return lines_;
    }

    // Everything it printed, once its output has ended.
    Lines all_lines()
    {
        wait_for([&] { return eof_; });
        return lines_;
    }

    // Waits until it has printed the line last; the lines so far.
    Lines lines_until(const std::string &last)
    {
        wait_for([&] { return !lines_.empty() && lines_.back() == last; });
        return lines_;
    }

    // Waits until it has printed a line that holds part; the lines so far.
    Lines lines_until_holding(const std::string &part)
    {
        wait_for([&] {
            for (; seen_ < lines_.size(); ++seen_)
                if (lines_[seen_].find(part) != std::string::npos)
                    return true;
            return false;
        });
        return lines_;
    }

    // Waits until it has ended; its exit code, -1 when a signal ended it.
    int exit_code()
    {
        wait_for([&] { return ended(); });
        return finish();
    }

    pid_t pid() const { return pid_; }
    const std::string &err() const { return err_text_; }
    // Bytes it wrote that this side has not read.
    int unread() const
    {
        int n = 0;
        return out_ >= 0 && ioctl(out_, FIONREAD, &n) == 0 ? n : -1;
    }
    // Waits until it has ended, reading none of its output; its exit code,
    // -2 when it has not ended by the deadline.
    int exit_code_unread()
    {
        auto until = Clock::now() + kDeadline;
        while (!ended()) {
            if (Clock::now() > until)
                return -2;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
    }
    void close_output()
    {
        close(out_);
        out_ = -1;
    }

private:
    bool ended()
    {
        if (pid_ <= 0)
            return true;
        return waitpid(pid_, &status_, WNOHANG) == pid_ ? (pid_ = -pid_, true) : false;
    }
    int finish()
    {
        if (pid_ > 0 && waitpid(pid_, &status_, 0) == pid_)
            pid_ = -pid_;
        return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
    }
    // Reads what there is until done() or the deadline.
    template <class Done> bool wait_for(Done done)
    {
        auto until = Clock::now() + kDeadline;
        while (!done()) {
            if (Clock::now() > until)
                return false;
            struct pollfd fds[2] = {{eof_ ? -1 : out_, POLLIN, 0}, {err_, POLLIN, 0}};
            if (poll(fds, 2, 20) <= 0)
                continue;
            char buf[4096];
            if (out_ >= 0 && (fds[0].revents & (POLLIN | POLLHUP))) {
                ssize_t n = read(out_, buf, sizeof buf);
                eof_ = eof_ || n == 0;
                for (ssize_t i = 0; i < n; ++i) {
                    if (buf[i] == '\n') {
                        lines_.push_back(partial_);
                        partial_.clear();
                    } else {
                        partial_ += buf[i];
                    }
                }
            }
            if (fds[1].revents & (POLLIN | POLLHUP)) {
                ssize_t n = read(err_, buf, sizeof buf);
                if (n > 0)
                    err_text_.append(buf, static_cast<size_t>(n));
            }
        }
        return true;
    }

    pid_t pid_ = -1;
    int status_ = 0;
    int out_ = -1, err_ = -1;
    bool eof_ = false;
    Lines lines_;
    size_t seen_ = 0;  // lines lines_until_holding has looked at
    std::string partial_, err_text_;
};

class Watch : public test_support::BoardTest {
protected:
    void SetUp() override { ok(board({"reset"})); }
    ProgramResult pinctl(const std::vector<std::string> &args) { return test_support::run_program(PINCTL, args); }
    ProgramResult board(const std::vector<std::string> &args) { return test_support::run_program(BOARD_TOOL, args); }
    void ok(const ProgramResult &r) { EXPECT_EQ(r.exit_code, 0) << r.err; }
};

// The lines without their time stamps and process ids.
Lines what(const Lines &lines)
{
    static const std::regex plain("^[0-9]+\\.[0-9]{9} (.*) pid=[0-9]+$");
    Lines out;
    for (const std::string &l : lines) {
        std::smatch m;
        out.push_back(std::regex_match(l, m, plain) ? m[1].str() : "(not a plain line) " + l);
    }
    return out;
}

uint64_t time_of(const std::string &line) { return static_cast<uint64_t>(std::stod(line) * 1e9); }

// A process of its own making PWM requests on the driver, as Hemlark does.
void pwm_from_another_process(int32_t channel, int32_t dcr, int32_t pcr)
{
    pid_t child = test_support::fork_child([&] {
        int32_t set[5] = {channel, 0, 16, dcr, pcr};
        bool done = board::request(board::kPwmSet, set, sizeof set, nullptr, 0).ok &&
                    board::request(board::kPwmStart, set, sizeof set, nullptr, 0).ok &&
                    board::request(board::kPwmStop, set, sizeof set, nullptr, 0).ok;
        return done ? 0 : 1;
    });
    EXPECT_EQ(test_support::wait_child(child), 0);
}

TEST_F(Watch, EveryChangeFromOtherProcessesInOrder)
{
    ok(pinctl({"set", "5", "1"}));
    uint64_t start = board::monotonic_now();
    Watcher w({});
    ASSERT_TRUE(w.ready()) << w.err();
    EXPECT_NE(w.err().find(board::dir()), std::string::npos) << w.err();
    ok(board({"input", "5", "0"}));
    ok(board({"input", "5", "release"}));
    ok(pinctl({"set", "5", "0"}));
    ok(board({"unplug"}));
    ok(board({"plug"}));
    pwm_from_another_process(1, 256, 512);
    ok(board({"fault"}));
    EXPECT_EQ(pinctl({"get", "3"}).exit_code, 1);  // the fault takes the request
    Lines got = w.lines(10);
    EXPECT_EQ(what(got), (Lines{"pin 5 falling outside", "pin 5 rising outside", "pin 5 falling request",
                                "device unplugged outside", "device plugged outside",
                                "pwm 1 set cr=16 dcr=256 pcr=512 stopped request",
                                "pwm 1 start cr=16 dcr=256 pcr=512 running request",
                                "pwm 1 stop cr=16 dcr=256 pcr=512 stopped request", "fault armed outside",
                                "fault raised request"}));
    // Times of the monotonic clock every process shares, in order.
    uint64_t before = start;
    for (const std::string &l : got) {
        EXPECT_GE(time_of(l) + 1000, before) << l;  // stod keeps about a microsecond
        before = time_of(l);
    }
    EXPECT_LE(before, board::monotonic_now());
    // Ctrl-C ends it, with status 0.
    kill(w.pid(), SIGINT);
    EXPECT_EQ(w.exit_code(), 0);
}

// Pins chosen, rising edges as shown active-low (the pin going low), and
// the whole board's events whatever the pins; -n ends it.
TEST_F(Watch, PinsEdgesActiveLowAndCount)
{
    ok(pinctl({"set", "5", "1"}));
    ok(pinctl({"set", "6", "1"}));
    Watcher w({"5", "--edges", "rising", "--active-low", "-n", "3"});
    ASSERT_TRUE(w.ready()) << w.err();
    ok(pinctl({"set", "6", "0"}));       // another pin
    ok(pinctl({"set", "5", "0"}));       // active-low: rising
    ok(pinctl({"set", "5", "1"}));       // falling
    ok(board({"unplug"}));               // the whole board
    ok(board({"input", "5", "0"}));      // rising: the third line, the last
    ok(board({"plug"}));
    EXPECT_EQ(w.exit_code(), 0);
    EXPECT_EQ(what(w.all_lines()), (Lines{"pin 5 rising request", "device unplugged outside", "pin 5 rising outside"}));
}

TEST_F(Watch, FormatsOfTheUsersAndRequestsThatChangeNothing)
{
    ok(pinctl({"set", "3", "1"}));
    Watcher mine({"3", "--requests", "--format", "%k %o %v %E %C %i|%%"});
    Watcher plain({"3"});
    ASSERT_TRUE(mine.ready()) << mine.err();
    ASSERT_TRUE(plain.ready()) << plain.err();
    EXPECT_NE(mine.err().find("reads and writes too"), std::string::npos) << mine.err();
    ok(pinctl({"get", "3"}));
    ok(pinctl({"set", "3", "1"}));
    ok(pinctl({"set", "4", "0"}));
    ok(pinctl({"set", "3", "0"}));
    Lines got = mine.lines(3);
    ASSERT_EQ(got.size(), 3u);
    std::regex seq("^[0-9]+\\.[0-9]+\\|%$");
    EXPECT_EQ(got[0].substr(0, got[0].rfind(' ')), "read 3 1 - request");
    EXPECT_EQ(got[1].substr(0, got[1].rfind(' ')), "write 3 1 - request");
    EXPECT_EQ(got[2].substr(0, got[2].rfind(' ')), "pin 3 0 falling request");
    for (const std::string &l : got)
        EXPECT_TRUE(std::regex_match(l.substr(l.rfind(' ') + 1), seq)) << l;
    // The other watcher, not asking for them, never shows them.
    EXPECT_EQ(what(plain.lines(1)), Lines{"pin 3 falling request"});
    ok(pinctl({"set", "3", "1"}));
    EXPECT_EQ(what(plain.lines(2)), (Lines{"pin 3 falling request", "pin 3 rising request"}));
}

// Two watchers see everything; one started later only what came after it.
TEST_F(Watch, SeveralWatchersEachSeeEverythingALateOneOnlyWhatCameAfter)
{
    ok(pinctl({"set", "7", "0"}));
    Watcher first({});
    Watcher second({});
    ASSERT_TRUE(first.ready()) << first.err();
    ASSERT_TRUE(second.ready()) << second.err();
    ok(board({"input", "7", "1"}));
    ok(board({"input", "7", "0"}));
    Watcher late({});
    ASSERT_TRUE(late.ready()) << late.err();
    ok(board({"input", "7", "1"}));
    Lines all{"pin 7 rising outside", "pin 7 falling outside", "pin 7 rising outside"};
    Lines a = first.lines(3), b = second.lines(3);
    EXPECT_EQ(what(a), all);
    EXPECT_EQ(a, b);  // the same events, to the nanosecond
    EXPECT_EQ(what(late.lines(1)), Lines{"pin 7 rising outside"});
    ok(board({"unplug"}));
    EXPECT_EQ(what(late.lines(2)), (Lines{"pin 7 rising outside", "device unplugged outside"}));
}

// A watcher stopped while more events came than a lane keeps (true
// overload: writers wait for it, then let it go) says how many it missed,
// then goes on: plain, and as a line of the user's format.
TEST_F(Watch, AWatcherThatFellBehindSaysHowManyItMissedInItsFormat)
{
    ok(pinctl({"set", "9", "1"}));  // so that each request below changes the level
    Watcher plain({}), custom({"--format", "%k %v %s.%n %o %C|%d"});
    ASSERT_TRUE(plain.ready()) << plain.err();
    ASSERT_TRUE(custom.ready()) << custom.err();
    ASSERT_EQ(kill(plain.pid(), SIGSTOP), 0);
    ASSERT_EQ(kill(custom.pid(), SIGSTOP), 0);
    const int changes = static_cast<int>(board::kEventsPerLane) + 100;
    pid_t child = test_support::fork_child([&] {
        for (int i = 0; i < changes; ++i) {
            int32_t set[2] = {9, i % 2};
            if (!board::request(board::kSetPin, set, sizeof set, nullptr, 0).ok)
                return 1;
        }
        return 0;
    });
    ASSERT_EQ(test_support::wait_child(child), 0);
    ASSERT_EQ(kill(plain.pid(), SIGCONT), 0);
    ASSERT_EQ(kill(custom.pid(), SIGCONT), 0);
    ok(board({"unplug"}));

    Lines got = custom.lines_until_holding(" - outside|device unplugged");
    ASSERT_GE(got.size(), 3u);
    ASSERT_NE(got.back().find("|device unplugged"), std::string::npos) << got.back();
    std::smatch m;
    static const std::regex missed("^missed ([0-9]+) ([0-9]+\\.[0-9]{9}) - -\\|missed \\1 events$");
    ASSERT_TRUE(std::regex_match(got.front(), m, missed)) << got.front();
    uint64_t lost = std::stoull(m[1].str());
    EXPECT_GE(lost, 100u);
    // What it missed and what it printed of the pin's changes are all of them.
    EXPECT_EQ(lost + (got.size() - 2), static_cast<uint64_t>(changes)) << got.size();
    static const std::regex pin("^pin [01] ([0-9]+\\.[0-9]{9}) 9 request\\|pin 9 (rising|falling)$");
    std::smatch first;
    ASSERT_TRUE(std::regex_match(got[1], first, pin)) << got[1];
    // Stamped as the first event after what was lost.
    EXPECT_EQ(m[2].str(), first[1].str());
    for (size_t i = 1; i + 1 < got.size(); ++i)
        EXPECT_TRUE(std::regex_match(got[i], pin)) << got[i];

    Lines p = plain.lines_until_holding(" device unplugged outside ");
    ASSERT_GE(p.size(), 3u);
    ASSERT_NE(p.back().find(" device unplugged outside "), std::string::npos) << p.back();
    ASSERT_TRUE(std::regex_match(p.front(), m, std::regex("^missed ([0-9]+) events$"))) << p.front();
    EXPECT_EQ(std::stoull(m[1].str()) + (p.size() - 2), static_cast<uint64_t>(changes)) << p.size();
}

// A lane of the board's events damaged while a watcher follows it is told
// once on stderr as damage, never as a count of events missed, and the
// watch goes on.
TEST_F(Watch, ADamagedRingIsToldAsDamageNotAsEventsMissed)
{
    Watcher w({"--format", "%k %d"});
    ASSERT_TRUE(w.ready()) << w.err();
    ok(pinctl({"set", "4", "0"}));
    ASSERT_EQ(w.lines(1), Lines{"pin pin 4 falling"});
    // Every lane's head, far ahead of its events: whichever lane the next
    // writer takes.
    int fd = open((board_.dir() + "/board.state").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    for (unsigned lane = 0; lane < board::kEventLanes; ++lane) {
        uint64_t head = 0;
        off_t at = STATE_AT(lanes[lane].head);
        ASSERT_EQ(pread(fd, &head, sizeof head, at), (ssize_t)sizeof head);
        head += 0x3FFFFFFFFFFFFF00ull;
        ASSERT_EQ(pwrite(fd, &head, sizeof head, at), (ssize_t)sizeof head);
    }
    close(fd);
    ok(pinctl({"set", "4", "1"}));
    ok(board({"unplug"}));
    Lines got = w.lines_until("device device unplugged");
    EXPECT_NE(w.err().find("is damaged (lane "), std::string::npos) << w.err();
    for (const std::string &l : got)
        EXPECT_EQ(l.find("missed"), std::string::npos) << l;
}

TEST_F(Watch, EndsWhenIdleOrWhenItsOutputIsClosed)
{
    Watcher idle({"--idle-timeout", "200"});
    ASSERT_TRUE(idle.ready()) << idle.err();
    EXPECT_EQ(idle.exit_code(), 0);
    EXPECT_TRUE(idle.all_lines().empty());

    // Nobody reads its output any more: it ends, without a signal and
    // without waiting for an event to write.
    Watcher unread({});
    ASSERT_TRUE(unread.ready()) << unread.err();
    unread.close_output();
    EXPECT_EQ(unread.exit_code(), 0);

    // No output at all: it says so and ends, rather than watch for nobody.
    child::Launch closed;
    closed.argv = {BOARD_TOOL, "watch"};
    closed.out = child::Stream::closed();
    closed.err = child::Stream::null_output();
    EXPECT_EQ(child::wait(test_support::start_program(closed)).exit_code, 1);

    for (int sig : {SIGTERM, SIGPIPE}) {
        Watcher killed({});
        ASSERT_TRUE(killed.ready()) << killed.err();
        kill(killed.pid(), sig);
        EXPECT_EQ(killed.exit_code(), 0) << sig;
    }
}

// Ctrl-C while its output is full (nobody reads it) ends it at once,
// rather than when somebody reads again.
TEST_F(Watch, ASignalEndsItWhileItsOutputIsFull)
{
    Watcher w({});
    ASSERT_TRUE(w.ready()) << w.err();
    auto until = Clock::now() + kDeadline;
    for (int i = 0; w.unread() < 60000 && Clock::now() < until; ++i) {
        board::set_input(7, i % 2);
        if (i % 100 == 99)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));  // let it catch up, not miss
    }
    ASSERT_GE(w.unread(), 60000);
    for (int i = 0; i < 200; ++i)
        board::set_input(7, i % 2);  // more than the pipe takes: it blocks writing
    std::string wchan = "/proc/" + std::to_string(w.pid()) + "/wchan";
    bool blocked = false;
    while (!blocked && Clock::now() < until) {
        blocked = test_support::read_file(wchan).find("pipe_write") != std::string::npos;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_TRUE(blocked) << "the watcher never blocked writing";
    ASSERT_EQ(kill(w.pid(), SIGINT), 0);
    EXPECT_EQ(w.exit_code_unread(), 0);
}

// The board folder's name is echoed escaped: an escape sequence in it
// reaches no terminal.
TEST_F(Watch, TheFolderNameItEchoesCannotWorkTheTerminal)
{
    std::string odd = board_.dir() + "/a\x1b[2Jb";
    setenv("BOARD_DIR", odd.c_str(), 1);
    Watcher w({"-n", "1"});
    EXPECT_TRUE(w.ready()) << w.err();
    EXPECT_EQ(w.err().find('\x1b'), std::string::npos) << w.err();
    EXPECT_NE(w.err().find("/a\\x1B[2Jb"), std::string::npos) << w.err();
    setenv("BOARD_DIR", board_.dir().c_str(), 1);
}

TEST_F(Watch, BadArgumentsExitTwoAndHelpExitsZero)
{
    for (const Lines &args : {Lines{"64"}, Lines{"-1"}, Lines{"x"}, Lines{"0x5"}, Lines{"--edges", "up"},
                              Lines{"-n", "0"}, Lines{"-n", "two"}, Lines{"-n"}, Lines{"--idle-timeout", "-5"},
                              Lines{"--idle-timeout", "1.5"}, Lines{"--bogus"}, Lines{"--format", "%q"},
                              Lines{"--format", "%t %"}}) {
        Lines all{"watch"};
        all.insert(all.end(), args.begin(), args.end());
        ProgramResult r = board(all);
        EXPECT_EQ(r.exit_code, 2) << args.front();
        EXPECT_EQ(r.out, "") << args.front();
        EXPECT_EQ(r.err.rfind("board watch: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find("(see 'board watch --help')"), std::string::npos) << r.err;
    }
    EXPECT_NE(board({"watch", "--format", "%q"}).err.find("%q"), std::string::npos);
    EXPECT_NE(board({"watch", "64"}).err.find("'64'"), std::string::npos);

    ProgramResult help = board({"watch", "--help"});
    EXPECT_EQ(help.exit_code, 0);
    for (const char *word : {"--edges", "--active-low", "--idle-timeout", "--requests", "--realtime", "%t", "%d",
                             "missed 120 events", "pin 5 rising request pid=4242"})
        EXPECT_NE(help.out.find(word), std::string::npos) << word;
    // Pins are decimal: 010 is pin 10.
    ok(pinctl({"set", "10", "0"}));
    Watcher w({"010", "-n", "1"});
    ASSERT_TRUE(w.ready()) << w.err();
    ok(pinctl({"set", "8", "1"}));
    ok(pinctl({"set", "10", "1"}));
    EXPECT_EQ(w.exit_code(), 0);
    EXPECT_EQ(what(w.all_lines()), Lines{"pin 10 rising request"});
}

// The wall clock: the time printed is that of CLOCK_REALTIME when it happened.
TEST_F(Watch, RealtimeStampsByTheWallClock)
{
    ok(pinctl({"set", "2", "0"}));
    Watcher w({"--realtime", "-n", "1"});
    ASSERT_TRUE(w.ready()) << w.err();
    struct timespec before, after;
    clock_gettime(CLOCK_REALTIME, &before);
    ok(board({"input", "2", "1"}));
    clock_gettime(CLOCK_REALTIME, &after);
    EXPECT_EQ(w.exit_code(), 0);
    Lines got = w.all_lines();
    ASSERT_EQ(got.size(), 1u);
    double t = std::stod(got[0]);
    EXPECT_GE(t, before.tv_sec + before.tv_nsec / 1e9 - 0.01) << got[0];
    EXPECT_LE(t, after.tv_sec + after.tv_nsec / 1e9 + 0.01) << got[0];
}

// A pin chosen by its name, its line ending with it, at a wall-clock time in
// ISO 8601.
TEST_F(Watch, NamedPinsAndUtcTimes)
{
    ok(board({"name", "3", "btn"}));
    ok(pinctl({"set", "3", "1"}));
    Watcher w({"btn", "--utc", "-n", "1"});
    ASSERT_TRUE(w.ready()) << w.err();
    ok(pinctl({"set", "4", "0"}));
    ok(pinctl({"set", "btn=0"}));
    Lines got = w.lines(1);
    ASSERT_EQ(got.size(), 1u);
    std::regex line("^20[0-9]{2}-[01][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:[0-6][0-9]\\.[0-9]{9}Z "
                    "pin 3 falling request pid=[0-9]+ name=btn$");
    EXPECT_TRUE(std::regex_match(got[0], line)) << got[0];
    EXPECT_EQ(board({"watch", "--utc", "--localtime"}).exit_code, 2);
}

}  // namespace
