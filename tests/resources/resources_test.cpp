// Modules and resources in the host stand-in: module handles by name, load
// and unload, strings with the platform's cuts, dialog templates and icons,
// on the frame's test applet and on this program's own strings.
#include "applet_library.h"
#include "platform/host/include/host_resources.h"
#include "resource.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace test_support;

const std::u16string kName40 = u"A name of forty characters, cut to 31...";

uintptr_t value(HMODULE m) { return reinterpret_cast<uintptr_t>(m); }

struct Pixels {
    int width = 0, height = 0;
    std::vector<uint32_t> argb;
    uint32_t at(int x, int y) const { return argb[static_cast<size_t>(y) * width + x]; }
};

Pixels pixels_of(HICON icon, int want)
{
    Pixels p;
    p.argb.resize(64 * 64);
    EXPECT_TRUE(host_icon_pixels(icon, want, &p.width, &p.height, p.argb.data(), p.argb.size()))
        << GetLastError();
    return p;
}

// The probe icons: red, lime, blue at the top left, the top right corner
// transparent, white at the bottom left, yellow elsewhere.
void expect_probe(const Pixels &p, int size)
{
    ASSERT_EQ(p.width, size);
    ASSERT_EQ(p.height, size);
    EXPECT_EQ(p.at(0, 0), 0xFFFF0000u);
    EXPECT_EQ(p.at(1, 0), 0xFF00FF00u);
    EXPECT_EQ(p.at(2, 0), 0xFF0000FFu);
    EXPECT_EQ(p.at(size - 1, 0) >> 24, 0u);
    EXPECT_EQ(p.at(0, size - 1), 0xFFFFFFFFu);
    EXPECT_EQ(p.at(size / 2, size / 2), 0xFFFFFF00u);
    EXPECT_EQ(p.at(size - 1, size - 1), 0xFFFFFF00u);
}

class Resources : public ::testing::Test {
protected:
    BoardFolder board;
    Library applet{"FrameTest.cpl"};
    HMODULE module = GetModuleHandleW(u"FrameTest.cpl");
};

