#include "board/board.h"
#include "board/events.h"

#include "board/device_files.h"
#include "board/file_util.h"
#include "board/registry_file.h"
#include "board/serial.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <atomic>
#include <memory>
#include <random>
#include <algorithm>
#include <ctime>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace board {
namespace {

constexpr uint32_t kMagic = 0x44524142;  // "BARD"
constexpr uint32_t kVersion = 3;
constexpr uint32_t kErrInvalidParameter = 87;
constexpr uint32_t kErrInsufficientBuffer = 122;
constexpr uint32_t kErrNotSupported = 50;

constexpr uint32_t kSerialAsImage = 0, kSerialOn = 1, kSerialOff = 2;

// How long a reader's wish for the requests that change nothing lasts
// unless renewed, and how often EventReader::poll renews it.
constexpr uint64_t kWishLasts = 2000 * 1000000ull, kWishRenew = 500 * 1000000ull;

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

// A PWM channel's registers packed in one word, so that a request changes
// them, and a reader reads them, in one atomic step: cr in bits 0-5, dcr in
// 6-15, pcr in 16-25, running in bit 26.  The bits above are never set.
constexpr uint32_t kPwmRunning = 1u << 26;
constexpr uint32_t kPwmUnused = ~((1u << 27) - 1);
uint32_t pwm_pack(uint32_t cr, uint32_t dcr, uint32_t pcr) { return cr | dcr << 6 | pcr << 16; }
Pwm pwm_unpack(uint32_t w)
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
    // readers of events, whose numbers start again).
    uint64_t id;
    // Until this time (monotonic nanoseconds) some reader of events wants
    // the requests that change nothing as well; 0: nobody does.
    uint64_t requests_until;
    PinLine pins[kPins];
    Counter requests[kCounterShards];
};

// Driver handles open per process: the pid on a line of its own (read by
// every open), and the count in shards, one per group of threads, each on
// its own line, so that threads opening and closing at once on different
// cores do not take a line from each other.  A shard's word holds the pid
// it counts for in its low half and the count in its high half, changed
// in one compare-and-swap: a thread whose board was mapped over between
// finding its slot and counting finds another pid there and counts
// nothing.  A shard may count below 0 (a handle opened by one thread and
// closed by another); the process's count is the sum of the shards that
// count for it.  A process keeps its slot for its life; the slot of a
// process that has ended goes to the next process that finds no free one.
struct alignas(kApart) HandleShard {
    uint64_t w;
};
struct HandleSlot {
    alignas(kApart) int32_t pid;
    HandleShard shards[kCounterShards];
};

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
// page is gone altogether (see on_sigbus), so an open notices either
// without asking the file's size.
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

// The RAS devices the board can have, all present on a fresh board.
struct KnownRasDevice {
    const char *name;
    const char *type;
};
const KnownRasDevice kRasDevices[] = {
    {"Serial on USB", "direct"},
    {"Serial Cable on COM1:", "direct"},
    {"Hayes Compatible on COM1:", "modem"},
};

// Writes an event, stamped now (or at stamp, for tests).
void write_event(State *s, EventKind kind, Cause cause, int which, uint32_t now, uint32_t before,
                 uint64_t stamp = 0);

// A fresh board, whose first event is its reset.
std::unique_ptr<State> defaults()
{
    std::unique_ptr<State> s(new State);
    std::memset(static_cast<void *>(s.get()), 0, sizeof *s);
    s->magic = kMagic;
    s->version = kVersion;
    s->plugged = 1;
    s->powered = 1;
    for (int i = 0; i < kPins; ++i) {
        s->pins[i].driven = 1;  // pulled up
        s->pins[i].external = -1;
    }
    std::random_device random;
    s->id = (uint64_t(random()) << 32 ^ random() ^ monotonic_now()) | 1;
    s->tail = kMagic;
    write_event(s.get(), EventKind::Reset, Cause::Outside, -1, 0, 0);
    return s;
}

enum class Check { Ok, Retired, Foreign, Damaged };

// What the mapped state is, from the words an open reads: a board state of
// this version, whole to its last word, a file retired by 'board reset'
// (magic 0), another kind of file, or one cut short.
Check check_mapping(const State &s)
{
    uint32_t magic = load(s.magic);
    if (magic == 0)
        return Check::Retired;
    if (magic != kMagic || load(s.version) != kVersion)
        return Check::Foreign;
    return load(s.tail) == kMagic && load(s.plugged) <= 1 ? Check::Ok : Check::Damaged;
}

// The same, and every field holds a value the board writes: a file changed
// by hand or by another program could have its pins read levels such as
// 110.  Done when the file is mapped and for the whole state's readers; a
// request checks what it reads itself, so that opens do not read the lines
// other threads write.  The room is not looked at: later fields live there.
Check check(const State &s)
{
    Check c = check_mapping(s);
    if (c != Check::Ok)
        return c;
    bool ok = load(s.powered) <= 1 && load(s.fault_armed) <= 1 &&
              load(s.serial_port) <= kSerialOff;
    for (const HandleSlot &h : s.handles) {
        ok = ok && load(h.pid) >= 0;
        for (const HandleShard &shard : h.shards)
            ok = ok && static_cast<int32_t>(load(shard.w)) >= 0;
    }
    for (int c = 0; c < kChannels; ++c)
        ok = ok && (load(s.pwm[c]) & kPwmUnused) == 0;
    for (const PinLine &p : s.pins) {
        int8_t driven = load(p.driven), external = load(p.external);
        uint8_t touched = load(p.touched);
        ok = ok && (driven == 0 || driven == 1) && external >= -1 && external <= 1 && touched <= 1;
    }
    return ok ? Check::Ok : Check::Damaged;
}

using file_util::mkdirs;

const char kStateFile[] = "board.state";
const char kStateNew[] = "board.state.new";

std::string state_path(const std::string &d) { return d + "/" + kStateFile; }

