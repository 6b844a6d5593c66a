// The board's events written as lines (event_format.h): plain, or after a
// format of the user's, and which of them a filter lets through.
#include "event_format.h"

#include <cinttypes>
#include <cstdio>
#include <ctime>

namespace watch {

using board::Event;
using board::EventKind;

Filter::Filter()
{
    for (bool &p : pins)
        p = true;
}

namespace {

bool about_a_pin(EventKind k)
{
    return k == EventKind::Pin || k == EventKind::Read || k == EventKind::Write;
}

int shown_level(int level, bool active_low) { return active_low ? !level : level != 0; }

std::string number(long long n) { return std::to_string(n); }

}  // namespace

const char *edge_name(const Event &e, bool active_low)
{
    if (e.kind != EventKind::Pin)
        return "-";
    int now = shown_level(e.level, active_low), before = shown_level(e.before, active_low);
    return now > before ? "rising" : now < before ? "falling" : "-";
}

bool shows(const Filter &f, const Event &e)
{
    if (!about_a_pin(e.kind))
        return true;
    if (e.which < 0 || e.which >= board::kPins || !f.pins[e.which])
        return false;
    if (e.kind != EventKind::Pin)
        return f.requests;
    if (f.edges == Edges::Both)
        return true;
    std::string edge = edge_name(e, f.active_low);
    return edge == (f.edges == Edges::Rising ? "rising" : "falling");
}

const char *cause_name(board::Cause c)
{
    switch (c) {
    case board::Cause::Request: return "request";
    case board::Cause::Outside: return "outside";
    case board::Cause::System: return "system";
    }
    return "-";
}

std::string describe(const Event &e, bool active_low)
{
    std::string which = number(e.which);
    switch (e.kind) {
    case EventKind::Pin: {
        std::string edge = edge_name(e, active_low);
        // A level written again unchanged is no edge; say where it is.
        return "pin " + which + " " + (edge == "-" ? "level " + number(shown_level(e.level, active_low)) : edge);
    }
    case EventKind::Read:
        return "pin " + which + " read " + number(shown_level(e.level, active_low));
    case EventKind::Write:
        return "pin " + which + " write " + number(shown_level(e.level, active_low));
    case EventKind::Pwm: {
        const char *what = !e.pwm_before.running && e.pwm.running  ? "start"
                           : e.pwm_before.running && !e.pwm.running ? "stop"
                                                                    : "set";
        return "pwm " + which + " " + what + " cr=" + number(e.pwm.cr) + " dcr=" + number(e.pwm.dcr) +
               " pcr=" + number(e.pwm.pcr) + (e.pwm.running ? " running" : " stopped");
    }
    case EventKind::Power:
        return e.level ? "power on" : "power off";
    case EventKind::Device:
        return e.level ? "device plugged" : "device unplugged";
    case EventKind::FaultArmed:
        return "fault armed";
    case EventKind::FaultRaised:
        return "fault raised";
    case EventKind::Reset:
        return "reset";
    }
    return "event " + number(static_cast<int>(e.kind));
}

std::string clock_text(uint64_t ns)
{
    char buf[48];
    std::snprintf(buf, sizeof buf, "%" PRIu64 ".%09" PRIu64, ns / 1000000000u, ns % 1000000000u);
    return buf;
}

std::string relative_text(int64_t ns)
{
    // Rounded to the millisecond, away from zero on the half.
    uint64_t mag = ns < 0 ? 0 - static_cast<uint64_t>(ns) : static_cast<uint64_t>(ns);
    uint64_t ms = (mag + 500000) / 1000000;
    char buf[48];
    std::snprintf(buf, sizeof buf, "%s%" PRIu64 ".%03" PRIu64 "s", ns < 0 && ms ? "-" : "", ms / 1000, ms % 1000);
    return buf;
}

std::string missed_line(uint64_t n)
{
    return "missed " + std::to_string(n) + (n == 1 ? " event" : " events");
}

namespace {

uint64_t shifted(uint64_t time, const Shown &how)
{
    return time + static_cast<uint64_t>(how.shift);  // wraps as signed addition would
}

std::string time_at(uint64_t time, const Shown &how)
{
    uint64_t t = shifted(time, how);
    return how.clock == Clock::Seconds ? clock_text(t) : iso_text(t, how.clock == Clock::Utc);
}

}  // namespace

std::string iso_text(uint64_t ns, bool utc)
{
    time_t secs = static_cast<time_t>(ns / 1000000000u);
    struct tm tm {};
    if (!(utc ? gmtime_r(&secs, &tm) : localtime_r(&secs, &tm)))
        return clock_text(ns);
    char date[40], zone[48] = "Z";
    strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &tm);
    if (!utc) {
        long off = tm.tm_gmtoff, mag = (off < 0 ? -off : off) % 86400;
        std::snprintf(zone, sizeof zone, "%c%02ld:%02ld", off < 0 ? '-' : '+', mag / 3600, mag / 60 % 60);
    }
    char frac[16];
    std::snprintf(frac, sizeof frac, ".%09" PRIu64, ns % 1000000000u);
    return std::string(date) + frac + zone;
}

std::string time_text(const Event &e, const Shown &how) { return time_at(e.time, how); }

