// The simulated driver's answers to good and bad requests, and the state
// file's defaults, reset and damage.
#include "board/board.h"
#include "board_folder.h"
#include "process.h"
#include "state_layout.h"

#include "board/internal.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace {

using BoardRequests = test_support::BoardTest;

constexpr uint32_t kInvalidParameter = 87, kInsufficientBuffer = 122, kNotSupported = 50;

struct Pin {
    int32_t pin, level;
};
struct PwmRecord {
    uint32_t channel, enable, cr, dcr, pcr;
};

board::Result set_pin(int32_t pin, int32_t level)
{
    Pin r{pin, level};
    return board::request(board::kSetPin, &r, sizeof r, nullptr, 0);
}

board::Result pwm(uint32_t code, PwmRecord r) { return board::request(code, &r, sizeof r, nullptr, 0); }

void expect_refused(const board::Result &r, uint32_t error)
{
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.fault);
    EXPECT_EQ(r.error, error);
    EXPECT_EQ(r.returned, 0u);
}

// Plugged, powered, no fault armed, every pin pulled up and untouched.
void expect_defaults()
{
    board::Status st = board::status();
    EXPECT_TRUE(st.plugged);
    EXPECT_TRUE(st.powered);
    EXPECT_FALSE(st.fault_armed);
    EXPECT_EQ(st.requests, 0u);
    for (const board::Pin &p : st.pins) {
        EXPECT_EQ(p.level(), 1);
        EXPECT_FALSE(p.touched);
    }
    for (const board::Pwm &p : st.pwm)
        EXPECT_EQ(p.running + p.cr + p.dcr + p.pcr, 0u);
}

TEST_F(BoardRequests, FreshAndResetBoardsHoldTheDefaults)
{
    expect_defaults();
    ASSERT_TRUE(set_pin(3, 0).ok);
    ASSERT_TRUE(pwm(board::kPwmStart, {0, 1, 0, 0, 0}).ok);
    board::set_input(4, 0);
    board::set_plugged(false);
    board::set_power(false);
    board::arm_fault();
    // Reset while this process has the board mapped.
    board::reset();
    expect_defaults();
}

TEST_F(BoardRequests, GetAnswersIntoTheOutputRecord)
{
    ASSERT_TRUE(set_pin(63, 0).ok);
    Pin in{63, 0}, out{-7, -7};
    board::Result r = board::request(board::kGetPin, &in, sizeof in, &out, sizeof out);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.returned, 8u);
    EXPECT_EQ(out.pin, 63);
    EXPECT_EQ(out.level, 0);

    // The same record as input and output, as kestrin sends it.
    Pin both{0, 0};
    EXPECT_TRUE(board::request(board::kGetPin, &both, sizeof both, &both, sizeof both).ok);
    EXPECT_EQ(both.level, 1);
}

TEST_F(BoardRequests, PinRequestsRefuseBadPinsAndSizes)
{
    for (int32_t pin : {-1, 64, INT_MIN, INT_MAX}) {
        SCOPED_TRACE(pin);
        expect_refused(set_pin(pin, 1), kInvalidParameter);
        Pin in{pin, 0}, out{5, 5};
        expect_refused(board::request(board::kGetPin, &in, 8, &out, 8), kInvalidParameter);
        EXPECT_EQ(out.level, 5);
    }
    char record[24] = {3};
    for (uint32_t size : {0u, 4u, 7u, 9u, 12u, 20u}) {
        SCOPED_TRACE(size);
        expect_refused(board::request(board::kSetPin, record, size, nullptr, 0), kInvalidParameter);
        expect_refused(board::request(board::kGetPin, record, size, record, 8), kInvalidParameter);
    }
    expect_refused(board::request(board::kSetPin, nullptr, 8, nullptr, 0), kInvalidParameter);
    EXPECT_FALSE(board::status().pins[3].touched) << "a refused request changed the pin";
}

