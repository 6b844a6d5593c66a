// The board's events (events.h): the writer that puts an event in its
// thread's lane of the ring without a lock, and the reader that follows
// the lanes, merges them by time and counts what it lost.  Writer and
// reader stay in one file, past 500 lines: each step of the one protocol
// (claim, fill, publish, wake; look, take, hand on) reads against its
// other side.
#include "internal.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <ctime>
#include <linux/futex.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace board {
namespace internal {
namespace {

std::atomic<bool> g_write_events{true};

// How often EventReader::poll renews a reader's wish for requests.
constexpr uint64_t kWishRenew = 500 * 1000000ull;

constexpr uint32_t kWhatFields = (1u << 20) - 1;

uint32_t pack_what(EventKind kind, Cause cause, int which)
{
    return uint32_t(kind) | uint32_t(cause) << 8 | uint32_t(which + 1) << 12;
}

// A check over a slot's number and fields.  Threads of different
// processes can share a lane, so a writer held up for a whole turn of the
// ring can still be storing into a slot another writer has published since:
// the number then reads the same before and after, and only the check
// tells a mix of the two events from either.
uint32_t slot_check(uint64_t seq, uint64_t time, uint32_t what, uint32_t now, uint32_t before, int32_t pid)
{
    uint64_t h = seq * 0x9E3779B97F4A7C15ull ^ time;
    h = (h ^ (uint64_t(now) << 32 | before)) * 0xC2B2AE3D27D4EB4Full;
    h = (h ^ (uint64_t(static_cast<uint32_t>(pid)) << 20 | (what & kWhatFields))) * 0x165667B19E3779F9ull;
    return static_cast<uint32_t>(h >> 52) << 20;
}

// The futex of the state file's mapping, shared between processes.
long futex(uint32_t *word, int op, uint32_t value, const timespec *timeout)
{
    return syscall(SYS_futex, word, op, value, timeout, nullptr, 0);
}

constexpr uint32_t kKeeperBits = (1u << kKeepers) - 1;
// What a writer leaves free in a lane for the writers that claim beside it.
constexpr uint64_t kRoom = kEventsPerLane - 32;

// Wakes the readers asleep on s, when one is: only the writer that clears
// the bit makes the system call.
void wake_readers(State *s)
{
    uint32_t w = __atomic_load_n(&s->waking.word, __ATOMIC_SEQ_CST);
    if (!(w & kReaderAsleep))
        return;
    if (__atomic_compare_exchange_n(&s->waking.word, &w, (w + 2) & ~kReaderAsleep, false, __ATOMIC_SEQ_CST,
                                    __ATOMIC_RELAXED))
        futex(&s->waking.word, FUTEX_WAKE, INT_MAX, nullptr);
}

// Whether a writer claiming event n must wait for a reader at next: not
// when the reader is ahead (a place past the head is damage, and not
// trusted to hold writers).
bool must_wait(uint64_t n, uint64_t next) { return n >= next && n - next >= kRoom; }

// Waits until every reader that holds writers back has read far enough
// in lane i for event n, and a few claimed beside it, to take a slot; a reader that keeps it waiting
// kKeeperStalls is let go.  A reader of this process is not waited for:
// it may be the thread that waits.
void wait_for_keepers(State *s, unsigned i, uint64_t n, uint32_t held)
{
    int32_t me = my_pid();
    for (int k = 0; k < kKeepers; ++k) {
        if (!(held & (1u << k)))
            continue;
        Keeper &r = s->keepers[k];
        if (!must_wait(n, load(r.next[i])) || load(r.pid) == me)
            continue;
        uint64_t since = monotonic_now();
        for (unsigned tries = 0; must_wait(n, load(r.next[i])); ++tries) {
            if (!(load(s->waking.held) & (1u << k)))
                break;
            wake_readers(s);
            if (tries < 64) {
                sched_yield();
                continue;
            }
            if (monotonic_now() - since >= kKeeperStalls) {
                __atomic_fetch_and(&s->waking.held, ~(1u << k), __ATOMIC_ACQ_REL);
                break;
            }
            timespec pause = {0, 20000};
            nanosleep(&pause, nullptr);
        }
    }
}

}  // namespace

// Claims the lane's next number, marks the slot as being written, fills
// it, then publishes its number.  Readers take what they read of a slot
// only when they read the same number before and after, so a slot being
// rewritten is never taken for a whole event.  A writer killed half-way
// leaves a slot marked 0, which readers count as missed.
void write_event(State *s, EventKind kind, Cause cause, int which, uint32_t now, uint32_t before,
                 uint64_t stamp)
{
    if (!g_write_events.load(std::memory_order_relaxed))
        return;
    unsigned i = thread_slot() % kEventLanes;
    Lane &lane = s->lanes[i];
    // The claim is ordered before the look at the readers asleep (see
    // EventReader::wait): a reader that finds no claim is woken.
    // Room is waited for before the claim: a claim ahead of a reader by
    // more than a lane holds is, to the reader, events lost.
    if (uint32_t held = load(s->waking.held) & kKeeperBits)
        wait_for_keepers(s, i, load(lane.head), held);
    uint64_t n = __atomic_fetch_add(&lane.head, 1, __ATOMIC_SEQ_CST);
    EventSlot &e = lane.slots[n % kEventsPerLane];
    uint64_t time = stamp ? stamp : monotonic_now();
    uint32_t what = pack_what(kind, cause, which);
    int32_t pid = request_pid();
    what |= slot_check(n + 1, time, what, now, before, pid);
    // Each field is stored after the mark (release), and the number after
    // them all.
    __atomic_store_n(&e.seq, uint64_t(0), __ATOMIC_RELAXED);
    __atomic_store_n(&e.time, time, __ATOMIC_RELEASE);
    __atomic_store_n(&e.what, what, __ATOMIC_RELEASE);
    __atomic_store_n(&e.now, now, __ATOMIC_RELEASE);
    __atomic_store_n(&e.before, before, __ATOMIC_RELEASE);
    __atomic_store_n(&e.pid, pid, __ATOMIC_RELEASE);
    __atomic_store_n(&e.seq, n + 1, __ATOMIC_RELEASE);
    wake_readers(s);
}

void wake_retired_readers(int fd, off_t size)
{
    if (size < 0 || static_cast<size_t>(size) < sizeof(State))
        return;  // cut short: no reader maps it as a board
    // The readers sleep on the file's page, whichever process maps it.
    void *m = mmap(nullptr, sizeof(State), PROT_READ, MAP_SHARED, fd, 0);
    if (m == MAP_FAILED)
        return;  // they notice on their next look at the name
    futex(&static_cast<State *>(m)->waking.word, FUTEX_WAKE, INT_MAX, nullptr);
    munmap(m, sizeof(State));
}

namespace {

// The event in a slot, when the slot holds event number seq of its lane
// whole and it reads as an event the board writes.
enum class Slot { Read, Busy, Overwritten, Damaged };
Slot read_slot(const EventSlot &e, unsigned lane, uint64_t seq, uint64_t read_at, Event *out)
{
    uint64_t first = __atomic_load_n(&e.seq, __ATOMIC_ACQUIRE);
    if (first > seq)
        return Slot::Overwritten;
    if (first != seq)
        return Slot::Busy;  // not yet written, or being written
    // Each field is read before the number is read again (acquire).
    uint64_t time = __atomic_load_n(&e.time, __ATOMIC_ACQUIRE);
    uint32_t what = __atomic_load_n(&e.what, __ATOMIC_ACQUIRE);
    uint32_t now = __atomic_load_n(&e.now, __ATOMIC_ACQUIRE);
    uint32_t before = __atomic_load_n(&e.before, __ATOMIC_ACQUIRE);
    int32_t pid = __atomic_load_n(&e.pid, __ATOMIC_ACQUIRE);
    if (__atomic_load_n(&e.seq, __ATOMIC_ACQUIRE) != seq)
        return Slot::Overwritten;
    if ((what & ~kWhatFields) != slot_check(seq, time, what, now, before, pid))
        return Slot::Damaged;
    unsigned kind = what & 0xFF, cause = (what >> 8) & 0xF;
    int which = static_cast<int>((what >> 12) & 0xFF) - 1;
    // The clock is the system's, the same for every process: no writer
    // stamps an event later than the reader's now (a second allows for a
    // reader that read its clock a little before).
    if (time > read_at + 1000000000ull)
        return Slot::Damaged;
    if (kind < unsigned(EventKind::Pin) || kind > unsigned(EventKind::Write) ||
        cause < unsigned(Cause::Request) || cause > unsigned(Cause::System))
        return Slot::Damaged;
    Event ev{};
    ev.time = time;
    ev.lane = lane;
    ev.seq = seq;
    ev.kind = EventKind(kind);
    ev.cause = Cause(cause);
    ev.pid = pid;
    ev.which = which;
    switch (ev.kind) {
    case EventKind::Pin:
    case EventKind::Read:
    case EventKind::Write:
        if (which < 0 || which >= kPins || now > 1 || before > 1)
            return Slot::Damaged;
        ev.level = static_cast<int>(now);
        ev.before = static_cast<int>(before);
        break;
    case EventKind::Pwm:
        if (which < 0 || which >= kChannels || (now & kPwmUnused) || (before & kPwmUnused))
            return Slot::Damaged;
        ev.pwm = pwm_unpack(now);
        ev.pwm_before = pwm_unpack(before);
        break;
    default:
        ev.which = -1;
        ev.level = now != 0;
        ev.before = before != 0;
        break;
    }
    *out = ev;
    return Slot::Read;
}

// How long a slot may stay half-written before its writer is taken for
// killed and its event for lost.
constexpr uint64_t kWriterGone = 200 * 1000000ull;
// How long events are held back before they are handed on, so that an
// event another lane was still writing with an earlier time comes first.
constexpr uint64_t kHoldBack = 2 * 1000000ull;

uint64_t add_saturated(uint64_t a, uint64_t b) { return a + b < a ? UINT64_MAX : a + b; }

// Where a reader is in a lane: the number of the next event to read, and
// since when it has waited for that event's writer (0: it has not), with
// the lane's head then.
struct LanePlace {
    uint64_t next = 0;
    uint64_t waiting_since = 0;
    uint64_t head_then = 0;
};

// The highest number an event in the lane holds.
uint64_t newest_in(const Lane &lane)
{
    uint64_t newest = 0;
    for (const EventSlot &e : lane.slots)
        newest = std::max(newest, load(e.seq));
    return newest;
}

// Reads the events of lanes from the places in at on, into into, and
// counts into *missed what is lost.  A slot still being written waits for
// its writer unless leaving, when the reader is done with this board and
// counts it lost.  A head that no writer could have left (behind the
// reader, or further ahead of every event in the lane than writers could
// be at work on at once) is damage: the lane's bit in *damaged, and the
// reader goes on from it at once.
void drain(const Lane *lanes, LanePlace *at, uint64_t now, bool leaving, std::vector<Event> &into,
           uint64_t *missed, unsigned *damaged)
{
    for (unsigned i = 0; i < kEventLanes; ++i) {
        const Lane &lane = lanes[i];
        LanePlace &p = at[i];
        uint64_t head = load(lane.head);
        if (head < p.next) {
            *damaged |= 1u << i;
            p = LanePlace{head, 0, 0};
            continue;
        }
        if (head - p.next > kEventsPerLane) {
            uint64_t newest = newest_in(lane);
            if (head - newest > kEventsPerLane) {
                // What the reader had still to read of the lane is lost.
                if (newest > p.next)
                    *missed = add_saturated(*missed, newest - p.next);
                *damaged |= 1u << i;
                p = LanePlace{head, 0, 0};
                continue;
            }
            *missed = add_saturated(*missed, head - p.next - kEventsPerLane);
            p = LanePlace{head - kEventsPerLane, 0, 0};
        }
        while (p.next < head) {
            uint64_t n = p.next;
            Event ev;
            Slot got = read_slot(lane.slots[n % kEventsPerLane], i, n + 1, now, &ev);
            if (got == Slot::Busy && !leaving && head - n < kEventsPerLane) {
                if (p.waiting_since == 0) {
                    p.waiting_since = now;
                    p.head_then = head;
                }
                if (now - p.waiting_since < kWriterGone)
                    break;  // its writer is at work: next time
            }
            // The wait goes on to the next event only when its writer had
            // begun it when the wait began: its writer has been at work as
            // long, and a run of writers killed (or a head a little ahead)
            // is counted in one wait, not one wait each.
            if (!(got == Slot::Busy && n + 1 < p.head_then))
                p.waiting_since = 0;
            if (got == Slot::Read)
                into.push_back(ev);
            else
                *missed = add_saturated(*missed, 1);
            ++p.next;
        }
    }
}

}  // namespace
}  // namespace internal

