// board play: a Value Change Dump's wires applied to the board's pins as
// external levels, at the times the file gives them (vcd_read.h reads it).
#include "board_play.h"

#include "board/board.h"
#include "board/events.h"
#include "common/text.h"
#include "decimal.h"
#include "vcd_read.h"

#include "cli_command.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t g_stop = 0;
void on_stop(int) { g_stop = 1; }

constexpr uint64_t kSpeedOne = 1000000;  // --speed in millionths
constexpr uint64_t kMinSpeed = 1000, kMaxSpeed = 1000 * kSpeedOne;
// How late a change was, in 10 us steps up to a second (the last step: later).
constexpr size_t kLateSteps = 100000;

const char kDescription[] =
    "Drives the board's pins from outside, as 'board input' does, along the\n"
    "timeline of a Value Change Dump: a capture of 'board record', or what a\n"
    "logic analyser's software or a simulator wrote.  Each one-bit wire that is\n"
    "mapped to a pin sets the pin's external level: 0 or 1, and x or z takes it\n"
    "away.  The values at time 0 are applied at the start, the others at their\n"
    "times (divided by --speed).  Ctrl-C, SIGTERM and a hang-up stop it, leaving\n"
    "the pins as last set (or released, with --release).  At the end it says on\n"
    "stderr how late the changes were applied.\n"
    "Exit status: 0 played or stopped, 1 FILE or the board could not be used (a\n"
    "file that does not parse, or maps no wire, is refused with its line number),\n"
    "2 bad arguments.";

const char kFooter[] =
    "Wires and pins: by default the wires named pinN (as 'board record' names\n"
    "them, N from 0 to 63) drive pin N, and the other wires are left out.  With\n"
    "--map only the wires it names play; WIRE is the wire's name or its scope and\n"
    "name (libsigrok.D0, board.pin3).  sigrok-cli names a logic analyser's\n"
    "channels D0, D1...: --map D0=20 --map D1=21.";

int usage_error(const std::string &what) { return tools::usage_error("play", what); }

int fail(const std::string &what)
{
    std::fprintf(stderr, "board play: %s\n", what.c_str());
    return 1;
}

// "2", "0.5", "1.25": millionths, from kMinSpeed to kMaxSpeed; 0 for anything else.
uint64_t parse_speed(const std::string &s)
{
    size_t dot = s.find('.');
    std::string whole = s.substr(0, dot), frac = dot == std::string::npos ? "" : s.substr(dot + 1);
    if (dot != std::string::npos && (frac.empty() || frac.size() > 6))
        return 0;
    uint64_t w = 0, f = 0;
    if (!tools::decimal(whole, 0, kMaxSpeed / kSpeedOne, &w) ||
        (!frac.empty() && !tools::decimal(frac, 0, 999999, &f)))
        return 0;
    while (frac.size() < 6) {
        frac += '0';
        f *= 10;
    }
    uint64_t v = w * kSpeedOne + f;
    return v >= kMinSpeed && v <= kMaxSpeed ? v : 0;
}

struct Plan {
    std::vector<int> pin_of;          // per declared wire: its pin, or -1
    std::vector<vcd::Change> changes;
    uint64_t end_ns = 0;
    std::vector<int> pins;            // the pins played, ascending
};

std::string at_line(const std::string &shown, int line)
{
    return shown + ": line " + std::to_string(line) + ": ";
}

