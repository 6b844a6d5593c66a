// A capture of the board as a Value Change Dump, the text format waveform
// viewers and logic analysers read.  The writer is plain code over the
// board's status and its events: what to do with a file, a clock or a
// signal is the caller's (tools/board_record.cpp).
//
// Wires, in one scope "board": a 1-bit pinN per watched pin; per PWM
// channel pwmC_running, the registers pwmC_cr (6 bits), pwmC_dcr and
// pwmC_pcr (10 bits each, left out with logic_only), pwmC_out, the output
// the channel's registers make, and pwmC_too_fast, 1 while pwmC_out is x
// (readers that take x for 0 would show a running output low); power, and
// present (GPI1: plugged).
//
// The PWM output, as this board's timer makes it: the timer counts at
// 1 MHz divided by (cr+1), so one tick is (cr+1) us; a period is (pcr+1)
// ticks, and the output is high for the first min(dcr, pcr+1) ticks of
// each period: dcr 0 keeps it low, dcr > pcr high.  A stopped channel's
// output is low.  A start, or new registers, begins a new period at that
// moment; a channel already running when the capture starts begins its
// first period at the start.  A channel whose period is shorter than
// kMinPeriodNs, or whose high or low part is shorter than one unit of the
// timescale (it could not be drawn), is written as x while so.
//
// The writer streams: it hands its text to the sink in pieces of at most
// about kChunk bytes and holds only the wires' values, so a capture of any
// length takes the same memory.
#pragma once

#include "board/board.h"
#include "board/events.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vcd {

constexpr uint64_t kMinPeriodNs = 20000;  // 20 us
constexpr size_t kChunk = 64 * 1024;
// Notes (missed events, clamped times) kept for the end with logic_only;
// beyond these only their count is.
constexpr size_t kMaxDeferredNotes = 64;

struct Options {
    std::vector<int> pins;  // the pins with a wire, ascending, each once
    std::vector<std::string> pin_names;  // by pin, for their wires; "" or none: pinN
    bool logic_only = false;
    uint64_t unit_ns = 1;   // the timescale: 1, 1000 or 1000000
    std::string date;       // the wall-clock start, for $date
    std::string version;    // for $version
    std::string comment;    // for the $comment of the header (escaped here)
};

// The wire of a pin: its name when it has one (a name 'board name' took,
// which holds nothing a reader would split), else "pin5"; a name that is
// one of the board's own wires' ("power", "pin7", "pwm0_out") is not taken.
std::string pin_wire_name(int pin, const std::string &name);

// "1ns", "1us", "1ms" in nanoseconds; 0 for anything else.
uint64_t parse_timescale(const std::string &text);
const char *timescale_name(uint64_t unit_ns);

// text made safe for a $comment: no "$" (a "$end" would close it early),
// no control bytes or bytes that are no UTF-8 (escaped), at most most
// characters.
std::string comment_text(const std::string &text, size_t most = 200);

struct Counts {
    uint64_t events = 0;   // events taken (of every kind)
    uint64_t missed = 0;   // events the reader lost
    uint64_t clamped = 0;  // events stamped before what was already written
    uint64_t changes = 0;  // value changes written (the initial values not counted)
};

class Writer {
public:
    using Sink = std::function<void(const std::string &)>;

    // Writes the header; the initial values are the board's status at
    // start_ns (CLOCK_MONOTONIC), which is time 0 of the capture.
    Writer(const Options &options, const board::Status &initial, uint64_t start_ns, Sink sink);

    // One event, in time order.  An event stamped before the start is part
    // of the initial values; one stamped before what was already written is
    // put at that time, with a note.
    void event(const board::Event &e);
    // The PWM outputs up to time (but no further than the next event will
    // need them); the caller calls it as time goes by.
    void advance(uint64_t time_ns);
    // n events lost just before time: a note there.
    void missed(uint64_t n, uint64_t time_ns);
    // The wires set as the status says (after missed events), at time.
    // True when some wire was wrong.
    bool resync(const board::Status &st, uint64_t time_ns);
    // The PWM outputs up to end_ns, the final timestamp, and a closing
    // comment; nothing may be written after.
    void finish(uint64_t end_ns);

    const Counts &counts() const { return counts_; }
    // Whether an event changed pin p's level since the start.
    bool pin_changed(int p) const { return p >= 0 && p < board::kPins && pin_changed_[p]; }
    // The time (CLOCK_MONOTONIC) the capture has been written up to.
    uint64_t written_to() const { return last_ns_; }

private:
    struct Wire {
        std::string name;
        int width;
        std::string id;
        uint32_t value;    // kX for x
        uint32_t written;  // what the file shows now
        bool dirty;
    };
    struct Channel {
        board::Pwm regs;
        int running, cr, dcr, pcr, out, too_fast;  // wire indexes (-1: none)
        uint64_t period_start, period_ns, high_ns;
        bool toggling;     // edges to come
        bool high;         // in the high part of the period
        uint64_t next_ns;  // the next edge
    };
    static constexpr uint32_t kX = 0xffffffffu;

    int add_wire(const std::string &name, int width);
    void set(int wire, uint32_t value);
    void set_status(const board::Status &st);
    void set_pwm(int c, const board::Pwm &p);
    void restart(int c, uint64_t at_ns);
    uint64_t units(uint64_t ns) const;
    void move_to(uint64_t ns);
    void flush(bool timestamp);
    void note(const std::string &text);
    void out(const std::string &text);
    void value_line(const Wire &w, uint32_t v);
    void emit_edges(uint64_t up_to_ns);

    Options opt_;
    Sink sink_;
    std::string buf_;
    std::vector<Wire> wires_;
    std::vector<int> dirty_;
    int pin_wire_[board::kPins];
    bool pin_changed_[board::kPins] = {};
    Channel ch_[board::kChannels];
    int power_, present_;
    uint64_t start_ns_;
    uint64_t last_ns_;       // the time of the last thing taken
    uint64_t block_units_;   // the timestamp being written
    bool dumped_;            // $dumpvars written
    bool block_stamped_;     // the "#" line of block_units_ written
    bool finished_;
    std::vector<std::string> deferred_;
    uint64_t deferred_dropped_;
    Counts counts_;
};

// Copies a finished capture of this writer from fd (read from its start)
// to sink without the wires of the pins keep leaves out: their $var lines
// and their values.  False (errno set) when fd cannot be read.
bool keep_pins(int fd, const bool (&keep)[board::kPins], const Writer::Sink &sink);

}  // namespace vcd
