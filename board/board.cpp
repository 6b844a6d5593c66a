#include "board.h"

#include "device_files.h"
#include "file_util.h"
#include "registry_file.h"
#include "serial.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <atomic>
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
constexpr uint32_t kVersion = 2;
constexpr uint32_t kErrInvalidParameter = 87;
constexpr uint32_t kErrInsufficientBuffer = 122;
constexpr uint32_t kErrNotSupported = 50;

constexpr uint32_t kSerialAsImage = 0, kSerialOn = 1, kSerialOff = 2;

// The state file is three pages, mapped whole by every process on the board.
constexpr size_t kStateSize = 12288;

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
// first line holds what every open reads (and requests seldom write), the
// pins' lines follow, then the counter shards and the handle table.  New
// fields go at the end: they take their room from State::room, and the file
// keeps its size.  A
// record of events too big for the room (a ring of numbered entries written
// by atomic slot claims) would make the file larger: a new version, written
// by a reset under the folder's lock as a fresh board is.
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
    // For tests: while hold is 1 every request waits before it answers;
    // held counts the requests waiting so.
    uint32_t hold;
    uint32_t held;
    PinLine pins[kPins];
    Counter requests[kCounterShards];
    // Driver handles open per process, one word a slot: the pid in the low
    // half, the count of its open handles in the high half, changed in one
    // compare-and-swap, so a slot is free (0) or held with a count above 0.
    // A process opens and closes on its own slot only.  Written on every
    // open and close, so kept off the line every open reads.
    alignas(kApart) uint64_t handles[kHandleSlots];
};

