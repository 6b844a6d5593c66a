// The board's events: what each change writes, who reads it, what a reader
// that falls behind or meets a half-written event is told, and a reset.
#include "board/board.h"
#include "board/events.h"
#include "board_folder.h"
#include "process.h"
#include "state_layout.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Events = test_support::BoardTest;
using board::Cause;
using board::Event;
using board::EventKind;

struct PinRecord {
    int32_t pin, level;
};
struct PwmRecord {
    uint32_t channel, enable, cr, dcr, pcr;
};

void set_pin(int32_t pin, int32_t level)
{
    PinRecord r{pin, level};
    ASSERT_TRUE(board::request(board::kSetPin, &r, sizeof r, nullptr, 0).ok);
}

int get_pin(int32_t pin)
{
    PinRecord r{pin, 0}, out{-1, -1};
    EXPECT_TRUE(board::request(board::kGetPin, &r, sizeof r, &out, sizeof out).ok);
    return out.level;
}

void pwm(uint32_t code, PwmRecord r) { ASSERT_TRUE(board::request(code, &r, sizeof r, nullptr, 0).ok); }

// Polls until at least n events came (events are handed on a couple of
// milliseconds after they are written), or ten seconds passed.
std::vector<Event> read_events(board::EventReader &reader, size_t n, uint64_t *missed = nullptr)
{
    std::vector<Event> got;
    uint64_t lost = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (got.size() < n && std::chrono::steady_clock::now() < deadline) {
        lost += reader.poll(got);
        if (got.size() < n)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (missed)
        *missed = lost;
    return got;
}

// What the reader has after the writers are done: everything handed on.
std::vector<Event> drain(board::EventReader &reader, uint64_t *missed = nullptr)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(5));  // past the hold-back, not a wait for a state
    std::vector<Event> got;
    uint64_t lost = reader.poll(got);
    if (missed)
        *missed = lost;
    return got;
}

struct Expected {
    EventKind kind;
    Cause cause;
    int which, level, before;
};

void expect_events(const std::vector<Event> &got, const std::vector<Expected> &want, int line)
{
    SCOPED_TRACE("from line " + std::to_string(line));
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE("event " + std::to_string(i) + " " + board::kind_name(got[i].kind));
        EXPECT_EQ(got[i].kind, want[i].kind);
        EXPECT_EQ(got[i].cause, want[i].cause);
        EXPECT_EQ(got[i].which, want[i].which);
        EXPECT_EQ(got[i].level, want[i].level);
        EXPECT_EQ(got[i].before, want[i].before);
        EXPECT_EQ(got[i].pid, getpid());
        if (i > 0) {
            EXPECT_LE(got[i - 1].time, got[i].time);
        }
    }
}

// Each kind of change writes one event, in order; what changes nothing
// writes none.
TEST_F(Events, EachChangeWritesOneEventAndNothingElseDoes)
{
    board::reset();
    board::EventReader reader;
    set_pin(5, 0);
    set_pin(5, 0);         // the same level again: nothing
    get_pin(5);            // a read: nothing
    board::set_input(5, 1);
    set_pin(5, 1);         // driven, but the outside level rules: nothing
    board::set_input(5, -1);
    board::set_input(6, 1);  // pin 6 is pulled up already: nothing
    board::set_power(false);
    board::set_power(false);
    board::set_power(true);
    board::set_power(false, true);  // as GwesPowerOffSystem on the device does
    board::set_plugged(false);
    board::set_plugged(true);
    board::arm_fault();
    PinRecord r{1, 0};
    EXPECT_TRUE(board::request(board::kSetPin, &r, sizeof r, nullptr, 0).fault);
    std::vector<Event> got = drain(reader);
    expect_events(got,
                  {
                      {EventKind::Pin, Cause::Request, 5, 0, 1},
                      {EventKind::Pin, Cause::Outside, 5, 1, 0},
                      {EventKind::Power, Cause::Outside, -1, 0, 1},
                      {EventKind::Power, Cause::Outside, -1, 1, 0},
                      {EventKind::Power, Cause::System, -1, 0, 1},
                      {EventKind::Device, Cause::Outside, -1, 0, 1},
                      {EventKind::Device, Cause::Outside, -1, 1, 0},
                      {EventKind::FaultArmed, Cause::Outside, -1, 1, 0},
                      {EventKind::FaultRaised, Cause::Request, -1, 1, 0},
                  },
                  __LINE__);
    // Releasing pin 5 left it driven at 1: no change, no event above.
}

