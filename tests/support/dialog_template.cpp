#include "tests/support/dialog_template.h"

#include "platform/host/include/ce_host.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>

namespace {

class Reader {
public:
    Reader(const uint8_t *p, size_t n) : p_(p), n_(n) {}
    bool ok() const { return ok_; }
    void align4() { i_ = (i_ + 3) & ~size_t(3); }
    uint16_t word()
    {
        if (i_ + 2 > n_) {
            ok_ = false;
            return 0;
        }
        uint16_t v = static_cast<uint16_t>(p_[i_] | (p_[i_ + 1] << 8));
        i_ += 2;
        return v;
    }
    uint32_t dword()
    {
        uint32_t lo = word();
        return lo | (uint32_t(word()) << 16);
    }
    int16_t coordinate() { return static_cast<int16_t>(word()); }
    // A zero-terminated UTF-16 string (the texts here are ASCII).
    std::string text()
    {
        std::string s;
        for (uint16_t c = word(); ok_ && c; c = word())
            s += c < 0x80 ? static_cast<char>(c) : '?';
        return s;
    }
    // A name or ordinal field: 0 (none), 0xFFFF and an ordinal, or a string.
    std::string name_or_ordinal(int *ordinal)
    {
        *ordinal = -1;
        uint16_t first = word();
        if (first == 0)
            return std::string();
        if (first == 0xFFFF) {
            *ordinal = word();
            return std::string();
        }
        i_ -= 2;
        return text();
    }

private:
    const uint8_t *p_;
    size_t n_;
    size_t i_ = 0;
    bool ok_ = true;
};

const char *const kClasses[] = {"Button", "Edit", "Static", "ListBox", "ScrollBar", "ComboBox"};

// Predefined classes by atom (0x80...) or by name in any case, in one spelling.
std::string class_name(const std::string &name, int atom)
{
    if (atom >= 0x80 && atom <= 0x85)
        return kClasses[atom - 0x80];
    for (const char *known : kClasses) {
        bool same = name.size() == std::strlen(known);
        for (size_t i = 0; same && i < name.size(); ++i)
            same = std::tolower(static_cast<unsigned char>(name[i])) ==
                   std::tolower(static_cast<unsigned char>(known[i]));
        if (same)
            return known;
    }
    return atom >= 0 ? "#" + std::to_string(atom) : name;
}

}  // namespace

bool parse_dialog_template(const void *data, size_t size, DialogTemplate *out)
{
    const uint32_t kSetFont = 0x40;
    Reader r(static_cast<const uint8_t *>(data), size);
    DialogTemplate t;
    t.style = r.dword();
    if ((t.style & 0xFFFF) == 1 && (t.style >> 16) == 0xFFFF)
        return false;  // the extended form starts with version 1, signature 0xFFFF
    t.ex_style = r.dword();
    int count = r.word();
    t.x = r.coordinate();
    t.y = r.coordinate();
    t.cx = r.coordinate();
    t.cy = r.coordinate();
    int ordinal;
    r.name_or_ordinal(&ordinal);  // menu
    r.name_or_ordinal(&ordinal);  // class
    t.caption = r.text();
    if (t.style & kSetFont) {
        t.font_size = r.word();
        t.font = r.text();
    }
    for (int n = 0; n < count && r.ok(); ++n) {
        r.align4();
        TemplateItem item;
        item.style = r.dword();
        item.ex_style = r.dword();
        item.x = r.coordinate();
        item.y = r.coordinate();
        item.cx = r.coordinate();
        item.cy = r.coordinate();
        item.id = static_cast<int16_t>(r.word());
        std::string cls = r.name_or_ordinal(&ordinal);
        item.cls = class_name(cls, ordinal);
        item.text = r.name_or_ordinal(&ordinal);
        uint16_t extra = r.word();
        for (uint16_t b = 0; b < extra; b += 2)
            r.word();
        t.items.push_back(item);
    }
    if (!r.ok())
        return false;
    *out = t;
    return true;
}

bool load_dialog_template(const char16_t *module_name, int id, DialogTemplate *out)
{
    HMODULE module = GetModuleHandleW(module_name);
    if (!module)
        return false;
    HRSRC res = FindResourceW(module, MAKEINTRESOURCEW(id), RT_DIALOG);
    if (!res)
        return false;
    const void *data = LockResource(LoadResource(module, res));
    return data && parse_dialog_template(data, SizeofResource(module, res), out);
}

void expect_dialog_frame(const DialogTemplate &t, const char *caption, int cx, int cy, uint32_t style)
{
    EXPECT_EQ(t.caption, caption);
    EXPECT_EQ(t.cx, cx);
    EXPECT_EQ(t.cy, cy);
    EXPECT_EQ(t.font_size, 8);
    EXPECT_EQ(t.font, "System");
    EXPECT_EQ(t.style & style, style);
}
