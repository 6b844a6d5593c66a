// board record: the board's events into a Value Change Dump (vcd.h writes
// it), and with --gtkw a GTKWave save file beside it (gtkw.h).  Each goes
// to a file of its own, created afresh in FILE's folder, and is renamed
// into place once complete (capture_file.h).
#include "board_commands.h"
#include "cli.h"

#include "capture_file.h"
#include "gtkw.h"
#include "board/board.h"
#include "board/events.h"
#include "common/text.h"
#include "vcd.h"
#include "pin_arg.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Events are written this long after they happen, so that one whose writer
// was still at work when the others were read goes in its place.
constexpr uint64_t kLagNs = 50 * 1000 * 1000;
constexpr uint64_t kPollNs = 10 * 1000 * 1000;
// The longest the recorder sleeps with no event to write: the PWM
// outputs' edges are written as time passes, but nothing waits for them
// before the capture ends.
constexpr uint64_t kIdleWakeNs = 500 * 1000 * 1000;
// How long after the end the last events are taken: past the reader's hold
// back (2 ms) with room to spare.
constexpr uint64_t kSettleNs = 10 * 1000 * 1000;
// At most a day and a half of milliseconds, well inside the clock's range.
constexpr uint64_t kMaxDurationMs = 100ull * 1000 * 1000 * 1000;
// Events held for their turn; past this the oldest are written at once.
constexpr size_t kMaxPending = 64 * 1024;
// PulseView (0.4) takes at most 64 one-bit wires and, past 56, draws PWM
// activity on the wrong rows.
constexpr int kPulseViewWires = 56;

volatile sig_atomic_t g_stop = 0;
void on_stop(int) { g_stop = 1; }

using capture_file::Capture;
using capture_file::create_beside;
using capture_file::refusal;


int fail(const std::string &line)
{
    std::fprintf(stderr, "board record: %s\n", line.c_str());
    return 1;
}

std::string wall_clock(const char *format, bool utc)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm tm;
    if (utc)
        gmtime_r(&now.tv_sec, &tm);
    else
        localtime_r(&now.tv_sec, &tm);
    char buf[80];
    strftime(buf, sizeof buf, format, &tm);
    std::string s = buf;
    if (utc) {
        char ms[16];
        std::snprintf(ms, sizeof ms, ".%03dZ", static_cast<int>(now.tv_nsec / 1000000));
        s += ms;
    }
    return s;
}

// Writes the events of pending stamped up to horizon, oldest first.
void write_until(std::vector<board::Event> &pending, uint64_t horizon, vcd::Writer &w)
{
    size_t n = 0;
    while (n < pending.size() && (pending[n].time <= horizon || pending.size() - n > kMaxPending))
        w.event(pending[n++]);
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(n));
}

// Reads what the board wrote since the last call into pending, in time
// order.  Lost events are noted where they were lost and the wires read
// again from the board (at *resynced): the events stamped before that,
// which the reader still held back then, are in what was read, and are
// not written again.
void take(board::EventReader &reader, std::vector<board::Event> &batch,
          std::vector<board::Event> &pending, vcd::Writer &w, uint64_t *resynced)
{
    batch.clear();
    uint64_t missed = reader.poll(batch);
    // Damage goes to stderr, once each: the capture goes on.
    for (const std::string &d : reader.damage())
        std::fprintf(stderr, "board record: %s\n", text::excerpt(d, 4096).c_str());
    batch.erase(std::remove_if(batch.begin(), batch.end(),
                               [&](const board::Event &e) { return e.time <= *resynced; }),
                batch.end());
    if (missed) {
        write_until(pending, UINT64_MAX, w);
        w.missed(missed, batch.empty() ? board::monotonic_now() : batch.front().time);
    }
    bool sorted = pending.empty() || batch.empty() || pending.back().time <= batch.front().time;
    pending.insert(pending.end(), batch.begin(), batch.end());
    if (!sorted)
        std::stable_sort(pending.begin(), pending.end(),
                         [](const board::Event &a, const board::Event &b) { return a.time < b.time; });
    if (missed) {
        write_until(pending, UINT64_MAX, w);
        *resynced = board::monotonic_now();
        w.resync(board::status(), *resynced);
    }
}