TEST_F(Events, PwmEventsCarryTheWholeChannel)
{
    board::reset();
    board::EventReader reader;
    pwm(board::kPwmStart, {1, 1, 0, 0, 0});
    pwm(board::kPwmSet, {1, 0, 16, 256, 512});
    pwm(board::kPwmSet, {1, 0, 16, 256, 512});  // the same registers: nothing
    pwm(board::kPwmStop, {1, 0, 0, 0, 0});
    std::vector<Event> got = drain(reader);
    ASSERT_EQ(got.size(), 3u);
    for (const Event &e : got) {
        EXPECT_EQ(e.kind, EventKind::Pwm);
        EXPECT_EQ(e.which, 1);
    }
    EXPECT_TRUE(got[0].pwm.running && !got[0].pwm_before.running);
    EXPECT_EQ(got[1].pwm.cr, 16u);
    EXPECT_EQ(got[1].pwm.dcr, 256u);
    EXPECT_EQ(got[1].pwm.pcr, 512u);
    EXPECT_TRUE(got[1].pwm.running);
    EXPECT_EQ(got[1].pwm_before.pcr, 0u);
    EXPECT_FALSE(got[2].pwm.running);
    EXPECT_EQ(got[2].pwm.pcr, 512u);
}

// Reads, and writes that change nothing, are written only while a reader
// asks for them.
TEST_F(Events, RequestsThatChangeNothingOnlyWhenAsked)
{
    board::reset();
    board::EventReader reader;
    reader.want_requests(true);
    set_pin(3, 1);  // pulled up already
    EXPECT_EQ(get_pin(3), 1);
    set_pin(3, 0);
    expect_events(drain(reader),
                  {
                      {EventKind::Write, Cause::Request, 3, 1, 1},
                      {EventKind::Read, Cause::Request, 3, 1, 1},
                      {EventKind::Pin, Cause::Request, 3, 0, 1},
                  },
                  __LINE__);
}

// A reader made later sees only what comes after it; two readers each see
// everything.
TEST_F(Events, ReadersSeeWhatComesAfterThemEach)
{
    board::reset();
    board::EventReader early;
    set_pin(7, 0);
    board::EventReader late;
    set_pin(7, 1);
    std::vector<Event> from_early = drain(early), from_late = drain(late);
    ASSERT_EQ(from_early.size(), 2u);
    ASSERT_EQ(from_late.size(), 1u);
    EXPECT_EQ(from_late[0].level, 1);
    EXPECT_EQ(from_late[0].seq, from_early[1].seq);
    EXPECT_EQ(from_early[0].seq + 1, from_early[1].seq);
}

// Events written by another process, with its pid, merged in time order
// with this one's.
TEST_F(Events, AnotherProcessesEventsComeWithItsPid)
{
    board::reset();
    board::EventReader reader;
    set_pin(1, 0);
    pid_t child = test_support::fork_child([] {
        PinRecord r{2, 0};
        return board::request(board::kSetPin, &r, sizeof r, nullptr, 0).ok ? 0 : 1;
    });
    ASSERT_EQ(test_support::wait_child(child), 0);
    set_pin(3, 0);
    std::vector<Event> got = read_events(reader, 3);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].which, 1);
    EXPECT_EQ(got[1].which, 2);
    EXPECT_EQ(got[1].pid, child);
    EXPECT_EQ(got[2].which, 3);
    EXPECT_EQ(got[2].pid, getpid());
}