// The wires to play, from the maps (WIRE -> pin) or the default names.
// "" when they are fine, else why not.
std::string choose(const vcd::Reader &r, const std::map<std::string, int> &maps, const std::string &shown,
                   Plan *plan)
{
    const std::vector<vcd::Declared> &wires = r.wires();
    plan->pin_of.assign(wires.size(), -1);
    std::map<std::string, bool> found;
    int by_pin[board::kPins];
    std::fill(by_pin, by_pin + board::kPins, -1);
    for (size_t i = 0; i < wires.size(); ++i) {
        const vcd::Declared &d = wires[i];
        int pin = -1;
        if (maps.empty()) {
            uint64_t n;
            if (d.width == 1 && d.name.compare(0, 3, "pin") == 0 &&
                tools::decimal(d.name.substr(3), 0, board::kPins - 1, &n))
                pin = static_cast<int>(n);
        } else {
            std::string full = d.scope.empty() ? d.name : d.scope + "." + d.name;
            for (const std::string &key : {d.name, full}) {
                auto it = maps.find(key);
                if (it == maps.end())
                    continue;
                found[key] = true;
                if (d.width != 1)
                    return at_line(shown, d.line) + text::excerpt(key) + " is " + std::to_string(d.width) +
                           " bits wide: only one-bit wires drive a pin";
                pin = it->second;
            }
        }
        if (pin < 0)
            continue;
        if (by_pin[pin] >= 0)
            return at_line(shown, d.line) + "a second wire for pin " + std::to_string(pin) + " (" +
                   text::excerpt(d.name) + "; the first is on line " +
                   std::to_string(wires[by_pin[pin]].line) + ")";
        by_pin[pin] = static_cast<int>(i);
        plan->pin_of[i] = pin;
        plan->pins.push_back(pin);
    }
    for (const auto &m : maps)
        if (!found.count(m.first))
            return at_line(shown, r.definitions_line()) + "no wire " + text::excerpt(m.first) +
                   " is declared before $enddefinitions";
    if (plan->pins.empty())
        return at_line(shown, r.definitions_line()) +
               "no wire named pin0 to pin63 is declared before $enddefinitions (name the wires to "
               "play with --map WIRE=PIN)";
    std::sort(plan->pins.begin(), plan->pins.end());
    return "";
}

// Reads and checks the whole file before anything is played.
std::string load(const std::string &file, const std::map<std::string, int> &maps, Plan *plan)
{
    std::string shown = text::excerpt(file, 200);
    int fd = open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return "cannot open " + shown + ": " + std::strerror(errno);
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return shown + " is no regular file";
    }
    std::FILE *f = fdopen(fd, "r");
    if (!f) {
        close(fd);
        return "cannot read " + shown + ": " + std::strerror(errno);
    }
    vcd::Reader reader(f);
    vcd::ReadError error;
    std::string why;
    if (!reader.header(&error)) {
        why = at_line(shown, error.line) + error.what;
    } else {
        why = choose(reader, maps, shown, plan);
        std::vector<bool> wanted(plan->pin_of.size());
        for (size_t i = 0; i < wanted.size(); ++i)
            wanted[i] = plan->pin_of[i] >= 0;
        if (why.empty() && !reader.values(wanted, &plan->changes, &plan->end_ns, &error))
            why = at_line(shown, error.line) + error.what;
    }
    std::fclose(f);
    return why;
}

uint64_t scaled(uint64_t ns, uint64_t speed)
{
    return static_cast<uint64_t>(static_cast<unsigned __int128>(ns) * kSpeedOne / speed);
}

// Sleeps until when (CLOCK_MONOTONIC, ns); false when told to stop first.
bool wait_until(uint64_t when)
{
    struct timespec t = {static_cast<time_t>(when / 1000000000), static_cast<long>(when % 1000000000)};
    while (!g_stop) {
        int e = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr);
        if (e == 0)
            return !g_stop;
        if (e != EINTR)
            return false;
    }
    return false;
}

struct Lateness {
    std::vector<uint32_t> steps = std::vector<uint32_t>(kLateSteps + 1);
    uint64_t count = 0, most = 0;
    void add(uint64_t ns)
    {
        ++steps[std::min<uint64_t>(ns / 10000, kLateSteps)];
        ++count;
        most = std::max(most, ns);
    }
    // The lateness, in microseconds, below which share of the changes were.
    uint64_t below(double share) const
    {
        uint64_t seen = 0, need = static_cast<uint64_t>(share * static_cast<double>(count));
        for (size_t i = 0; i <= kLateSteps; ++i)
            if ((seen += steps[i]) >= need && seen)
                return (i + 1) * 10;
        return 0;
    }
};