// The file's last word repeats the magic: a file cut short by another
// program reads 0 there (the rest of the last page reads as zeros), or the
// page is gone altogether (see on_sigbus), so an open notices either
// without asking the file's size.
struct State : Fields {
    uint8_t room[kStateSize - sizeof(Fields) - sizeof(uint32_t)];
    uint32_t tail;
};
static_assert(sizeof(State) == kStateSize, "the state file's size");
static_assert(offsetof(Fields, serial_port) == 32 && offsetof(Fields, handles) == 9344,
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

void defaults(State *s)
{
    std::memset(s, 0, sizeof *s);
    s->magic = kMagic;
    s->version = kVersion;
    s->plugged = 1;
    s->powered = 1;
    for (int i = 0; i < kPins; ++i) {
        s->pins[i].driven = 1;  // pulled up
        s->pins[i].external = -1;
    }
    s->tail = kMagic;
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
              load(s.serial_port) <= kSerialOff && load(s.hold) <= 1;
    for (const uint64_t &h : s.handles) {
        uint64_t w = load(h);
        int32_t pid = static_cast<int32_t>(w);
        ok = ok && pid >= 0 && (pid != 0) == ((w >> 32) != 0);
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

void on_sigbus(int sig, siginfo_t *info, void *context)
{
    char *at = static_cast<char *>(info->si_addr);
    char *mapped = reinterpret_cast<char *>(region());
    if (mapped && at >= mapped && at < mapped + kStateSize) {
        int saved = errno;
        map_zeros();
        errno = saved;
        return;
    }
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
    g_claim_lock.unlock();
    g_map_lock.unlock();
}
const int g_fork_handlers = pthread_atfork(fork_prepare, fork_parent, fork_child);

void map_file(const std::string &d);

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
    if (st.st_size == 0) {
        State fresh;
        defaults(&fresh);
        if (pwrite(fd, &fresh, sizeof fresh, 0) != (ssize_t)sizeof fresh) {
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

StateImage check_state_image(const void *image, size_t size)
{
    if (size != sizeof(State))
        return StateImage::WrongSize;
    // Judged in a copy: the image need not be aligned as the mapping is.
    static thread_local State copy;
    std::memcpy(static_cast<void *>(&copy), image, sizeof copy);
    switch (check(copy)) {
    case Check::Ok: return StateImage::Ok;
    case Check::Retired: return StateImage::Retired;
    case Check::Foreign: return StateImage::OtherVersion;
    case Check::Damaged: break;
    }
    return StateImage::Damaged;
}

namespace {

// The user's home folder: HOME, or when it is unset the one the passwd entry
// names.  Never a folder every user shares: with neither, the board refuses.
std::string home()
{
    const char *home = std::getenv("HOME");
    if (home && *home)
        return home;
    struct passwd pw, *found = nullptr;
    char buf[4096];
    struct stat st;
    if (getpwuid_r(getuid(), &pw, buf, sizeof buf, &found) == 0 && found && found->pw_dir &&
        found->pw_dir[0] == '/' && stat(found->pw_dir, &st) == 0 && S_ISDIR(st.st_mode))
        return found->pw_dir;
    throw Error{"HOME is not set and the user has no home folder in the passwd entry; "
                "set BOARD_DIR to the board folder"};
}

}  // namespace

std::string dir()
{
    const char *d = std::getenv("BOARD_DIR");
    if (d && *d)
        return d;
    const char *state = std::getenv("XDG_STATE_HOME");
    if (state && *state)
        return std::string(state) + "/ceboard/default";
    return home() + "/.local/state/ceboard/default";
}

std::string path(const std::string &name)
{
    std::string d = dir();
    if (!mkdirs(d))
        throw Error{"cannot create board folder " + d + ": " + std::strerror(errno)};
    return d + "/" + name;
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

// A request waits here while the board holds requests (or until the file
// is retired by a reset).
void wait_while_held(State *s)
{
    __atomic_fetch_add(&s->held, 1u, __ATOMIC_ACQ_REL);
    while (load(s->hold) && load(s->magic) == kMagic)
        usleep(1000);
    __atomic_fetch_sub(&s->held, 1u, __ATOMIC_ACQ_REL);
}

Result answer(State *s, uint32_t code, const void *in, uint32_t in_size, void *out,
              uint32_t out_size)
{
    if (load(s->hold))
        wait_while_held(s);
    __atomic_fetch_add(&my_counter(s).n, 1, __ATOMIC_RELAXED);
    if (load(s->fault_armed) && __atomic_exchange_n(&s->fault_armed, 0u, __ATOMIC_ACQ_REL))
        return Result{false, 0, 0, true};
    switch (code) {
    case kSetPin:
    case kGetPin: {
        if (!in || in_size != 8)
            return fail(kErrInvalidParameter);
        int32_t pin = word(in, 0);
        if (pin < 0 || pin >= kPins)
            return fail(kErrInvalidParameter);
        if (code == kSetPin) {
            PinLine &p = s->pins[pin];
            store(p.driven, static_cast<int8_t>(word(in, 1) != 0));
            if (!load(p.touched))
                store(p.touched, uint8_t(1));
            return Result{true, 0, 0, false};
        }
        if (!out || out_size < 8)
            return fail(kErrInsufficientBuffer);
        int8_t external = load(s->pins[pin].external);
        int32_t level = external >= 0 ? external : load(s->pins[pin].driven);
        // A byte changed by another program since the open is not handed on.
        if (external < -1 || (level != 0 && level != 1))
            throw refusal(Check::Damaged, dir());
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
        uint32_t &p = s->pwm[channel];
        if (code == kPwmStart) {
            __atomic_fetch_or(&p, kPwmRunning, __ATOMIC_ACQ_REL);
        } else if (code == kPwmStop) {
            __atomic_fetch_and(&p, ~kPwmRunning, __ATOMIC_ACQ_REL);
        } else {
            uint32_t cr = word(in, 2), dcr = word(in, 3), pcr = word(in, 4);
            if (cr > kMaxCr || dcr > kMaxRate || pcr > kMaxRate)
                return fail(kErrInvalidParameter);
            // The registers change together; whether it runs is kept.
            uint32_t was = load(p);
            while (!__atomic_compare_exchange_n(&p, &was, (was & kPwmRunning) | pwm_pack(cr, dcr, pcr),
                                                false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
            }
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

void set_plugged(bool on) { store(validated(true)->plugged, uint32_t(on)); }

void set_power(bool on) { store(validated(true)->powered, uint32_t(on)); }

void set_input(int pin, int level)
{
    if (pin < 0 || pin >= kPins)
        throw Error{"pin " + std::to_string(pin) + " is not on the board (0 to " +
                    std::to_string(kPins - 1) + ")"};
    State *s = validated(true);
    store(s->pins[pin].external, static_cast<int8_t>(level < 0 ? -1 : level != 0));
    store(s->pins[pin].touched, uint8_t(1));
}

void arm_fault() { store(validated(true)->fault_armed, 1u); }

void hold_requests(bool on) { store(validated(true)->hold, uint32_t(on)); }

unsigned requests_held() { return load(validated(true)->held); }

void reset()
{
    std::string d = dir();
    if (!mkdirs(d))
        throw Error{"cannot create board folder " + d + ": " + std::strerror(errno)};
    file_util::Folder folder(d);
    std::string p = state_path(d);
    State fresh;
    defaults(&fresh);
    {
        // One reset at a time writes the state aside (tidy removes what a
        // killed one left under the same lock).
        file_util::Lock writers(folder, "", true, true);
        // Processes that still map the old file are told by its magic word.
        int old = file_util::open_at(folder, kStateFile, O_RDWR, file_util::Kind::Written);
        if (old >= 0)
            flock(old, LOCK_EX);
        try {
            // Written aside and renamed, so that no process ever maps half a state.
            file_util::write_new_at(folder, kStateNew,
                                    std::string(reinterpret_cast<const char *>(&fresh), sizeof fresh));
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
        fsync(folder.fd());
        if (old >= 0) {
            uint32_t dead = 0;
            ssize_t n = pwrite(old, &dead, sizeof dead, 0);
            (void)n;
            close(old);
        }
    }
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
// once this one's count fell to 0, so each use checks the slot's pid.
std::atomic<int> g_slot{-1};

constexpr uint64_t kOneHandle = uint64_t(1) << 32;
int32_t slot_pid(uint64_t w) { return static_cast<int32_t>(w); }
uint32_t slot_count(uint64_t w) { return static_cast<uint32_t>(w >> 32); }

bool cas(uint64_t &slot, uint64_t &was, uint64_t now)
{
    return __atomic_compare_exchange_n(&slot, &was, now, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
}

// Adds one to this process's count in slot i when the slot is this
// process's or free: false when another process holds it.
bool count_in(State *s, int i, int32_t me)
{
    uint64_t &slot = s->handles[i];
    uint64_t was = load(slot);
    for (;;) {
        if (slot_pid(was) == me) {
            if (cas(slot, was, was + kOneHandle))
                return true;
        } else if (was == 0) {
            if (cas(slot, was, kOneHandle | static_cast<uint32_t>(me)))
                return true;
        } else {
            return false;
        }
    }
}

// The slot holding this process's count, or -1.
int find_own(State *s, int32_t me)
{
    int i = g_slot.load(std::memory_order_relaxed);
    if (i >= 0 && slot_pid(load(s->handles[i])) == me)
        return i;
    for (i = 0; i < kHandleSlots; ++i)
        if (slot_pid(load(s->handles[i])) == me)
            return i;
    return -1;
}

}  // namespace

namespace {

// Counts a handle opened on board s.
void count_opened(State *s)
{
    int32_t me = my_pid();
    int i = g_slot.load(std::memory_order_relaxed);
    if (i >= 0 && count_in(s, i, me))
        return;
    // The slot went to another process (or a reset cleared the table):
    // this process's slot (another thread may have claimed one), else a
    // free one, else one of a process that has ended.
    std::lock_guard<std::mutex> guard(g_claim_lock);
    i = find_own(s, me);
    if (!(i >= 0 && count_in(s, i, me))) {
        i = -1;
        for (int j = 0; i < 0 && j < kHandleSlots; ++j)
            if (load(s->handles[j]) == 0 && count_in(s, j, me))
                i = j;
        for (int j = 0; i < 0 && j < kHandleSlots; ++j) {
            uint64_t was = load(s->handles[j]);
            if (was != 0 && slot_pid(was) != me && !process_alive(slot_pid(was)) &&
                cas(s->handles[j], was, kOneHandle | static_cast<uint32_t>(me)))
                i = j;
        }
    }
    if (i >= 0)
        g_slot.store(i, std::memory_order_relaxed);
    // else every slot is held by a live process: the handle is not counted
}

}  // namespace

void handle_opened() { count_opened(validated(false)); }

void handle_closed()
{
    State *s = validated(false);
    int32_t me = my_pid();
    int i = find_own(s, me);
    if (i < 0)
        return;  // opened before a reset, or not counted
    uint64_t &slot = s->handles[i];
    uint64_t was = load(slot);
    while (slot_pid(was) == me && !cas(slot, was, slot_count(was) == 1 ? 0 : was - kOneHandle)) {
    }
}

std::vector<OpenHandles> open_handles()
{
    State *s = validated(true);
    std::vector<OpenHandles> out;
    for (const uint64_t &h : s->handles) {
        uint64_t w = load(h);
        if (w != 0)
            out.push_back(OpenHandles{slot_pid(w), slot_count(w), process_alive(slot_pid(w))});
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

}  // namespace board
