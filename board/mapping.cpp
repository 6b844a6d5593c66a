// The mapping of the state file: one fixed address for the process's life,
// a file cut short caught by SIGBUS, the board's state created on first use
// or put in place by a reset, and the validation every use goes through.
#include "internal.h"

#include "board/device_files.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <random>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace board {
namespace internal {
namespace {

using file_util::mkdirs;

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
// The file mapped (set under g_map_lock, read without it): a reset that
// could not retire the file it replaced (killed just after its rename, a
// file system that failed the write, another user's reset in a shared
// folder) leaves it looking whole, and only its name tells that it is no
// longer the board.
std::atomic<uint64_t> g_mapped_dev{0}, g_mapped_ino{0};
// When this process last looked whether board.state still names the file
// mapped, for the uses that do not look every time.
std::atomic<uint64_t> g_looked{0};
constexpr uint64_t kLookEvery = 100 * 1000000ull;

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

void fork_prepare() { g_map_lock.lock(); }
void fork_after() { g_map_lock.unlock(); }
const int g_fork_handlers = pthread_atfork(fork_prepare, fork_after, fork_after);

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
    keep_retired_events();
    // Whatever happens below, the old board is no longer the one in use.
    g_dir.clear();
    __atomic_add_fetch(&g_region_generation, 1, __ATOMIC_ACQ_REL);

