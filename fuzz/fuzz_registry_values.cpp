// Any value a program may set through the registry calls (a name the calls
// take, any type, any bytes) written to the file reads back byte for byte,
// also when written into a file that has other lines.
#include "reparse.h"

#include "platform/host/host.h"

#include <cstdio>
#include <cstdlib>

using board::reg::Hive;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Layout: name length, name, type (4 bytes), the rest is data.
    if (size < 5)
        return 0;
    size_t n = data[0] % 64;
    if (size < 1 + n + 4)
        return 0;
    // The name as the calls take it: UTF-16, turned into UTF-8 by the stand-in.
    std::u16string wide;
    for (size_t i = 0; i + 1 < n; i += 2)
        wide += static_cast<char16_t>(data[1 + i] | data[2 + i] << 8);
    std::string name = host::to_utf8(wide.c_str(), wide.size());
    if (board::reg::value_name_fault(name))
        return 0;
    const uint8_t *t = data + 1 + n;
    uint32_t type = t[0] | t[1] << 8 | t[2] << 16 | uint32_t(t[3]) << 24;
    if (type < 16 && (t[0] & 0x80))
        type = t[0] & 7;
    std::vector<uint8_t> bytes(t + 4, data + size);
    Hive h;
    board::reg::Key *k = h.create("HKEY_LOCAL_MACHINE\\Fuzz");
    Hive::set_value(*k, board::reg::Value{name, type, bytes});
    std::string out = board::reg::serialise(h);
    Hive back = reparse(out);
    const board::reg::Key *kb = back.find("HKEY_LOCAL_MACHINE\\Fuzz");
    const board::reg::Value *v = kb ? Hive::find_value(*kb, name) : nullptr;
    if (!v || v->type != type || v->data != bytes || v->name != name) {
        std::fprintf(stderr, "value changed:\n%s\n", out.c_str());
        std::abort();
    }

    // The same value set in place of another in a file a person wrote.
    std::string text = "REGEDIT4\r\n; by hand\r\n[HKEY_LOCAL_MACHINE\\Fuzz]\r\n\"x\"=dword:1\r\n"
                       "\"y\"=hex:01,\\\r\n  02\r\n; end\r\n";
    board::reg::edit(&text, "fuzz.reg", [&](Hive &hive) {
        Hive::set_value(*hive.find("HKEY_LOCAL_MACHINE\\Fuzz"), board::reg::Value{name, type, bytes});
        return true;
    });
    back = reparse(text);
    kb = back.find("HKEY_LOCAL_MACHINE\\Fuzz");
    v = kb ? Hive::find_value(*kb, name) : nullptr;
    if (!v || v->type != type || v->data != bytes || !Hive::find_value(*kb, "x") ||
        !Hive::find_value(*kb, "y")) {
        std::fprintf(stderr, "value changed in an edited file:\n%s\n", text.c_str());
        std::abort();
    }
    return 0;
}
