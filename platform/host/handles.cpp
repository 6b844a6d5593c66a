#include "host.h"
#include "include/host_control.h"

#include <cstring>
#include <mutex>
#include <vector>

namespace host {
namespace {

std::mutex g_lock;
std::vector<std::shared_ptr<KernelObject>> g_table;

// Handle values are multiples of 4 from 4 up, as the board's kernel gives
// them, so they never look like the invalid handle value or null.
size_t slot_of(HANDLE h)
{
    uintptr_t v = reinterpret_cast<uintptr_t>(h);
    if (v == 0 || (v & 3) != 0 || v / 4 > g_table.size())
        return SIZE_MAX;
    return v / 4 - 1;
}

}  // namespace

HANDLE handle_insert(std::shared_ptr<KernelObject> object)
{
    std::lock_guard<std::mutex> guard(g_lock);
    size_t slot = 0;
    while (slot < g_table.size() && g_table[slot])
        ++slot;
    if (slot == g_table.size())
        g_table.push_back(nullptr);
    g_table[slot] = std::move(object);
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>((slot + 1) * 4));
}

std::shared_ptr<KernelObject> handle_get(HANDLE handle)
{
    std::lock_guard<std::mutex> guard(g_lock);
    size_t slot = slot_of(handle);
    return slot == SIZE_MAX ? nullptr : g_table[slot];
}

std::shared_ptr<KernelObject> handle_remove(HANDLE handle)
{
    std::lock_guard<std::mutex> guard(g_lock);
    size_t slot = slot_of(handle);
    if (slot == SIZE_MAX)
        return nullptr;
    return std::move(g_table[slot]);
}

}  // namespace host

CE_API size_t host_open_handles(const char *kind)
{
    std::lock_guard<std::mutex> guard(host::g_lock);
    size_t n = 0;
    for (auto &o : host::g_table)
        if (o && (!kind || std::strcmp(o->kind(), kind) == 0))
            ++n;
    return n;
}