TEST_F(BoardRequests, GetNeedsAWholeOutputRecord)
{
    Pin in{3, 0};
    expect_refused(board::request(board::kGetPin, &in, 8, nullptr, 8), kInsufficientBuffer);
    expect_refused(board::request(board::kGetPin, &in, 8, nullptr, 0), kInsufficientBuffer);
    char out[8];
    std::memset(out, 0x5a, sizeof out);
    expect_refused(board::request(board::kGetPin, &in, 8, out, 4), kInsufficientBuffer);
    for (char c : out)
        EXPECT_EQ(c, 0x5a) << "a short output buffer was written";
}

TEST_F(BoardRequests, PwmRequestsChangeOnlyWhatTheyRead)
{
    EXPECT_TRUE(pwm(board::kPwmSet, {1, 1, 63, 1023, 512}).ok);
    board::Pwm p = board::status().pwm[1];
    EXPECT_EQ(p.running, 0u) << "set read the enable word";
    EXPECT_EQ(p.cr, 63u);
    EXPECT_EQ(p.dcr, 1023u);
    EXPECT_EQ(p.pcr, 512u);

    EXPECT_TRUE(pwm(board::kPwmStart, {1, 1, 0, 0, 0}).ok);
    p = board::status().pwm[1];
    EXPECT_EQ(p.running, 1u);
    EXPECT_EQ(p.cr, 63u) << "start read the register words";
    EXPECT_EQ(board::status().pwm[0].running, 0u);

    EXPECT_TRUE(pwm(board::kPwmStop, {1, 0, 0, 0, 0}).ok);
    EXPECT_EQ(board::status().pwm[1].running, 0u);
    EXPECT_EQ(board::status().pwm[1].dcr, 1023u);
}

TEST_F(BoardRequests, PwmRequestsRefuseBadChannelsSizesAndValues)
{
    for (uint32_t code : {board::kPwmStart, board::kPwmStop, board::kPwmSet}) {
        SCOPED_TRACE(code);
        for (uint32_t channel : {2u, 0xFFFFFFFFu})
            expect_refused(pwm(code, {channel, 1, 1, 1, 1}), kInvalidParameter);
        PwmRecord r{0, 1, 1, 1, 1};
        for (uint32_t size : {0u, 8u, 16u, 24u})
            expect_refused(board::request(code, &r, size, nullptr, 0), kInvalidParameter);
        expect_refused(board::request(code, nullptr, 20, nullptr, 0), kInvalidParameter);
    }
    ASSERT_TRUE(pwm(board::kPwmSet, {0, 0, 10, 20, 30}).ok);
    for (PwmRecord r : {PwmRecord{0, 0, 64, 20, 30}, PwmRecord{0, 0, 10, 1024, 30},
                        PwmRecord{0, 0, 10, 20, 1024}, PwmRecord{0, 0, 0xFFFFFFFF, 0, 0}}) {
        expect_refused(pwm(board::kPwmSet, r), kInvalidParameter);
        board::Pwm p = board::status().pwm[0];
        EXPECT_EQ(p.cr, 10u);
        EXPECT_EQ(p.dcr, 20u);
        EXPECT_EQ(p.pcr, 30u);
    }
    EXPECT_EQ(board::status().pwm[0].running, 0u);
}