void pause_until(uint64_t when)
{
    uint64_t now = board::monotonic_now();
    if (when <= now)
        return;
    uint64_t ns = std::min(when - now, kPollNs);
    struct timespec t = {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    nanosleep(&t, nullptr);  // a signal cuts it short, as it should
}

// The pins a capture of the pins in use keeps: those named, those touched
// since the reset at the start or at the end, and those that changed.
void pins_in_use(const std::vector<int> &named, const board::Status &initial, const vcd::Writer &w,
                 bool (&keep)[board::kPins])
{
    board::Status last = initial;
    try {
        last = board::status();
    } catch (const board::Error &) {
    }
    for (int p = 0; p < board::kPins; ++p)
        keep[p] = initial.pins[p].touched || last.pins[p].touched || w.pin_changed(p);
    for (int p : named)
        keep[p] = true;
}

// The finished capture in cap again, without the pins keep leaves out: a
// new file beside it that takes its name.  "" when done, else why not.
std::string leave_out_pins(Capture &cap, const std::string &stem, const std::string &prefix,
                           const bool (&keep)[board::kPins])
{
    Capture kept;
    kept.dir = dup(cap.dir);
    if (kept.dir < 0 || !create_beside(kept, stem, 1000, prefix))
        return std::string("cannot create a file beside ") + text::excerpt(cap.shown, 200) + ": " +
               std::strerror(errno);
    if (!vcd::keep_pins(cap.fd, keep, [&kept](const std::string &t) { kept.write_all(t); }))
        return "cannot read " + text::excerpt(cap.shown, 200) + " back: " + std::strerror(errno);
    if (!kept.write_errno && fsync(kept.fd) != 0)
        kept.write_errno = errno;
    if (kept.write_errno)
        return "cannot write " + text::excerpt(kept.shown, 200) + ": " + std::strerror(kept.write_errno);
    if (renameat(kept.dir, kept.name.c_str(), cap.dir, cap.name.c_str()) != 0)
        return "cannot rename " + text::excerpt(kept.shown, 200) + ": " + std::strerror(errno);
    kept.name.clear();
    close(cap.fd);
    cap.fd = kept.fd;
    kept.fd = -1;
    return "";
}

// The save file of a capture, named save, beside it in cap.dir: on the PWM
// channels, then the pins keep names.  "" when done, else why not.
std::string write_save_file(const Capture &cap, const std::string &name, const std::string &save,
                            const std::string &prefix, const vcd::Options &opt, const bool (&keep)[board::kPins])
{
    gtkw::Save s;
    s.dumpfile = name;
    s.savefile = save;
    s.logic_only = opt.logic_only;
    s.version = opt.version;
    for (int p = 0; p < board::kPins; ++p)
        if (keep[p])
            s.pin_wires.push_back(vcd::pin_wire_name(p, p < (int)opt.pin_names.size() ? opt.pin_names[p] : ""));
    Capture file;
    file.dir = dup(cap.dir);
    std::string shown = text::excerpt(prefix + save, 200);
    if (file.dir < 0 || !create_beside(file, save.substr(0, 200), 0, prefix))
        return "cannot create a file beside " + shown + ": " + std::strerror(errno);
    file.write_all(gtkw::text(s));
    if (!file.write_errno && fsync(file.fd) != 0)
        file.write_errno = errno;
    if (file.write_errno)
        return "cannot write " + text::excerpt(file.shown, 200) + ": " + std::strerror(file.write_errno);
    std::string why = capture_file::put_in_place(file, save, shown);
    return why.empty() ? why : why + "; the save file is in " + text::excerpt(file.shown, 200);
}

// in_use: the capture keeps only the pins in use, and those named; gtkw: a
// GTKWave save file beside it.
int record(const std::string &file, uint64_t duration_ms, const vcd::Options &base, bool in_use,
           const std::vector<int> &named, bool gtkw)
{
    // FILE's folder is the user's choice (a link there is followed); FILE
    // itself is never reached through one.
    size_t slash = file.rfind('/');
    std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
    std::string name = slash == std::string::npos ? file : file.substr(slash + 1);
    std::string shown = text::excerpt(file, 200);
    if (name.empty() || name == "." || name == "..")
        return fail(shown + " is a folder: name the capture's file");
    Capture cap;
    cap.dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (cap.dir < 0)
        return fail("cannot open the folder of " + shown + ": " + std::strerror(errno));
    std::string why = refusal(cap.dir, name, shown);
    std::string save = gtkw::save_name(name);
    if (why.empty() && gtkw)
        why = refusal(cap.dir, save, text::excerpt((slash == std::string::npos ? "" : folder + "/") + save, 200));
    if (!why.empty())
        return fail(why);

    // A terminal that hangs up ends the capture as Ctrl-C does, with the
    // file complete; a closed standard error costs only the messages.
    struct sigaction sa {};
    sa.sa_handler = on_stop;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    // The reader first: whatever changes after the status is read is among
    // its events.
    board::EventReader reader;
    reader.hold_writers(true);  // a capture misses nothing it can help
    uint64_t start = board::monotonic_now();
    board::Status initial = board::status();

    capture_file::remove_left_overs(cap.dir);
    std::string stem = name.substr(0, 200);
    std::string prefix = slash == std::string::npos ? "" : folder + "/";
    if (!create_beside(cap, stem, 0, prefix))
        return fail("cannot create a file beside " + shown + ": " + std::strerror(errno));

    vcd::Options opt = base;
    opt.date = wall_clock("%a %b %e %H:%M:%S %Y", false);
    opt.version = "board record (board-support utilities)";
    opt.comment = "board " + board::dir() + "; started " + wall_clock("%Y-%m-%dT%H:%M:%S", true) +
                  ", CLOCK_MONOTONIC " + std::to_string(start) + " ns; " +
                  (in_use ? "the pins in use" : "all pins");
    vcd::Writer writer(opt, initial, start, [&cap](const std::string &t) { cap.write_all(t); });
    std::fprintf(stderr, "board record: recording into %s (Ctrl-C ends it)\n", shown.c_str());

    uint64_t end = duration_ms ? start + duration_ms * 1000000 : UINT64_MAX;
    std::vector<board::Event> batch, pending;
    uint64_t resynced = 0;
    // A board that can no longer be used (replaced by one that is
    // damaged, say) ends the capture there, complete, and says why.
    std::string ended_by;
    try {
        while (!g_stop && !cap.write_errno) {
            uint64_t now = board::monotonic_now();
            if (now >= end)
                break;
            take(reader, batch, pending, writer, &resynced);
            if (now > start + kLagNs) {
                write_until(pending, now - kLagNs, writer);
                writer.advance(now - kLagNs);
            }
            // Until the board writes an event (a signal cuts it short), the
            // oldest event held is due, or the end; with none of these, a
            // look at the board every kIdleWakeNs.
            uint64_t due = std::min(end, now + kIdleWakeNs);
            if (!pending.empty())
                due = std::min(due, std::max(pending.front().time, start) + kLagNs);
            reader.wait(due - std::min(due, board::monotonic_now()));
        }
    } catch (const board::Error &e) {
        ended_by = e.message;
    }
    // What was written until now, then the end.  The reader hands on an
    // event only once it is a little old (so that one another lane was
    // still writing comes first): the last events are taken once that
    // time has passed too.
    uint64_t now = board::monotonic_now();
    uint64_t stop = std::min(now, end);
    if (ended_by.empty()) {
        while (board::monotonic_now() < stop + kSettleNs)
            pause_until(stop + kSettleNs);
        try {
            take(reader, batch, pending, writer, &resynced);
        } catch (const board::Error &e) {
            ended_by = e.message;
        }
    }
    write_until(pending, stop, writer);
    writer.finish(std::max(stop, writer.written_to()));
    if (!cap.write_errno && fsync(cap.fd) != 0)
        cap.write_errno = errno;
    if (cap.write_errno)
        return fail("cannot write " + text::excerpt(cap.shown, 200) + ": " +
                    std::strerror(cap.write_errno));
    bool keep[board::kPins];
    pins_in_use(named, initial, writer, keep);
    if (in_use) {
        std::string why_not = leave_out_pins(cap, stem, prefix, keep);
        if (!why_not.empty())
            return fail(why_not);
        int wires = 2 + 3 * board::kChannels;  // the one-bit wires
        for (bool k : keep)
            wires += k;
        if (base.logic_only && wires > kPulseViewWires)
            std::fprintf(stderr, "board record: %d wires: PulseView draws at most %d right\n", wires,
                         kPulseViewWires);
    }
    close(cap.fd);
    cap.fd = -1;
    // FILE may have been changed meanwhile: the capture then stays where
    // it was written.  A file it replaces keeps its permissions (a capture
    // kept private stays so).
    why = capture_file::put_in_place(cap, name, shown);
    if (!why.empty())
        return fail(why + "; the capture is in " + text::excerpt(cap.shown, 200));
    if (gtkw) {
        why = write_save_file(cap, name, save, prefix, opt, keep);
        if (!why.empty())
            return fail(why);
    }
    if (!ended_by.empty())
        return fail(text::excerpt(ended_by, 4096) + "; the capture up to then is in " + shown);
    const vcd::Counts &c = writer.counts();
    std::fprintf(stderr,
                 "board record: %s: %.3f s, %llu events, %llu missed, %llu put later than stamped, "
                 "%llu changes\n",
                 shown.c_str(), static_cast<double>(stop - start) / 1e9,
                 static_cast<unsigned long long>(c.events), static_cast<unsigned long long>(c.missed),
                 static_cast<unsigned long long>(c.clamped),
                 static_cast<unsigned long long>(c.changes));
    return 0;
}

}  // namespace

