#include "board.h"

#include "device_files.h"
#include "file_util.h"
#include "registry_file.h"
#include "serial.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
constexpr uint32_t kVersion = 1;
constexpr uint32_t kErrInvalidParameter = 87;
constexpr uint32_t kErrInsufficientBuffer = 122;
constexpr uint32_t kErrNotSupported = 50;

constexpr uint32_t kSerialAsImage = 0, kSerialOn = 1, kSerialOff = 2;

// The state file's layout.  Room is reserved so that later fields keep the
// file's size; every field is a word that is valid on its own.
struct State {
    uint32_t magic;
    uint32_t version;
    uint32_t plugged;
    uint32_t powered;
    uint32_t fault_armed;
    uint32_t pad;
    uint64_t requests;
    int8_t driven[kPins];
    int8_t external[kPins];
    uint8_t touched[kPins];
    Pwm pwm[kChannels];
    uint32_t ras_absent;  // bit i: RAS device i of kRasDevices is taken away
    // The serial debug port for the current start: kSerialAsImage until a
    // boot has decided (the image starts with it on), then on or off.
    uint32_t serial_port;
    // Driver handles open per process; a slot with pid 0 is free.
    struct HandleSlot {
        int32_t pid;
        uint32_t count;
    } handles[kHandleSlots];
    uint8_t reserved[4096 - 40 - 3 * kPins - kChannels * sizeof(Pwm) - kHandleSlots * 8];
};
static_assert(sizeof(State) == 4096, "state file is one page");

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
        s->driven[i] = 1;  // pulled up
        s->external[i] = -1;
    }
}

// Whether every field holds a value the board writes.  A state of the right
// size and version can still be damaged by hand or by another program; its
// pins would then read levels such as 110 and its channels rates no request
// may set.  The reserved room is not looked at: later fields live there.
bool sane(const State &s)
{
    bool ok = s.plugged <= 1 && s.powered <= 1 && s.fault_armed <= 1 && s.serial_port <= kSerialOff;
    for (int i = 0; i < kPins; ++i)
        ok = ok && (s.driven[i] == 0 || s.driven[i] == 1) && s.external[i] >= -1 &&
             s.external[i] <= 1 && s.touched[i] <= 1;
    for (const Pwm &p : s.pwm)
        ok = ok && p.running <= 1 && p.cr <= kMaxCr && p.dcr <= kMaxRate && p.pcr <= kMaxRate;
    for (const State::HandleSlot &h : s.handles)
        ok = ok && h.pid >= 0 && (h.pid != 0) == (h.count != 0);
    return ok;
}

using file_util::mkdirs;

const char kStateFile[] = "board.state";
const char kStateNew[] = "board.state.new";

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

// The mapping of one board folder's state file in this process.
struct Mapping {
    std::string dir;
    int fd = -1;
    State *state = nullptr;
};

// Guards g_map and keeps this process's threads apart while one of them
// works on the state: the file lock cannot, since every thread locks
// through the same open file.
std::mutex g_map_lock;
Mapping g_map;

void unmap()
{
    if (g_map.state)
        munmap(g_map.state, sizeof(State));
    if (g_map.fd >= 0)
        close(g_map.fd);
    g_map = Mapping();
}

// A forked child shares its parent's open file and with it the parent's
// file lock, so it drops them and opens the state file afresh (the lock
// stays with the parent).
void fork_prepare() { g_map_lock.lock(); }
void fork_parent() { g_map_lock.unlock(); }
void fork_child()
{
    unmap();
    g_map_lock.unlock();
}

const int g_fork_handlers = pthread_atfork(fork_prepare, fork_parent, fork_child);