using internal::load;
using internal::store;
using internal::validated;

uint64_t monotonic_now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

void write_events(bool on) { internal::g_write_events.store(on, std::memory_order_relaxed); }

void write_test_event(EventKind kind, int which, uint32_t level, uint64_t time)
{
    internal::write_event(validated(true), kind, Cause::Outside, which, level, level, time);
}

const char *kind_name(EventKind k)
{
    switch (k) {
    case EventKind::Pin: return "pin";
    case EventKind::Pwm: return "pwm";
    case EventKind::Power: return "power";
    case EventKind::Device: return "device";
    case EventKind::FaultArmed: return "fault-armed";
    case EventKind::FaultRaised: return "fault-raised";
    case EventKind::Reset: return "reset";
    case EventKind::Read: return "read";
    case EventKind::Write: return "write";
    }
    return "?";
}

// What a reader keeps: where it is in each lane, events read but held
// back, the board its numbers belong to, its wish for requests, and the
// damage it found but has not told yet.
struct EventReader::State {
    internal::LanePlace at[kEventLanes];
    std::vector<Event> held;
    uint64_t board_id = 0;
    bool requests = false;
    uint64_t renewed = 0;
    std::vector<std::string> damage;
    uint64_t checked = 0;       // when the whole state was last checked
    bool damage_told = false;   // that the board's other fields are damaged
    bool pending = false;       // an event claimed that the last poll could not read
    bool hold = false;          // writers wait for this reader
    int keeper = -1;            // its keeper on the board board_id names; -1: none
};

