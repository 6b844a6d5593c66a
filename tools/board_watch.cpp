// board watch: one line for each change on the board, as it happens.
#include "board_commands.h"
#include "cli.h"

#include "board/board.h"
#include "event_format.h"
#include "pin_arg.h"
#include "board/events.h"
#include "common/text.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <algorithm>
#include <poll.h>
#include <unistd.h>

namespace {

const char kDescription[] =
    "Prints one line for each change on the board as it happens: pins that change\n"
    "level, PWM channels started, stopped or given rates, power, the device plugged\n"
    "or unplugged, a fault armed or raised, a reset.  Only what happens after it\n"
    "starts; it says 'watching BOARD_DIR ...' on stderr once it is ready.";

const char kFooter[] =
    "PIN... chooses the pins (0-63, decimal, or names given with 'board name')\n"
    "whose events show; events of the whole\n"
    "board (PWM, power, the device, faults, a reset) always show.  --edges chooses\n"
    "among the pins' level changes; reads and writes (--requests) show whatever it\n"
    "says.  With --active-low a pin that goes low is shown rising, level 1.\n"
    "\n"
    "A line (fields one space apart):\n"
    "  TIME WHAT... CAUSE pid=PID\n"
    "  1234.567890123 pin 5 rising request pid=4242\n"
    "  1234.567891000 pwm 0 set cr=16 dcr=256 pcr=512 running request pid=4242\n"
    "  1234.567892000 power off outside pid=77\n"
    "TIME is the monotonic clock (CLOCK_MONOTONIC), seconds.nanoseconds; with\n"
    "--realtime seconds since 1970; with --utc or --localtime the wall-clock\n"
    "time in ISO 8601 (2026-03-01T12:00:00.000000001Z, 2026-03-01T13:00:00.\n"
    "000000001+01:00).  A pin with a name ends its line with name=NAME.\n"
    "WHAT is one of: pin P rising|falling,\n"
    "pin P read L, pin P write L, pwm C start|stop|set cr=N dcr=N pcr=N\n"
    "running|stopped, power on|off, device plugged|unplugged, fault armed,\n"
    "fault raised, reset.  CAUSE is request (a driver request), outside, or\n"
    "system (the device powered off by a program on it).\n"
    "A watcher that fell behind says so: 'missed 120 events' (with --format, a\n"
    "line of FMT, below).  Damage found in the board's state while it watches\n"
    "is told once on stderr, and it goes on.\n"
    "\n"
    "--format FMT writes FMT instead, a newline added, with:\n";

const char kExit[] =
    "\n"
    "Exit status: 0 after -n events, after the idle timeout, on Ctrl-C, SIGTERM,\n"
    "SIGHUP or SIGPIPE, or when its output is closed; 1 the board could not be\n"
    "used or the output could not be written; 2 bad arguments.\n";

// How often a watcher that keeps writing looks whether its output was closed.
constexpr uint64_t kLookEvery = 100 * 1000000ull;
// The longest a watcher sleeps with nothing happening: each wake-up costs
// some 80 us of processor time on a virtual machine.
constexpr uint64_t kIdleWake = 500 * 1000000ull;

volatile sig_atomic_t g_stop = 0;
void on_stop(int) { g_stop = 1; }

int64_t clock_ns(clockid_t id)
{
    struct timespec ts;
    clock_gettime(id, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// CLOCK_REALTIME less CLOCK_MONOTONIC, from the closest of a few readings.
int64_t realtime_shift()
{
    int64_t best = 0, gap = INT64_MAX;
    for (int i = 0; i < 5; ++i) {
        int64_t m0 = clock_ns(CLOCK_MONOTONIC), r = clock_ns(CLOCK_REALTIME), m1 = clock_ns(CLOCK_MONOTONIC);
        if (m1 - m0 < gap) {
            gap = m1 - m0;
            best = r - (m0 + (m1 - m0) / 2);
        }
    }
    return best;
}

enum class Wrote { Ok, Closed, Failed };

// Writes one line whole, as it is printed (straight to the descriptor: a
// signal that cuts a blocked write short would make the standard library
// drop the line and say nothing).  A signal to stop, while the write is
// blocked on a pipe nobody reads, ends it: the watcher stops rather than
// wait for a reader.
Wrote put_line(const std::string &line)
{
    std::string l = line + "\n";
    size_t done = 0;
    while (done < l.size()) {
        ssize_t n = write(STDOUT_FILENO, l.data() + done, l.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            if (g_stop)
                return Wrote::Closed;
        } else {
            return n < 0 && errno == EPIPE ? Wrote::Closed : Wrote::Failed;
        }
    }
    return Wrote::Ok;
}

struct Options {
    watch::Filter filter;
    watch::Shown shown;
    bool custom = false;
    watch::Format format;
    uint64_t count = 0;    // 0: no limit
    uint64_t idle_ms = 0;  // 0: none
    std::string pins_text = "all pins";
};

// The loop: sleeps until the board writes an event, prints the ones that
// show, and ends as the options say.
int follow(const Options &o)
{
    board::EventReader reader;
    reader.hold_writers(true);
    if (o.filter.requests)
        reader.want_requests(true);
    // The folder's name is the user's: escaped, so that it cannot work the terminal.
    std::fprintf(stderr, "watching %s (%s%s)\n", text::excerpt(board::dir(), 4096).c_str(), o.pins_text.c_str(),
                 o.filter.requests ? ", reads and writes too" : "");
    std::vector<board::Event> events;
    uint64_t printed = 0;
    uint64_t last = board::monotonic_now();
    // When the output was last looked at; last as the loop last found it.
    uint64_t looked = 0, written_then = 0;
    auto put = [&](const std::string &line) {
        Wrote w = put_line(line);
        if (w == Wrote::Failed)
            std::fprintf(stderr, "board watch: cannot write the output: %s\n", std::strerror(errno));
        last = board::monotonic_now();
        return w;
    };
    while (!g_stop) {
        events.clear();
        uint64_t missed = reader.poll(events);
        // Damage goes to stderr, once each: the watch goes on.
        for (const std::string &d : reader.damage())
            std::fprintf(stderr, "board watch: %s\n", text::excerpt(d, 4096).c_str());
        if (missed) {
            // Stamped as the first event after the loss, as a capture notes it.
            uint64_t at = events.empty() ? board::monotonic_now() : events.front().time;
            Wrote w = put(o.custom ? o.format.render_missed(missed, at, o.shown) : watch::missed_line(missed));
            if (w != Wrote::Ok)
                return w == Wrote::Closed ? 0 : 1;
        }
        for (const board::Event &e : events) {
            if (g_stop)
                return 0;
            if (!watch::shows(o.filter, e))
                continue;
            Wrote w = put(o.custom ? o.format.render(e, o.shown) : watch::plain_line(e, o.shown));
            if (w != Wrote::Ok)
                return w == Wrote::Closed ? 0 : 1;
            if (o.count && ++printed >= o.count)
                return 0;
        }
        uint64_t now = board::monotonic_now();
        if (o.idle_ms && now - last >= o.idle_ms * 1000000)
            return 0;
        // A look whether the output was closed (a pipe with no reader, a
        // terminal that hung up), when nothing was written to find it (a
        // write to it fails) or a tenth of a second after the last look;
        // then the sleep until the next event, at most kIdleWake: a reset
        // wakes the reader, and the looks at the board's name and state
        // and at the output are all that waking up for nothing buys.
        if (last == written_then || now - looked >= kLookEvery) {
            looked = now;
            struct pollfd out = {STDOUT_FILENO, 0, 0};
            if (poll(&out, 1, 0) > 0 && out.revents)
                return 0;
        }
        written_then = last;
        uint64_t most = kIdleWake;
        if (o.idle_ms)
            most = std::min(most, last + o.idle_ms * 1000000 - now);
        reader.wait(most);
    }
    return 0;
}

}  // namespace

namespace board_tool {

namespace {

constexpr uint64_t kMost = 1000000000000ull;  // events, or milliseconds of idle time

struct Args {
    std::vector<int> pins;
    std::string edges = "both", format;
    uint64_t count = 0, idle = 0;
    bool active_low = false, realtime = false, utc = false, localtime = false, requests = false;
};

int watch_with(CLI::App &app, const Args &a)
{
    Options o;
    // Names are shown where the file can be read; one that cannot says so
    // once and the watch goes on by numbers.
    board::pin_names::Names names;
    try {
        names = board::pin_names::load();
        o.shown.names = &names;
    } catch (const board::Error &e) {
        std::fprintf(stderr, "board watch: %s\n", e.message.c_str());
    }
    if (!a.pins.empty()) {
        for (bool &p : o.filter.pins)
            p = false;
        o.pins_text = a.pins.size() == 1 ? "pin" : "pins";
        for (int pin : a.pins) {
            if (!o.filter.pins[pin])  // named twice: said once
                o.pins_text += " " + std::to_string(pin);
            o.filter.pins[pin] = true;
        }
    }
    o.filter.edges = a.edges == "rising" ? watch::Edges::Rising : a.edges == "falling" ? watch::Edges::Falling
                                                                                        : watch::Edges::Both;
    o.filter.active_low = o.shown.active_low = a.active_low;
    o.filter.requests = a.requests;
    o.count = a.count;
    o.idle_ms = a.idle;
    if (app.count("--format")) {
        std::string error;
        if (!o.format.compile(a.format, &error))
            return cli::usage_error("board watch", text::excerpt(error, 200));
        o.custom = true;
    }
    if (a.realtime || a.utc || a.localtime)
        o.shown.shift = realtime_shift();
    o.shown.clock = a.utc ? watch::Clock::Utc : a.localtime ? watch::Clock::Local : watch::Clock::Seconds;

    if (fcntl(STDOUT_FILENO, F_GETFL) < 0) {
        std::fprintf(stderr, "board watch: no standard output to write to\n");
        return 1;
    }
    // Each line reaches a pipe as it is printed (put_line); a closed
    // output ends the watch as the signals do, with status 0, not the
    // process by a signal.
    struct sigaction sa {};
    sa.sa_handler = on_stop;
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
        sigaction(sig, &sa, nullptr);
    return follow(o);
}

}  // namespace

Run define_watch(CLI::App &app)
{
    app.footer(std::string(kDescription) + "\n\n" + kFooter + watch::kFormatHelp + kExit);
    auto a = std::make_shared<Args>();
    app.add_option("PIN", a->pins, "pins to watch (default: all)")
        ->transform(cli::pin(std::make_shared<tools::PinReader>()));
    app.add_option("--edges", a->edges, "which level changes of the pins show: rising,\nfalling or both (default)")
        ->type_name("WHICH")
        ->check(cli::one_of("--edges", {"rising", "falling", "both"}));
    app.add_flag("--active-low", a->active_low, "pins are active low: levels and edges shown inverted");
    app.add_option("-n", a->count, "stop after N lines of events")
        ->type_name("N")
        ->check(cli::number("-n", "a number of events", 1, kMost));
    app.add_option("--idle-timeout", a->idle, "stop when nothing was printed for MS milliseconds")
        ->type_name("MS")
        ->check(cli::number("--idle-timeout", "a number of milliseconds", 1, kMost));
    CLI::Option *real = app.add_flag("--realtime", a->realtime, "times by the wall clock (seconds since 1970)");
    CLI::Option *in_utc = app.add_flag("--utc", a->utc, "times by the wall clock, in UTC (ISO 8601)");
    CLI::Option *local = app.add_flag("--localtime", a->localtime, "times by the wall clock, local time (ISO 8601)");
    real->excludes(in_utc)->excludes(local);
    in_utc->excludes(local);
    app.add_flag("--requests", a->requests, "also pin reads and writes that change nothing");
    app.add_option("--format", a->format, "write each event as FMT (below)")->type_name("FMT");
    return [&app, a] { return watch_with(app, *a); };
}

}  // namespace board_tool