    if (!mkdirs(d))
        throw Error{"cannot create board folder " + d + ": " + std::strerror(errno)};
    std::string p = state_path(d);
    file_util::Folder folder(d);
    tidy(folder);
    // A missing or empty state file is made as a reset makes one, aside
    // and renamed in: a first use that cannot write it whole (a full disk)
    // leaves none, not a cut one every later use would refuse.  A reset
    // may put its file in place between the open and the lock (the lock
    // keeps the SIGBUS-free mapping of a file being judged): only the file
    // that is the board's state once the lock is held is looked at.
    int fd = -1;
    struct stat st;
    int upgrades = 0, made = 0;
again:
    for (int attempt = 0;; ++attempt) {
        fd = file_util::open_at(folder, kStateFile, O_RDWR, file_util::Kind::Written);
        if (fd < 0 && errno == ENOENT && attempt < 20) {
            replace_state(folder, p, Replace::Missing);
            continue;
        }
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
        replace_state(folder, p, Replace::Earlier);  // the processes of that build are not ours to tell
        goto again;
    }
    if (st.st_size == 0) {
        // Empty (left so by an earlier build, or by hand): a fresh board.
        flock(fd, LOCK_UN);
        close(fd);
        if (made++ > 20)
            throw Error{"board state file " + p + " keeps coming back empty; run 'board reset'"};
        replace_state(folder, p, Replace::Missing);
        goto again;
    }
    if (st.st_size != (off_t)kStateSize) {
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
    g_mapped_dev.store(st.st_dev);
    g_mapped_ino.store(st.st_ino);
    g_dir = d;
}

// Whether the state file of folder d is no longer the file mapped: another
// is in its place, or none.  One system call.
bool renamed_over(const std::string &d)
{
    struct stat named;
    if (fstatat(AT_FDCWD, state_path(d).c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    return named.st_ino != g_mapped_ino.load() || named.st_dev != g_mapped_dev.load();
}

// Whether a use that does not look every time looks now: at most every
// kLookEvery in the process.
bool time_to_look()
{
    uint64_t now = monotonic_now(), last = g_looked.load(std::memory_order_relaxed);
    return now - last >= kLookEvery && g_looked.compare_exchange_strong(last, now);
}

std::atomic<int> g_retire_fails_with{0};

thread_local std::string t_dir;
thread_local uint64_t t_generation = ~uint64_t(0);

}  // namespace

State *region() { return reinterpret_cast<State *>(__atomic_load_n(&g_region, __ATOMIC_ACQUIRE)); }

std::mutex &map_lock() { return g_map_lock; }

const Lane *retired_lanes(uint64_t id) { return g_retired_lanes && g_retired_id == id ? g_retired_lanes.get() : nullptr; }

std::string state_path(const std::string &d) { return d + "/" + kStateFile; }

void tidy(const file_util::Folder &folder)
{
    // Each file written aside only while no writer of it is at work (the
    // registry's under its lock, as the registry writes them).  A writer
    // killed between making its .new file and renaming it in leaves it,
    // empty or cut short, until then: harmless, as no use reads a .new
    // file, and a writer that fails to write one removes its own at once.
    file_util::remove_left_overs(folder, "", {kStateNew});
    file_util::remove_left_overs(folder, "registry.lock",
                                 {"registry.reg.new", "registry.protected.new"});
    files::tidy(folder);
}

void fail_retiring_with(int error) { g_retire_fails_with.store(error); }

State *validated(bool whole) { return validated(whole, whole); }

State *validated(bool whole, bool look)
{
    auto valid = [whole](const State &s) { return whole ? check(s) : check_mapping(s); };
    // Read as dir() reads it (an empty BOARD_DIR is the default board).
    const char *env = std::getenv("BOARD_DIR");
    std::string computed;
    const char *d = env && *env ? env : (computed = dir()).c_str();
    // The file's name is looked at on the slow paths only (every whole
    // validation, the others now and then), never by a request.
    look = look || time_to_look();
    if (t_dir == d && __atomic_load_n(&g_region_generation, __ATOMIC_ACQUIRE) == t_generation &&
        valid(*region()) == Check::Ok && !(look && renamed_over(d)))
        return region();

    std::lock_guard<std::mutex> guard(g_map_lock);
    Check c = g_dir == d && g_region ? valid(*region()) : Check::Retired;
    // Another file in its place, this one not retired: the board is the
    // file named now.
    if (c == Check::Ok && look && renamed_over(d))
        c = Check::Retired;
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

State *current()
{
    State *s = region();
    return s && load(s->magic) == kMagic ? s : validated(false);
}

void forget_mapping()
{
    std::lock_guard<std::mutex> guard(g_map_lock);
    g_dir.clear();
    __atomic_add_fetch(&g_region_generation, 1, __ATOMIC_ACQ_REL);
}

std::string replace_state(const file_util::Folder &folder, const std::string &p, Replace when)
{
    std::unique_ptr<State> fresh = defaults();
    // One writer at a time writes the state aside (tidy removes what a
    // killed one left under the same lock).
    file_util::Lock writers(folder, "", true, true);
    // Processes that still map the old file are told by its magic word.
    int old = file_util::open_at(folder, kStateFile, O_RDWR, file_util::Kind::Written);
    int old_errno = errno;
    struct stat old_st {};
    if (old >= 0)
        flock(old, LOCK_EX);
    bool empty = old >= 0 && fstat(old, &old_st) == 0 && old_st.st_size == 0;
    bool wanted = when == Replace::Always || (when == Replace::Earlier && old >= 0 && earlier_layout(old)) ||
                  (when == Replace::Missing && (old >= 0 ? empty : old_errno == ENOENT));
    auto close_old = [&] {
        if (old >= 0)
            close(old);
    };
    if (!wanted) {
        close_old();
        return "";
    }
    try {
        // Written aside and renamed, so that no process ever maps half a state.
        file_util::write_new_at(folder, kStateNew,
                                std::string(reinterpret_cast<const char *>(fresh.get()), sizeof(State)));
    } catch (const Error &) {
        // What was written of it is of no use (the lock makes a regular
        // file there ours; a link refused stays as it is).
        struct stat aside;
        if (fstatat(folder.fd(), kStateNew, &aside, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(aside.st_mode))
            unlinkat(folder.fd(), kStateNew, 0);
        close_old();
        throw;
    }
    if (renameat(folder.fd(), kStateNew, folder.fd(), kStateFile) != 0) {
        int e = errno;
        close_old();
        throw Error{"cannot replace " + p + ": " + std::strerror(e)};
    }
    // Retired at once, so that the processes that map the old file notice
    // on their next request.  When it cannot be (or a reset is killed
    // before this), they notice on their next look at the file's name.
    // An empty file nobody maps.
    std::string unretired;
    if (old < 0 && old_errno != ENOENT) {
        unretired = std::string("cannot open it: ") + std::strerror(old_errno);
    } else if (old >= 0 && !empty) {
        uint32_t dead = 0;
        int fails_with = g_retire_fails_with.load();
        ssize_t n = fails_with ? (errno = fails_with, -1) : pwrite(old, &dead, sizeof dead, 0);
        if (n != (ssize_t)sizeof dead)
            unretired = std::string("cannot write it: ") + std::strerror(n < 0 ? errno : EIO);
        else
            wake_retired_readers(old, old_st.st_size);
    }
    close_old();
    fsync(folder.fd());
    return unretired;
}

}  // namespace internal

bool take_bus_fault(const void *addr) { return internal::bus_fault_in_mapping(addr); }

}  // namespace board
