// The layout of the board's state file, board.state, and the atomic access
// every room of the board reads and writes it with.  The file is mapped
// whole into every process on the board; its fields keep their place from
// one build to the next of the same version (see the asserts below).
#pragma once

#ifndef CEBOARD_INTERNAL
#error "a private header of the board: use its public headers (board/include/board)"
#endif

#include "board/board.h"
#include "board/events.h"

#include <cstddef>
#include <cstdint>

namespace board {
namespace internal {

constexpr uint32_t kMagic = 0x44524142;  // "BARD"
constexpr uint32_t kVersion = 3;

constexpr uint32_t kSerialAsImage = 0, kSerialOn = 1, kSerialOff = 2;

// The state file in the board folder, and the fresh one written aside.
constexpr char kStateFile[] = "board.state";
constexpr char kStateNew[] = "board.state.new";

// What threads on different cores write is kept this far apart: a cache
// line, and its neighbour too, which the processor fetches with it.
constexpr size_t kApart = 128;

// The request counter is kept in shards, each on a cache line of its own, so
// that threads on different cores do not take one line from each other on
// every request; the count is their sum.
constexpr int kCounterShards = 8;
struct alignas(kApart) Counter {
    uint64_t n;
};
// No shard counts this many: at a billion requests a second it would take
// two years.  A shard beyond it was written by something else.
constexpr uint64_t kMaxShardRequests = uint64_t(1) << 56;

// A PWM channel's registers packed in one word, so that a request changes
// them, and a reader reads them, in one atomic step: cr in bits 0-5, dcr in
// 6-15, pcr in 16-25, running in bit 26.  The bits above are never set.
constexpr uint32_t kPwmRunning = 1u << 26;
constexpr uint32_t kPwmUnused = ~((1u << 27) - 1);
inline uint32_t pwm_pack(uint32_t cr, uint32_t dcr, uint32_t pcr) { return cr | dcr << 6 | pcr << 16; }
inline Pwm pwm_unpack(uint32_t w)
{
    return Pwm{(w & kPwmRunning) != 0, w & 63, (w >> 6) & 1023, (w >> 16) & 1023};
}

// A pin, on a cache line of its own: threads driving different pins on
// different cores do not take a line from each other.
struct alignas(kApart) PinLine {
    int8_t driven;    // 0 or 1
    int8_t external;  // -1: none applied, else 0 or 1
    uint8_t touched;  // 0 or 1
};

// How readers of events sleep until an event is written, and hold writers
// back rather than lose events.  word is the futex readers sleep on: bit 0
// (kReaderAsleep) is set by a reader about to sleep, and only a writer
// that finds it set changes the word and wakes them, so the pin path makes
// no system call while nobody sleeps.  held has bit i set while
// keepers[i] belongs to a reader that writers wait for.  On a line of its
// own: every writer reads it, and it changes only as readers sleep.
constexpr uint32_t kReaderAsleep = 1;
struct alignas(kApart) Waking {
    uint32_t word;
    uint32_t held;
};
// A reader that writers wait for, and where it is in each lane: a writer
// does not overwrite an event such a reader has not read, unless the
// reader leaves it waiting for kKeeperStalls (stopped, or killed), when
// the reader is let go (its bit in Waking::held cleared) and it counts
// what it missed, as any reader does.
constexpr int kKeepers = 8;
// No process id is larger (the kernel's limit, PID_MAX_LIMIT).
constexpr int32_t kMaxPid = 1 << 22;
constexpr uint64_t kKeeperStalls = 50 * 1000000ull;
struct alignas(kApart) Keeper {
    int32_t pid;
    uint32_t unused;
    uint64_t next[kEventLanes];
};

// The state's fields.  Every one is a word (or byte) that is valid on its
// own and is only ever read and written atomically, so no request needs a
// lock and a process killed at any instruction leaves a valid state.  The
// first line holds what every open and request reads (and seldom anybody
// writes), the pins' lines follow, then the counter shards.  New fields go
// at the end: they take their room from State::room.
struct Fields {
    uint32_t magic;
    uint32_t version;
    uint32_t plugged;
    uint32_t powered;
    uint32_t fault_armed;
    uint32_t ras_absent;  // bit i: RAS device i of kRasDevices is taken away
    uint32_t pwm[kChannels];
    // The serial debug port for the current start: kSerialAsImage until a
    // boot has decided (the image starts with it on), then on or off.
    uint32_t serial_port;
    // For tests: until hold (monotonic seconds + 1; 0: none) every request
    // waits before it answers, so a test killed while it held them leaves
    // the board held for a minute at most;
    // held counts the requests waiting so.
    uint32_t hold;
    uint32_t held;
    uint32_t unused;
    // Tells this board from the one a reset puts in its place (for the
    // readers of events, whose numbers start again).  Always odd.
    uint64_t id;
    // Until this time (monotonic nanoseconds) some reader of events wants
    // the requests that change nothing as well; 0: nobody does.
    uint64_t requests_until;
    PinLine pins[kPins];
    Counter requests[kCounterShards];
    Waking waking;
    Keeper keepers[kKeepers];
};

// Driver handles open per process: the pid on a line of its own (read by
// every open), and the count in shards, one per group of threads, each on
// its own line, so that threads opening and closing at once on different
// cores do not take a line from each other.  A shard's word holds the pid
// it counts for in its low half and the count in its high half, changed
// in one compare-and-swap: a thread whose board was mapped over between
// finding its slot and counting finds another pid there and counts
// nothing.  A close takes its handle off a shard that counts one (its
// thread's own first), so no shard counts below 0 (the process's count is
// the sum of the shards that count for it).  A process keeps its slot for its life; the slot of a process that
// has ended goes to the next process that finds no free one.
struct alignas(kApart) HandleShard {
    uint64_t w;
};
struct HandleSlot {
    alignas(kApart) int32_t pid;
    HandleShard shards[kCounterShards];
};
// No process holds this many driver handles at once (each costs it a
// kernel object of a couple of hundred bytes): a shard, or a slot's sum,
// beyond it either way was written by something else.  (Builds before
// closes took from a counting shard left shards below 0: within the
// bound, they stay valid.)
constexpr int32_t kMaxHandles = 1 << 24;

// One event as the rings keep it.  seq is its number in the lane (from 1),
// written last: 0 while a writer is at work on the slot.
struct EventSlot {
    uint64_t seq;
    uint64_t time;
    uint32_t what;  // kind in bits 0-7, cause 8-11, the pin or channel + 1 in 12-19, check 20-31
    uint32_t now;
    uint32_t before;
    int32_t pid;
};
static_assert(sizeof(EventSlot) == 32, "two events a cache line");

// A lane of events: head counts the events ever begun in it, and event n
// (from 0) lives in slot n % kEventsPerLane.
struct Lane {
    alignas(kApart) uint64_t head;
    alignas(kApart) EventSlot slots[kEventsPerLane];
};

constexpr size_t kFieldsRoom = 12288;
constexpr size_t kPage = 4096;
constexpr size_t kBody = kFieldsRoom + sizeof(HandleSlot) * kHandleSlots + sizeof(Lane) * kEventLanes;

// The state file, mapped whole by every process on the board.
constexpr size_t kStateSize = (kBody + sizeof(uint32_t) + kPage - 1) / kPage * kPage;

// The file's last word repeats the magic: a file cut short by another
// program reads 0 there (the rest of the last page reads as zeros), or the
// page is gone altogether (see the mapping's SIGBUS handler), so an open
// notices either without asking the file's size.
struct State : Fields {
    uint8_t room[kFieldsRoom - sizeof(Fields)];
    HandleSlot handles[kHandleSlots];
    Lane lanes[kEventLanes];
    uint8_t pad[kStateSize - kBody - sizeof(uint32_t)];
    uint32_t tail;
};
static_assert(sizeof(State) == kStateSize, "the state file's size");
static_assert(offsetof(Fields, serial_port) == 32 && offsetof(Fields, pins) == 128 &&
                  sizeof(Fields) + sizeof(State::room) == kFieldsRoom,
              "fields keep their place in the file");

// Every access to the mapped state is atomic: other threads and processes
// change it under our feet.
template <class T> T load(const T &field) { return __atomic_load_n(&field, __ATOMIC_ACQUIRE); }
template <class T> void store(T &field, T value) { __atomic_store_n(&field, value, __ATOMIC_RELEASE); }

// A shard word's halves.
inline int32_t shard_pid(uint64_t w) { return static_cast<int32_t>(w); }
inline int32_t shard_count(uint64_t w) { return static_cast<int32_t>(w >> 32); }
inline uint64_t shard_word(int32_t pid, int32_t count)
{
    return uint64_t(static_cast<uint32_t>(count)) << 32 | static_cast<uint32_t>(pid);
}

}  // namespace internal
}  // namespace board