Error wrong_size(const std::string &p, off_t size)
{
    return Error{"board state file " + p + " has the wrong size (" + std::to_string(size) + " bytes, not " +
                 std::to_string(kStateSize) + "); run 'board reset'"};
}

// Removes what processes killed half-way left in the board folder: each
// file written aside only while no writer of it is at work (the registry's
// under its lock, as the registry writes them).
void tidy(const file_util::Folder &folder)
{
    file_util::remove_left_overs(folder, "", {kStateNew});
    file_util::remove_left_overs(folder, "registry.lock",
                                 {"registry.reg.new", "registry.protected.new"});
    files::tidy(folder);
}

// The process maps the state of the board it uses at one fixed address for
// its whole life.  Changing boards (another BOARD_DIR, or the file 'board
// reset' put in place) maps the new file over the old one in one step
// (MAP_FIXED), so a thread in the middle of a request reads either file,
// never a hole, and nothing holds on to a mapping that is gone.
//
// A file cut short by another program while mapped would end the process
// with SIGBUS on the first touch of the lost page.  Asking the file's size
// on every request would cost a system call each; instead on_sigbus puts
// zeros in the mapping's place and the access goes on: it reads
// magic 0, the next use maps the file again and reports its size.  What a
// request wrote in that instant is lost, as the file itself is.  The
// handler is the process's own for faults in the mapping only; every other
// SIGBUS goes on to the handler that was there before (or ends the
// process).  A program that later installs a SIGBUS handler of its own
// takes this one's place: a truncation then reaches that handler.
char *g_region;
uint64_t g_region_generation;  // counts mappings, changed under g_map_lock
std::string g_dir;             // the board mapped at g_region, under g_map_lock
struct sigaction g_old_sigbus;

// Set once, under g_map_lock, and read by requests without it.
State *region() { return reinterpret_cast<State *>(__atomic_load_n(&g_region, __ATOMIC_ACQUIRE)); }

#if defined(__SANITIZE_THREAD__)
extern "C" void AnnotateIgnoreWritesBegin(const char *file, int line);
extern "C" void AnnotateIgnoreWritesEnd(const char *file, int line);
#endif

// Maps over g_region in one step.  Other threads may be reading it with
// atomic loads meanwhile and read the old or the new file, both valid; the
// thread checker would take the mapping for a plain write of the whole
// range, so it is told to forget the range's history instead.
void *map_over(int flags, int fd)
{
#if defined(__SANITIZE_THREAD__)
    AnnotateIgnoreWritesBegin(__FILE__, __LINE__);
#endif
    void *m = mmap(g_region, kStateSize, PROT_READ | PROT_WRITE, MAP_FIXED | flags, fd, 0);
#if defined(__SANITIZE_THREAD__)
    AnnotateIgnoreWritesEnd(__FILE__, __LINE__);
#endif
    return m;
}

// Zeros in place of whatever is mapped (a fresh mapping, no file behind it).
void map_zeros() { map_over(MAP_PRIVATE | MAP_ANONYMOUS, -1); }

bool bus_fault_in_mapping(const void *addr)
{
    const char *at = static_cast<const char *>(addr);
    char *mapped = reinterpret_cast<char *>(region());
    if (!mapped || at < mapped || at >= mapped + kStateSize)
        return false;
    int saved = errno;
    map_zeros();
    errno = saved;
    return true;
}

void on_sigbus(int sig, siginfo_t *info, void *context)
{
    if (bus_fault_in_mapping(info->si_addr))
        return;
    if (g_old_sigbus.sa_flags & SA_SIGINFO) {
        g_old_sigbus.sa_sigaction(sig, info, context);
    } else if (g_old_sigbus.sa_handler != SIG_DFL && g_old_sigbus.sa_handler != SIG_IGN) {
        g_old_sigbus.sa_handler(sig);
    } else {
        // The fault repeats on return and ends the process, as it would have.
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        sigaction(SIGBUS, &dfl, nullptr);
    }
}

// Guards g_dir and the mapping in g_region while one thread maps a board.
std::mutex g_map_lock;

// Keeps this process's threads from claiming two handle slots at once.
std::mutex g_claim_lock;
// The board (its id) this process counts its handles on, under
// g_claim_lock; 0 in a process that has counted none.
uint64_t g_counted_on;
// This process's id, asked once (and again in a forked child), so that an
// open or close of a driver handle makes no system call.
std::atomic<int32_t> g_pid{0};

void fork_prepare()
{
    g_map_lock.lock();
    g_claim_lock.lock();
}
void fork_parent()
{
    g_claim_lock.unlock();
    g_map_lock.unlock();
}
void fork_child()
{
    g_pid.store(0, std::memory_order_relaxed);
    g_counted_on = 0;
    g_claim_lock.unlock();
    g_map_lock.unlock();
}
const int g_fork_handlers = pthread_atfork(fork_prepare, fork_parent, fork_child);

void map_file(const std::string &d);
void replace_state(const file_util::Folder &folder, const std::string &p, bool only_earlier);

// Whether a state file's first two words are those of one an earlier
// build of the board wrote: its magic word and an older version (the
// layout changed with each).
bool earlier_head(const uint32_t head[2]) { return head[0] == kMagic && head[1] >= 1 && head[1] < kVersion; }

// The same of the open state file.
bool earlier_layout(int fd)
{
    uint32_t head[2];
    return pread(fd, head, sizeof head, 0) == (ssize_t)sizeof head && earlier_head(head);
}

// The events of the board last mapped over, kept for its readers in this
// process: a board is mapped over when a reset retired it (or another
// folder is used), and what its lanes hold is read from here by a reader
// that had not read it all yet.  Under g_map_lock.
uint64_t g_retired_id;
std::unique_ptr<Lane[]> g_retired_lanes;