namespace internal {
namespace {

// Takes a keeper on s for this reader, where it is now in each lane, and
// has writers wait for it; -1 when every keeper is some live process's.
int take_keeper(State *s, const LanePlace *at)
{
    int32_t me = my_pid();
    for (int k = 0; k < kKeepers; ++k) {
        Keeper &r = s->keepers[k];
        int32_t pid = load(r.pid);
        // A pid no process has (0, or below: written by something else)
        // is free too.
        if (pid > 0 && (pid == me || kill(pid, 0) == 0 || errno != ESRCH))
            continue;
        if (!__atomic_compare_exchange_n(&r.pid, &pid, me, false, __ATOMIC_ACQ_REL, __ATOMIC_RELAXED))
            continue;
        for (unsigned i = 0; i < kEventLanes; ++i)
            store(r.next[i], at[i].next);
        __atomic_fetch_or(&s->waking.held, 1u << k, __ATOMIC_ACQ_REL);
        return k;
    }
    return -1;
}

void give_keeper(State *s, int k)
{
    __atomic_fetch_and(&s->waking.held, ~(1u << k), __ATOMIC_ACQ_REL);
    store(s->keepers[k].pid, int32_t(0));
}

}  // namespace
}  // namespace internal

EventReader::EventReader() : state_(new State)
{
    internal::State *s = validated(true);
    state_->board_id = load(s->id);
    for (unsigned i = 0; i < kEventLanes; ++i)
        state_->at[i].next = load(s->lanes[i].head);
    state_->checked = monotonic_now();
}