namespace board_tool {

Run define_record(CLI::App &app)
{
    app.footer("Captures the board's pins, PWM channels, power and the presence of GPI1:\n"
                 "as a Value Change Dump (.vcd) that waveform viewers open, until Ctrl-C\n"
                 "or --duration.  The pins in use have a wire: those touched since the\n"
                 "reset (at the start or by the end) and those named; --all-pins gives\n"
                 "all 64.  Each PWM channel has its running flag, registers and pwmN_out,\n"
                 "the output they make: one tick is (cr+1) us, a period pcr+1 ticks, high\n"
                 "for the first min(dcr, pcr+1) ticks; x while it toggles with a period\n"
                 "under 20 us or a high or low part shorter than one unit of the\n"
                 "timescale, and pwmN_too_fast is 1 meanwhile (readers that take x for 0\n"
                 "would show it low).  Ctrl-C, SIGTERM and a hang-up end the capture with\n"
                 "the file complete.\n"
                 "Which form each viewer reads: GTKWave (and its vcd2fst) both; sigrok-cli\n"
                 "and PulseView only --logic-only (a full capture gives them no samples),\n"
                 "best with --timescale 1us; PulseView draws at most 56 one-bit wires right.\n"
                 "Exit status: 0 done, 1 the board or FILE could not be used, 2 bad arguments.");
    struct Args {
        std::string file, timescale = "1ns";
        std::vector<int> pins;
        uint64_t ms = 0;
        bool logic_only = false, all_pins = false, gtkw = false;
    };
    auto a = std::make_shared<Args>();
    app.add_option("FILE", a->file, "the capture; written aside and renamed into place when done")
        ->type_name("FILE.vcd")
        ->required();
    app.add_option("PIN", a->pins, "a pin to record besides those in use (0-63, decimal, or its name)")
        ->transform(cli::pin(std::make_shared<tools::PinReader>()));
    app.add_option("--duration", a->ms, "stop after MS milliseconds (decimal, above 0)")
        ->type_name("MS")
        ->check(cli::number("--duration", "a number of milliseconds", 1, kMaxDurationMs));
    app.add_option("--timescale", a->timescale,
                   "the file's time unit: 1ns (default), 1us or 1ms; readers that expand\n"
                   "the capture to samples take one per unit")
        ->type_name("UNIT")
        ->check(cli::one_of("--timescale", {"1ns", "1us", "1ms"}));
    app.add_flag("--all-pins", a->all_pins, "a wire for every pin, 0 to 63, in use or not");
    app.add_flag("--gtkw", a->gtkw,
                 "also a GTKWave save file beside FILE (FILE.vcd: FILE.gtkw) that opens it on\n"
                 "the PWM channels, their registers in decimal, then the pins in use:\n"
                 "gtkwave FILE.gtkw");
    app.add_flag("--logic-only", a->logic_only,
                 "only 1-bit wires (no cr, dcr, pcr), notes kept for the end: for readers\n"
                 "that take no vectors and stop at a comment among the values");
    return [a] {
        if (a->file.empty())
            return cli::usage_error("board record", "FILE is empty: name the capture's file");
        std::string base_name = a->file.substr(a->file.rfind('/') + 1);
        if (a->gtkw && !gtkw::quotable(base_name))
            return cli::usage_error("board record", "--gtkw: " + text::excerpt(a->file, 200) +
                                                        " holds a quote, a backslash or a control character, "
                                                        "which a GTKWave save file cannot name");
        vcd::Options opt;
        opt.logic_only = a->logic_only;
        opt.unit_ns = vcd::parse_timescale(a->timescale);
        board::pin_names::Names names = board::pin_names::load();
        opt.pin_names.assign(std::begin(names.of), std::end(names.of));
        // Every pin is captured; those not in use are left out once it is done.
        for (int p = 0; p < board::kPins; ++p)
            opt.pins.push_back(p);
        return record(a->file, a->ms, opt, !a->all_pins, a->pins, a->gtkw);
    };
}

}  // namespace board_tool
