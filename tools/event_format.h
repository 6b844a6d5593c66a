// The board's events as people and scripts read them: which ones to show
// (pins, edges, requests) and how to write each as one line, plain or after
// a format of the user's.  Pure code over board::Event, shared by
// 'board watch' and the Control Panel's board view.
#pragma once

#include "board/events.h"
#include "board/pin_names.h"

#include <cstdint>
#include <string>
#include <vector>

namespace watch {

enum class Edges { Both, Rising, Falling };

// Which events show.  Board-wide events (PWM, power, the device, faults, a
// reset) always show; pin events only for the pins chosen.
struct Filter {
    bool pins[board::kPins];
    Edges edges = Edges::Both;  // among the pins' level changes
    bool active_low = false;    // levels inverted, for the edges too
    bool requests = false;      // pin reads and writes that changed nothing
    Filter();                   // every pin
};

bool shows(const Filter &f, const board::Event &e);

// "rising" or "falling" for a pin's level change, as shown (active-low
// inverts it); "-" for any other event.
const char *edge_name(const board::Event &e, bool active_low);

// "request", "outside" or "system".
const char *cause_name(board::Cause c);

// What happened, without time, cause or process: "pin 5 rising",
// "pin 3 read 1", "pin 3 write 0", "pwm 0 set cr=16 dcr=256 pcr=512 running",
// "power off", "device unplugged", "fault armed", "fault raised", "reset".
std::string describe(const board::Event &e, bool active_low);

// Nanoseconds as seconds.nanoseconds: "1234.567890123".
std::string clock_text(uint64_t ns);

// A time before (negative) or after another, in seconds to the
// millisecond: "-0.050s", "0.000s".
std::string relative_text(int64_t ns);

// "missed 120 events", "missed 1 event".
std::string missed_line(uint64_t n);

// A wall-clock time in ISO 8601 to the nanosecond, from nanoseconds since
// 1970: "2026-03-01T12:00:00.000000001Z" (utc), or the local time with its
// offset, "2026-03-01T13:00:00.000000001+01:00".
std::string iso_text(uint64_t ns, bool utc);

// How times are written: seconds.nanoseconds (of the monotonic clock, or
// since 1970 with a shift), or ISO 8601.
enum class Clock { Seconds, Utc, Local };

// How an event's fields are written: active_low as in Filter; shift is
// added to the event's time before it is written (0: the monotonic clock);
// names, when set, the pins' names.
struct Shown {
    bool active_low = false;
    int64_t shift = 0;
    Clock clock = Clock::Seconds;
    const board::pin_names::Names *names = nullptr;
};

// The event's time as how says.
std::string time_text(const board::Event &e, const Shown &how);

// The plain line: "1234.567890123 pin 5 rising request pid=4242", and
// " name=NAME" at the end for a pin with a name.
std::string plain_line(const board::Event &e, const Shown &how);

// A format for lines of the user's: text with specifiers
//   %o pin or channel   %e edge, 1 rising 0 falling   %s seconds   %n nanoseconds
//   %t time   %l pin's name   %k kind   %i lane.seq   %v level   %E edge name
//   %C cause  %P pid   %d description   %% a percent sign
// Fields an event has not are written "-".
class Format {
public:
    // false, with *error saying what is wrong (an unknown specifier, a '%'
    // at the end), when fmt is no format.
    bool compile(const std::string &fmt, std::string *error);
    std::string render(const board::Event &e, const Shown &how) const;
    // The report of n events lost, as FMT writes it: %k "missed", %v n,
    // %d "missed N events", the time's letters at time; the rest "-".
    std::string render_missed(uint64_t n, uint64_t time, const Shown &how) const;

private:
    // e, or the report of missed events lost when e is null.
    std::string render_fields(const board::Event *e, uint64_t missed, uint64_t time, const Shown &how) const;
    struct Piece {
        char letter;         // 0: literal text
        std::string text;
    };
    std::vector<Piece> pieces_;
};

// The specifiers and what they write, for help texts.
extern const char kFormatHelp[];

}  // namespace watch