// Holds the state for one operation: this process's lock, then the state
// file's lock, which keeps other processes out.
class Locked {
public:
    Locked() : guard_(g_map_lock)
    {
        std::string d = dir();
        for (int attempt = 0;; ++attempt) {
            if (g_map.dir != d || !g_map.state || attempt > 0)
                map(d);
            fd_ = g_map.fd;
            state_ = g_map.state;
            while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
            // Another program may have cut the file short since it was
            // mapped: touching the lost part would kill this process.
            // Mapping it again reports it (or starts afresh from empty).
            struct stat st;
            if (fstat(fd_, &st) != 0 || st.st_size != (off_t)sizeof(State)) {
                flock(fd_, LOCK_UN);
                if (attempt > 0)
                    throw wrong_size(path_of(d));
                continue;
            }
            StateImage image = check_state_image(state_, sizeof(State));
            if (image == StateImage::Ok)
                return;
            flock(fd_, LOCK_UN);
            if (image == StateImage::Damaged)
                throw Error{"board state file " + path_of(d) +
                            " is damaged (a field holds a value the board never writes); run "
                            "'board reset'"};
            // A file retired by 'board reset' reads 0: map the new one.
            if (image != StateImage::Retired || attempt > 0)
                throw Error{"board state file " + path_of(d) +
                            " is not a board state of this version; run 'board reset'"};
        }
    }
    ~Locked() { flock(fd_, LOCK_UN); }
    State *operator->() { return state_; }
    State *get() { return state_; }

    static std::string path_of(const std::string &d) { return d + "/" + kStateFile; }
    static Error wrong_size(const std::string &p)
    {
        return Error{"board state file " + p + " has the wrong size; run 'board reset'"};
    }

private:
    static void map(const std::string &d)
    {
        unmap();
        if (!mkdirs(d))
            throw Error{"cannot create board folder " + d + ": " + std::strerror(errno)};
        std::string p = path_of(d);
        file_util::Folder folder(d);
        int fd = file_util::open_at(folder, kStateFile, O_RDWR | O_CREAT, file_util::Kind::Written);
        if (fd < 0)
            throw Error{"cannot open " + p + ": " + std::strerror(errno)};
        tidy(folder);
        flock(fd, LOCK_EX);
        struct stat st;
        fstat(fd, &st);
        if (st.st_size == 0) {
            State fresh;
            defaults(&fresh);
            if (pwrite(fd, &fresh, sizeof fresh, 0) != (ssize_t)sizeof fresh) {
                flock(fd, LOCK_UN);
                close(fd);
                throw Error{"cannot write " + p + ": " + std::strerror(errno)};
            }
        } else if (st.st_size != (off_t)sizeof(State)) {
            flock(fd, LOCK_UN);
            close(fd);
            throw wrong_size(p);
        }
        flock(fd, LOCK_UN);
        void *m = mmap(nullptr, sizeof(State), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (m == MAP_FAILED) {
            close(fd);
            throw Error{"cannot map " + p + ": " + std::strerror(errno)};
        }
        g_map.dir = d;
        g_map.fd = fd;
        g_map.state = static_cast<State *>(m);
    }

    std::lock_guard<std::mutex> guard_;
    int fd_;
    State *state_;
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
    const State &s = *static_cast<const State *>(image);
    if (s.magic == kMagic && s.version == kVersion)
        return sane(s) ? StateImage::Ok : StateImage::Damaged;
    return s.magic == 0 ? StateImage::Retired : StateImage::OtherVersion;
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

Result request(uint32_t code, const void *in, uint32_t in_size, void *out, uint32_t out_size)
{
    Locked s;
    s->requests++;
    if (s->fault_armed) {
        s->fault_armed = 0;
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
            s->driven[pin] = word(in, 1) != 0;
            s->touched[pin] = 1;
            return Result{true, 0, 0, false};
        }
        if (!out || out_size < 8)
            return fail(kErrInsufficientBuffer);
        int32_t level = s->external[pin] >= 0 ? s->external[pin] : s->driven[pin];
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
        Pwm &p = s->pwm[channel];
        if (code == kPwmStart) {
            p.running = 1;
        } else if (code == kPwmStop) {
            p.running = 0;
        } else {
            uint32_t cr = word(in, 2), dcr = word(in, 3), pcr = word(in, 4);
            if (cr > kMaxCr || dcr > kMaxRate || pcr > kMaxRate)
                return fail(kErrInvalidParameter);
            p.cr = cr;
            p.dcr = dcr;
            p.pcr = pcr;
        }
        return Result{true, 0, 0, false};
    }
    default:
        return fail(kErrNotSupported);
    }
}

bool plugged()
{
    Locked s;
    return s->plugged != 0;
}

void set_plugged(bool on)
{
    Locked s;
    s->plugged = on;
}

