// Modules of the stand-in: each product module registers itself at load
// (module_anchor.cpp) with its file name and its compiled resources.
#pragma once

#ifndef CEPLAT_INTERNAL
#error "a private header of the platform stand-in: use its public headers (platform/host/include)"
#endif

#include "host.h"

#include <memory>
#include <string>
#include <vector>

namespace host {

// A resource type or name: a 16-bit id, or a string (kept upper-case, as
// the platform compares names without regard to case).
struct ResourceKey {
    bool is_id = true;
    WORD id = 0;
    std::u16string name;
};

struct Resource {
    ResourceKey type;
    ResourceKey name;
    WORD language = 0;
    const BYTE *data = nullptr;
    DWORD size = 0;
};

struct Module {
    HMODULE handle = nullptr;
    std::string file;            // file name without folders, as loaded
    const void *link = nullptr;  // the loader's record of the module
    const void *anchor = nullptr;
    std::vector<Resource> resources;
};

// The module of a handle; null handle: the main program.  Null when there
// is no such module (any more).
std::shared_ptr<const Module> module_get(HMODULE handle);

// Parses a compiled .res image; entries that do not fit end the list.
std::vector<Resource> parse_res(const BYTE *image, size_t size, const std::string &who);

// The bytes from p to the end of the resource of a registered module that
// holds p; SIZE_MAX when none does (data the program made itself).
size_t resource_room(const void *p);

// Resource handles: the module's handle plus a slot per resource, so a
// handle tells its module and stays below 2^32.
HRSRC resource_handle(const Module &module, size_t index);
// The module and index of a resource handle; null module when stale.
std::shared_ptr<const Module> resource_of(HRSRC res, size_t *index);

}  // namespace host
