// The Value Change Dump writer of 'board record' (see vcd.h).
#include "vcd.h"

#include "common/text.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <unistd.h>

namespace vcd {

uint64_t parse_timescale(const std::string &text)
{
    if (text == "1ns")
        return 1;
    if (text == "1us")
        return 1000;
    if (text == "1ms")
        return 1000000;
    return 0;
}

const char *timescale_name(uint64_t unit_ns)
{
    return unit_ns == 1000000 ? "1ms" : unit_ns == 1000 ? "1us" : "1ns";
}

std::string comment_text(const std::string &text, size_t most)
{
    std::string shown = text::excerpt(text, most), safe;
    for (char c : shown) {
        if (c == '$')
            safe += "\\x24";
        else
            safe += c;
    }
    return safe;
}

namespace {

// Identifier codes: printable ASCII from '!', a second character past 94.
std::string code(size_t i)
{
    std::string s;
    do {
        s += static_cast<char>('!' + i % 94);
        i /= 94;
    } while (i);
    return s;
}

std::string number(uint64_t n)
{
    return std::to_string(static_cast<unsigned long long>(n));
}

bool same(const board::Pwm &a, const board::Pwm &b)
{
    return a.running == b.running && a.cr == b.cr && a.dcr == b.dcr && a.pcr == b.pcr;
}

}  // namespace

std::string pin_wire_name(int pin, const std::string &name)
{
    auto board_wire = [&](const char *prefix) {
        size_t n = std::strlen(prefix);
        return name.compare(0, n, prefix) == 0 && name.size() > n && name[n] >= '0' && name[n] <= '9';
    };
    if (name.empty() || name == "power" || name == "present" || board_wire("pin") || board_wire("pwm"))
        return "pin" + std::to_string(pin);
    return name;
}

Writer::Writer(const Options &options, const board::Status &initial, uint64_t start_ns, Sink sink)
    : opt_(options), sink_(std::move(sink)), power_(-1), present_(-1), start_ns_(start_ns),
      last_ns_(start_ns), block_units_(0), dumped_(false), block_stamped_(false), finished_(false),
      deferred_dropped_(0)
{
    if (opt_.unit_ns == 0)
        opt_.unit_ns = 1;
    for (int &w : pin_wire_)
        w = -1;
    for (int p : opt_.pins)
        if (p >= 0 && p < board::kPins && pin_wire_[p] < 0)
            pin_wire_[p] = add_wire(pin_wire_name(p, p < static_cast<int>(opt_.pin_names.size()) ? opt_.pin_names[p] : ""), 1);
    for (int c = 0; c < board::kChannels; ++c) {
        Channel &ch = ch_[c];
        std::string n = "pwm" + std::to_string(c) + "_";
        ch.regs = board::Pwm{0, 0, 0, 0};
        ch.running = add_wire(n + "running", 1);
        ch.cr = opt_.logic_only ? -1 : add_wire(n + "cr", 6);
        ch.dcr = opt_.logic_only ? -1 : add_wire(n + "dcr", 10);
        ch.pcr = opt_.logic_only ? -1 : add_wire(n + "pcr", 10);
        ch.out = add_wire(n + "out", 1);
        ch.too_fast = add_wire(n + "too_fast", 1);
        ch.period_start = ch.period_ns = ch.high_ns = ch.next_ns = 0;
        ch.toggling = false;
        ch.high = false;
    }
    power_ = add_wire("power", 1);
    present_ = add_wire("present", 1);

    out("$date\n\t" + comment_text(opt_.date) + "\n$end\n");
    out("$version\n\t" + comment_text(opt_.version) + "\n$end\n");
    out("$comment\n\t" + comment_text(opt_.comment, 400) + "\n$end\n");
    out(std::string("$timescale ") + timescale_name(opt_.unit_ns) + " $end\n");
    out("$scope module board $end\n");
    for (const Wire &w : wires_)
        out("$var wire " + std::to_string(w.width) + " " + w.id + " " + w.name + " $end\n");
    out("$upscope $end\n$enddefinitions $end\n");

    set_status(initial);
    for (int c = 0; c < board::kChannels; ++c)
        restart(c, start_ns_);
}

int Writer::add_wire(const std::string &name, int width)
{
    wires_.push_back(Wire{name, width, code(wires_.size()), 0, 0, false});
    return static_cast<int>(wires_.size()) - 1;
}

void Writer::set(int wire, uint32_t value)
{
    if (wire < 0)
        return;
    Wire &w = wires_[wire];
    if (w.value == value)
        return;
    w.value = value;
    if (dumped_ && !w.dirty) {
        w.dirty = true;
        dirty_.push_back(wire);
    }
}

void Writer::set_pwm(int c, const board::Pwm &p)
{
    Channel &ch = ch_[c];
    ch.regs = p;
    set(ch.running, p.running ? 1 : 0);
    set(ch.cr, p.cr);
    set(ch.dcr, p.dcr);
    set(ch.pcr, p.pcr);
}

void Writer::set_status(const board::Status &st)
{
    for (int p = 0; p < board::kPins; ++p)
        set(pin_wire_[p], st.pins[p].level() ? 1 : 0);
    for (int c = 0; c < board::kChannels; ++c)
        set_pwm(c, st.pwm[c]);
    set(power_, st.powered ? 1 : 0);
    set(present_, st.plugged ? 1 : 0);
}

// A new period from at_ns, or a level that stays (see vcd.h).
void Writer::restart(int c, uint64_t at_ns)
{
    Channel &ch = ch_[c];
    const board::Pwm &p = ch.regs;
    ch.toggling = false;
    set(ch.too_fast, 0);
    if (!p.running || p.dcr == 0) {
        set(ch.out, 0);
        return;
    }
    if (p.dcr >= p.pcr + 1) {
        set(ch.out, 1);
        return;
    }
    uint64_t tick = (static_cast<uint64_t>(p.cr) + 1) * 1000;
    ch.period_ns = (static_cast<uint64_t>(p.pcr) + 1) * tick;
    ch.high_ns = static_cast<uint64_t>(p.dcr) * tick;
    if (ch.period_ns < kMinPeriodNs || ch.high_ns < opt_.unit_ns ||
        ch.period_ns - ch.high_ns < opt_.unit_ns) {
        set(ch.out, kX);
        set(ch.too_fast, 1);
        return;
    }
    ch.period_start = at_ns;
    ch.high = true;
    ch.next_ns = at_ns + ch.high_ns;
    ch.toggling = true;
    set(ch.out, 1);
}

uint64_t Writer::units(uint64_t ns) const
{
    return ns <= start_ns_ ? 0 : (ns - start_ns_) / opt_.unit_ns;
}

void Writer::move_to(uint64_t ns)
{
    if (ns < last_ns_)
        ns = last_ns_;
    uint64_t u = units(ns);
    if (u != block_units_) {
        flush(false);
        block_units_ = u;
        block_stamped_ = false;
    }
    last_ns_ = ns;
}

void Writer::value_line(const Wire &w, uint32_t v)
{
    if (w.width == 1) {
        out((v == kX ? "x" : v ? "1" : "0") + w.id + "\n");
        return;
    }
    std::string bits = "b";
    for (int i = w.width - 1; i >= 0; --i)
        bits += (v >> i) & 1 ? '1' : '0';
    out(bits + " " + w.id + "\n");
}

// Writes what changed in the block being written: the "#" line first when
// something did (or when timestamp asks for it), then one line per wire
// whose value is not what the file shows.  The first flush writes the
// initial values.
void Writer::flush(bool timestamp)
{
    if (!dumped_) {
        out("#0\n$dumpvars\n");
        for (Wire &w : wires_) {
            value_line(w, w.value);
            w.written = w.value;
        }
        out("$end\n");
        dumped_ = true;
        block_stamped_ = true;
    }
    for (int i : dirty_) {
        Wire &w = wires_[i];
        w.dirty = false;
        if (w.value == w.written)
            continue;
        if (!block_stamped_) {
            out("#" + number(block_units_) + "\n");
            block_stamped_ = true;
        }
        value_line(w, w.value);
        w.written = w.value;
        ++counts_.changes;
    }
    dirty_.clear();
    if (timestamp && !block_stamped_) {
        out("#" + number(block_units_) + "\n");
        block_stamped_ = true;
    }
}

void Writer::note(const std::string &text)
{
    if (opt_.logic_only) {
        // Some readers stop at a comment among the values: kept for the end.
        if (deferred_.size() < kMaxDeferredNotes)
            deferred_.push_back("at #" + number(block_units_) + ": " + text);
        else
            ++deferred_dropped_;
        return;
    }
    flush(true);
    out("$comment " + comment_text(text) + " $end\n");
}

void Writer::out(const std::string &text)
{
    buf_ += text;
    if (buf_.size() >= kChunk) {
        sink_(buf_);
        buf_.clear();
    }
}

// The PWM outputs' edges up to up_to_ns, in time order across channels.
void Writer::emit_edges(uint64_t up_to_ns)
{
    for (;;) {
        int next = -1;
        for (int c = 0; c < board::kChannels; ++c)
            if (ch_[c].toggling && ch_[c].next_ns <= up_to_ns &&
                (next < 0 || ch_[c].next_ns < ch_[next].next_ns))
                next = c;
        if (next < 0)
            return;
        Channel &ch = ch_[next];
        move_to(ch.next_ns);
        if (ch.high) {
            ch.high = false;
            ch.next_ns = ch.period_start + ch.period_ns;
            set(ch.out, 0);
        } else {
            ch.period_start += ch.period_ns;
            ch.high = true;
            ch.next_ns = ch.period_start + ch.high_ns;
            set(ch.out, 1);
        }
    }
}

void Writer::event(const board::Event &e)
{
    if (finished_)
        return;
    ++counts_.events;
    uint64_t t = e.time < start_ns_ ? start_ns_ : e.time;
    bool late = t < last_ns_;
    if (late) {
        ++counts_.clamped;
        t = last_ns_;
    }
    emit_edges(t);
    move_to(t);
    if (late)
        note("an event of process " + std::to_string(e.pid) + " stamped " +
             number(last_ns_ - e.time) + " ns before what was already written is put here");
    bool channel = e.which >= 0 && e.which < board::kChannels;
    switch (e.kind) {
    case board::EventKind::Pin:
        if (e.which >= 0 && e.which < board::kPins) {
            set(pin_wire_[e.which], e.level ? 1 : 0);
            pin_changed_[e.which] = true;
        }
        break;
    case board::EventKind::Pwm:
        if (channel && !same(ch_[e.which].regs, e.pwm)) {
            set_pwm(e.which, e.pwm);
            restart(e.which, t);
        }
        break;
    case board::EventKind::Power:
        set(power_, e.level ? 1 : 0);
        break;
    case board::EventKind::Device:
        set(present_, e.level ? 1 : 0);
        break;
    case board::EventKind::FaultArmed:
        note("fault armed: the next request raises a fault");
        break;
    case board::EventKind::FaultRaised:
        note("fault raised by a request of process " + std::to_string(e.pid));
        break;
    case board::EventKind::Reset: {
        // A fresh board: every pin pulled up, the channels stopped, power on,
        // GPI1: present.
        board::Status fresh{};
        fresh.plugged = fresh.powered = true;
        for (board::Pin &p : fresh.pins)
            p = board::Pin{1, -1, false};
        set_status(fresh);
        for (int c = 0; c < board::kChannels; ++c)
            restart(c, t);
        note("board reset");
        break;
    }
    default:  // reads and writes that change nothing
        break;
    }
}

void Writer::advance(uint64_t time_ns)
{
    if (!finished_)
        emit_edges(time_ns);
}

void Writer::missed(uint64_t n, uint64_t time_ns)
{
    if (finished_ || n == 0)
        return;
    counts_.missed += n;
    emit_edges(time_ns);
    move_to(time_ns);
    note(number(n) + " events missed here (the recording fell behind)");
}

bool Writer::resync(const board::Status &st, uint64_t time_ns)
{
    if (finished_)
        return false;
    emit_edges(time_ns);
    move_to(time_ns);
    bool wrong = false;
    for (int p = 0; p < board::kPins; ++p) {
        int w = pin_wire_[p];
        wrong = wrong || (w >= 0 && wires_[w].value != static_cast<uint32_t>(st.pins[p].level() ? 1 : 0));
    }
    wrong = wrong || wires_[power_].value != (st.powered ? 1u : 0u) ||
            wires_[present_].value != (st.plugged ? 1u : 0u);
    for (int c = 0; c < board::kChannels; ++c)
        if (!same(ch_[c].regs, st.pwm[c])) {
            wrong = true;
            set_pwm(c, st.pwm[c]);
            restart(c, last_ns_);
        }
    set_status(st);
    if (wrong)
        note("wires set again from the board's state");
    return wrong;
}

void Writer::finish(uint64_t end_ns)
{
    if (finished_)
        return;
    emit_edges(end_ns);
    move_to(end_ns);
    flush(true);
    for (const std::string &n : deferred_)
        out("$comment " + comment_text(n) + " $end\n");
    if (deferred_dropped_)
        out("$comment " + number(deferred_dropped_) + " more notes like these $end\n");
    out("$comment capture ended: " + number(counts_.events) + " events, " + number(counts_.missed) +
        " missed, " + number(counts_.clamped) + " put later than stamped $end\n");
    finished_ = true;
    if (!buf_.empty())
        sink_(buf_);
    buf_.clear();
}

bool keep_pins(int fd, const bool (&keep)[board::kPins], const Writer::Sink &sink)
{
    std::set<std::string> dropped;  // the codes of the pins left out
    bool header = true;
    std::string line, out;
    auto take = [&](const std::string &l) {
        if (header) {
            // "$var wire 1 CODE pinN $end", as the writer writes it.
            char code[8], name[16];
            int pin;
            if (std::sscanf(l.c_str(), "$var wire 1 %7s %15s $end", code, name) == 2 &&
                std::sscanf(name, "pin%d", &pin) == 1 && pin >= 0 && pin < board::kPins &&
                name == "pin" + std::to_string(pin) && !keep[pin]) {
                dropped.insert(code);
                return;
            }
            header = l != "$upscope $end";
        } else if (!l.empty() && (l[0] == '0' || l[0] == '1' || l[0] == 'x') && dropped.count(l.substr(1))) {
            return;
        }
        out += l;
        out += '\n';
        if (out.size() >= kChunk) {
            sink(out);
            out.clear();
        }
    };
    char buf[64 * 1024];
    for (off_t at = 0;;) {
        ssize_t n = pread(fd, buf, sizeof buf, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        at += n;
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] == '\n') {
                take(line);
                line.clear();
            } else {
                line += buf[i];
            }
        }
    }
    if (!line.empty())
        take(line);
    if (!out.empty())
        sink(out);
    return true;
}

}  // namespace vcd