void set_power(bool on)
{
    Locked s;
    s->powered = on;
}

void set_input(int pin, int level)
{
    if (pin < 0 || pin >= kPins)
        throw Error{"pin " + std::to_string(pin) + " is not on the board (0 to " +
                    std::to_string(kPins - 1) + ")"};
    Locked s;
    s->external[pin] = static_cast<int8_t>(level < 0 ? -1 : level != 0);
    s->touched[pin] = 1;
}

void arm_fault()
{
    Locked s;
    s->fault_armed = 1;
}

void reset()
{
    std::string d = dir();
    if (!mkdirs(d))
        throw Error{"cannot create board folder " + d + ": " + std::strerror(errno)};
    file_util::Folder folder(d);
    std::string p = Locked::path_of(d);
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
        std::lock_guard<std::mutex> guard(g_map_lock);
        unmap();
    }
    reg::reset();
    files::reset();
    serial::reset();
}

Status status()
{
    Locked s;
    Status st{};
    st.plugged = s->plugged;
    st.powered = s->powered;
    st.fault_armed = s->fault_armed;
    st.requests = s->requests;
    for (int i = 0; i < kPins; ++i)
        st.pins[i] = Pin{s->driven[i], s->external[i], s->touched[i] != 0};
    for (int c = 0; c < kChannels; ++c)
        st.pwm[c] = s->pwm[c];
    return st;
}

namespace {

bool process_alive(int pid) { return kill(pid, 0) == 0 || errno == EPERM; }

State::HandleSlot *own_slot(State *s)
{
    int32_t me = getpid();
    for (State::HandleSlot &h : s->handles)
        if (h.pid == me)
            return &h;
    return nullptr;
}

}  // namespace

void handle_opened()
{
    Locked s;
    State::HandleSlot *slot = own_slot(s.get());
    // A free slot, else one of a process that has ended.
    for (State::HandleSlot &h : s->handles)
        if (!slot && h.pid == 0)
            slot = &h;
    for (State::HandleSlot &h : s->handles)
        if (!slot && !process_alive(h.pid))
            slot = &h;
    if (!slot)
        return;
    if (slot->pid != getpid())
        *slot = State::HandleSlot{static_cast<int32_t>(getpid()), 0};
    slot->count++;
}

void handle_closed()
{
    Locked s;
    State::HandleSlot *slot = own_slot(s.get());
    if (slot && --slot->count == 0)
        slot->pid = 0;
}

std::vector<OpenHandles> open_handles()
{
    Locked s;
    std::vector<OpenHandles> out;
    for (const State::HandleSlot &h : s->handles)
        if (h.pid != 0)
            out.push_back(OpenHandles{h.pid, h.count, process_alive(h.pid)});
    return out;
}

std::vector<RasDevice> ras_devices()
{
    Locked s;
    std::vector<RasDevice> out;
    for (size_t i = 0; i < sizeof kRasDevices / sizeof kRasDevices[0]; ++i)
        out.push_back(RasDevice{kRasDevices[i].name, kRasDevices[i].type,
                                !(s->ras_absent & (1u << i))});
    return out;
}

bool serial_port_on()
{
    // Read without the board's lock, so that the debug output never waits
    // for a request in progress (a driver call that does not answer holds
    // that lock).  The word is written whole and so read whole.
    std::string p = Locked::path_of(dir());
    for (int attempt = 0;; ++attempt) {
        int fd = file_util::open_file(p, O_RDONLY, file_util::Kind::Read);
        if (fd < 0) {
            if (errno == ENOENT)
                return true;  // a board not used yet: as its image starts
            throw Error{"cannot open " + p + ": " + std::strerror(errno)};
        }
        State st;
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

void set_serial_port(bool on)
{
    Locked s;
    s->serial_port = on ? kSerialOn : kSerialOff;
}

bool set_ras_device(const std::string &name, bool present)
{
    Locked s;
    for (size_t i = 0; i < sizeof kRasDevices / sizeof kRasDevices[0]; ++i) {
        if (reg::same_name(name, kRasDevices[i].name)) {
            if (present)
                s->ras_absent &= ~(1u << i);
            else
                s->ras_absent |= 1u << i;
            return true;
        }
    }
    return false;
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