TEST_F(Resources, ModulesAreFoundByFileNameWithoutRegardToCase)
{
    ASSERT_NE(module, nullptr);
    EXPECT_LT(value(module), uintptr_t(1) << 32);
    EXPECT_EQ(GetModuleHandleW(u"frametest.CPL"), module);
    EXPECT_EQ(GetModuleHandleW(u"\\Windows\\FRAMETEST.cpl"), module);
    EXPECT_EQ(host_module_from_address(applet.symbol("CPlApplet")), module);

    SetLastError(0);
    EXPECT_EQ(GetModuleHandleW(u"FrameTest"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(GetModuleHandleW(u"Other.cpl"), nullptr);
    EXPECT_EQ(GetModuleHandleW(u""), nullptr);

    HMODULE main = GetModuleHandleW(nullptr);
    ASSERT_NE(main, nullptr);
    EXPECT_NE(main, module);
    EXPECT_LT(value(main), uintptr_t(1) << 32);
    EXPECT_EQ(host_module_from_address(reinterpret_cast<const void *>(&value)), main);
}

TEST_F(Resources, TheProgramFindsItsOwnStrings)
{
    WCHAR text[32];
    EXPECT_EQ(LoadStringW(GetModuleHandleW(nullptr), IDS_PROGRAM, text, 32), 14);
    EXPECT_EQ(std::u16string(text), u"Program string");
    EXPECT_EQ(LoadStringW(nullptr, IDS_GRAVE, text, 32), 4);
    EXPECT_EQ(std::u16string(text), u"\u0060USB");
    // The applet's strings are its own.
    EXPECT_EQ(LoadStringW(module, IDS_GRAVE, text, 32), 0);
}

TEST_F(Resources, UnloadingTakesTheModuleAway)
{
    size_t count = host_module_count();
    Library second("FrameTrace.cpl");
    EXPECT_EQ(host_module_count(), count + 1);
    HMODULE old = GetModuleHandleW(u"FrameTrace.cpl");
    ASSERT_NE(old, nullptr);
    HICON icon = LoadIconW(old, MAKEINTRESOURCEW(7));
    ASSERT_NE(icon, 0u);
    second.unload();

    EXPECT_EQ(host_module_count(), count);
    EXPECT_EQ(GetModuleHandleW(u"FrameTrace.cpl"), nullptr);
    EXPECT_EQ(FindResourceW(old, MAKEINTRESOURCEW(300), RT_DIALOG), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    WCHAR text[8] = u"kept";
    EXPECT_EQ(LoadStringW(old, 1, text, 8), 0);
    EXPECT_EQ(std::u16string(text), u"kept");
    int w = -1, h = -1;
    uint32_t px[16];
    EXPECT_FALSE(host_icon_pixels(icon, 0, &w, &h, px, 16));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    // Loaded again, it is found again, under a new handle.
    Library again("FrameTrace.cpl");
    HMODULE now = GetModuleHandleW(u"FrameTrace.cpl");
    ASSERT_NE(now, nullptr);
    EXPECT_NE(now, old);
    EXPECT_EQ(LoadStringW(now, 1, text, 8), 7);
    EXPECT_EQ(GetModuleHandleW(u"FrameTest.cpl"), module);
}

TEST_F(Resources, StringsAreCutToTheRoomWithATerminator)
{
    WCHAR text[100];
    auto load = [&](UINT id, int room) {
        std::fill(std::begin(text), std::end(text), u'#');
        return LoadStringW(module, id, text, room);
    };
    EXPECT_EQ(load(1, 32), 31);
    EXPECT_EQ(std::u16string(text), kName40.substr(0, 31));
    EXPECT_EQ(load(1, 40), 39);
    EXPECT_EQ(std::u16string(text), kName40.substr(0, 39));
    EXPECT_EQ(load(1, 41), 40);
    EXPECT_EQ(std::u16string(text), kName40);
    EXPECT_EQ(load(1, 100), 40);
    EXPECT_EQ(text[41], u'#');
    // Room 1: nothing fits but the terminator, which is written, as the
    // platform documents (truncated and terminated).  Wine leaves the buffer
    // untouched here (tests/win32/platform_probe.cpp); the rule is followed.
    EXPECT_EQ(load(1, 1), 0);
    EXPECT_EQ(text[0], 0);
    EXPECT_EQ(text[1], u'#');
    // Strings of the second block of sixteen.
    EXPECT_EQ(load(17, 100), 9);
    EXPECT_EQ(std::u16string(text), u"Seventeen");
    // Room 0: a read-only pointer to the string itself.
    const WCHAR *direct = nullptr;
    EXPECT_EQ(LoadStringW(module, 1, reinterpret_cast<LPWSTR>(&direct), 0), 40);
    ASSERT_NE(direct, nullptr);
    EXPECT_EQ(std::u16string(direct, 40), kName40);
}

TEST_F(Resources, MissingStringsLoadNothing)
{
    WCHAR text[8] = u"kept";
    // An empty slot in a block that exists reads as empty.
    EXPECT_EQ(LoadStringW(module, 3, text, 8), 0);
    EXPECT_EQ(text[0], 0);
    // A block that does not exist leaves the buffer alone.
    std::memcpy(text, u"kept", sizeof u"kept");
    EXPECT_EQ(LoadStringW(module, 100, text, 8), 0);
    EXPECT_EQ(std::u16string(text), u"kept");
    HMODULE bogus = reinterpret_cast<HMODULE>(uintptr_t(0x7FF00000));
    EXPECT_EQ(LoadStringW(bogus, 1, text, 8), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(std::u16string(text), u"kept");
}

TEST_F(Resources, DialogTemplatesAreFoundAndLoaded)
{
    HRSRC res = FindResourceW(module, MAKEINTRESOURCEW(300), RT_DIALOG);
    ASSERT_NE(res, nullptr);
    EXPECT_LT(reinterpret_cast<uintptr_t>(res), uintptr_t(1) << 32);
    EXPECT_EQ(FindResourceW(module, u"#300", RT_DIALOG), res);
    HGLOBAL loaded = LoadResource(module, res);
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(LockResource(loaded), loaded);
    EXPECT_EQ(LoadResource(nullptr, res), loaded);
    DWORD size = SizeofResource(module, res);
    ASSERT_GE(size, 26u);
    // An extended template: version 1, signature 0xFFFF, help id, extended
    // style, style, one item, position and size.
    const BYTE *t = static_cast<const BYTE *>(loaded);
    WORD w[2];
    DWORD d[3];
    std::memcpy(w, t, 4);
    std::memcpy(d, t + 4, 12);
    EXPECT_EQ(w[0], 1);
    EXPECT_EQ(w[1], 0xFFFF);
    EXPECT_EQ(d[1], 0x80000000u);
    EXPECT_EQ(d[2] & (WS_POPUP | DS_MODALFRAME | DS_SETFONT),
              static_cast<DWORD>(WS_POPUP | DS_MODALFRAME | DS_SETFONT));
    short geometry[5];
    std::memcpy(geometry, t + 16, 10);
    EXPECT_EQ(geometry[0], 1);
    EXPECT_EQ(geometry[3], 89);
    EXPECT_EQ(geometry[4], 142);
    // Another module's resource handle does not load through this module.
    EXPECT_EQ(LoadResource(GetModuleHandleW(nullptr), res), nullptr);
}

TEST_F(Resources, MissingResourcesAreNotFound)
{
    EXPECT_EQ(FindResourceW(module, MAKEINTRESOURCEW(301), RT_DIALOG), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
    EXPECT_EQ(FindResourceW(module, u"NOPE", RT_DIALOG), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
    EXPECT_EQ(FindResourceW(module, MAKEINTRESOURCEW(300), MAKEINTRESOURCEW(2)), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));
    EXPECT_EQ(LoadResource(module, nullptr), nullptr);
    EXPECT_EQ(SizeofResource(module, reinterpret_cast<HRSRC>(uintptr_t(0x12345))), 0u);
    EXPECT_EQ(LoadIconW(module, MAKEINTRESOURCEW(99)), 0u);
}

TEST_F(Resources, IconsAreSharedHandlesOfTheBestImage)
{
    HICON icon = LoadIconW(module, MAKEINTRESOURCEW(7));
    ASSERT_NE(icon, 0u);
    EXPECT_EQ(LoadIconW(module, MAKEINTRESOURCEW(7)), icon);
    HICON direct = LoadIconW(module, MAKEINTRESOURCEW(9));
    ASSERT_NE(direct, 0u);
    EXPECT_NE(direct, icon);
    // Group 7: 16x16 and 32x32 of 16 colours, 32x32 of 256 colours.
    expect_probe(pixels_of(icon, 0), 32);
    expect_probe(pixels_of(icon, 16), 16);
    expect_probe(pixels_of(icon, 32), 32);
    // Group 9: 32x32 of 24 bits, 48x48 of 32 bits with alpha.
    expect_probe(pixels_of(direct, 32), 32);
    expect_probe(pixels_of(direct, 48), 48);
    EXPECT_EQ(pixels_of(direct, 0).width, 32);
}

TEST_F(Resources, IconPixelsNeedRoomAndAKnownIcon)
{
    HICON icon = LoadIconW(module, MAKEINTRESOURCEW(7));
    int w = 0, h = 0;
    std::vector<uint32_t> small(32 * 32 - 1);
    EXPECT_FALSE(host_icon_pixels(icon, 32, &w, &h, small.data(), small.size()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(w, 32);
    EXPECT_EQ(h, 32);
    EXPECT_FALSE(host_icon_pixels(icon + 4000, 32, &w, &h, small.data(), small.size()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(host_icon_pixels(0, 32, &w, &h, small.data(), small.size()));
}

}  // namespace
