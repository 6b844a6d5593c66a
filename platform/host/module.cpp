// Module registry of the stand-in.  Product modules register at load with
// the file name the loader knows them by and their embedded resources; the
// main program is always registered.  Handles are small numbers, as the
// board's module handles are 32-bit values: the main program 0x00400000,
// loaded libraries from 0x10000000 on in steps of 0x100000, each load a new
// value so a handle kept across an unload no longer finds anything.
#include "module.h"
#include "include/host_resources.h"
#include "common/self_path.h"

#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <link.h>
#include <mutex>
#include <unistd.h>

namespace host {
namespace {

constexpr uintptr_t kMainHandle = 0x00400000;
constexpr uintptr_t kFirstLibrary = 0x10000000;
constexpr uintptr_t kModuleSpan = 0x00100000;  // room for resource handles
constexpr uintptr_t kLastLibrary = 0xFFF00000;

struct Registry {
    std::mutex lock;
    std::vector<std::shared_ptr<const Module>> modules;
    uintptr_t next = kFirstLibrary;
};

std::string base_name(const std::string &path)
{
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string main_program_file()
{
    std::string path = self_path::program_file();
    return path.empty() ? path : base_name(path);
}

// Never destroyed: modules unload during process exit in any order.
Registry &registry()
{
    static Registry *r = [] {
        Registry *reg = new Registry;
        auto main = std::make_shared<Module>();
        main->handle = reinterpret_cast<HMODULE>(kMainHandle);
        main->file = main_program_file();
        reg->modules.push_back(main);
        return reg;
    }();
    return *r;
}

uintptr_t handle_value(const Module &m) { return reinterpret_cast<uintptr_t>(m.handle); }

// Compares a module name as the platform does: the file name part only,
// without regard to case.
bool same_file(LPCWSTR name, const std::string &file)
{
    const WCHAR *start = name;
    for (const WCHAR *p = name; *p; ++p)
        if (*p == u'\\' || *p == u'/')
            start = p + 1;
    return *start && equal_nocase(start, to_utf16(file).c_str());
}

// The loader's record of the object holding address; main is set when it
// is the main program.
const void *link_of(const void *address, bool *main, std::string *file)
{
    Dl_info info;
    struct link_map *map = nullptr;
    if (!dladdr1(address, &info, reinterpret_cast<void **>(&map), RTLD_DL_LINKMAP) || !map)
        return nullptr;
    *main = map->l_name == nullptr || map->l_name[0] == 0;
    *file = base_name(info.dli_fname ? info.dli_fname : "");
    return map;
}

}  // namespace

std::shared_ptr<const Module> module_get(HMODULE handle)
{
    uintptr_t want = handle ? reinterpret_cast<uintptr_t>(handle) : kMainHandle;
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    for (auto &m : r.modules)
        if (handle_value(*m) == want)
            return m;
    return nullptr;
}

size_t resource_room(const void *p)
{
    const BYTE *b = static_cast<const BYTE *>(p);
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    for (auto &m : r.modules)
        for (const Resource &res : m->resources)
            if (b >= res.data && b < res.data + res.size)
                return static_cast<size_t>(res.data + res.size - b);
    return SIZE_MAX;
}

HRSRC resource_handle(const Module &module, size_t index)
{
    return reinterpret_cast<HRSRC>(handle_value(module) + 16 * (index + 1));
}

std::shared_ptr<const Module> resource_of(HRSRC res, size_t *index)
{
    uintptr_t v = reinterpret_cast<uintptr_t>(res);
    uintptr_t base = v < kFirstLibrary ? kMainHandle : v & ~(kModuleSpan - 1);
    if (v <= base || (v - base) % 16 != 0)
        return nullptr;
    auto m = module_get(reinterpret_cast<HMODULE>(base));
    if (!m || (v - base) / 16 > m->resources.size())
        return nullptr;
    *index = (v - base) / 16 - 1;
    return m;
}

}  // namespace host

using namespace host;

CE_API void host_module_attach(const void *anchor, const void *resources, size_t size)
{
    bool main = false;
    std::string file;
    const void *link = link_of(anchor, &main, &file);
    if (!link) {
        std::fprintf(stderr, "host stand-in: a module at %p is not known to the loader\n", anchor);
        return;
    }
    auto m = std::make_shared<Module>();
    m->link = link;
    m->anchor = anchor;
    if (resources)
        m->resources = parse_res(static_cast<const BYTE *>(resources), size, file);
    if (m->resources.size() >= kModuleSpan / 16 - 1) {
        std::fprintf(stderr, "host stand-in: %s has too many resources\n", file.c_str());
        m->resources.resize(kModuleSpan / 16 - 2);
    }
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    if (main) {
        m->handle = reinterpret_cast<HMODULE>(kMainHandle);
        m->file = r.modules[0]->file;
        r.modules[0] = m;
        return;
    }
    m->file = file;
    // A fresh handle for every load; after the last value, start again.
    uintptr_t value = r.next;
    r.next = r.next >= kLastLibrary ? kFirstLibrary : r.next + kModuleSpan;
    m->handle = reinterpret_cast<HMODULE>(value);
    for (auto &old : r.modules)
        if (old->link == link) {
            old = m;
            return;
        }
    r.modules.push_back(m);
}

CE_API void host_module_detach(const void *anchor)
{
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    if (r.modules[0]->anchor == anchor) {
        // The main program's resources go with it; its handle stays.
        auto main = std::make_shared<Module>();
        main->handle = r.modules[0]->handle;
        main->file = r.modules[0]->file;
        r.modules[0] = main;
        return;
    }
    for (size_t i = 1; i < r.modules.size(); ++i)
        if (r.modules[i]->anchor == anchor) {
            r.modules.erase(r.modules.begin() + static_cast<long>(i));
            return;
        }
}

CE_API HMODULE host_module_from_address(const void *address)
{
    bool main = false;
    std::string file;
    const void *link = link_of(address, &main, &file);
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    if (link && main)
        return r.modules[0]->handle;
    for (auto &m : r.modules)
        if (link && m->link == link)
            return m->handle;
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

CE_API size_t host_module_count(void)
{
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    return r.modules.size();
}

CE_API HMODULE GetModuleHandleW(LPCWSTR name)
{
    host::KernelCall call;
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    if (!name)
        return r.modules[0]->handle;
    for (auto &m : r.modules)
        if (same_file(name, m->file))
            return m->handle;
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

CE_API int host_unload_module(void *library)
{
    struct link_map *map = nullptr;
    if (library && dlinfo(library, RTLD_DI_LINKMAP, &map) == 0 && map)
        host::wait_module_threads(map->l_ld, 2000);
    return dlclose(library);
}