TEST_F(BoardRequests, UnknownCodesAreNotSupported)
{
    char record[20] = {};
    for (uint32_t code : {0x812C000Cu, 0x812C0010u, 0x812C0000u, 0x812C0020u, 0x812D0004u,
                          0x812C0005u, 0u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(code);
        expect_refused(board::request(code, record, 8, record, 8), kNotSupported);
        expect_refused(board::request(code, record, 20, nullptr, 0), kNotSupported);
    }
    EXPECT_EQ(board::code_name(0x812C000C), "0x812C000C");
    EXPECT_EQ(board::code_name(0x10), "0x00000010");
    EXPECT_EQ(board::code_name(board::kPwmStop), "IOCTL_PWM_STOP");
}

TEST_F(BoardRequests, ArmedFaultHitsOnlyTheNextRequest)
{
    board::arm_fault();
    EXPECT_TRUE(board::status().fault_armed);
    board::Result r = set_pin(3, 0);
    EXPECT_TRUE(r.fault);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(board::status().pins[3].driven, 1);
    EXPECT_FALSE(board::status().fault_armed);
    r = set_pin(3, 0);
    EXPECT_TRUE(r.ok);
    EXPECT_FALSE(r.fault);
    EXPECT_EQ(board::status().pins[3].driven, 0);
}

TEST_F(BoardRequests, ExternalLevelOverridesTheDrivenOneUntilReleased)
{
    ASSERT_TRUE(set_pin(7, 1).ok);
    board::set_input(7, 0);
    EXPECT_EQ(board::status().pins[7].level(), 0);
    ASSERT_TRUE(set_pin(7, 1).ok);
    EXPECT_EQ(board::status().pins[7].level(), 0) << "driving beat the outside level";
    board::set_input(7, 5);
    EXPECT_EQ(board::status().pins[7].external, 1);
    board::set_input(7, -1);
    ASSERT_TRUE(set_pin(7, 0).ok);
    EXPECT_EQ(board::status().pins[7].level(), 0);

    // A pin the board does not have is refused, and nothing else changes.
    EXPECT_THROW(board::set_input(64, 0), board::Error);
    EXPECT_THROW(board::set_input(-1, 0), board::Error);
    board::Status st = board::status();
    EXPECT_FALSE(st.pins[0].touched);
    EXPECT_EQ(st.pins[63].level(), 1);
}

// Each damage is written before this process first maps the file.
TEST_F(BoardRequests, DamagedStateFileIsReportedNotUsed)
{
    std::string state = board_.dir() + "/board.state";
    test_support::write_file(state, "not a board");
    try {
        board::status();
        ADD_FAILURE() << "a state file of the wrong size was used";
    } catch (const board::Error &e) {
        EXPECT_NE(e.message.find(state), std::string::npos) << e.message;
        EXPECT_NE(e.message.find("board reset"), std::string::npos) << e.message;
    }
    test_support::write_file(state, std::string(4096, 'x'));
    EXPECT_THROW(set_pin(3, 0), board::Error);
    EXPECT_THROW(board::arm_fault(), board::Error);

    board::reset();
    EXPECT_TRUE(set_pin(3, 0).ok);
    EXPECT_EQ(board::status().pins[3].level(), 0);
}

// A state of the right size and version whose fields hold values the board
// never writes: a pin level of 7, a pin "released" to 2, PWM registers with
// bits no rate sets.  Each is refused, not handed on to programs.
TEST_F(BoardRequests, StateFieldsOutOfRangeAreReportedNotUsed)
{
    struct Damage {
        off_t offset;  // in the state file
        std::vector<uint8_t> bytes;
    };
    const int last_slot = board::kHandleSlots - 1;
    Damage damages[] = {
        {STATE_AT(pins[5].driven), {7}},
        {STATE_AT(pins[5].external), {2}},
        {STATE_AT(pins[5].touched), {3}},
        {STATE_AT(pwm[0]) + 3, {0x08}},  // a bit past the registers of channel 0
        {STATE_AT(pwm[1]) + 3, {0x80}},  // the same of channel 1
        {STATE_AT(fault_armed), {5, 0, 0, 0}},
        {STATE_AT(tail), {0, 0, 0, 0}},  // the last word (the file's end)
        {STATE_AT(plugged), {2, 0, 0, 0}},
        {STATE_AT(serial_port), {3, 0, 0, 0}},  // serial debug port of this start
        {STATE_AT(handles[last_slot].shards[3]), {0xFF, 0xFF, 0xFF, 0xFF}},  // a shard counting for a negative pid
        {STATE_AT(handles[last_slot].pid), {0xFF, 0xFF, 0xFF, 0xFF}},        // a negative pid
        {STATE_AT(id), {0, 0, 0, 0, 0, 0, 0, 0}},  // no board's id: its readers could not tell it
        {STATE_AT(id), {2}},                        // nor an even one
        {STATE_AT(requests[2].n), {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},  // more than ever made
        {STATE_AT(handles[3].shards[1]) + 4, {0x00, 0x94, 0x35, 0x77}},  // 2000000000 handles
        {STATE_AT(handles[3].shards[1]) + 4, {0x00, 0x00, 0x00, 0x80}},  // and far below none
        // The readers that hold writers back: a keeper no board has
        {STATE_AT(waking.held) + 1, {0x01}},
        {STATE_AT(keepers[2].pid), {0xFF, 0xFF, 0xFF, 0xFF}},  // a negative pid
        {STATE_AT(keepers[7].pid), {0x01, 0x00, 0x40, 0x00}},  // past the kernel's largest
        {STATE_AT(keepers[0].unused), {1, 0, 0, 0}},
        {STATE_AT(keepers[3].next[5]), {0, 0, 0, 0, 0, 0, 0, 0x80}},  // far past the lane's head
        {STATE_AT(keepers[1].next[0]), {0xE8, 0x03}},                 // 1000 of the few events begun
    };
    std::string state = board_.dir() + "/board.state";
    for (const Damage &d : damages) {
        board::reset();
        ASSERT_TRUE(set_pin(5, 0).ok);
        int fd = open(state.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, d.bytes.data(), d.bytes.size(), d.offset), (ssize_t)d.bytes.size());
        close(fd);
        try {
            board::status();
            ADD_FAILURE() << "a damaged field at byte " << d.offset << " was used";
        } catch (const board::Error &e) {
            EXPECT_NE(e.message.find("board reset"), std::string::npos) << e.message;
        }
        EXPECT_THROW(board::request(board::kGetPin, nullptr, 0, nullptr, 0), board::Error);
    }
    board::reset();
    EXPECT_EQ(board::status().pins[5].level(), 1);
}

const board::OpenHandles *handles_of(const std::vector<board::OpenHandles> &all, int pid)
{
    for (const board::OpenHandles &h : all)
        if (h.pid == pid)
            return &h;
    return nullptr;
}

// A child process that opens count handles and ends without closing them.
pid_t ended_child_with_handles(int count)
{
    pid_t child = fork();
    if (child == 0) {
        for (int i = 0; i < count; ++i)
            board::handle_opened();
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return child;
}

// Driver handles are counted per process; a process that has ended keeps
// its count, shown as ended, until its slot is needed; a reset forgets all.
TEST_F(BoardRequests, DriverHandlesAreCountedPerProcess)
{
    EXPECT_TRUE(board::open_handles().empty());
    board::handle_opened();
    board::handle_opened();
    board::handle_closed();
    std::vector<board::OpenHandles> all = board::open_handles();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].pid, getpid());
    EXPECT_EQ(all[0].count, 1u);
    EXPECT_TRUE(all[0].alive);

    pid_t child = ended_child_with_handles(2);
    all = board::open_handles();
    ASSERT_EQ(all.size(), 2u);
    const board::OpenHandles *ended = handles_of(all, child);
    ASSERT_NE(ended, nullptr);
    EXPECT_EQ(ended->count, 2u);
    EXPECT_FALSE(ended->alive);

    board::handle_closed();
    board::handle_closed();  // more closes than opens change nothing
    all = board::open_handles();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].pid, child);

    board::reset();
    EXPECT_TRUE(board::open_handles().empty());
}