// A reader that falls behind by more than a lane holds is told how many
// events it lost, and reads the rest.
TEST_F(Events, AReaderThatFallsBehindIsToldHowManyItMissed)
{
    board::reset();
    board::EventReader reader;
    const unsigned written = board::kEventsPerLane + 100;
    for (unsigned i = 0; i < written; ++i)
        set_pin(9, static_cast<int32_t>(i % 2 == 0 ? 0 : 1));
    uint64_t missed = 0;
    std::vector<Event> got = drain(reader, &missed);
    EXPECT_EQ(missed, 100u);
    ASSERT_EQ(got.size(), board::kEventsPerLane);
    EXPECT_EQ(got.back().level, 1);
    EXPECT_EQ(got.front().seq + board::kEventsPerLane - 1, got.back().seq);
}

// A reader that holds writers loses nothing of a burst many lanes long
// from another process: the writer waits for it to read on.  The same
// burst on a board where the reader holds none (given up) is lost in part.
TEST_F(Events, AReaderThatHoldsWritersMissesNothingOfABurst)
{
    board::reset();
    board::set_input(9, 1);  // each change below flips it
    board::EventReader reader;
    reader.hold_writers(true);
    const int written = 20 * static_cast<int>(board::kEventsPerLane);
    pid_t child = test_support::fork_child([written] {
        for (int i = 0; i < written; ++i)
            board::set_input(9, i % 2);
        board::set_plugged(false);  // the end of the burst
        return 0;
    });
    uint64_t missed = 0;
    int pins = 0;
    bool ended = false;
    while (!ended) {
        std::vector<Event> got;
        missed += reader.poll(got);
        for (const Event &e : got) {
            pins += e.kind == EventKind::Pin && e.which == 9;
            ended = ended || e.kind == EventKind::Device;
        }
        if (!ended)
            reader.wait(10 * 1000000);
    }
    ASSERT_EQ(test_support::wait_child(child), 0);
    EXPECT_EQ(missed, 0u);
    EXPECT_EQ(pins, written);

    // Given up, the writers no longer wait for it.
    reader.hold_writers(false);
    pid_t again = test_support::fork_child([written] {
        for (int i = 0; i < written; ++i)
            board::set_input(9, i % 2 == 0);
        return 0;
    });
    ASSERT_EQ(test_support::wait_child(again), 0);
    drain(reader, &missed);
    EXPECT_GT(missed, 0u);
}

