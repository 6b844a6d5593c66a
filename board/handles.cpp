// The handle table: how many driver handles each process holds open, in a
// slot of the state file per process, counted in shards per group of
// threads (the layout is state.h's).
#include "internal.h"

#include <atomic>
#include <mutex>
#include <pthread.h>
#include <unistd.h>

namespace board {
namespace internal {
namespace {

using file_util::process_alive;

// Keeps this process's threads from claiming two handle slots at once.
std::mutex g_claim_lock;
// The board (its id) this process counts its handles on, under
// g_claim_lock; 0 in a process that has counted none.
uint64_t g_counted_on;
// This process's id, asked once (and again in a forked child), so that an
// open or close of a driver handle makes no system call.
std::atomic<int32_t> g_pid{0};
// The process a thread serving the driver to another counts for (0: its own).
thread_local int32_t t_requests_for = 0;

void fork_prepare() { g_claim_lock.lock(); }
void fork_parent() { g_claim_lock.unlock(); }
void fork_child()
{
    g_pid.store(0, std::memory_order_relaxed);
    g_counted_on = 0;
    g_claim_lock.unlock();
}
const int g_fork_handlers = pthread_atfork(fork_prepare, fork_parent, fork_child);

// The handle slot this process last held (-1: none yet).  It is only a
// guess: a reset clears the table and another process may take the slot
// once this one has ended, so each use checks the slot's pid.
std::atomic<int> g_slot{-1};

// Counts a handle opened in this thread's shard of slot i, as the count of
// process me: a shard that counted for another process (one that ended, or
// the slot was free) starts again from 0.  Nothing is counted once the
// slot is no longer this process's (its board was mapped over meanwhile),
// nor past kMaxHandles (a shard no process brings there: the whole
// state's check reports it).
void count_open(State *s, int i, int32_t me)
{
    HandleSlot &slot = s->handles[i];
    uint64_t &shard = slot.shards[thread_slot() % kCounterShards].w;
    uint64_t was = load(shard);
    for (;;) {
        if (load(slot.pid) != me)
            return;
        int32_t count = shard_pid(was) == me ? shard_count(was) : 0;
        if (count < -kMaxHandles || count >= kMaxHandles)
            return;
        if (__atomic_compare_exchange_n(&shard, &was, shard_word(me, count + 1), false,
                                        __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
            return;
    }
}

// Takes a closed handle off a shard of slot i that counts one for process
// me, this thread's first: a handle opened by one thread and closed by
// another leaves no shard drifting further from 0 with each.  A close
// finding none (more closes than opens) changes nothing.
void count_close(State *s, int i, int32_t me)
{
    HandleSlot &slot = s->handles[i];
    unsigned own = thread_slot() % kCounterShards;
    for (unsigned k = 0; k < unsigned(kCounterShards); ++k) {
        uint64_t &shard = slot.shards[(own + k) % kCounterShards].w;
        uint64_t was = load(shard);
        for (;;) {
            if (load(slot.pid) != me)
                return;
            int32_t count = shard_count(was);
            if (shard_pid(was) != me || count <= 0)
                break;  // on to the next shard
            if (__atomic_compare_exchange_n(&shard, &was, shard_word(me, count - 1), false,
                                            __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
                return;
        }
    }
}

// The count of the slot's process: its shards' sum, of figures the whole
// state's check has bounded (summed wide all the same: the file may change
// in between).
int64_t handle_count(const HandleSlot &slot)
{
    int32_t pid = load(slot.pid);
    int64_t sum = 0;
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
    bool own = me == my_pid();
    if (i >= 0 && own && g_counted_on != board_id) {
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
    if (i >= 0 && own) {
        g_slot.store(i, std::memory_order_relaxed);
        g_counted_on = board_id;
    }
    return i;
}

}  // namespace

int32_t my_pid()
{
    int32_t pid = g_pid.load(std::memory_order_relaxed);
    if (pid == 0) {
        pid = getpid();
        g_pid.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

int32_t request_pid()
{
    int32_t other = t_requests_for;
    return other ? other : my_pid();
}

// One atomic add on a line this thread alone writes, once the process has
// its slot.
void count_opened(State *s)
{
    int32_t me = request_pid();
    int i = g_slot.load(std::memory_order_relaxed);
    if (i < 0 || load(s->handles[i].pid) != me)
        i = claim_slot(s, me);
    if (i >= 0)
        count_open(s, i, me);
    // else every slot is held by a live process: the handle is not counted
}

}  // namespace internal

using namespace internal;

void handle_opened() { count_opened(validated(false)); }

void handle_closed()
{
    State *s = validated(false);
    int32_t me = request_pid();
    int i = find_own(s, me);
    if (i >= 0)  // else opened before a reset, or not counted
        count_close(s, i, me);
}

RequestsFor::RequestsFor(int pid) : was_(t_requests_for) { t_requests_for = pid; }
RequestsFor::~RequestsFor() { t_requests_for = was_; }

std::vector<OpenHandles> open_handles()
{
    State *s = validated(true);
    std::vector<OpenHandles> out;
    for (const HandleSlot &h : s->handles) {
        int32_t pid = load(h.pid);
        int64_t count = handle_count(h);
        if (pid != 0 && count > 0 && count <= kMaxHandles)
            out.push_back(OpenHandles{pid, static_cast<uint32_t>(count), process_alive(pid)});
    }
    return out;
}

}  // namespace board
