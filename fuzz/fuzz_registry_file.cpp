// Any text as the registry file: parsing never crashes; what parses writes
// out and reads back to the same keys and values, byte for byte, and writes
// out again to the same text.
#include "reparse.h"

#include <cstdio>
#include <cstdlib>

using board::reg::Hive;

namespace {

void check_same(const Hive &a, const Hive &b, const std::string &text)
{
    bool same = a.keys().size() == b.keys().size();
    for (const board::reg::Key &k : a.keys()) {
        const board::reg::Key *kb = b.find(k.path);
        if (!kb || kb->values.size() != k.values.size()) {
            same = false;
            break;
        }
        for (const board::reg::Value &v : k.values) {
            const board::reg::Value *vb = Hive::find_value(*kb, v.name);
            if (!vb || vb->type != v.type || vb->data != v.data || vb->name != v.name)
                same = false;
        }
    }
    if (!same) {
        std::fprintf(stderr, "round trip changed the registry:\n%s\n", text.c_str());
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    Hive h;
    try {
        h = board::reg::parse(text, "fuzz.reg");
    } catch (const board::reg::Damaged &d) {
        if (d.line < 0 || d.message.empty())
            std::abort();
        return 0;
    }
    std::string out = board::reg::serialise(h);
    Hive back = reparse(out);
    check_same(h, back, out);
    if (board::reg::serialise(back) != out) {
        std::fprintf(stderr, "second write differs:\n%s\n", out.c_str());
        std::abort();
    }
    return 0;
}
