// Any bytes as a module's compiled resources (.res): the list is read
// within the image, and the resource calls over it (FindResourceW,
// SizeofResource, LoadResource, LoadStringW with buffers of every kind,
// LoadIconW and the icon's pixels) stay within the image and their buffers.
#include "host_resources.h"
#include "platform/host/module.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

const uint8_t *g_begin, *g_end;

void fail(const char *what, unsigned id)
{
    std::fprintf(stderr, "resources: %s (id %u)\n", what, id);
    std::abort();
}

bool within_image(const void *p, size_t bytes)
{
    const uint8_t *q = static_cast<const uint8_t *>(p);
    return q >= g_begin && q <= g_end && bytes <= static_cast<size_t>(g_end - q);
}

void strings_of_block(WORD block)
{
    for (UINT id = (block - 1u) * 16; id < block * 16u; ++id) {
        for (int room : {1, 2, 8, 300}) {
            std::vector<WCHAR> buf(static_cast<size_t>(room), 0x5A5A);
            int n = LoadStringW(nullptr, id, buf.data(), room);
            if (n < 0 || n > room - 1 || buf[static_cast<size_t>(n)] != 0)
                fail("LoadStringW wrote past its count or left no terminator", id);
        }
        const WCHAR *text = nullptr;
        int n = LoadStringW(nullptr, id, reinterpret_cast<LPWSTR>(&text), 0);
        if (n < 0 || (n > 0 && !within_image(text, 2 * static_cast<size_t>(n))))
            fail("LoadStringW's own string lies outside the resources", id);
    }
}

void icon_of_group(LPCWSTR name, unsigned id)
{
    HICON icon = LoadIconW(nullptr, name);
    if (!icon)
        return;
    static std::vector<uint32_t> pixels(256 * 256);  // the largest image there is
    for (int want : {0, 16, 32, 48}) {
        int w = -1, h = -1;
        if (host_icon_pixels(icon, want, &w, &h, pixels.data(), pixels.size()) &&
            (w <= 0 || h <= 0 || static_cast<size_t>(w) * h > pixels.size()))
            fail("icon pixels of an impossible size", id);
        host_icon_pixels(icon, want, &w, &h, nullptr, 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int anchor;  // this program's module is the one that gets the resources
    g_begin = data;
    g_end = data + size;
    host_module_attach(&anchor, data, size);
    std::shared_ptr<const host::Module> m = host::module_get(nullptr);
    for (size_t i = 0; m && i < m->resources.size(); ++i) {
        const host::Resource &r = m->resources[i];
        if (!within_image(r.data, r.size))
            fail("a resource lies outside the image", r.name.id);
        std::u16string type_name = r.type.name, name_name = r.name.name;
        LPCWSTR type = r.type.is_id ? MAKEINTRESOURCEW(r.type.id) : (LPCWSTR)type_name.c_str();
        LPCWSTR name = r.name.is_id ? MAKEINTRESOURCEW(r.name.id) : (LPCWSTR)name_name.c_str();
        // A name written "#12" asks for the id 12, as on the platform, and
        // the id 0 is a null argument: neither can be asked for.
        bool unnamed = (!r.type.is_id && type_name[0] == u'#') ||
                       (!r.name.is_id && name_name[0] == u'#') || (r.type.is_id && !r.type.id) ||
                       (r.name.is_id && !r.name.id);
        HRSRC found = FindResourceW(nullptr, name, type);
        if (!found && unnamed)
            continue;
        if (!found)
            fail("a listed resource is not found", r.name.id);
        const void *bytes = LoadResource(nullptr, found);
        if (!within_image(bytes, SizeofResource(nullptr, found)))
            fail("LoadResource gives bytes outside the image", r.name.id);
        if (r.type.is_id && r.type.id == 6 && r.name.is_id && r.name.id > 0 && r.name.id <= 4096)
            strings_of_block(r.name.id);
        if (r.type.is_id && r.type.id == 14)
            icon_of_group(name, r.name.id);
    }
    host_module_detach(&anchor);
    return 0;
}