int play(const Plan &plan, const std::string &shown, uint64_t speed, bool loop, bool release)
{
    struct sigaction sa {};
    sa.sa_handler = on_stop;
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::string pins;
    for (int p : plan.pins)
        pins += " " + std::to_string(p);
    std::fprintf(stderr, "board play: playing %s onto %s, pin%s%s (Ctrl-C stops it)\n", shown.c_str(),
                 text::excerpt(board::dir(), 4096).c_str(), plan.pins.size() == 1 ? "" : "s", pins.c_str());
    Lateness late;
    uint64_t period = scaled(plan.end_ns, speed), passes = 0;
    // The board mapped now, not at the first change.
    board::status();
    uint64_t start = board::monotonic_now();
    for (uint64_t base = start; !g_stop; base += period) {
        for (const vcd::Change &c : plan.changes) {
            uint64_t due = base + scaled(c.time_ns, speed);
            if (!wait_until(due))
                break;
            board::set_input(plan.pin_of[c.wire], c.value);
            uint64_t now = board::monotonic_now();
            late.add(now > due ? now - due : 0);
        }
        if (g_stop)
            break;
        // The last timestamp is the end of a pass, as it is of the capture.
        if (!wait_until(base + period))
            break;
        ++passes;
        if (!loop)
            break;
    }
    if (release)
        for (int p : plan.pins)
            board::set_input(p, -1);
    std::fprintf(stderr,
                 "board play: %s: %llu changes in %llu whole passes%s; applied after their time by at "
                 "most %llu us, 99%% within %llu us\n",
                 shown.c_str(), static_cast<unsigned long long>(late.count),
                 static_cast<unsigned long long>(passes), g_stop ? " (stopped)" : "",
                 static_cast<unsigned long long>(late.most / 1000),
                 static_cast<unsigned long long>(late.below(0.99)));
    return 0;
}

}  // namespace

int play_command(const std::vector<std::string> &args)
{
    CLI::App app{kDescription, "board play"};
    app.footer(kFooter);
    std::string file, speed_text = "1";
    std::vector<std::string> map_text;
    bool loop = false, release = false;
    app.add_option("FILE", file, "the Value Change Dump to play")->type_name("FILE.vcd")->required();
    app.add_option("--map", map_text, "WIRE drives PIN (0-63); may be given for several wires")
        ->type_name("WIRE=PIN");
    app.add_option("--speed", speed_text, "play X times as fast (0.001 to 1000; default 1)")->type_name("X");
    app.add_flag("--loop", loop, "play it again from the start at its end, until Ctrl-C");
    app.add_flag("--release", release, "take the pins' external levels away when stopped or done");

    if (int status = tools::parse_command(app, "play", std::vector<std::string>(args.begin() + 1, args.end())); status >= 0)
        return status;
    uint64_t speed = parse_speed(speed_text);
    if (!speed)
        return usage_error("--speed takes a number from 0.001 to 1000 (such as 2 or 0.5), not '" +
                           text::excerpt(speed_text) + "'");
    std::map<std::string, int> maps;
    for (const std::string &m : map_text) {
        size_t eq = m.rfind('=');
        uint64_t pin;
        if (eq == std::string::npos || eq == 0 || !tools::decimal(m.substr(eq + 1), 0, board::kPins - 1, &pin))
            return usage_error("--map takes WIRE=PIN, PIN from 0 to 63, not '" + text::excerpt(m) + "'");
        if (!maps.emplace(m.substr(0, eq), static_cast<int>(pin)).second)
            return usage_error("--map names " + text::excerpt(m.substr(0, eq)) + " twice");
    }
    Plan plan;
    std::string why = load(file, maps, &plan);
    if (!why.empty())
        return fail(why);
    if (loop && plan.end_ns == 0)
        return fail(text::excerpt(file, 200) + ": its timeline is 0 long: nothing to repeat with --loop");
    return play(plan, text::excerpt(file, 200), speed, loop, release);
}
