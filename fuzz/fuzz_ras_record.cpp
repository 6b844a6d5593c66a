// Any registry text as a phone-book entry: the values of its first key that
// has values are read into a RASENTRY or refused; a record read is written
// back as values and, through the registry file, reads again to the same
// bytes.
#include "platform/host/ras_record.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace reg = board::reg;

namespace {

// A phone-book entry's values are a few kilobytes of text: longer inputs
// only exercise the registry file's reader, which has a harness of its own.
const size_t kLongest = 32768;

const char kKey[] = "HKEY_CURRENT_USER\\Comm\\RasBook\\Fuzz";

void fail(const char *what, const std::string &text)
{
    std::fprintf(stderr, "phone-book record: %s\n%s\n", what, text.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > kLongest)
        return 0;
    std::string text(reinterpret_cast<const char *>(data), size);
    reg::Hive hive;
    try {
        hive = reg::parse(text, "fuzz.reg");
    } catch (const reg::Damaged &) {
        return 0;
    }
    const reg::Key *first = nullptr;
    for (const reg::Key &k : hive.keys())
        if (!first && !k.values.empty())
            first = &k;
    static RASENTRY entry, again;
    if (!first || !host::entry_from_values(first->values, &entry))
        return 0;
    if (entry.dwSize != sizeof entry)
        fail("dwSize is not the record's size", text);
    reg::Hive written;
    reg::Key *key = written.create(kKey);
    for (const reg::Value &v : host::entry_values(entry))
        reg::Hive::set_value(*key, v);
    std::string file = reg::serialise(written);
    reg::Hive back;
    try {
        back = reg::parse(file, "written.reg");
    } catch (const reg::Damaged &d) {
        fail(("the written entry does not parse: " + d.what()).c_str(), file);
    }
    const reg::Key *read = back.find(kKey);
    if (!read || !host::entry_from_values(read->values, &again))
        fail("the written entry does not read back", file);
    if (std::memcmp(&entry, &again, sizeof entry) != 0)
        fail("the entry read back differs", file);
    return 0;
}