EventReader::~EventReader()
{
    internal::State *s = internal::region();
    if (state_->keeper >= 0 && s && load(s->id) == state_->board_id)
        internal::give_keeper(s, state_->keeper);
}

void EventReader::hold_writers(bool on)
{
    State &rs = *state_;
    rs.hold = on;
    internal::State *s = validated(true);
    if (load(s->id) != rs.board_id)
        return;  // the next poll takes one on the board in its place
    if (on && rs.keeper < 0)
        rs.keeper = internal::take_keeper(s, rs.at);
    else if (!on && rs.keeper >= 0) {
        internal::give_keeper(s, rs.keeper);
        rs.keeper = -1;
    }
}

void EventReader::wait(uint64_t most_ns)
{
    State &rs = *state_;
    internal::State *s = internal::region();
    timespec t = {static_cast<time_t>(most_ns / 1000000000), static_cast<long>(most_ns % 1000000000)};
    if (!rs.held.empty() || rs.pending || !s || load(s->id) != rs.board_id || load(s->magic) != internal::kMagic) {
        // Events to hand on once their writers are done, or a board to
        // take up: soon, not at once.
        timespec soon = {0, 50000};
        nanosleep(most_ns < 50000 ? &t : &soon, nullptr);
        return;
    }
    // Asleep is told before the lanes are looked at, and a writer looks
    // whether a reader sleeps after its claim: either this reader sees
    // the claim, or the writer sees it asleep and wakes it.
    uint32_t w = __atomic_load_n(&s->waking.word, __ATOMIC_SEQ_CST);
    while (!(w & internal::kReaderAsleep) &&
           !__atomic_compare_exchange_n(&s->waking.word, &w, w | internal::kReaderAsleep, false, __ATOMIC_SEQ_CST,
                                        __ATOMIC_SEQ_CST)) {
    }
    w |= internal::kReaderAsleep;
    for (unsigned i = 0; i < kEventLanes; ++i)
        if (__atomic_load_n(&s->lanes[i].head, __ATOMIC_SEQ_CST) != rs.at[i].next)
            return;
    internal::futex(&s->waking.word, FUTEX_WAIT, w, &t);
}

