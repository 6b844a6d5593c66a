// What happened on the board, in order: every change of a pin's level, of
// a PWM channel, of power and of the device's presence, and every fault,
// as an event written by whichever process made it.  Events live in rings
// in the board's shared state, numbered as they are written, so any number
// of readers in any processes follow them without a lock and without
// slowing the writers: a reader that falls behind learns how many it
// missed.
//
// The rings are kept in lanes, one per group of threads (see thread_slot()
// in board.h): the threads of a process write lanes of their own, so its
// pin path never takes a cache line from another of its threads (threads
// of different processes may share a lane).  Each lane numbers its own
// events from 1; a reader merges the lanes by time.
#pragma once

#ifdef CE_PRODUCT_CODE
#error "product code reaches the board only through the platform (platform/platform.h)"
#endif

#include "board/board.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace board {

enum class EventKind : uint8_t {
    Pin = 1,      // a pin's level changed (which: the pin; level, before)
    Pwm,          // a PWM channel started, stopped or was given registers
                  // (which: the channel; pwm, pwm_before)
    Power,        // level 1: power on, 0: off
    Device,       // level 1: GPI1: plugged in, 0: unplugged
    FaultArmed,   // the next request will raise a fault
    FaultRaised,  // a request raised the armed fault
    Reset,        // the board was reset (the first event of a fresh board)
    // Requests that change nothing, written only while a reader asks for
    // them (EventReader::want_requests): a pin read (level: what it read)
    // and a pin write that left the level as it was.  (A PWM request that
    // changes nothing is then written too, as a Pwm event whose channel is
    // as it was.)
    Read,
    Write,
};

// Who made the change.
enum class Cause : uint8_t {
    Request = 1,  // a driver request (DeviceIoControl on GPI1:)
    Outside,      // from outside the device: 'board input', plug, power, ...
    System,       // by the device's own system: a program powering it off
};

struct Event {
    uint64_t time;   // CLOCK_MONOTONIC, nanoseconds
    unsigned lane;   // the lane it was written in
    uint64_t seq;    // its number in that lane, from 1
    EventKind kind;
    Cause cause;
    int pid;         // the process that wrote it
    int which;       // the pin or the channel; -1 when neither
    int level;       // Pin, Read, Write: the level now; Power, Device: 1 on, 0 off
    int before;      // Pin: the level before
    Pwm pwm;         // Pwm: the channel now
    Pwm pwm_before;  // Pwm: the channel before
};

constexpr unsigned kEventLanes = 8;
constexpr unsigned kEventsPerLane = 256;

// Follows the board's events from the moment it is made: it never sees an
// event written before.  One reader serves one thread.
class EventReader {
public:
    EventReader();
    ~EventReader();
    EventReader(const EventReader &) = delete;
    EventReader &operator=(const EventReader &) = delete;

    // Appends the events written since the last call, in time order (lanes
    // merged), to out, and returns how many were lost to this reader since
    // the last call: overwritten before it read them, or never finished by
    // a writer killed as it wrote.  An event whose writer is still at work
    // is kept for the next call.  A board reset meanwhile: what the old
    // board wrote up to the reset comes first (what could not be read of
    // it is counted missed, at least one event when it was replaced twice
    // since the last call), then the new board's Reset event and what
    // follows.  Throws Error as the board does.
    uint64_t poll(std::vector<Event> &out);

    // What poll found damaged in the board's state since the last call, a
    // line each naming the file and what is wrong; each damage is told
    // once.  A lane whose count of events no writer could have left is
    // followed on at once from where its writers now are (what the reader
    // had not read of it is counted missed); a board whose other fields
    // are damaged while it is followed is told, and its events, each
    // checked on its own, are still handed on.
    std::vector<std::string> damage();

    // While on (and for a second or two after this reader ends), requests
    // that change nothing are written too: pin reads and writes as Read and
    // Write events, PWM requests as Pwm events with the channel unchanged,
    // for a view that shows every request.  Renewed by poll().
    void want_requests(bool on);

    // Sleeps until an event may have been written since the last poll(),
    // or for most_ns at most (or a signal).  Writers wake a reader only
    // while one sleeps: the pin path makes no system call otherwise.
    void wait(uint64_t most_ns);

    // While on, a writer does not overwrite an event this reader has not
    // read yet: it waits for the reader to read on, for a reader that
    // must miss nothing (a watch, a capture).  A reader that keeps a
    // writer waiting 50 ms (stopped, say) is let go: the writers go on,
    // and it counts what it missed as any reader does, then holds them
    // again.  Up to 8 readers on a board hold writers at once; the others
    // read as readers that do not.
    void hold_writers(bool on);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// CLOCK_MONOTONIC now, nanoseconds: the clock events are stamped with.
uint64_t monotonic_now();

// For benchmarks: whether this process writes events (on by default).
void write_events(bool on);
// For tests: writes an event from outside stamped at time, whatever the
// clock says, as a writer that stamps it so would.
void write_test_event(EventKind kind, int which, uint32_t level, uint64_t time);

// "pin", "pwm", "power", "device", "fault-armed", "fault-raised", "reset",
// "read", "write".
const char *kind_name(EventKind k);

}  // namespace board
