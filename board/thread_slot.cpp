// Thread slots: a small number for each running thread of the process, so
// that threads writing shared counters, tables and event lanes each use
// their own part of them.
#include "board/board.h"

#include <atomic>
#include <cstdint>

namespace board {
namespace {

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

}  // namespace

unsigned thread_slot()
{
    thread_local ThreadSlot slot;
    return slot.n;
}

}  // namespace board