// A reader that holds writers and reads no more (stopped, or hung) does
// not hold them for ever: it is let go, and the writer goes on.
TEST_F(Events, AReaderThatStopsReadingIsLetGo)
{
    board::reset();
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t stuck = test_support::fork_child([&] {
        board::EventReader reader;
        reader.hold_writers(true);
        char c = 'r';
        if (write(ready[1], &c, 1) != 1)
            return 1;
        pause();  // reads nothing, until killed
        return 0;
    });
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    close(ready[1]);
    int fd = open((board_.dir() + "/board.state").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    uint32_t held = 0;
    ASSERT_EQ(pread(fd, &held, sizeof held, STATE_AT(waking.held)), (ssize_t)sizeof held);
    EXPECT_NE(held, 0u);
    for (unsigned i = 0; i < 2 * board::kEventsPerLane; ++i)
        set_pin(9, static_cast<int32_t>(i % 2));
    ASSERT_EQ(pread(fd, &held, sizeof held, STATE_AT(waking.held)), (ssize_t)sizeof held);
    EXPECT_EQ(held, 0u);
    close(fd);
    kill(stuck, SIGKILL);
    test_support::wait_child(stuck);
}

// Where event seq of lane lives in the state file, for tests that play a
// writer killed half-way through an event and one that wrote nonsense.
off_t slot_at(unsigned lane, uint64_t seq)
{
    return STATE_AT(lanes[lane].slots[(seq - 1) % board::kEventsPerLane]);
}

// One event this thread writes (pin 4 driven low) as reader reads it: the
// lane this thread writes in, and the number there.
Event first_event(board::EventReader &reader)
{
    set_pin(4, 0);
    std::vector<Event> first = read_events(reader, 1);
    EXPECT_EQ(first.size(), 1u);
    return first.empty() ? Event{} : first[0];
}

uint64_t read_word(int fd, off_t at)
{
    uint64_t w = 0;
    EXPECT_EQ(pread(fd, &w, sizeof w, at), (ssize_t)sizeof w);
    return w;
}

void write_word(int fd, off_t at, uint64_t w) { EXPECT_EQ(pwrite(fd, &w, sizeof w, at), (ssize_t)sizeof w); }

// A writer killed after it took its number and before it finished: the
// reader waits a little for it, then counts it missed and goes on.  An
// event no writer of the board writes is counted missed, not handed on.
TEST_F(Events, HalfWrittenAndNonsenseEventsAreCountedMissed)
{
    board::reset();
    board::EventReader reader;
    const board::Event e = first_event(reader);
    int fd = open((board_.dir() + "/board.state").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    const unsigned lane = e.lane;
    off_t head = STATE_AT(lanes[lane].head);
    ASSERT_EQ(read_word(fd, head), e.seq);  // the head: events begun in the lane
    write_word(fd, head, e.seq + 1);        // one more begun, never finished
    std::vector<Event> none;
    EXPECT_EQ(reader.poll(none), 0u);  // at first its writer may still be at work
    EXPECT_TRUE(none.empty());
    uint64_t missed = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (missed == 0 && std::chrono::steady_clock::now() < deadline) {
        missed += reader.poll(none);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(missed, 1u);
    // The next event in that lane comes through; one with a kind no writer
    // uses does not.
    set_pin(4, 1);
    std::vector<Event> next = read_events(reader, 1);
    ASSERT_EQ(next.size(), 1u);
    EXPECT_EQ(next[0].seq, e.seq + 2);
    set_pin(4, 0);  // the slot after next's
    off_t bad = slot_at(lane, next[0].seq + 1);
    uint32_t what = 0xEE;
    ASSERT_EQ(pwrite(fd, &what, sizeof what, bad + offsetof(board::internal::EventSlot, what)), (ssize_t)sizeof what);
    EXPECT_TRUE(drain(reader, &missed).empty());
    EXPECT_EQ(missed, 1u);
    // Nor one whose fields are a mix of two events (here the pid of
    // another): the slot's check tells.
    set_pin(4, 1);
    off_t mixed = slot_at(lane, next[0].seq + 2);
    int32_t other_pid = getpid() + 1;
    ASSERT_EQ(pwrite(fd, &other_pid, sizeof other_pid, mixed + offsetof(board::internal::EventSlot, pid)),
              (ssize_t)sizeof other_pid);
    close(fd);
    EXPECT_TRUE(drain(reader, &missed).empty());
    EXPECT_EQ(missed, 1u);
    // Nor one stamped later than the reader's clock: it would be held
    // back for ever.
    board::write_test_event(EventKind::Power, -1, 1, board::monotonic_now() + 3600ull * 1000000000ull);
    EXPECT_TRUE(drain(reader, &missed).empty());
    EXPECT_EQ(missed, 1u);
}

// A lane's head damaged far ahead of its events (here by a multiple of the
// lane's size): told once as damage, not as trillions of events missed,
// and the lane's next event comes at once, not after a wait for each slot
// between.  A head put back behind the reader is damage too.
TEST_F(Events, ADamagedLaneHeadIsToldOnceAndItsLaneFollowedAtOnce)
{
    board::reset();
    board::EventReader reader;
    const unsigned lane = first_event(reader).lane;
    std::string state = board_.dir() + "/board.state";
    int fd = open(state.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    off_t head = STATE_AT(lanes[lane].head);
    for (uint64_t damaged : {uint64_t(read_word(fd, head) + 0x3FFFFFFFFFFFFF00ull), uint64_t(5)}) {
        SCOPED_TRACE(damaged);
        write_word(fd, head, damaged);
        std::vector<Event> none;
        EXPECT_EQ(reader.poll(none), 0u);
        std::vector<std::string> told = reader.damage();
        ASSERT_EQ(told.size(), 1u);
        EXPECT_NE(told[0].find(state + " is damaged"), std::string::npos) << told[0];
        set_pin(4, 1);
        uint64_t missed = 0;
        std::vector<Event> next = read_events(reader, 1, &missed);
        ASSERT_EQ(next.size(), 1u);
        EXPECT_EQ(next[0].seq, damaged + 1);
        EXPECT_EQ(missed, 0u);
        EXPECT_TRUE(reader.damage().empty());
        set_pin(4, 0);
        ASSERT_EQ(read_events(reader, 1).size(), 1u);
    }
    close(fd);
}

// Slots begun together whose writers never finish (a run of writers
// killed, or a head put a little ahead): counted missed after one wait,
// not one wait each.
TEST_F(Events, ARunOfUnfinishedEventsIsCountedInOneWait)
{
    board::reset();
    board::EventReader reader;
    const unsigned lane = first_event(reader).lane;
    int fd = open((board_.dir() + "/board.state").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    off_t head = STATE_AT(lanes[lane].head);
    write_word(fd, head, read_word(fd, head) + 100);
    close(fd);
    uint64_t missed = 0;
    std::vector<Event> none;
    // Ten seconds at most: one wait for each slot would take twenty.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (missed < 100 && std::chrono::steady_clock::now() < deadline) {
        missed += reader.poll(none);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(missed, 100u);
    EXPECT_TRUE(reader.damage().empty());
    set_pin(4, 1);
    EXPECT_EQ(read_events(reader, 1).size(), 1u);
}

// Polls until the reader tells of damage (its look at the whole state
// comes every so often), or ten seconds passed; what it told.  The events
// it read meanwhile go to got.
std::vector<std::string> damage_told(board::EventReader &reader, std::vector<Event> &got)
{
    std::vector<std::string> told;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (told.empty() && std::chrono::steady_clock::now() < deadline) {
        reader.poll(got);
        told = reader.damage();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return told;
}

// A board damaged while a reader follows it: a field is told once, and
// its events still come; an id no board has ends the reader with the
// damage, instead of an event counted missed on every look.
TEST_F(Events, ABoardDamagedWhileFollowedIsTold)
{
    board::reset();
    board::EventReader reader;
    int fd = open((board_.dir() + "/board.state").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    int8_t nine = 9;
    ASSERT_EQ(pwrite(fd, &nine, 1, STATE_AT(pins[7].driven)), 1);
    std::vector<Event> got;
    std::vector<std::string> told = damage_told(reader, got);
    ASSERT_EQ(told.size(), 1u);
    EXPECT_NE(told[0].find("is damaged"), std::string::npos) << told[0];
    PinRecord r{4, 0};  // through a handle opened before the damage
    ASSERT_TRUE(board::device_request(board::kSetPin, &r, sizeof r, nullptr, 0).ok);
    // Several checks later: the event came, the damage was not told again.
    auto later = std::chrono::steady_clock::now() + std::chrono::milliseconds(350);
    while (std::chrono::steady_clock::now() < later) {
        reader.poll(got);
        EXPECT_TRUE(reader.damage().empty());
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].which, 4);

    uint64_t no_id = 0;
    ASSERT_EQ(pwrite(fd, &no_id, sizeof no_id, STATE_AT(id)), (ssize_t)sizeof no_id);
    close(fd);
    try {
        reader.poll(got);
        ADD_FAILURE() << "a board without an id was followed";
    } catch (const board::Error &e) {
        EXPECT_NE(e.message.find("is damaged"), std::string::npos) << e.message;
    }
}

// A keeper of the readers that hold writers back, damaged: its place far
// past every lane's head (a sum past the largest number), in the name of a
// live process.  Writers do not wait for a place no reader can be at (nor
// let it go after a stall, which would clear its bit), a reader that
// follows the board is told of the damage, and a fresh open refuses it.
TEST_F(Events, ADamagedKeeperIsToldAndNotWaitedFor)
{
    board::reset();
    board::EventReader reader;
    for (unsigned i = 0; i < board::kEventsPerLane; ++i)  // a head past the lane's room
        set_pin(9, static_cast<int32_t>(i % 2));
    pid_t live = test_support::fork_child([] {
        pause();
        return 0;
    });
    struct Reaped {
        pid_t pid;
        ~Reaped()
        {
            kill(pid, SIGKILL);
            test_support::wait_child(pid);
        }
    } reaped{live};
    int fd = open((board_.dir() + "/board.state").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    for (unsigned lane = 0; lane < board::kEventLanes; ++lane)
        write_word(fd, STATE_AT(keepers[0].next[lane]), UINT64_MAX - 5);
    int32_t pid = live;
    ASSERT_EQ(pwrite(fd, &pid, sizeof pid, STATE_AT(keepers[0].pid)), (ssize_t)sizeof pid);
    uint32_t held = 1;
    ASSERT_EQ(pwrite(fd, &held, sizeof held, STATE_AT(waking.held)), (ssize_t)sizeof held);
    for (int i = 0; i < 10; ++i) {
        PinRecord r{9, i % 2};  // through a handle opened before the damage
        ASSERT_TRUE(board::device_request(board::kSetPin, &r, sizeof r, nullptr, 0).ok);
    }
    ASSERT_EQ(pread(fd, &held, sizeof held, STATE_AT(waking.held)), (ssize_t)sizeof held);
    EXPECT_EQ(held, 1u);  // not waited for, so never let go
    close(fd);

    std::vector<Event> got;
    std::vector<std::string> told = damage_told(reader, got);
    ASSERT_EQ(told.size(), 1u);
    EXPECT_NE(told[0].find("is damaged"), std::string::npos) << told[0];
    pid_t fresh = test_support::fork_child([] {
        try {
            board::status();
            return 1;
        } catch (const board::Error &e) {
            return e.message.find("is damaged") != std::string::npos ? 0 : 2;
        }
    });
    EXPECT_EQ(test_support::wait_child(fresh), 0);
}

// The readers' waking word, whatever it holds (it counts wake-ups, and
// wraps): a reader asleep on it is woken by the next event.
TEST_F(Events, AReaderAsleepIsWokenWhateverTheWakingWordHeld)
{
    board::reset();
    int fd = open((board_.dir() + "/board.state").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    for (uint32_t word : {0xFFFFFFFFu, 0xFFFFFFFEu, 0x80000001u, 0u}) {
        SCOPED_TRACE(word);
        ASSERT_EQ(pwrite(fd, &word, sizeof word, STATE_AT(waking.word)), (ssize_t)sizeof word);
        std::atomic<bool> asleep{false}, woken{false};
        std::thread sleeper([&] {
            board::EventReader reader;
            std::vector<Event> none;
            reader.poll(none);
            asleep = true;
            // Far longer than the test waits below: only an event wakes it.
            reader.wait(60ull * 1000000000);
            woken = true;
        });
        while (!asleep)
            std::this_thread::yield();
        // Written until it wakes: the first may come before it sleeps.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (int i = 0; !woken && std::chrono::steady_clock::now() < deadline; ++i) {
            set_pin(6, i % 2);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        EXPECT_TRUE(woken.load());
        if (!woken)
            board::set_plugged(false);  // one more try before the join
        sleeper.join();
    }
    close(fd);
}

// A reader that asks for requests tells a board that replaced its own at
// its next look, not half a second later.
TEST_F(Events, AFreshBoardIsToldAtOnceThatRequestsAreWanted)
{
    board::reset();
    board::EventReader reader;
    reader.want_requests(true);
    board::reset();
    std::vector<Event> got = read_events(reader, 1);  // the new board's reset
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].kind, EventKind::Reset);
    get_pin(3);
    got = read_events(reader, 1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].kind, EventKind::Read);
}

// Replaced twice before the reader looked again: what the board between
// wrote is lost, and counted so, not silently.
TEST_F(Events, ABoardReplacedTwiceBetweenLooksCountsWhatWasLost)
{
    board::reset();
    board::EventReader reader;
    board::reset();
    set_pin(2, 0);  // maps the second board
    board::reset();
    set_pin(2, 0);  // and the third
    uint64_t missed = 0;
    std::vector<Event> got = read_events(reader, 2, &missed);
    EXPECT_GE(missed, 1u);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].kind, EventKind::Reset);
    EXPECT_EQ(got[1].kind, EventKind::Pin);
}

// A write to a pin held from outside leaves the level the outside gives,
// and its event says so.  A wish for requests written by no reader (a time
// further off than a reader ever asks) is not taken.
TEST_F(Events, RequestEventsTellThePinsLevelAndOnlyReadersAskForThem)
{
    board::reset();
    board::set_input(3, 0);
    {
        board::EventReader reader;
        reader.want_requests(true);
        set_pin(3, 1);
        std::vector<Event> got = drain(reader);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].kind, EventKind::Write);
        EXPECT_EQ(got[0].level, 0);
    }
    int fd = open((board_.dir() + "/board.state").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    write_word(fd, 56, UINT64_MAX);  // the wish for requests, for ever
    close(fd);
    board::EventReader reader;
    EXPECT_EQ(get_pin(3), 0);
    set_pin(3, 1);
    EXPECT_TRUE(drain(reader).empty());
}

// A reset: the reader reads what the old board wrote, then the new board's
// first event, its reset, and goes on there.
TEST_F(Events, AResetIsReadAndTheNewBoardFollowed)
{
    board::reset();
    board::EventReader reader;
    set_pin(2, 0);
    board::reset();
    set_pin(2, 0);
    std::vector<Event> got = read_events(reader, 3);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].kind, EventKind::Pin);
    EXPECT_EQ(got[1].kind, EventKind::Reset);
    EXPECT_EQ(got[1].seq, 1u);
    EXPECT_EQ(got[2].kind, EventKind::Pin);
    EXPECT_EQ(got[2].level, 0);
}