// Copies the lanes of the board mapped now, word by word (writers of other
// processes may still be at work on them), before a mapping replaces it.
void keep_retired_events()
{
    State *s = region();
    uint64_t id = load(s->id);
    if (id == 0 || id == g_retired_id)
        return;
    if (!g_retired_lanes)
        g_retired_lanes.reset(new Lane[kEventLanes]);
    const uint64_t *from = reinterpret_cast<const uint64_t *>(s->lanes);
    uint64_t *to = reinterpret_cast<uint64_t *>(g_retired_lanes.get());
    for (size_t i = 0; i < sizeof(Lane) * kEventLanes / sizeof(uint64_t); ++i)
        to[i] = __atomic_load_n(&from[i], __ATOMIC_ACQUIRE);
    g_retired_id = id;
}

// Maps the state file of board folder d at g_region, creating a fresh board
// when the file is missing or empty.  Called with g_map_lock held.  What was
// mapped stays until the new file takes its place in one step, so other
// threads never read a hole or zeros; when the new file cannot be mapped,
// zeros take its place, which no request takes for a board.
void attach(const std::string &d)
{
    try {
        map_file(d);
    } catch (...) {
        map_zeros();
        throw;
    }
}

void map_file(const std::string &d)
{
    if (!g_region) {
        void *m = mmap(nullptr, kStateSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                       -1, 0);
        if (m == MAP_FAILED)
            throw Error{std::string("cannot map the board state: ") + std::strerror(errno)};
        __atomic_store_n(&g_region, static_cast<char *>(m), __ATOMIC_RELEASE);
        struct sigaction sa {};
        sa.sa_sigaction = on_sigbus;
        sa.sa_flags = SA_SIGINFO;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGBUS, &sa, &g_old_sigbus);
    }
    keep_retired_events();
    // Whatever happens below, the old board is no longer the one in use.
    g_dir.clear();
    __atomic_add_fetch(&g_region_generation, 1, __ATOMIC_ACQ_REL);

    if (!mkdirs(d))
        throw Error{"cannot create board folder " + d + ": " + std::strerror(errno)};
    std::string p = state_path(d);
    file_util::Folder folder(d);
    tidy(folder);
    // The lock keeps two processes from both writing a fresh state into an
    // empty file (a reset's rename never needs it).  A reset may put its
    // file in place between the open and the lock, and mark the one opened
    // retired (its first word) even while it is still empty: only the file
    // that is the board's state once the lock is held is looked at.
    int fd = -1;
    struct stat st;
    int upgrades = 0;
again:
    for (int attempt = 0;; ++attempt) {
        fd = file_util::open_at(folder, kStateFile, O_RDWR | O_CREAT, file_util::Kind::Written);
        if (fd < 0)
            throw Error{"cannot open " + p + ": " + std::strerror(errno)};
        flock(fd, LOCK_EX);
        struct stat named;
        if (fstat(fd, &st) != 0) {
            int e = errno;
            close(fd);
            throw Error{"cannot open " + p + ": " + std::strerror(e)};
        }
        if ((fstatat(folder.fd(), kStateFile, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
             (named.st_ino == st.st_ino && named.st_dev == st.st_dev)) ||
            attempt == 20)
            break;
        flock(fd, LOCK_UN);
        close(fd);
    }
    if (st.st_size != 0 && earlier_layout(fd)) {
        // A board state an earlier build wrote: the board starts afresh, as
        // after a new image, and keeps its registry and files.
        flock(fd, LOCK_UN);
        close(fd);
        if (upgrades++ > 0)
            throw Error{"board state file " + p + " keeps coming back in an earlier layout; "
                        "run 'board reset'"};
        std::fprintf(stderr, "board: %s was of an earlier layout; the board's pins, channels and power "
                             "start afresh (its registry and files are kept)\n", p.c_str());
        replace_state(folder, p, true);
        goto again;
    }
    if (st.st_size == 0) {
        std::unique_ptr<State> fresh = defaults();
        if (pwrite(fd, fresh.get(), sizeof(State), 0) != (ssize_t)sizeof(State)) {
            int e = errno;
            flock(fd, LOCK_UN);
            close(fd);
            throw Error{"cannot write " + p + ": " + std::strerror(e)};
        }
    } else if (st.st_size != (off_t)kStateSize) {
        flock(fd, LOCK_UN);
        close(fd);
        throw wrong_size(p, st.st_size);
    }
    flock(fd, LOCK_UN);
    void *m = map_over(MAP_SHARED, fd);
    int e = errno;
    close(fd);
    if (m == MAP_FAILED) {
        throw Error{"cannot map " + p + ": " + std::strerror(e)};
    }
    g_dir = d;
}

Error refusal(Check c, const std::string &d)
{
    std::string p = state_path(d);
    if (c == Check::Damaged)
        return Error{"board state file " + p +
                     " is damaged (a field holds a value the board never writes); run 'board reset'"};
    return Error{"board state file " + p + " is not a board state of this version; run 'board reset'"};
}

// The board in use, validated: the state of the folder dir() names, mapped
// (the first use, another folder or a file retired by a reset map it
// afresh, and every field is checked then), of this version and whole;
// with whole set every field is checked again.  Without a change of board
// this costs no system call.  Throws Error.
thread_local std::string t_dir;
thread_local uint64_t t_generation = ~uint64_t(0);

State *validated(bool whole)
{
    auto valid = [whole](const State &s) { return whole ? check(s) : check_mapping(s); };
    const char *env = std::getenv("BOARD_DIR");
    std::string computed;
    const char *d = env && *env ? env : (computed = dir()).c_str();
    if (t_dir == d && __atomic_load_n(&g_region_generation, __ATOMIC_ACQUIRE) == t_generation &&
        valid(*region()) == Check::Ok)
        return region();

    std::lock_guard<std::mutex> guard(g_map_lock);
    Check c = g_dir == d && g_region ? valid(*region()) : Check::Retired;
    // A file retired by 'board reset' (magic 0), cut short, or damaged is
    // mapped again: the one now in its place is the board.  The file just
    // mapped may itself have been retired meanwhile by another reset; a
    // file of zeros that is no retired board is refused after a few tries.
    for (int attempt = 0; c != Check::Ok; ++attempt) {
        attach(d);
        c = check(*region());
        if (c == Check::Retired && attempt < 20)
            continue;
        if (c != Check::Ok) {
            g_dir.clear();
            throw refusal(c == Check::Retired ? Check::Foreign : c, d);
        }
    }
    t_dir = d;
    t_generation = g_region_generation;
    return region();
}

