// The kernel handle table: the HANDLE values the stand-in gives out for its
// kernel objects, what each stands for, and the count of those open
// (host_open_handles).
#include "host.h"
#include "include/host_control.h"

#include "board/board.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

namespace host {
namespace {

// The table is split in shards, each with its own lock, and a thread puts
// its handles in a shard of its own (board::thread_slot decides):
// threads that open and close handles at once, as every pin call does, then
// take no lock from each other.  Any thread may use or close any handle.
constexpr size_t kShards = 8;

struct alignas(128) Shard {
    std::mutex lock;
    std::vector<std::shared_ptr<KernelObject>> table;
};
Shard g_shards[kShards];

// Handle values are multiples of 4 from 4 up, as the board's kernel gives
// them, so they never look like the invalid handle value or null.  Value
// (index * kShards + shard + 1) * 4 is entry index of that shard.
Shard *shard_of(HANDLE h, size_t *index)
{
    uintptr_t v = reinterpret_cast<uintptr_t>(h);
    if (v == 0 || (v & 3) != 0)
        return nullptr;
    size_t n = v / 4 - 1;
    *index = n / kShards;
    return &g_shards[n % kShards];
}

}  // namespace

size_t thread_shard() { return board::thread_slot() % kShards; }

HANDLE handle_insert(std::shared_ptr<KernelObject> object)
{
    size_t s = thread_shard();
    Shard &shard = g_shards[s];
    std::lock_guard<std::mutex> guard(shard.lock);
    // Room for a few handles from the start: two shards' first slots, which
    // their threads write on every open and close, are then never on one
    // cache line (a table of one is a 16-byte block beside the next).
    if (shard.table.capacity() == 0)
        shard.table.reserve(16);
    size_t slot = 0;
    while (slot < shard.table.size() && shard.table[slot])
        ++slot;
    if (slot == shard.table.size())
        shard.table.push_back(nullptr);
    shard.table[slot] = std::move(object);
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>((slot * kShards + s + 1) * 4));
}

std::shared_ptr<KernelObject> handle_get(HANDLE handle)
{
    size_t index;
    Shard *shard = shard_of(handle, &index);
    if (!shard)
        return nullptr;
    std::lock_guard<std::mutex> guard(shard->lock);
    return index < shard->table.size() ? shard->table[index] : nullptr;
}

std::shared_ptr<KernelObject> handle_remove(HANDLE handle)
{
    size_t index;
    Shard *shard = shard_of(handle, &index);
    if (!shard)
        return nullptr;
    std::lock_guard<std::mutex> guard(shard->lock);
    return index < shard->table.size() ? std::move(shard->table[index]) : nullptr;
}

}  // namespace host

CE_API size_t host_open_handles(const char *kind)
{
    size_t n = 0;
    for (host::Shard &shard : host::g_shards) {
        std::lock_guard<std::mutex> guard(shard.lock);
        for (auto &o : shard.table)
            if (o && (!kind || std::strcmp(o->kind(), kind) == 0))
                ++n;
    }
    return n;
}
