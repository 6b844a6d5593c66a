// Resource calls of the stand-in over the modules' compiled .res images:
// FindResourceW, LoadResource, LockResource, SizeofResource, LoadStringW,
// LoadIconW, and the icon pixels the host Control Panel draws.
#include "module.h"
#include "include/host_resources.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace host {
namespace {

uint16_t word_at(const BYTE *p)
{
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}

uint32_t dword_at(const BYTE *p)
{
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

size_t align4(size_t n) { return (n + 3) & ~size_t(3); }

char16_t upper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; }

// An id or name field of a .res header at p (at most end); 0 when it does
// not fit, else its length in bytes.
size_t read_key(const BYTE *p, const BYTE *end, ResourceKey *key)
{
    if (end - p >= 4 && word_at(p) == 0xFFFF) {
        key->is_id = true;
        key->id = word_at(p + 2);
        return 4;
    }
    key->is_id = false;
    key->name.clear();
    for (const BYTE *q = p; end - q >= 2; q += 2) {
        char16_t c = word_at(q);
        if (c == 0)
            return static_cast<size_t>(q + 2 - p);
        key->name += upper(c);
    }
    return 0;
}

// A type or name argument of the resource calls: an integer resource, a
// "#123" string, or a name.
ResourceKey key_of(LPCWSTR arg)
{
    ResourceKey key;
    if (IS_INTRESOURCE(arg)) {
        key.id = static_cast<WORD>(reinterpret_cast<uintptr_t>(arg));
        return key;
    }
    if (arg[0] == u'#' && arg[1]) {
        unsigned v = 0;
        const WCHAR *p = arg + 1;
        for (; *p >= u'0' && *p <= u'9' && v <= 0xFFFF; ++p)
            v = v * 10 + (*p - u'0');
        if (!*p && v <= 0xFFFF) {
            key.id = static_cast<WORD>(v);
            return key;
        }
    }
    key.is_id = false;
    for (const WCHAR *p = arg; *p; ++p)
        key.name += upper(*p);
    return key;
}

bool same_key(const ResourceKey &a, const ResourceKey &b)
{
    return a.is_id == b.is_id && (a.is_id ? a.id == b.id : a.name == b.name);
}

// The module of an instance handle, failing the call when there is none.
std::shared_ptr<const Module> module_or_fail(HMODULE module)
{
    auto m = module_get(module);
    if (!m)
        SetLastError(ERROR_INVALID_HANDLE);
    return m;
}

// The index of the first resource of that type and name, or -1 with the
// platform's error set.
long find(const Module &m, const ResourceKey &type, const ResourceKey &name)
{
    bool type_seen = false;
    for (size_t i = 0; i < m.resources.size(); ++i) {
        if (!same_key(m.resources[i].type, type))
            continue;
        type_seen = true;
        if (same_key(m.resources[i].name, name))
            return static_cast<long>(i);
    }
    SetLastError(m.resources.empty() ? ERROR_RESOURCE_DATA_NOT_FOUND
                 : type_seen        ? ERROR_RESOURCE_NAME_NOT_FOUND
                                    : ERROR_RESOURCE_TYPE_NOT_FOUND);
    return -1;
}

const Resource *find_id(const Module &m, WORD type, WORD id)
{
    ResourceKey t, n;
    t.id = type;
    n.id = id;
    long i = find(m, t, n);
    return i < 0 ? nullptr : &m.resources[static_cast<size_t>(i)];
}

// ---- icons ----

constexpr int kIconSize = 32;  // the board's standard icon size
constexpr uint32_t kFirstIcon = 0x00010000;

struct IconImage {
    int width, height, bits;
    WORD id;  // RT_ICON id
};

// An icon handle names an icon group of a module and the image chosen.
struct Icon {
    HMODULE module;
    ResourceKey group;
    WORD chosen;
};

std::mutex g_icon_lock;
std::vector<Icon> g_icons;

std::vector<IconImage> group_images(const Resource &group)
{
    std::vector<IconImage> images;
    if (group.size < 6 || word_at(group.data + 2) != 1)
        return images;
    size_t count = word_at(group.data + 4);
    for (size_t i = 0; i < count && 6 + 14 * (i + 1) <= group.size; ++i) {
        const BYTE *e = group.data + 6 + 14 * i;
        IconImage img;
        img.width = e[0] ? e[0] : 256;
        img.height = e[1] ? e[1] : 256;
        img.bits = word_at(e + 6);
        if (img.bits == 0)
            img.bits = e[2] == 0 ? 8 : e[2] <= 2 ? 1 : e[2] <= 16 ? 4 : 8;
        img.id = word_at(e + 12);
        images.push_back(img);
    }
    return images;
}

// The image nearest to size, of the most colours among those.
const IconImage *best_image(const std::vector<IconImage> &images, int size)
{
    const IconImage *best = nullptr;
    for (auto &img : images) {
        if (!best) {
            best = &img;
            continue;
        }
        int d = std::abs(img.width - size), bd = std::abs(best->width - size);
        if (d < bd || (d == bd && img.bits > best->bits))
            best = &img;
    }
    return best;
}

int row_bytes(int width, int bits) { return ((width * bits + 31) / 32) * 4; }

// Decodes a device-independent icon image (header, palette, colour rows,
// mask rows; rows from the bottom).
bool decode_icon(const Resource &r, int *w, int *h, std::vector<uint32_t> *out)
{
    if (r.size < 40 || dword_at(r.data) < 40)
        return false;
    int32_t width = static_cast<int32_t>(dword_at(r.data + 4));
    int32_t height2 = static_cast<int32_t>(dword_at(r.data + 8));
    int bits = word_at(r.data + 14);
    uint32_t compression = dword_at(r.data + 16);
    uint32_t used = dword_at(r.data + 32);
    // height2 counts the colour rows and the mask rows: an image has one of each at least.
    if (width <= 0 || width > 256 || height2 < 2 || height2 > 512 || compression != 0)
        return false;
    if (bits != 1 && bits != 4 && bits != 8 && bits != 24 && bits != 32)
        return false;
    int height = height2 / 2;
    size_t colours = bits <= 8 ? (used ? used : 1u << bits) : 0;
    if (colours > 256)
        return false;
    size_t palette = dword_at(r.data);
    size_t pixels = palette + 4 * colours;
    size_t mask = pixels + static_cast<size_t>(row_bytes(width, bits)) * height;
    size_t end = mask + static_cast<size_t>(row_bytes(width, 1)) * height;
    if (end > r.size)
        return false;
    out->assign(static_cast<size_t>(width) * height, 0);
    bool any_alpha = false;
    for (int y = 0; y < height; ++y) {
        const BYTE *row = r.data + pixels + static_cast<size_t>(row_bytes(width, bits)) * (height - 1 - y);
        for (int x = 0; x < width; ++x) {
            uint32_t argb;
            if (bits <= 8) {
                unsigned index = bits == 8 ? row[x]
                                 : bits == 4 ? (row[x / 2] >> (x % 2 ? 0 : 4)) & 15
                                             : (row[x / 8] >> (7 - x % 8)) & 1;
                if (index >= colours)
                    index = 0;
                const BYTE *q = r.data + palette + 4 * index;
                argb = 0xFF000000u | q[2] << 16 | q[1] << 8 | q[0];
            } else {
                const BYTE *q = row + x * (bits / 8);
                uint32_t alpha = bits == 32 ? q[3] : 0xFF;
                any_alpha = any_alpha || (bits == 32 && alpha != 0);
                argb = alpha << 24 | q[2] << 16 | q[1] << 8 | q[0];
            }
            (*out)[static_cast<size_t>(y) * width + x] = argb;
        }
    }
    // The mask makes a pixel transparent, unless the image has its own alpha.
    for (int y = 0; y < height; ++y) {
        const BYTE *row = r.data + mask + static_cast<size_t>(row_bytes(width, 1)) * (height - 1 - y);
        for (int x = 0; x < width; ++x) {
            uint32_t &px = (*out)[static_cast<size_t>(y) * width + x];
            bool transparent = (row[x / 8] >> (7 - x % 8)) & 1;
            if (bits == 32 && any_alpha)
                continue;
            px = transparent ? 0 : (px | 0xFF000000u);
        }
    }
    *w = width;
    *h = height;
    return true;
}

}  // namespace