// Threads write in lanes of their own; a reader merges them by time.
TEST_F(Events, ThreadsEventsAreMergedInTimeOrder)
{
    board::reset();
    board::EventReader reader;
    const int per_thread = 100;
    std::vector<std::thread> threads;
    std::atomic<int> started{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t, &started] {
            // Each takes its lane before any ends: a thread that came to
            // its first request after another ended would write in that
            // one's lane.
            board::thread_slot();
            ++started;
            while (started < 4)
                std::this_thread::yield();
            for (int i = 0; i < per_thread; ++i)
                set_pin(10 + t, i % 2);
        });
    for (std::thread &t : threads)
        t.join();
    uint64_t missed = 0;
    std::vector<Event> got = read_events(reader, 4 * per_thread, &missed);
    EXPECT_EQ(missed, 0u);
    ASSERT_EQ(got.size(), 4u * per_thread);
    int per_pin[4] = {};
    for (size_t i = 0; i < got.size(); ++i) {
        if (i > 0) {
            EXPECT_LE(got[i - 1].time, got[i].time);
        }
        int t = got[i].which - 10;
        ASSERT_TRUE(t >= 0 && t < 4);
        // Each pin's events in the order its thread wrote them.
        EXPECT_EQ(got[i].level, per_pin[t]++ % 2);
    }
}

}  // namespace
