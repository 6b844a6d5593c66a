// Validation of the state file: whether an image, or the mapped state, is
// a board state of this version whose every field holds a value the board
// writes, and the error that refuses one that is not.
#include "internal.h"

#include <cstring>
#include <memory>
#include <unistd.h>

namespace board {
namespace internal {

Check check_mapping(const State &s)
{
    uint32_t magic = load(s.magic);
    if (magic == 0)
        return Check::Retired;
    if (magic != kMagic || load(s.version) != kVersion)
        return Check::Foreign;
    return load(s.tail) == kMagic && load(s.plugged) <= 1 ? Check::Ok : Check::Damaged;
}

// The readers that hold writers back: held names keepers only, a keeper's
// pid is none (0) or one a process can have, and where it is in a lane is
// no further than the events begun there (read before the head, which only
// grows, so a keeper moving on meanwhile is still behind it).  The waking
// word is not judged: it counts wake-ups, and every value is one.
bool keepers_sound(const State &s)
{
    bool ok = (load(s.waking.held) & ~((1u << kKeepers) - 1)) == 0;
    for (const Keeper &k : s.keepers) {
        int32_t pid = load(k.pid);
        ok = ok && pid >= 0 && pid <= kMaxPid && load(k.unused) == 0;
        for (unsigned i = 0; i < kEventLanes; ++i) {
            uint64_t at = load(k.next[i]);
            ok = ok && at <= load(s.lanes[i].head);
        }
    }
    return ok;
}

// A file changed by hand or by another program could have its pins read
// levels such as 110.  Done when the file is mapped and for the whole
// state's readers; a request checks what it reads itself, so that opens do
// not read the lines other threads write.  The room is not looked at:
// later fields live there.
Check check(const State &s)
{
    Check c = check_mapping(s);
    if (c != Check::Ok)
        return c;
    bool ok = load(s.powered) <= 1 && load(s.fault_armed) <= 1 &&
              load(s.serial_port) <= kSerialOff && (load(s.id) & 1) == 1;
    for (const Counter &c : s.requests)
        ok = ok && load(c.n) < kMaxShardRequests;
    for (const HandleSlot &h : s.handles) {
        int32_t pid = load(h.pid);
        int64_t sum = 0;
        ok = ok && pid >= 0;
        for (const HandleShard &shard : h.shards) {
            uint64_t w = load(shard.w);
            int32_t count = shard_count(w);
            ok = ok && shard_pid(w) >= 0 && count >= -kMaxHandles && count <= kMaxHandles;
            if (shard_pid(w) == pid)
                sum += count;
        }
        ok = ok && sum <= kMaxHandles;
    }
    for (int c = 0; c < kChannels; ++c)
        ok = ok && (load(s.pwm[c]) & kPwmUnused) == 0;
    ok = ok && keepers_sound(s);
    for (const PinLine &p : s.pins) {
        int8_t driven = load(p.driven), external = load(p.external);
        uint8_t touched = load(p.touched);
        ok = ok && (driven == 0 || driven == 1) && external >= -1 && external <= 1 && touched <= 1;
    }
    return ok ? Check::Ok : Check::Damaged;
}

// The layout changed with each version.
bool earlier_head(const uint32_t head[2]) { return head[0] == kMagic && head[1] >= 1 && head[1] < kVersion; }

bool earlier_layout(int fd)
{
    uint32_t head[2];
    return pread(fd, head, sizeof head, 0) == (ssize_t)sizeof head && earlier_head(head);
}

Error refusal(Check c, const std::string &d)
{
    std::string p = state_path(d);
    if (c == Check::Damaged)
        return Error{"board state file " + p +
                     " is damaged (a field holds a value the board never writes); run 'board reset'"};
    return Error{"board state file " + p + " is not a board state of this version; run 'board reset'"};
}

Error wrong_size(const std::string &p, off_t size)
{
    return Error{"board state file " + p + " has the wrong size (" + std::to_string(size) + " bytes, not " +
                 std::to_string(kStateSize) + "); run 'board reset'"};
}

}  // namespace internal

StateImage check_state_image(const void *image, size_t size)
{
    using namespace internal;
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

}  // namespace board