std::vector<Resource> parse_res(const BYTE *image, size_t size, const std::string &who)
{
    std::vector<Resource> list;
    const BYTE *end = image + size;
    const BYTE *p = image;
    while (end - p >= 8) {
        uint32_t data_size = dword_at(p), header_size = dword_at(p + 4);
        Resource r;
        size_t t = 0, n = 0;
        bool ok = header_size >= 24 && header_size <= static_cast<size_t>(end - p) &&
                  data_size <= static_cast<size_t>(end - p) - header_size;
        if (ok) {
            const BYTE *hend = p + header_size;
            t = read_key(p + 8, hend, &r.type);
            n = t ? read_key(p + 8 + t, hend, &r.name) : 0;
            size_t fixed = align4(8 + t + n);
            ok = n && fixed + 16 <= header_size;
            if (ok)
                r.language = word_at(p + fixed + 6);
        }
        if (!ok) {
            std::fprintf(stderr, "host stand-in: resources of %s are damaged at byte %zu\n",
                         who.c_str(), static_cast<size_t>(p - image));
            break;
        }
        r.data = p + header_size;
        r.size = data_size;
        // The leading empty entry marks the format; it is no resource.
        if (!(r.type.is_id && r.type.id == 0 && r.name.is_id && r.name.id == 0))
            list.push_back(r);
        p += align4(header_size + data_size);
    }
    return list;
}

}  // namespace host

using namespace host;

CE_API HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type)
{
    host::KernelCall call;
    if (!name || !type) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto m = module_or_fail(module);
    if (!m)
        return nullptr;
    long i = find(*m, key_of(type), key_of(name));
    return i < 0 ? nullptr : resource_handle(*m, static_cast<size_t>(i));
}