void EventReader::want_requests(bool on)
{
    state_->requests = on;
    if (on) {
        internal::State *s = validated(true);
        state_->renewed = monotonic_now();
        store(s->requests_until, state_->renewed + internal::kWishLasts);
    }
}

std::vector<std::string> EventReader::damage()
{
    std::vector<std::string> told;
    told.swap(state_->damage);
    return told;
}

uint64_t EventReader::poll(std::vector<Event> &out)
{
    using internal::drain;
    using internal::add_saturated;
    using internal::LanePlace;
    State &rs = *state_;
    size_t already = rs.held.size();  // held back last time, in order
    uint64_t missed = 0;
    unsigned damaged = 0;
    uint64_t now = monotonic_now();
    // Now and then, whether board.state still names the file mapped (a
    // reset that could not retire it leaves it whole): the board in its
    // place is then mapped, and this one read to its end from what was
    // kept of it.
    internal::State *s = internal::region();
    if (s && load(s->magic) == internal::kMagic)
        s = validated(false);
    // The board this reader follows, as long as this process still maps
    // it: a board a reset retired is read to its end before the new one
    // is mapped.  Read into a copy of the numbers and taken only when the
    // board is still the same afterwards: another thread may map the new
    // board over it meanwhile, whose numbers are others.
    bool same = s && rs.board_id != 0 && load(s->id) == rs.board_id;
    if (same) {
        LanePlace at[kEventLanes];
        uint64_t lost = 0;
        unsigned bad = 0;
        std::copy(rs.at, rs.at + kEventLanes, at);
        std::vector<Event> got;
        bool retired = load(s->magic) != internal::kMagic;
        drain(s->lanes, at, now, retired, got, &lost, &bad);
        if (load(s->id) == rs.board_id) {
            std::copy(at, at + kEventLanes, rs.at);
            rs.held.insert(rs.held.end(), got.begin(), got.end());
            missed = lost;
            damaged = bad;
            if (retired)
                s = validated(true);  // on to the board in its place
        } else {
            same = false;
        }
    }
    if (!same) {
        // Mapped over since the last call: the old board's events are
        // read from what was kept of them.  When that is another board
        // (replaced twice meanwhile), what this reader did not read is
        // lost, and at least one event is counted so.
        {
            std::lock_guard<std::mutex> guard(internal::map_lock());
            if (const internal::Lane *kept = internal::retired_lanes(rs.board_id))
                drain(kept, rs.at, now, true, rs.held, &missed, &damaged);
            else
                missed = add_saturated(missed, 1);
        }
        s = validated(true);
    }
    if (load(s->id) != rs.board_id) {
        // A new board: its events are numbered from the start, and the
        // wish for requests is told to it at once.
        rs.board_id = load(s->id);
        rs.keeper = -1;  // the old board's is left with it
        std::fill(rs.at, rs.at + kEventLanes, LanePlace{});
        if (rs.requests)
            rs.renewed = 0;
        rs.damage_told = false;
    }
    unsigned bad = 0;
    drain(s->lanes, rs.at, now, false, rs.held, &missed, &bad);
    damaged |= bad;
    // Every event begun has been read: one begun from now on is stamped
    // later than any read, so all can be handed on at once.
    bool clean = true;
    for (unsigned i = 0; i < kEventLanes; ++i)
        if (__atomic_load_n(&s->lanes[i].head, __ATOMIC_SEQ_CST) != rs.at[i].next)
            clean = false;
    rs.pending = !clean;
    if (rs.hold) {
        // Where this reader is, for the writers that wait for it; let go
        // (it kept one waiting too long), it holds them again from here.
        if (rs.keeper >= 0) {
            internal::Keeper &k = s->keepers[rs.keeper];
            for (unsigned i = 0; i < kEventLanes; ++i)
                store(k.next[i], rs.at[i].next);
            if (!(load(s->waking.held) & (1u << rs.keeper)) || load(k.pid) != internal::my_pid()) {
                if (load(k.pid) == internal::my_pid())
                    internal::give_keeper(s, rs.keeper);
                rs.keeper = -1;
            }
        }
        if (rs.keeper < 0)
            rs.keeper = internal::take_keeper(s, rs.at);
    }
    for (unsigned i = 0; i < kEventLanes; ++i)
        if (damaged & (1u << i))
            rs.damage.push_back("board state file " + internal::state_path(dir()) + " is damaged (lane " +
                                std::to_string(i) + " of its events counts events no writer began); its "
                                "events are followed from where its writers are now");
    // Now and then the whole state: a board damaged while followed is told
    // once (its events, each checked, are still handed on).
    if (now - rs.checked >= internal::kCheckEvery) {
        rs.checked = now;
        bool whole = internal::check(*s) != internal::Check::Damaged;
        if (!whole && !rs.damage_told)
            rs.damage.push_back(internal::refusal(internal::Check::Damaged, dir()).message);
        rs.damage_told = !whole;
    }
    if (rs.requests && now - rs.renewed > internal::kWishRenew) {
        rs.renewed = now;
        store(s->requests_until, now + internal::kWishLasts);
    }
    // Handed on in time order, all but the newest (which an event another
    // lane is still writing might precede).
    auto earlier = [](const Event &a, const Event &b) {
        return a.time != b.time ? a.time < b.time : a.lane != b.lane ? a.lane < b.lane : a.seq < b.seq;
    };
    std::sort(rs.held.begin() + static_cast<std::ptrdiff_t>(already), rs.held.end(), earlier);
    std::inplace_merge(rs.held.begin(), rs.held.begin() + static_cast<std::ptrdiff_t>(already),
                       rs.held.end(), earlier);
    size_t ready = 0;
    while (ready < rs.held.size() && (clean || rs.held[ready].time + internal::kHoldBack <= now))
        ++ready;
    out.insert(out.end(), rs.held.begin(), rs.held.begin() + static_cast<std::ptrdiff_t>(ready));
    rs.held.erase(rs.held.begin(), rs.held.begin() + static_cast<std::ptrdiff_t>(ready));
    return missed;
}

}  // namespace board