TEST_F(BoardRequests, AFullHandleTableMakesRoomFromAnEndedProcess)
{
    std::vector<pid_t> children;
    for (int i = 0; i < board::kHandleSlots; ++i)
        children.push_back(ended_child_with_handles(1));
    ASSERT_EQ(board::open_handles().size(), static_cast<size_t>(board::kHandleSlots));
    board::handle_opened();
    std::vector<board::OpenHandles> all = board::open_handles();
    ASSERT_EQ(all.size(), static_cast<size_t>(board::kHandleSlots));
    const board::OpenHandles *mine = handles_of(all, getpid());
    ASSERT_NE(mine, nullptr);
    EXPECT_EQ(mine->count, 1u);
    EXPECT_TRUE(mine->alive);
    EXPECT_EQ(handles_of(all, children[0]), nullptr);  // the first ended one made room
}

// The image check gives the verdict the board's own use of the file gives:
// the file as the board writes it, and the same changed in each way.
// A state file an earlier build wrote (another size, an older version) is
// replaced by a fresh state on first use, and the registry and the device
// files stay as they were; one of a later version is refused.
TEST_F(BoardRequests, AStateOfAnEarlierLayoutStartsAfreshKeepingTheRegistry)
{
    set_pin(3, 0);
    std::string registry = board_.dir() + "/registry.reg";
    std::string kept = test_support::read_file(registry) + "; a person's note\n";
    test_support::write_file(registry, kept);
    std::string state = board_.dir() + "/board.state";
    std::string file = test_support::read_file(state);
    for (size_t size : {size_t(4096), size_t(12288), file.size()}) {
        SCOPED_TRACE(size);
        std::string earlier(size, '\0');
        std::memcpy(&earlier[0], "BARD\2\0\0\0", 8);
        test_support::write_file(state, earlier);
        board::Status st = board::status();
        EXPECT_EQ(st.pins[3].level(), 1);
        EXPECT_FALSE(st.pins[3].touched);
        EXPECT_EQ(test_support::read_file(state).size(), file.size());
        set_pin(3, 0);
    }
    EXPECT_EQ(test_support::read_file(registry), kept);
    std::string later = file;
    later[4] = 9;
    test_support::write_file(state, later);
    try {
        board::status();
        ADD_FAILURE() << "a state of a later version was used";
    } catch (const board::Error &e) {
        EXPECT_NE(e.message.find("not a board state of this version"), std::string::npos) << e.message;
    }
}