// This thread's shard of the request counter.
Counter &my_counter(State *s) { return s->requests[thread_slot() % kCounterShards]; }

// The slots running threads hold, bit i for slot i.  Dealing slots out in
// turn instead would give a thread started later the slot of one still
// running (every eighth thread, with eight shards).
std::atomic<uint64_t> g_slots_taken{0};

struct ThreadSlot {
    unsigned n = 0;
    bool held = false;
    ThreadSlot()
    {
        static std::atomic<unsigned> next{0};
        uint64_t taken = g_slots_taken.load();
        while (~taken != 0) {
            unsigned free_slot = __builtin_ctzll(~taken);
            if (g_slots_taken.compare_exchange_weak(taken, taken | uint64_t(1) << free_slot)) {
                n = free_slot;
                held = true;
                return;
            }
        }
        n = next++ % 64;  // 64 threads run: share
    }
    ~ThreadSlot()
    {
        if (held)
            g_slots_taken.fetch_and(~(uint64_t(1) << n));
    }
};

int32_t word(const void *in, int i)
{
    int32_t w;
    std::memcpy(&w, static_cast<const char *>(in) + 4 * i, 4);
    return w;
}

Result fail(uint32_t error) { return Result{false, error, 0, false}; }

}  // namespace

bool take_bus_fault(const void *addr) { return bus_fault_in_mapping(addr); }

StateImage check_state_image(const void *image, size_t size)
{
    uint32_t head[2];
    if (size >= sizeof head) {
        std::memcpy(head, image, sizeof head);
        if (earlier_head(head))
            return StateImage::Earlier;
    }
    if (size != sizeof(State))
        return StateImage::WrongSize;
    // Judged in a copy: the image need not be aligned as the mapping is.
    static thread_local std::unique_ptr<State> copy(new State);
    std::memcpy(static_cast<void *>(copy.get()), image, sizeof(State));
    switch (check(*copy)) {
    case Check::Ok: return StateImage::Ok;
    case Check::Retired: return StateImage::Retired;
    case Check::Foreign: return StateImage::OtherVersion;
    case Check::Damaged: break;
    }
    return StateImage::Damaged;
}

