// Dialog templates as the resource compiler lays them out: DLGTEMPLATE
// (style, extended style, item count, x, y, cx, cy, menu, class, title and
// with DS_SETFONT the point size and face) followed by DWORD-aligned
// DLGITEMTEMPLATE items, or the extended DLGTEMPLATEEX form.  Offsets are
// counted from the start of the template, which resources keep aligned.
#include "window.h"

#include <cstring>

namespace host {
namespace win {
namespace {

const WORD ATOM_BUTTON = 0x0080;
const WORD ATOM_STATIC = 0x0082;
const WORD ATOM_SCROLLBAR = 0x0084;
const size_t LONGEST_STRING = 0x8000;  // characters; longer is a broken template

// Reads within size bytes: a read past them gives 0 and clears ok.
struct Reader {
    const unsigned char *base;
    size_t size;
    size_t at = 0;
    bool ok = true;

    bool fits(size_t n)
    {
        if (at <= size && n <= size - at)
            return true;
        ok = false;
        at = size;
        return false;
    }
    WORD word()
    {
        WORD w = 0;
        if (fits(2))
            std::memcpy(&w, base + at, 2);
        at += ok ? 2 : 0;
        return w;
    }
    DWORD dword()
    {
        DWORD d = 0;
        if (fits(4))
            std::memcpy(&d, base + at, 4);
        at += ok ? 4 : 0;
        return d;
    }
    short sword() { return static_cast<short>(word()); }
    void align() { at = (at + 3) & ~static_cast<size_t>(3); }

    std::u16string string()
    {
        std::u16string s;
        for (WORD c = word(); c && ok; c = word()) {
            if (s.size() == LONGEST_STRING) {
                ok = false;
                break;
            }
            s.push_back(c);
        }
        return s;
    }
    // A string or an ordinal (0xFFFF then a WORD); a lone 0x0000 is empty.
    bool ordinal(WORD *value, std::u16string *text)
    {
        WORD first = word();
        if (first == 0xFFFF) {
            *value = word();
            return true;
        }
        *value = 0;
        if (first) {
            text->assign(1, first);
            *text += string();
        }
        return false;
    }
    HostRect rect()
    {
        HostRect r;
        r.x = sword();
        r.y = sword();
        r.cx = sword();
        r.cy = sword();
        return r;
    }
};

bool same_ascii(const std::u16string &a, const char *b)
{
    size_t n = std::strlen(b);
    if (a.size() != n)
        return false;
    for (size_t i = 0; i < n; ++i) {
        char16_t c = a[i];
        if (c >= u'a' && c <= u'z')
            c -= 32;
        char d = b[i];
        if (d >= 'a' && d <= 'z')
            d -= 32;
        if (c != static_cast<char16_t>(d))
            return false;
    }
    return true;
}

Kind button_kind(DWORD style)
{
    switch (style & BS_TYPEMASK) {
    case BS_CHECKBOX:
    case BS_AUTOCHECKBOX:
    case BS_3STATE:
    case BS_AUTO3STATE:
        return Kind::checkbox;
    case BS_RADIOBUTTON:
    case BS_AUTORADIOBUTTON:
        return Kind::radio;
    case BS_GROUPBOX:
        return Kind::static_text;
    default:
        return Kind::button;
    }
}

// The kind of control a class names; false for a class the stand-in lacks.
bool control_kind(bool atom, WORD value, const std::u16string &name, DWORD style, Kind *kind)
{
    if (atom ? value == ATOM_BUTTON : same_ascii(name, "BUTTON"))
        *kind = button_kind(style);
    else if (atom ? value == ATOM_STATIC : same_ascii(name, "STATIC"))
        *kind = Kind::static_text;
    else if (atom ? value == ATOM_SCROLLBAR : same_ascii(name, "SCROLLBAR"))
        *kind = Kind::scrollbar;
    else
        return false;
    return true;
}

bool read_item(Reader &r, bool extended, ItemTemplate &item)
{
    r.align();
    if (extended) {
        r.dword();  // help id
        item.exstyle = r.dword();
        item.style = r.dword();
        item.rect = r.rect();
        item.id = static_cast<int>(r.dword());
    } else {
        item.style = r.dword();
        item.exstyle = r.dword();
        item.rect = r.rect();
        item.id = r.word();
    }
    WORD atom;
    std::u16string cls;
    bool is_atom = r.ordinal(&atom, &cls);
    WORD title_ordinal;
    r.ordinal(&title_ordinal, &item.text);  // an ordinal title (an icon) shows no text
    WORD extra = r.word();
    r.at += extra;
    return r.ok && control_kind(is_atom, atom, cls, item.style, &item.kind);
}

}  // namespace

bool parse_template(const void *data, size_t size, DialogTemplate &out)
{
    Reader r{static_cast<const unsigned char *>(data), size};
    WORD version = r.word();
    WORD signature = r.word();
    bool extended = signature == 0xFFFF;
    WORD count;
    if (extended) {
        if (version != 1)
            return false;
        r.dword();  // help id
        out.exstyle = r.dword();
        out.style = r.dword();
    } else {
        r.at = 0;
        out.style = r.dword();
        out.exstyle = r.dword();
    }
    count = r.word();
    out.rect = r.rect();

    WORD ordinal;
    std::u16string menu, cls;
    r.ordinal(&ordinal, &menu);  // dialogs on the device have no menu bar
    bool class_atom = r.ordinal(&ordinal, &cls);
    if (class_atom || !cls.empty())
        return false;  // a private dialog class is not registered here
    out.caption = r.string();
    if (out.style & DS_SETFONT) {  // DS_FIXEDSYS alone brings no font block
        out.font_points = r.word();
        if (extended)
            r.at += 4;  // weight, italic, character set
        out.font_face = r.string();
    }
    for (WORD i = 0; i < count && r.ok; ++i) {
        ItemTemplate item;
        if (!read_item(r, extended, item))
            return false;
        out.items.push_back(item);
    }
    return r.ok;
}

}  // namespace win
}  // namespace host