// Handle counts no process could hold, put in this process's own slot
// after it counted there: opening, closing and listing neither overflow
// nor hand on the figure; the listing says the state is damaged.
TEST_F(BoardRequests, ImpossibleHandleCountsAreDamageNotFigures)
{
    for (int32_t bad : {INT32_MAX, INT32_MIN, 2000000000}) {
        SCOPED_TRACE(bad);
        board::reset();
        std::string state = board_.dir() + "/board.state";
        pid_t child = test_support::fork_child([&] {
            board::handle_opened();
            int fd = open(state.c_str(), O_RDWR);
            int32_t me = getpid();
            for (int i = 0; fd >= 0 && i < board::kHandleSlots; ++i) {
                int32_t pid = 0;
                if (pread(fd, &pid, sizeof pid, STATE_AT(handles[i].pid)) != (ssize_t)sizeof pid)
                    return 2;
                for (int shard = 0; pid == me && shard < board::internal::kCounterShards; ++shard) {
                    uint64_t w = board::internal::shard_word(me, bad);
                    if (pwrite(fd, &w, sizeof w, STATE_AT(handles[i].shards[shard])) != (ssize_t)sizeof w)
                        return 3;
                }
            }
            if (fd < 0)
                return 4;
            close(fd);
            board::handle_opened();
            board::handle_closed();
            board::handle_closed();
            try {
                board::open_handles();
                return 5;
            } catch (const board::Error &e) {
                return e.message.find("damaged") != std::string::npos ? 0 : 6;
            }
        });
        EXPECT_EQ(test_support::wait_child(child), 0);
    }
}

// Handles opened by one thread and closed by another: no
// shard drifts below 0 (one would, in time, pass the bound the check
// holds every shard to, and a sound board be called damaged).
TEST_F(BoardRequests, HandlesClosedByAnotherThreadLeaveNoShardBelowNone)
{
    for (int i = 0; i < 200; ++i)
        board::handle_opened();
    // A thread running beside this one: a slot, and so a shard, of its own.
    std::thread([] {
        for (int i = 0; i < 200; ++i)
            board::handle_closed();
    }).join();
    board::handle_opened();
    std::vector<board::OpenHandles> all = board::open_handles();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].count, 1u);
    std::string file = test_support::read_file(board_.dir() + "/board.state");
    for (int i = 0; i < board::kHandleSlots; ++i) {
        int32_t pid;
        std::memcpy(&pid, &file[STATE_AT(handles[i].pid)], sizeof pid);
        for (int shard = 0; pid == getpid() && shard < board::internal::kCounterShards; ++shard) {
            uint64_t w;
            std::memcpy(&w, &file[STATE_AT(handles[i].shards[shard])], sizeof w);
            EXPECT_GE(board::internal::shard_count(w), 0) << "shard " << shard;
        }
    }
}