namespace {

// The board a handle's open validated (or, retired since, the one now in
// its place), without the cost of a validation: what a request uses.
State *current()
{
    State *s = region();
    return s && load(s->magic) == kMagic ? s : validated(false);
}

void count_opened(State *s);

// Whether the board holds requests now: a hold lasts kHoldSeconds at most,
// and one further off was not set by hold_requests.
constexpr uint32_t kHoldSeconds = 60;
bool held_now(State *s)
{
    uint32_t until = load(s->hold);
    if (until == 0)
        return false;
    uint64_t now = monotonic_now() / 1000000000u + 1;
    if (now < until && until - now <= kHoldSeconds)
        return true;
    // Lapsed: the requests that follow need not look further.
    __atomic_compare_exchange_n(&s->hold, &until, 0u, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
    return false;
}

// A request waits here while the board holds requests (or until the file
// is retired by a reset).
void wait_while_held(State *s)
{
    __atomic_fetch_add(&s->held, 1u, __ATOMIC_ACQ_REL);
    while (held_now(s) && load(s->magic) == kMagic)
        usleep(1000);
    __atomic_fetch_sub(&s->held, 1u, __ATOMIC_ACQ_REL);
}

// Whether some reader of events wants the requests that change nothing
// (a wish that ends by itself unless renewed: a reader killed leaves none).
bool requests_wanted(State *s)
{
    uint64_t until = load(s->requests_until);
    if (until == 0)
        return false;
    uint64_t now = monotonic_now();
    // No reader wishes for longer than kWishLasts: a time further off was
    // not written by one, and ends now.
    if (now < until && until - now <= kWishLasts)
        return true;
    __atomic_compare_exchange_n(&s->requests_until, &until, uint64_t(0), false, __ATOMIC_ACQ_REL,
                                __ATOMIC_ACQUIRE);
    return false;
}

// Drives a pin for a set request.
void drive(State *s, int pin, int8_t level)
{
    PinLine &p = s->pins[pin];
    int8_t was = load(p.driven);
    if (was != level)
        was = __atomic_exchange_n(&p.driven, level, __ATOMIC_ACQ_REL);
    if (!load(p.touched))
        store(p.touched, uint8_t(1));
    // The level changes only when no level is applied from outside.
    int8_t external = load(p.external);
    if (was != level && external < 0) {
        write_event(s, EventKind::Pin, Cause::Request, pin, level, was);
    } else if (requests_wanted(s)) {
        uint32_t stays = external >= 0 ? external : level;  // the pin's level, unchanged
        write_event(s, EventKind::Write, Cause::Request, pin, stays, stays);
    }
}

// Changes a PWM channel's word as change() says, and writes the event.
template <class Change> void change_pwm(State *s, uint32_t channel, Change change)
{
    uint32_t &p = s->pwm[channel];
    uint32_t was = load(p), now;
    do {
        now = change(was);
    } while (!__atomic_compare_exchange_n(&p, &was, now, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE));
    if (now != was || requests_wanted(s))
        write_event(s, EventKind::Pwm, Cause::Request, static_cast<int>(channel), now, was);
}

Result answer(State *s, uint32_t code, const void *in, uint32_t in_size, void *out,
              uint32_t out_size)
{
    if (load(s->hold))
        wait_while_held(s);
    __atomic_fetch_add(&my_counter(s).n, 1, __ATOMIC_RELAXED);
    if (load(s->fault_armed) && __atomic_exchange_n(&s->fault_armed, 0u, __ATOMIC_ACQ_REL)) {
        write_event(s, EventKind::FaultRaised, Cause::Request, -1, 1, 0);
        return Result{false, 0, 0, true};
    }
    switch (code) {
    case kSetPin:
    case kGetPin: {
        if (!in || in_size != 8)
            return fail(kErrInvalidParameter);
        int32_t pin = word(in, 0);
        if (pin < 0 || pin >= kPins)
            return fail(kErrInvalidParameter);
        if (code == kSetPin) {
            drive(s, pin, static_cast<int8_t>(word(in, 1) != 0));
            return Result{true, 0, 0, false};
        }
        if (!out || out_size < 8)
            return fail(kErrInsufficientBuffer);
        int8_t external = load(s->pins[pin].external);
        int32_t level = external >= 0 ? external : load(s->pins[pin].driven);
        // A byte changed by another program since the open is not handed on.
        if (external < -1 || (level != 0 && level != 1))
            throw refusal(Check::Damaged, dir());
        if (requests_wanted(s))
            write_event(s, EventKind::Read, Cause::Request, pin, level, level);
        // Word 2 of the record carries the level back; word 1 is the pin.
        std::memcpy(static_cast<char *>(out), &pin, 4);
        std::memcpy(static_cast<char *>(out) + 4, &level, 4);
        return Result{true, 0, 8, false};
    }
    case kPwmStart:
    case kPwmStop:
    case kPwmSet: {
        if (!in || in_size != 20)
            return fail(kErrInvalidParameter);
        uint32_t channel = static_cast<uint32_t>(word(in, 0));
        if (channel >= kChannels)
            return fail(kErrInvalidParameter);
        if (code == kPwmStart) {
            change_pwm(s, channel, [](uint32_t w) { return w | kPwmRunning; });
        } else if (code == kPwmStop) {
            change_pwm(s, channel, [](uint32_t w) { return w & ~kPwmRunning; });
        } else {
            uint32_t cr = word(in, 2), dcr = word(in, 3), pcr = word(in, 4);
            if (cr > kMaxCr || dcr > kMaxRate || pcr > kMaxRate)
                return fail(kErrInvalidParameter);
            // The registers change together; whether it runs is kept.
            change_pwm(s, channel,
                       [&](uint32_t w) { return (w & kPwmRunning) | pwm_pack(cr, dcr, pcr); });
        }
        return Result{true, 0, 0, false};
    }
    default:
        return fail(kErrNotSupported);
    }
}

}  // namespace

bool open_device()
{
    // Read from the board validated, unless a reset retired it meanwhile.
    for (int attempt = 0;; ++attempt) {
        State *s = validated(false);
        uint32_t plugged = load(s->plugged);
        if (load(s->magic) == kMagic || attempt > 20) {
            if (plugged)
                count_opened(s);
            return plugged != 0;
        }
    }
}

Result device_request(uint32_t code, const void *in, uint32_t in_size, void *out, uint32_t out_size)
{
    // The handle's open validated the board; a request only notices a
    // file retired (or cut short) meanwhile, by its magic word, and is
    // then answered by the board now in its place.
    for (int attempt = 0;; ++attempt) {
        State *s = current();
        Result r = answer(s, code, in, in_size, out, out_size);
        if (r.fault || load(s->magic) == kMagic || attempt > 0)
            return r;
    }
}

Result request(uint32_t code, const void *in, uint32_t in_size, void *out, uint32_t out_size)
{
    validated(true);
    return device_request(code, in, in_size, out, out_size);
}

bool plugged() { return load(validated(true)->plugged) != 0; }

namespace {

// Sets a board-wide switch from outside the device, with its event.
void set_switch(uint32_t State::*field, EventKind kind, bool on, Cause cause = Cause::Outside)
{
    State *s = validated(true);
    if (__atomic_exchange_n(&(s->*field), uint32_t(on), __ATOMIC_ACQ_REL) != uint32_t(on))
        write_event(s, kind, cause, -1, on, !on);
}

}  // namespace

void set_plugged(bool on) { set_switch(&State::plugged, EventKind::Device, on); }

void set_power(bool on, bool by_system)
{
    set_switch(&State::powered, EventKind::Power, on, by_system ? Cause::System : Cause::Outside);
}

void set_input(int pin, int level)
{
    if (pin < 0 || pin >= kPins)
        throw Error{"pin " + std::to_string(pin) + " is not on the board (0 to " +
                    std::to_string(kPins - 1) + ")"};
    State *s = validated(true);
    PinLine &p = s->pins[pin];
    int8_t external = static_cast<int8_t>(level < 0 ? -1 : level != 0);
    int8_t was = __atomic_exchange_n(&p.external, external, __ATOMIC_ACQ_REL);
    store(p.touched, uint8_t(1));
    int8_t driven = load(p.driven);
    int before = was >= 0 ? was : driven, now = external >= 0 ? external : driven;
    if (before != now)
        write_event(s, EventKind::Pin, Cause::Outside, pin, now, before);
}

void arm_fault() { set_switch(&State::fault_armed, EventKind::FaultArmed, true); }

void hold_requests(bool on)
{
    store(validated(true)->hold, on ? static_cast<uint32_t>(monotonic_now() / 1000000000u + kHoldSeconds + 1) : 0u);
}

unsigned requests_held() { return load(validated(true)->held); }

namespace {

// Puts a fresh state file in place of the one in folder (p names it).
// With only_earlier, only when the file there is still of an earlier
// layout: two processes that both found one replace it once.
void replace_state(const file_util::Folder &folder, const std::string &p, bool only_earlier)
{
    std::unique_ptr<State> fresh = defaults();
    {
        // One reset at a time writes the state aside (tidy removes what a
        // killed one left under the same lock).
        file_util::Lock writers(folder, "", true, true);
        // Processes that still map the old file are told by its magic word.
        int old = file_util::open_at(folder, kStateFile, O_RDWR, file_util::Kind::Written);
        if (old >= 0)
            flock(old, LOCK_EX);
        if (only_earlier && !(old >= 0 && earlier_layout(old))) {
            if (old >= 0)
                close(old);
            return;
        }
        try {
            // Written aside and renamed, so that no process ever maps half a state.
            file_util::write_new_at(folder, kStateNew,
                                    std::string(reinterpret_cast<const char *>(fresh.get()), sizeof(State)));
        } catch (const Error &) {
            if (old >= 0)
                close(old);
            throw;
        }
        if (renameat(folder.fd(), kStateNew, folder.fd(), kStateFile) != 0) {
            int e = errno;
            if (old >= 0)
                close(old);
            throw Error{"cannot replace " + p + ": " + std::strerror(e)};
        }
        // Retired at once: a reset killed before this leaves the processes
        // that map the old file on a board nobody else sees.
        if (old >= 0) {
            uint32_t dead = 0;
            ssize_t n = pwrite(old, &dead, sizeof dead, 0);
            (void)n;
            close(old);
        }
        fsync(folder.fd());
    }
}

}  // namespace

void reset()
{
    std::string d = dir();
    if (!mkdirs(d))
        throw Error{"cannot create board folder " + d + ": " + std::strerror(errno)};
    file_util::Folder folder(d);
    replace_state(folder, state_path(d), false);
    tidy(folder);
    {
        // The next use maps the new file (the old one reads magic 0 anyway).
        std::lock_guard<std::mutex> guard(g_map_lock);
        g_dir.clear();
        __atomic_add_fetch(&g_region_generation, 1, __ATOMIC_ACQ_REL);
    }
    reg::reset();
    files::reset();
    serial::reset();
}

Status status()
{
    State *s = validated(true);
    Status st{};
    st.plugged = load(s->plugged);
    st.powered = load(s->powered);
    st.fault_armed = load(s->fault_armed);
    for (const Counter &c : s->requests)
        st.requests += load(c.n);
    for (int i = 0; i < kPins; ++i)
        st.pins[i] = Pin{load(s->pins[i].driven), load(s->pins[i].external),
                         load(s->pins[i].touched) != 0};
    for (int c = 0; c < kChannels; ++c)
        st.pwm[c] = pwm_unpack(load(s->pwm[c]));
    return st;
}

std::vector<RasDevice> ras_devices()
{
    uint32_t absent = load(validated(true)->ras_absent);
    std::vector<RasDevice> out;
    for (size_t i = 0; i < sizeof kRasDevices / sizeof kRasDevices[0]; ++i)
        out.push_back(RasDevice{kRasDevices[i].name, kRasDevices[i].type, !(absent & (1u << i))});
    return out;
}

namespace {

using file_util::process_alive;

int32_t my_pid()
{
    int32_t pid = g_pid.load(std::memory_order_relaxed);
    if (pid == 0) {
        pid = getpid();
        g_pid.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

// The handle slot this process last held (-1: none yet).  It is only a
// guess: a reset clears the table and another process may take the slot
// once this one has ended, so each use checks the slot's pid.
std::atomic<int> g_slot{-1};

int32_t shard_pid(uint64_t w) { return static_cast<int32_t>(w); }
int32_t shard_count(uint64_t w) { return static_cast<int32_t>(w >> 32); }
uint64_t shard_word(int32_t pid, int32_t count)
{
    return uint64_t(static_cast<uint32_t>(count)) << 32 | static_cast<uint32_t>(pid);
}

// Adds by to this thread's shard of slot i, as the count of process me:
// a shard that counted for another process (one that ended, or the slot
// was free) starts again from 0.  Nothing is counted once the slot is no
// longer this process's (its board was mapped over meanwhile).
void count_in_shard(State *s, int i, int32_t me, int32_t by)
{
    HandleSlot &slot = s->handles[i];
    uint64_t &shard = slot.shards[thread_slot() % kCounterShards].w;
    uint64_t was = load(shard);
    for (;;) {
        if (load(slot.pid) != me)
            return;
        int32_t count = shard_pid(was) == me ? shard_count(was) : 0;
        if (__atomic_compare_exchange_n(&shard, &was, shard_word(me, count + by), false,
                                        __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
            return;
    }
}

int32_t handle_count(const HandleSlot &slot)
{
    int32_t pid = load(slot.pid), sum = 0;
    for (const HandleShard &shard : slot.shards) {
        uint64_t w = load(shard.w);
        if (shard_pid(w) == pid)
            sum += shard_count(w);
    }
    return sum;
}

// The slot holding this process's count, or -1.
int find_own(State *s, int32_t me)
{
    int i = g_slot.load(std::memory_order_relaxed);
    if (i >= 0 && load(s->handles[i].pid) == me)
        return i;
    for (i = 0; i < kHandleSlots; ++i)
        if (load(s->handles[i].pid) == me)
            return i;
    return -1;
}

// A slot for this process: its own, else a free one, else one of a process
// that has ended (whose count starts again from 0); -1 when every slot is
// held by a live process.
int claim_slot(State *s, int32_t me)
{
    std::lock_guard<std::mutex> guard(g_claim_lock);
    int i = find_own(s, me);
    uint64_t board_id = load(s->id);
    if (i >= 0 && g_counted_on != board_id) {
        // A slot of this pid that this process never counted in: an ended
        // process's, whose pid the system gave again.  Its counts are not
        // this process's handles.
        for (HandleShard &shard : s->handles[i].shards) {
            uint64_t w = load(shard.w);
            if (shard_pid(w) == me)
                __atomic_compare_exchange_n(&shard.w, &w, uint64_t(0), false, __ATOMIC_ACQ_REL,
                                            __ATOMIC_ACQUIRE);
        }
    }
    for (int j = 0; i < 0 && j < kHandleSlots; ++j) {
        int32_t free_pid = 0;
        if (__atomic_compare_exchange_n(&s->handles[j].pid, &free_pid, me, false, __ATOMIC_ACQ_REL,
                                        __ATOMIC_ACQUIRE))
            i = j;
    }
    for (int j = 0; i < 0 && j < kHandleSlots; ++j) {
        int32_t was = load(s->handles[j].pid);
        if (was != me && !process_alive(was) &&
            __atomic_compare_exchange_n(&s->handles[j].pid, &was, me, false, __ATOMIC_ACQ_REL,
                                        __ATOMIC_ACQUIRE))
            i = j;  // its shards still count for the pid that ended: not summed
    }
    if (i >= 0) {
        g_slot.store(i, std::memory_order_relaxed);
        g_counted_on = board_id;
    }
    return i;
}

// Counts a handle opened on board s: one atomic add on a line this thread
// alone writes, once the process has its slot.
void count_opened(State *s)
{
    int32_t me = my_pid();
    int i = g_slot.load(std::memory_order_relaxed);
    if (i < 0 || load(s->handles[i].pid) != me)
        i = claim_slot(s, me);
    if (i >= 0)
        count_in_shard(s, i, me, 1);
    // else every slot is held by a live process: the handle is not counted
}

}  // namespace

void handle_opened() { count_opened(validated(false)); }

void handle_closed()
{
    State *s = validated(false);
    int32_t me = my_pid();
    int i = find_own(s, me);
    if (i >= 0)  // else opened before a reset, or not counted
        count_in_shard(s, i, me, -1);
}

std::vector<OpenHandles> open_handles()
{
    State *s = validated(true);
    std::vector<OpenHandles> out;
    for (const HandleSlot &h : s->handles) {
        int32_t pid = load(h.pid), count = handle_count(h);
        if (pid != 0 && count > 0)
            out.push_back(OpenHandles{pid, static_cast<uint32_t>(count), process_alive(pid)});
    }
    return out;
}

bool serial_port_on()
{
    // Read from the file rather than the mapping, so that the debug output
    // never waits for this process's mapping of the board, nor makes a
    // board that is not used yet.  The word is written whole and so read
    // whole.
    std::string p = state_path(dir());
    for (int attempt = 0;; ++attempt) {
        int fd = file_util::open_file(p, O_RDONLY, file_util::Kind::Read);
        if (fd < 0) {
            if (errno == ENOENT)
                return true;  // a board not used yet: as its image starts
            throw Error{"cannot open " + p + ": " + std::strerror(errno)};
        }
        Fields st;
        ssize_t n = pread(fd, &st, sizeof st, 0);
        close(fd);
        if (n == 0)
            return true;  // being made by its first user
        // A file 'board reset' retired just now reads 0: read the new one.
        if (n == (ssize_t)sizeof st && st.magic == 0 && attempt == 0)
            continue;
        if (n != (ssize_t)sizeof st || st.magic != kMagic || st.version != kVersion ||
            st.serial_port > kSerialOff)
            throw Error{"board state file " + p +
                        " is damaged or of another version; run 'board reset'"};
        return st.serial_port != kSerialOff;
    }
}

void set_serial_port(bool on) { store(validated(true)->serial_port, on ? kSerialOn : kSerialOff); }

bool set_ras_device(const std::string &name, bool present)
{
    State *s = validated(true);
    for (size_t i = 0; i < sizeof kRasDevices / sizeof kRasDevices[0]; ++i) {
        if (reg::same_name(name, kRasDevices[i].name)) {
            if (present)
                __atomic_fetch_and(&s->ras_absent, ~(1u << i), __ATOMIC_ACQ_REL);
            else
                __atomic_fetch_or(&s->ras_absent, 1u << i, __ATOMIC_ACQ_REL);
            return true;
        }
    }
    return false;
}

unsigned thread_slot()
{
    thread_local ThreadSlot slot;
    return slot.n;
}

bool tracing()
{
    const char *file = std::getenv("BOARD_TRACE");
    return file && *file;
}

void trace(const std::string &line)
{
    const char *file = std::getenv("BOARD_TRACE");
    if (!file || !*file)
        return;
    int fd;
    try {
        fd = file_util::open_append(file);
    } catch (const Error &e) {
        // Said once, not on every event.
        static std::mutex said_lock;
        static std::string said;
        std::lock_guard<std::mutex> guard(said_lock);
        if (said != e.message)
            std::fprintf(stderr, "BOARD_TRACE: %s; no trace is written\n", e.message.c_str());
        said = e.message;
        return;
    }
    std::string whole = line + "\n";
    ssize_t n = write(fd, whole.data(), whole.size());
    (void)n;
    close(fd);
}

std::string code_name(uint32_t code)
{
    switch (code) {
    case kSetPin: return "IOCTL_GPIO_SET_PIN";
    case kGetPin: return "IOCTL_GPIO_GET_PIN";
    case kPwmStart: return "IOCTL_PWM_START";
    case kPwmStop: return "IOCTL_PWM_STOP";
    case kPwmSet: return "IOCTL_PWM_SET";
    }
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", code);
    return buf;
}

uint64_t monotonic_now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

namespace {

std::atomic<bool> g_write_events{true};

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

// Writes one event in this thread's lane: claims the lane's next number,
// marks the slot as being written, fills it, then publishes its number.
// Readers take what they read of a slot only when they read the same
// number before and after, so a slot being rewritten is never taken for a
// whole event.  A writer killed half-way leaves a slot marked 0, which
// readers count as missed.
void write_event(State *s, EventKind kind, Cause cause, int which, uint32_t now, uint32_t before,
                 uint64_t stamp)
{
    if (!g_write_events.load(std::memory_order_relaxed))
        return;
    Lane &lane = s->lanes[thread_slot() % kEventLanes];
    uint64_t n = __atomic_fetch_add(&lane.head, 1, __ATOMIC_ACQ_REL);
    EventSlot &e = lane.slots[n % kEventsPerLane];
    uint64_t time = stamp ? stamp : monotonic_now();
    uint32_t what = pack_what(kind, cause, which);
    int32_t pid = my_pid();
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
}

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

}  // namespace

void write_events(bool on) { g_write_events.store(on, std::memory_order_relaxed); }

void write_test_event(EventKind kind, int which, uint32_t level, uint64_t time)
{
    write_event(validated(true), kind, Cause::Outside, which, level, level, time);
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

// What a reader keeps: the next number to read in each lane, events read
// but held back, since when each lane's next slot has been half-written,
// the board its numbers belong to, and its wish for requests.
struct EventReader::State {
    uint64_t next[kEventLanes] = {};
    uint64_t busy_since[kEventLanes] = {};
    std::vector<Event> held;
    uint64_t board_id = 0;
    bool requests = false;
    uint64_t renewed = 0;
};

EventReader::EventReader() : state_(new State)
{
    board::State *s = validated(true);
    state_->board_id = load(s->id);
    for (unsigned i = 0; i < kEventLanes; ++i)
        state_->next[i] = load(s->lanes[i].head);
}

EventReader::~EventReader() = default;

void EventReader::want_requests(bool on)
{
    state_->requests = on;
    if (on) {
        board::State *s = validated(true);
        state_->renewed = monotonic_now();
        store(s->requests_until, state_->renewed + kWishLasts);
    }
}

namespace {

uint64_t add_saturated(uint64_t a, uint64_t b) { return a + b < a ? UINT64_MAX : a + b; }

// Reads the events of lanes from the numbers in next on, into into, and
// counts into *missed what is lost.  A slot still being written waits for
// its writer (busy_since: since when) unless leaving, when the reader is
// done with this board and counts it lost.
void drain(const Lane *lanes, uint64_t *next, uint64_t *busy_since, uint64_t now, bool leaving,
           std::vector<Event> &into, uint64_t *missed)
{
    for (unsigned i = 0; i < kEventLanes; ++i) {
        const Lane &lane = lanes[i];
        uint64_t head = load(lane.head);
        if (head < next[i]) {
            next[i] = head;  // a head that went back: damage; start again there
            continue;
        }
        if (head - next[i] > kEventsPerLane) {
            *missed = add_saturated(*missed, head - next[i] - kEventsPerLane);
            next[i] = head - kEventsPerLane;
        }
        while (next[i] < head) {
            uint64_t n = next[i];
            Event ev;
            Slot got = read_slot(lane.slots[n % kEventsPerLane], i, n + 1, now, &ev);
            if (got == Slot::Busy && !leaving && head - n < kEventsPerLane) {
                if (busy_since[i] == 0)
                    busy_since[i] = now;
                if (now - busy_since[i] < kWriterGone)
                    break;  // its writer is at work: next time
            }
            busy_since[i] = 0;
            if (got == Slot::Read)
                into.push_back(ev);
            else
                *missed = add_saturated(*missed, 1);
            ++next[i];
        }
    }
}

}  // namespace

uint64_t EventReader::poll(std::vector<Event> &out)
{
    State &rs = *state_;
    size_t already = rs.held.size();  // held back last time, in order
    uint64_t missed = 0;
    uint64_t now = monotonic_now();
    // The board this reader follows, as long as this process still maps
    // it: a board a reset retired is read to its end before the new one
    // is mapped.  Read into a copy of the numbers and taken only when the
    // board is still the same afterwards: another thread may map the new
    // board over it meanwhile, whose numbers are others.
    board::State *s = region();
    bool same = s && rs.board_id != 0 && load(s->id) == rs.board_id;
    if (same) {
        uint64_t next[kEventLanes], busy_since[kEventLanes], lost = 0;
        std::copy(rs.next, rs.next + kEventLanes, next);
        std::copy(rs.busy_since, rs.busy_since + kEventLanes, busy_since);
        std::vector<Event> got;
        bool retired = load(s->magic) != kMagic;
        drain(s->lanes, next, busy_since, now, retired, got, &lost);
        if (load(s->id) == rs.board_id) {
            std::copy(next, next + kEventLanes, rs.next);
            std::copy(busy_since, busy_since + kEventLanes, rs.busy_since);
            rs.held.insert(rs.held.end(), got.begin(), got.end());
            missed = lost;
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
            std::lock_guard<std::mutex> guard(g_map_lock);
            if (g_retired_lanes && g_retired_id == rs.board_id)
                drain(g_retired_lanes.get(), rs.next, rs.busy_since, now, true, rs.held, &missed);
            else
                missed = add_saturated(missed, 1);
        }
        s = validated(true);
    }
    if (load(s->id) != rs.board_id) {
        // A new board: its events are numbered from the start, and the
        // wish for requests is told to it at once.
        rs.board_id = load(s->id);
        std::fill(rs.next, rs.next + kEventLanes, 0);
        std::fill(rs.busy_since, rs.busy_since + kEventLanes, 0);
        if (rs.requests)
            rs.renewed = 0;
    }
    drain(s->lanes, rs.next, rs.busy_since, now, false, rs.held, &missed);
    if (rs.requests && now - rs.renewed > kWishRenew) {
        rs.renewed = now;
        store(s->requests_until, now + kWishLasts);
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
    while (ready < rs.held.size() && rs.held[ready].time + kHoldBack <= now)
        ++ready;
    out.insert(out.end(), rs.held.begin(), rs.held.begin() + static_cast<std::ptrdiff_t>(ready));
    rs.held.erase(rs.held.begin(), rs.held.begin() + static_cast<std::ptrdiff_t>(ready));
    return missed;
}

}  // namespace board
