// Any text as the registry file: parsing never crashes; what parses writes
// out and reads back to the same keys and values, byte for byte, and writes
// out again to the same text.  Edited in place, it reads back as the edited
// registry, and an edit that changes nothing leaves the text as it was.
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

    // Every key handed out for changing, none changed: the text stays.
    std::string same = text;
    board::reg::edit(&same, "fuzz.reg", [](Hive &hive) {
        std::vector<std::string> paths;
        for (const board::reg::Key &k : hive.keys())
            paths.push_back(k.path);
        for (const std::string &p : paths)
            hive.find(p);
        return true;
    });
    if (same != text) {
        std::fprintf(stderr, "an edit that changed nothing changed the text:\n%s\n", same.c_str());
        std::abort();
    }

    // One change picked by the input's last bytes, to the key picked by
    // its first: the text after it reads as the changed registry.
    if (h.keys().empty() || size < 2)
        return 0;
    const std::string path = h.keys()[data[0] % h.keys().size()].path;
    uint8_t pick = data[size - 1];
    Hive edited;
    std::string changed = text;
    board::reg::edit(&changed, "fuzz.reg", [&](Hive &hive) {
        board::reg::Key *k = hive.find(path);
        switch (pick % 5) {
        case 0:
            Hive::set_value(*k, {"fuzz", board::reg::kDword, {pick, 0, 0, 0}});
            break;
        case 1:
            if (!k->values.empty())
                Hive::set_value(*k, {k->values[pick % k->values.size()].name, board::reg::kBinary,
                                     std::vector<uint8_t>(pick, pick)});
            break;
        case 2:
            if (!k->values.empty())
                Hive::remove_value(*k, k->values[pick % k->values.size()].name);
            break;
        case 3:
            if (board::reg::valid_key_path(path + "\\Fuzz"))
                hive.create(path + "\\Fuzz");
            break;
        default:
            hive.remove(path);
        }
        edited = hive;
        return true;
    });
    check_same(edited, reparse(changed), changed);
    return 0;
}