// A slot counting for this pid that this process never counted in was an
// ended process's whose pid came round again: its counts are not taken
// for this process's handles.
TEST_F(BoardRequests, ARecycledPidDoesNotInheritAnEndedProcesssHandles)
{
    set_pin(3, 0);
    std::string state = board_.dir() + "/board.state";
    pid_t child = test_support::fork_child([&] {
        int fd = open(state.c_str(), O_WRONLY);
        if (fd < 0)
            return 2;
        int32_t me = getpid();
        bool ok = pwrite(fd, &me, sizeof me, STATE_AT(handles[5].pid)) == (ssize_t)sizeof me;
        for (int shard = 0; shard < board::internal::kCounterShards; ++shard) {
            uint64_t w = board::internal::shard_word(me, 5);  // 5 handles, "open"
            ok = ok && pwrite(fd, &w, sizeof w, STATE_AT(handles[5].shards[shard])) == (ssize_t)sizeof w;
        }
        close(fd);
        if (!ok)
            return 3;
        board::handle_opened();
        board::handle_closed();
        for (const board::OpenHandles &h : board::open_handles())
            if (h.pid == me)
                return 4;
        return 0;
    });
    EXPECT_EQ(test_support::wait_child(child), 0);
}

TEST_F(BoardRequests, TheImageCheckJudgesEachKindOfFile)
{
    set_pin(3, 0);
    board::handle_opened();
    std::string file = test_support::read_file(board_.dir() + "/board.state");
    board::handle_closed();
    auto judged = [&](size_t at, std::vector<uint8_t> bytes, size_t size) {
        std::string image = file;
        std::memcpy(&image[at], bytes.data(), bytes.size());
        return board::check_state_image(image.data(), size);
    };
    EXPECT_EQ(board::check_state_image(file.data(), file.size()), board::StateImage::Ok);
    std::string shifted = " " + file;  // not aligned as a mapping is
    EXPECT_EQ(board::check_state_image(shifted.data() + 1, file.size()), board::StateImage::Ok);
    EXPECT_EQ(board::check_state_image(file.data(), file.size() - 1), board::StateImage::WrongSize);
    EXPECT_EQ(board::check_state_image(file.data(), 4096), board::StateImage::WrongSize);
    const size_t magic = STATE_AT(magic), version = STATE_AT(version);
    EXPECT_EQ(judged(magic, {0, 0, 0, 0}, file.size()), board::StateImage::Retired);
    EXPECT_EQ(judged(version, {1, 0, 0, 0}, file.size()), board::StateImage::Earlier);
    EXPECT_EQ(judged(version, {2, 0, 0, 0}, 4096), board::StateImage::Earlier);
    EXPECT_EQ(judged(version, {4, 0, 0, 0}, file.size()), board::StateImage::OtherVersion);  // a later one
    EXPECT_EQ(judged(version, {0, 0, 0, 0}, file.size()), board::StateImage::OtherVersion);
    EXPECT_EQ(judged(magic + 1, {0}, file.size()), board::StateImage::OtherVersion);
    EXPECT_EQ(judged(STATE_AT(serial_port), {3}, file.size()), board::StateImage::Damaged);
    // a shard of slot 10 of the handle table counts for a negative pid
    EXPECT_EQ(judged(STATE_AT(handles[10].shards[2]) + 3, {0x80}, file.size()), board::StateImage::Damaged);
    EXPECT_EQ(judged(STATE_AT(tail), {0}, file.size()), board::StateImage::Damaged);  // cut short
    EXPECT_EQ(judged(STATE_AT(keepers[4].next[2]) + 7, {0x01}, file.size()), board::StateImage::Damaged);
    // The readers' waking word counts wake-ups: every value is one.
    for (uint8_t b : {0x00, 0x01, 0xFE, 0xFF})
        EXPECT_EQ(judged(STATE_AT(waking.word), {b, b, b, b}, file.size()), board::StateImage::Ok) << int(b);
}