namespace {

// The pin's name; "" for none, or for an event of no pin.
std::string name_of(const Event &e, const Shown &how)
{
    if (!how.names || !about_a_pin(e.kind) || e.which < 0 || e.which >= board::kPins)
        return std::string();
    return how.names->of[e.which];
}

}  // namespace

std::string plain_line(const Event &e, const Shown &how)
{
    std::string name = name_of(e, how);
    return time_text(e, how) + " " + describe(e, how.active_low) + " " + cause_name(e.cause) +
           " pid=" + number(e.pid) + (name.empty() ? "" : " name=" + name);
}

// One letter a line: help2man reads each as an entry of the man page.
const char kFormatHelp[] =
    "  %o  the pin or the PWM channel\n"
    "  %e  the edge: 1 rising, 0 falling\n"
    "  %s  the time's seconds\n"
    "  %n  its nanoseconds (9 digits)\n"
    "  %t  the time, as the clock option says\n"
    "  %l  the pin's name\n"
    "  %k  the kind (pin, pwm, power, device, fault-armed, fault-raised, reset,\n"
    "      read, write)\n"
    "  %i  lane.seq, the event's number\n"
    "  %v  the level (pins: as shown; power, device: 1 on, 0 off)\n"
    "  %E  the edge: rising or falling\n"
    "  %C  the cause: request, outside or system\n"
    "  %P  the process that made it\n"
    "  %d  the plain description\n"
    "  %%  a percent sign\n"
    "A field an event does not have is written '-'.  Events lost (the watcher\n"
    "fell behind) are a line of FMT too: %k missed, %v how many, %d 'missed N\n"
    "events', the time that of the first event after them; the rest '-'.\n";

namespace {
const char kLetters[] = "oesntlkivECPd";
}  // namespace

bool Format::compile(const std::string &fmt, std::string *error)
{
    pieces_.clear();
    std::string text;
    for (size_t i = 0; i < fmt.size(); ++i) {
        if (fmt[i] != '%') {
            text += fmt[i];
            continue;
        }
        if (i + 1 == fmt.size()) {
            *error = "the format ends in a lone '%' (write %% for a percent sign)";
            return false;
        }
        char letter = fmt[++i];
        if (letter == '%') {
            text += '%';
            continue;
        }
        if (std::string(kLetters).find(letter) == std::string::npos) {
            unsigned char c = static_cast<unsigned char>(letter);
            char shown[8];
            std::snprintf(shown, sizeof shown, c >= 0x21 && c < 0x7f ? "%%%c" : "%%\\x%02X", c);
            *error = std::string("unknown specifier ") + shown + " in the format";
            return false;
        }
        if (!text.empty())
            pieces_.push_back(Piece{0, text});
        text.clear();
        pieces_.push_back(Piece{letter, std::string()});
    }
    if (!text.empty())
        pieces_.push_back(Piece{0, text});
    return true;
}

std::string Format::render(const Event &e, const Shown &how) const { return render_fields(&e, 0, e.time, how); }

std::string Format::render_missed(uint64_t n, uint64_t time, const Shown &how) const
{
    return render_fields(nullptr, n, time, how);
}

std::string Format::render_fields(const Event *ev, uint64_t missed, uint64_t time, const Shown &how) const
{
    std::string out;
    for (const Piece &p : pieces_) {
        // The time's letters are every line's; a report of missed events
        // has only its kind, its count and its description besides.
        switch (p.letter) {
        case 0: out += p.text; continue;
        case 's': out += std::to_string(shifted(time, how) / 1000000000u); continue;
        case 'n': {
            char ns[16];
            std::snprintf(ns, sizeof ns, "%09" PRIu64, shifted(time, how) % 1000000000u);
            out += ns;
            continue;
        }
        case 't': out += time_at(time, how); continue;
        }
        if (!ev) {
            out += p.letter == 'k' ? std::string("missed")
                   : p.letter == 'v' ? std::to_string(missed)
                   : p.letter == 'd' ? missed_line(missed)
                                     : std::string("-");
            continue;
        }
        const Event &e = *ev;
        switch (p.letter) {
        case 'o': out += e.which >= 0 ? number(e.which) : "-"; break;
        case 'e': {
            std::string edge = edge_name(e, how.active_low);
            out += edge == "rising" ? "1" : edge == "falling" ? "0" : "-";
            break;
        }
        case 'l': {
            std::string name = name_of(e, how);
            out += name.empty() ? "-" : name;
            break;
        }
        case 'k': out += board::kind_name(e.kind); break;
        case 'i': out += number(e.lane) + "." + number(static_cast<long long>(e.seq)); break;
        case 'v':
            if (about_a_pin(e.kind))
                out += number(shown_level(e.level, how.active_low));
            else if (e.kind == EventKind::Power || e.kind == EventKind::Device)
                out += number(e.level != 0);
            else
                out += "-";
            break;
        case 'E': out += edge_name(e, how.active_low); break;
        case 'C': out += cause_name(e.cause); break;
        case 'P': out += number(e.pid); break;
        case 'd': out += describe(e, how.active_low); break;
        }
    }
    return out;
}

}  // namespace watch