// The resource of a handle that must belong to module (null: any module).
static const Resource *resource_arg(HMODULE module, HRSRC res, std::shared_ptr<const Module> *keep)
{
    size_t index = 0;
    auto m = resource_of(res, &index);
    if (!m || (module && m->handle != module)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    *keep = m;
    return &m->resources[index];
}

CE_API HGLOBAL LoadResource(HMODULE module, HRSRC res)
{
    host::KernelCall call;
    std::shared_ptr<const Module> m;
    const Resource *r = resource_arg(module, res, &m);
    return r ? const_cast<BYTE *>(r->data) : nullptr;
}

// Resources stay where their module holds them: locking changes nothing.
CE_API LPVOID LockResource(HGLOBAL res) { return res; }

CE_API DWORD SizeofResource(HMODULE module, HRSRC res)
{
    host::KernelCall call;
    std::shared_ptr<const Module> m;
    const Resource *r = resource_arg(module, res, &m);
    return r ? r->size : 0;
}

CE_API int LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int room)
{
    host::KernelCall call;
    if (!buffer || room < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    auto m = module_or_fail(instance);
    if (!m)
        return 0;
    // Strings sit in blocks of 16: block (id / 16) + 1, entry id % 16, each
    // a count of characters and the characters without terminator.
    const Resource *block = find_id(*m, 6, static_cast<WORD>((id >> 4) + 1));
    if (!block)
        return 0;
    const BYTE *p = block->data, *end = block->data + block->size;
    for (UINT i = 0; i < (id & 15) && end - p >= 2; ++i)
        p += 2 + 2 * size_t(word_at(p));
    size_t length = end - p >= 2 ? word_at(p) : 0;
    if (end - p < 2 || static_cast<size_t>(end - p - 2) / 2 < length || length == 0) {
        // An id without text in a block that exists reads as empty.
        if (room > 0)
            buffer[0] = 0;
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return 0;
    }
    const WCHAR *text = reinterpret_cast<const WCHAR *>(p + 2);
    if (room == 0) {
        // The platform's read-only form: the string itself, not terminated.
        std::memcpy(buffer, &text, sizeof text);
        return static_cast<int>(length);
    }
    // Cut to the room and terminated, as the platform documents it; with
    // room 1 that leaves only the terminator.  (Desktop Windows under Wine
    // leaves a buffer of room 1 untouched; the documented rule is the board's.)
    size_t n = length < static_cast<size_t>(room - 1) ? length : static_cast<size_t>(room - 1);
    std::memcpy(buffer, text, 2 * n);
    buffer[n] = 0;
    return static_cast<int>(n);
}

CE_API HICON LoadIconW(HINSTANCE instance, LPCWSTR name)
{
    host::KernelCall call;
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    auto m = module_or_fail(instance);
    if (!m)
        return 0;
    ResourceKey group_type;
    group_type.id = 14;
    ResourceKey group = key_of(name);
    long g = find(*m, group_type, group);
    if (g < 0)
        return 0;
    std::vector<IconImage> images = group_images(m->resources[static_cast<size_t>(g)]);
    const IconImage *best = best_image(images, kIconSize);
    if (!best || !find_id(*m, 3, best->id)) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return 0;
    }
    // The same icon loaded twice is one handle, as the platform shares them.
    std::lock_guard<std::mutex> guard(g_icon_lock);
    for (size_t i = 0; i < g_icons.size(); ++i)
        if (g_icons[i].module == m->handle && same_key(g_icons[i].group, group) &&
            g_icons[i].chosen == best->id)
            return kFirstIcon + 4 * static_cast<HICON>(i);
    g_icons.push_back(Icon{m->handle, group, best->id});
    return kFirstIcon + 4 * static_cast<HICON>(g_icons.size() - 1);
}

CE_API BOOL host_icon_pixels(HICON icon, int want_size, int *width, int *height, uint32_t *argb,
                             size_t room)
{
    Icon ic;
    {
        std::lock_guard<std::mutex> guard(g_icon_lock);
        size_t i = (icon - kFirstIcon) / 4;
        if (icon < kFirstIcon || (icon - kFirstIcon) % 4 || i >= g_icons.size()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        ic = g_icons[i];
    }
    auto m = module_get(ic.module);
    ResourceKey group_type;
    group_type.id = 14;
    long g = m ? find(*m, group_type, ic.group) : -1;
    if (g < 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    WORD id = ic.chosen;
    if (want_size > 0) {
        std::vector<IconImage> images = group_images(m->resources[static_cast<size_t>(g)]);
        const IconImage *best = best_image(images, want_size);
        if (best)
            id = best->id;
    }
    const Resource *image = find_id(*m, 3, id);
    int w = 0, h = 0;
    std::vector<uint32_t> pixels;
    if (!image || !decode_icon(*image, &w, &h, &pixels)) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    if (width)
        *width = w;
    if (height)
        *height = h;
    if (!argb || room < pixels.size()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(argb, pixels.data(), 4 * pixels.size());
    return TRUE;
}