// A hold further off than a test ever sets (a test killed while holding
// leaves one lapsing within a minute; a damaged word, any) is not taken.
TEST_F(BoardRequests, AHoldNoTestSetDoesNotHangTheBoard)
{
    set_pin(4, 0);
    int fd = open((board_.dir() + "/board.state").c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    uint32_t forever = 0xFFFFFFFF;
    ASSERT_EQ(pwrite(fd, &forever, sizeof forever, STATE_AT(hold)), (ssize_t)sizeof forever);
    close(fd);
    pid_t child = test_support::fork_child([] {
        alarm(20);  // a request that waits for ever ends the child
        return set_pin(4, 1).ok ? 0 : 1;
    });
    EXPECT_EQ(test_support::wait_child(child), 0);
    EXPECT_EQ(board::status().pins[4].level(), 1);
}

// While the board holds requests, a request waits inside the driver, seen
// by requests_held(), until released, or until a reset replaces the board.
TEST_F(BoardRequests, HeldRequestsWaitUntilReleasedOrReset)
{
    for (bool by_reset : {false, true}) {
        SCOPED_TRACE(by_reset);
        board::hold_requests(true);
        std::atomic<bool> answered{false};
        board::Result r{};
        std::thread caller([&] {
            r = set_pin(4, 0);
            answered = true;
        });
        bool waiting = false;
        for (int i = 0; i < 10000 && !waiting; ++i) {
            waiting = board::requests_held() == 1;
            if (!waiting)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        EXPECT_TRUE(waiting);
        EXPECT_FALSE(answered);
        if (by_reset)
            board::reset();
        else
            board::hold_requests(false);
        caller.join();
        EXPECT_TRUE(r.ok);
        EXPECT_EQ(board::requests_held(), 0u);
        EXPECT_TRUE(set_pin(5, 0).ok);  // requests answer at once again
    }
}

// Threads of several processes opening and closing at once lose no count:
// each process ends with the handles it left open, in one slot of its own.
TEST_F(BoardRequests, HandlesOpenedAndClosedAtOnceAreCountedExactly)
{
    auto churn = [](int threads, int keep) {
        std::vector<std::thread> all;
        for (int t = 0; t < threads; ++t)
            all.emplace_back([keep, t] {
                for (int i = 0; i < 20000; ++i) {
                    board::handle_opened();
                    board::handle_closed();
                }
                if (t < keep)
                    board::handle_opened();
            });
        for (std::thread &t : all)
            t.join();
    };
    int ready[2], go[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(go), 0);
    pid_t child = fork();
    if (child == 0) {
        char c = 0;
        if (write(ready[1], &c, 1) != 1 || read(go[0], &c, 1) != 1)
            _exit(1);
        churn(3, 2);
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    ASSERT_EQ(write(go[1], &c, 1), 1);
    churn(4, 3);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    for (int fd : {ready[0], ready[1], go[0], go[1]})
        close(fd);
    std::vector<board::OpenHandles> all = board::open_handles();
    ASSERT_EQ(all.size(), 2u);
    const board::OpenHandles *mine = handles_of(all, getpid());
    const board::OpenHandles *its = handles_of(all, child);
    ASSERT_NE(mine, nullptr);
    ASSERT_NE(its, nullptr);
    EXPECT_EQ(mine->count, 3u);
    EXPECT_EQ(its->count, 2u);
    EXPECT_FALSE(its->alive);
}

// A pin damaged by another program after this process validated the board:
// a request through an open handle does not hand its level on, and the
// other pins answer as before.
TEST_F(BoardRequests, ADamagedPinIsNotReadThroughAnOpenHandle)
{
    ASSERT_TRUE(board::open_device());
    std::string state = board_.dir() + "/board.state";
    for (uint8_t bad : {uint8_t(2), uint8_t(0xF0)}) {
        SCOPED_TRACE(int(bad));
        int fd = open(state.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, &bad, 1, STATE_AT(pins[5].external)), 1);
        close(fd);
        Pin get{5, 0};
        EXPECT_THROW(board::device_request(board::kGetPin, &get, 8, &get, 8), board::Error);
        get = Pin{6, 0};
        EXPECT_TRUE(board::device_request(board::kGetPin, &get, 8, &get, 8).ok);
        EXPECT_EQ(get.level, 1);
    }
}

// Another program cuts the state file short while this process has it
// mapped: the next use reports it instead of touching pages that are gone;
// cut to nothing, it is a fresh board as an empty file always is.
TEST_F(BoardRequests, StateFileCutShortWhileMappedIsReportedNotTouched)
{
    std::string state = board_.dir() + "/board.state";
    ASSERT_TRUE(set_pin(5, 0).ok);
    ASSERT_EQ(truncate(state.c_str(), 100), 0);
    EXPECT_THROW(board::status(), board::Error);
    EXPECT_THROW(set_pin(5, 1), board::Error);
    ASSERT_EQ(truncate(state.c_str(), 0), 0);
    EXPECT_EQ(board::status().pins[5].level(), 1);
}

// The first use of a board on a file system that takes only part of the
// state (here a limit on file sizes, as a nearly full disk would): the
// error says why, and no cut state is left for every later use to refuse.
TEST_F(BoardRequests, AFirstStateThatCannotBeWrittenWholeLeavesNoCutFile)
{
    std::string state = board_.dir() + "/board.state";
    pid_t child = test_support::fork_child([] {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {16384, 16384};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
            return 2;
        try {
            board::status();
            return 3;
        } catch (const board::Error &e) {
            std::fprintf(stderr, "%s\n", e.message.c_str());
            return e.message.find(std::strerror(EFBIG)) != std::string::npos ? 0 : 4;
        }
    });
    EXPECT_EQ(test_support::wait_child(child), 0);
    struct stat st;
    EXPECT_TRUE(stat(state.c_str(), &st) != 0 || st.st_size == 0) << st.st_size << " bytes";
    EXPECT_NE(stat((state + ".new").c_str(), &st), 0) << "the part written aside is left";
    expect_defaults();
}

// A reset that cannot mark the file it replaced retired (a file system
// that fails the write) says so, after making the whole fresh board; a
// process on the old board finds the fresh one all the same.
TEST_F(BoardRequests, AResetThatCannotRetireTheOldStateSaysSo)
{
    ASSERT_TRUE(set_pin(3, 0).ok);
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    pid_t on_old = test_support::fork_child([&] {
        char c;
        if (read(go[0], &c, 1) != 1)
            return 2;
        return board::status().pins[3].touched ? 1 : 0;
    });
    std::string registry = board_.dir() + "/registry.reg";
    test_support::write_file(registry, "not a registry\n");
    board::internal::fail_retiring_with(EIO);
    try {
        board::reset();
        ADD_FAILURE() << "the reset said nothing";
    } catch (const board::Error &e) {
        EXPECT_NE(e.message.find(std::strerror(EIO)), std::string::npos) << e.message;
        EXPECT_NE(e.message.find(board_.dir() + "/board.state"), std::string::npos) << e.message;
    }
    board::internal::fail_retiring_with(0);
    EXPECT_NE(test_support::read_file(registry), "not a registry\n") << "the reset stopped half-way";
    ASSERT_EQ(write(go[1], "g", 1), 1);
    EXPECT_EQ(test_support::wait_child(on_old), 0);
    expect_defaults();
    close(go[0]);
    close(go[1]);
}

TEST_F(BoardRequests, UnusableFolderIsReported)
{
    std::string file = board_.dir() + "/plain-file";
    test_support::write_file(file, "x");
    setenv("BOARD_DIR", (file + "/board").c_str(), 1);
    EXPECT_THROW(board::status(), board::Error);
    EXPECT_THROW(board::reset(), board::Error);
    EXPECT_THROW(set_pin(3, 1), board::Error);
}

}  // namespace
