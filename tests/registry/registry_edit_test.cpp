// Writes to a registry file a person edited keep what the person wrote, and
// the limits of the board's registry hold for the file and the calls alike.
#include "board/file_util.h"
#include "process.h"
#include "reset_board.h"

#include "platform/platform.h"
#include "board/registry_file.h"
#include "common/text.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

using board::reg::Damaged;
using board::reg::Hive;
using board::reg::Key;
using board::reg::Value;

namespace {

const Value dword_value(const std::string &name, uint8_t v) { return Value{name, board::reg::kDword, {v, 0, 0, 0}}; }

// The keys and values of a and b are the same (names, types, bytes).
void expect_same(const Hive &a, const Hive &b, const std::string &text)
{
    ASSERT_EQ(a.keys().size(), b.keys().size()) << text;
    for (const Key &k : a.keys()) {
        const Key *kb = b.find(k.path);
        ASSERT_NE(kb, nullptr) << k.path << "\n" << text;
        ASSERT_EQ(kb->values.size(), k.values.size()) << k.path << "\n" << text;
        for (const Value &v : k.values) {
            const Value *vb = Hive::find_value(*kb, v.name);
            ASSERT_NE(vb, nullptr) << v.name << "\n" << text;
            EXPECT_EQ(vb->name, v.name);
            EXPECT_EQ(vb->type, v.type) << v.name;
            EXPECT_EQ(vb->data, v.data) << v.name;
        }
    }
}

// text after change(); the result must read back as the hive change() left.
std::string edited(const std::string &text, const std::function<void(Hive &)> &change)
{
    std::string out = text;
    Hive after;
    board::reg::edit(&out, "test.reg", [&](Hive &h) {
        change(h);
        after = h;
        return true;
    });
    Hive back = board::reg::parse(out, "test.reg");
    expect_same(after, back, out);
    return out;
}

Damaged damage(const std::string &text)
{
    try {
        board::reg::parse(text, "/board/registry.reg");
    } catch (const Damaged &d) {
        return d;
    }
    ADD_FAILURE() << "parsed without complaint";
    return Damaged{};
}

std::string repeat(const std::string &s, size_t n)
{
    std::string out;
    for (size_t i = 0; i < n; ++i)
        out += s;
    return out;
}

const char kHandEdited[] =
    "; the board's settings, kept by hand\n"
    "REGEDIT4\n"
    "\n"
    "; debug port first\n"
    "[HKEY_LOCAL_MACHINE\\Debug]\n"
    "\"dbgSerial\"=dword:1\n"
    "  \"Level\"=dword:0000000A\n"
    "\"Blob\"=hex:01,02,\\\n"
    "   03,FF\n"
    "; end of Debug\n"
    "\n"
    "[HKEY_CURRENT_USER\\ControlPanel]\n"
    "@=\"panel\"\n"
    "\n"
    "[HKEY_CURRENT_USER\\ControlPanel\\Comm]\n"
    "\"Cnct\"=\"`USB\"\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\Zeta]\n";

}  // namespace

// A comment that ends in a backslash does not swallow the line after it
// (a key line there was lost before).
TEST(RegistryFileComments, ACommentNeverGoesOnToTheNextLine)
{
    Hive h = board::reg::parse("REGEDIT4\n; \"old\"=hex:01,\\\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=dword:1\n", "test.reg");
    const Key *k = h.find("HKEY_LOCAL_MACHINE\\A");
    ASSERT_NE(k, nullptr);
    EXPECT_NE(Hive::find_value(*k, "v"), nullptr);
}

TEST(RegistryEdit, ChangingAValueRewritesOnlyItsLines)
{
    std::string text = kHandEdited;
    std::string out = edited(text, [](Hive &h) {
        Hive::set_value(*h.find("HKEY_LOCAL_MACHINE\\Debug"), dword_value("DBGSERIAL", 0));
    });
    std::string want = text;
    want.replace(want.find("\"dbgSerial\"=dword:1\n"), 20, "\"dbgSerial\"=dword:00000000\n");
    EXPECT_EQ(out, want);

    // A continued hex value is replaced whole, its continuation line too.
    out = edited(text, [](Hive &h) {
        Hive::set_value(*h.find("HKEY_LOCAL_MACHINE\\Debug"), Value{"Blob", board::reg::kBinary, {9}});
    });
    want = text;
    want.replace(want.find("\"Blob\""), std::string("\"Blob\"=hex:01,02,\\\n   03,FF\n").size(),
                 "\"Blob\"=hex:09\n");
    EXPECT_EQ(out, want);

    // Setting what is there already changes nothing, however it is spelt.
    out = edited(text, [](Hive &h) {
        Key *k = h.find("HKEY_LOCAL_MACHINE\\Debug");
        Hive::set_value(*k, dword_value("dbgSerial", 1));
        Hive::set_value(*k, dword_value("Level", 10));
        Hive::set_value(*k, Value{"Blob", board::reg::kBinary, {1, 2, 3, 0xFF}});
    });
    EXPECT_EQ(out, text);
}

TEST(RegistryEdit, NewValuesAndKeysGoWhereTheyBelongAndRemovalsTakeOnlyTheirLines)
{
    std::string text = kHandEdited;
    // A new value ends its key's section, before the comment that follows it.
    std::string out = edited(text, [](Hive &h) {
        Hive::set_value(*h.find("HKEY_LOCAL_MACHINE\\Debug"), dword_value("New", 2));
    });
    std::string want = text;
    want.insert(want.find("; end of Debug"), "\"New\"=dword:00000002\n");
    EXPECT_EQ(out, want);

    // A new key follows its parent's section and the parent's other subkeys.
    out = edited(text, [](Hive &h) { h.create("HKEY_CURRENT_USER\\ControlPanel\\Keyboard"); });
    want = text;
    want.insert(want.find("\n[HKEY_LOCAL_MACHINE\\Zeta]"), "\n[HKEY_CURRENT_USER\\ControlPanel\\Keyboard]\n");
    EXPECT_EQ(out, want);

    // A key with no relative in the file goes at its end, with its missing
    // parents before it.
    out = edited(text, [](Hive &h) {
        Hive::set_value(*h.create("HKEY_USERS\\A\\B"), dword_value("v", 1));
    });
    EXPECT_EQ(out, text + "\n[HKEY_USERS\\A]\n\n[HKEY_USERS\\A\\B]\n\"v\"=dword:00000001\n");

    // Removing a value takes its lines; removing a key its section and the
    // blank line before it, and nothing of its neighbours.
    out = edited(text, [](Hive &h) { Hive::remove_value(*h.find("HKEY_LOCAL_MACHINE\\Debug"), "level"); });
    want = text;
    want.erase(want.find("  \"Level\""), std::string("  \"Level\"=dword:0000000A\n").size());
    EXPECT_EQ(out, want);
    out = edited(text, [](Hive &h) { h.remove("HKEY_CURRENT_USER\\ControlPanel"); });
    want = text;
    want.erase(want.find("\n[HKEY_CURRENT_USER\\ControlPanel]"),
               want.find("\n[HKEY_LOCAL_MACHINE\\Zeta]") - want.find("\n[HKEY_CURRENT_USER\\ControlPanel]"));
    EXPECT_EQ(out, want);

    // Adding a key and taking it away again gives the file back as it was.
    out = edited(text, [](Hive &h) { h.create("HKEY_LOCAL_MACHINE\\Debug\\Sub"); });
    EXPECT_EQ(edited(out, [](Hive &h) { h.remove("HKEY_LOCAL_MACHINE\\Debug\\Sub"); }), text);

    // A phone-book style replacement of every value keeps the lines of the
    // values that stay the same.
    out = edited(text, [](Hive &h) {
        h.create("HKEY_LOCAL_MACHINE\\Debug")->values = {dword_value("Level", 10), dword_value("Other", 3)};
    });
    EXPECT_EQ(out, "; the board's settings, kept by hand\nREGEDIT4\n\n; debug port first\n"
                   "[HKEY_LOCAL_MACHINE\\Debug]\n  \"Level\"=dword:0000000A\n\"Other\"=dword:00000003\n"
                   "; end of Debug\n" +
                       text.substr(text.find("\n[HKEY_CURRENT_USER\\ControlPanel]")));
}

// A change that puts another registry in place of the one read writes
// that registry, the file's comments kept.
TEST(RegistryEdit, AHivePutInPlaceOfTheOneReadIsWrittenWhole)
{
    std::string text = "REGEDIT4\n; note\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=dword:1\n";
    for (const char *other : {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\B]\n\"b\"=dword:2\n", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n"}) {
        std::string out = edited(text, [&](Hive &h) { h = board::reg::parse(other, "other.reg"); });
        EXPECT_NE(out.find("; note\n"), std::string::npos) << out;
    }
    std::string out = edited(text, [](Hive &h) { h = board::reg::default_hive(); });
    EXPECT_EQ(board::reg::parse(out, "t").keys().size(), 2u) << out;
}

// A value named twice is found whether its key has few values or many.
TEST(RegistryFileComments, AValueNamedTwiceIsFoundAmongManyValues)
{
    for (int count : {3, 40}) {
        std::string text = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n";
        for (int i = 0; i < count; ++i)
            text += "\"Value" + std::to_string(i) + "\"=dword:1\n";
        EXPECT_NO_THROW(board::reg::parse(text, "t"));
        Damaged d = damage(text + "\"VALUE1\"=dword:2\n");
        EXPECT_EQ(d.line, count + 3);
        EXPECT_NE(d.message.find("appears twice"), std::string::npos) << d.message;
    }
}

// A key the file names only through its subkeys has no section: a value
// for it starts one, after its subkeys; and it outlives its last subkey.
TEST(RegistryEdit, AKeyOnlyItsSubkeysImplyGetsASectionWhenItNeedsOne)
{
    std::string text = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A\\B]\n\"x\"=dword:1\n\n[HKEY_LOCAL_MACHINE\\C]\n";
    std::string out = edited(text, [](Hive &h) { Hive::set_value(*h.find("HKEY_LOCAL_MACHINE\\A"), dword_value("v", 1)); });
    EXPECT_EQ(out, "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A\\B]\n\"x\"=dword:1\n\n[HKEY_LOCAL_MACHINE\\A]\n"
                   "\"v\"=dword:00000001\n\n[HKEY_LOCAL_MACHINE\\C]\n");
    out = edited(text, [](Hive &h) { h.remove("HKEY_LOCAL_MACHINE\\A\\B"); });
    Hive back = board::reg::parse(out, "test.reg");
    EXPECT_NE(back.find("HKEY_LOCAL_MACHINE\\A"), nullptr) << out;
    EXPECT_EQ(back.find("HKEY_LOCAL_MACHINE\\A\\B"), nullptr) << out;
    // Also from further down: the nearest key that stays is kept.
    text = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\\B\\C]\n";
    out = edited(text, [](Hive &h) { h.remove("HKEY_LOCAL_MACHINE\\A\\B"); });
    EXPECT_EQ(out, "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n");
}

// CR LF files get CR LF lines, a byte-order mark stays, and a last line
// without a line end is ended before anything is added after it.
TEST(RegistryEdit, LineEndsByteOrderMarkAndAnUnendedLastLineAreKept)
{
    std::string crlf = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Debug]\r\n\"dbgSerial\"=dword:1\r\n";
    std::string out = edited(crlf, [](Hive &h) {
        Key *k = h.find("HKEY_LOCAL_MACHINE\\Debug");
        Hive::set_value(*k, Value{"Blob", board::reg::kBinary, std::vector<uint8_t>(40, 0xAB)});
        h.create("HKEY_LOCAL_MACHINE\\Debug\\Sub");
    });
    EXPECT_EQ(out.rfind(crlf, 0), 0u) << out;
    for (size_t i = 0; i < out.size(); ++i)
        if (out[i] == '\n') {
            ASSERT_TRUE(i > 0 && out[i - 1] == '\r') << "a bare line end at " << i << " in\n" << out;
        }
    EXPECT_NE(out.find(",\\\r\n  "), std::string::npos) << "continuation lines end in CR LF too";

    std::string bom = "\xEF\xBB\xBFREGEDIT4\n[HKEY_LOCAL_MACHINE\\Debug]\n";
    out = edited(bom, [](Hive &h) { Hive::set_value(*h.find("HKEY_LOCAL_MACHINE\\Debug"), dword_value("v", 1)); });
    EXPECT_EQ(out, bom + "\"v\"=dword:00000001\n");
    // A removed first section keeps the mark.
    out = edited("\xEF\xBB\xBFREGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n", [](Hive &h) { h.remove("HKEY_LOCAL_MACHINE\\A"); });
    EXPECT_EQ(out.rfind("\xEF\xBB\xBFREGEDIT4\n", 0), 0u);

    std::string unended = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Debug]\n\"a\"=dword:1";
    out = edited(unended, [](Hive &h) { Hive::set_value(*h.find("HKEY_LOCAL_MACHINE\\Debug"), dword_value("b", 2)); });
    EXPECT_EQ(out, unended + "\n\"b\"=dword:00000002\n");
    out = edited(unended, [](Hive &h) { Hive::set_value(*h.find("HKEY_LOCAL_MACHINE\\Debug"), dword_value("a", 2)); });
    EXPECT_EQ(out, "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Debug]\n\"a\"=dword:00000002");
    // Cut between CR and LF: the LF is all it lacks.
    out = edited("REGEDIT4\r\n[HKEY_CURRENT_USER\\C]\r", [](Hive &h) { h.create("HKEY_CURRENT_USER\\C\\D"); });
    EXPECT_EQ(out, "REGEDIT4\r\n[HKEY_CURRENT_USER\\C]\r\n\r\n[HKEY_CURRENT_USER\\C\\D]\r\n");
}

TEST(RegistryLimits, DepthAndNameLengthsAreThoseOfTheBoardsRegistry)
{
    std::string deep = "HKEY_LOCAL_MACHINE" + repeat("\\k", 16);
    EXPECT_TRUE(board::reg::valid_key_path(deep));
    EXPECT_FALSE(board::reg::valid_key_path(deep + "\\k"));
    // Characters, not bytes: 255 two-byte characters are a name, and a
    // character beyond U+FFFF counts two, as in UTF-16.
    EXPECT_TRUE(board::reg::valid_key_path("HKEY_USERS\\" + repeat("\xC3\xA9", 255)));
    EXPECT_FALSE(board::reg::valid_key_path("HKEY_USERS\\" + repeat("x", 256)));
    EXPECT_FALSE(board::reg::valid_key_path("HKEY_USERS\\" + repeat("x", 254) + "\xF0\x9F\x98\x80"));
    EXPECT_EQ(board::reg::value_name_fault(repeat("v", 255)), nullptr);
    EXPECT_NE(board::reg::value_name_fault(repeat("v", 256)), nullptr);

    struct Case {
        std::string text;
        int line;
        const char *says;
    } cases[] = {
        {"REGEDIT4\n[" + deep + "\\k]\n", 2, "16 levels"},
        {"REGEDIT4\n[HKEY_USERS\\" + repeat("x", 256) + "]\n", 2, "255 characters"},
        {"REGEDIT4\n[HKEY_USERS\\A]\n\"" + repeat("v", 256) + "\"=dword:1\n", 3, "255 characters"},
    };
    for (const Case &c : cases) {
        Damaged d = damage(c.text);
        EXPECT_EQ(d.line, c.line);
        EXPECT_NE(d.message.find(c.says), std::string::npos) << d.message;
    }
}

// One key 50,000 levels deep (100 KB) once took gigabytes and crashed every
// reader; it is now refused like any damage, quickly and with a short line.
TEST(RegistryLimits, AKeyFiftyThousandLevelsDeepIsDamageNotACrash)
{
    std::string text = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE" + repeat("\\k", 50000) + "]\n\"v\"=dword:1\n";
    Damaged d = damage(text);
    EXPECT_EQ(d.line, 3);
    EXPECT_NE(d.message.find("16 levels"), std::string::npos) << d.message.substr(0, 200);
    EXPECT_LT(d.what().size(), 300u);
}

class RegistryLimitsOnTheBoard : public ResetBoard {};

TEST_F(RegistryLimitsOnTheBoard, CallsRefuseWhatTheFileCouldNotHold)
{
    HKEY k, deeper;
    std::u16string sixteen = u"k";
    for (int i = 1; i < 16; ++i)
        sixteen += u"\\k";
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, sixteen.c_str(), 0, nullptr, 0, 0, nullptr, &k, nullptr),
              ERROR_SUCCESS);
    // One more level, also when counted from an open key.
    EXPECT_EQ(RegCreateKeyExW(k, u"k", 0, nullptr, 0, 0, nullptr, &deeper, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegOpenKeyExW(k, u"k", 0, 0, &deeper), ERROR_INVALID_PARAMETER);
    std::u16string name(255, u'\u00e9');
    DWORD one = 1;
    EXPECT_EQ(RegSetValueExW(k, name.c_str(), 0, REG_DWORD, reinterpret_cast<BYTE *>(&one), 4), ERROR_SUCCESS);
    name += u'x';
    EXPECT_EQ(RegSetValueExW(k, name.c_str(), 0, REG_DWORD, reinterpret_cast<BYTE *>(&one), 4),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, name.c_str(), 0, nullptr, 0, 0, nullptr, &deeper, nullptr),
              ERROR_INVALID_PARAMETER);
    RegCloseKey(k);
    // Whatever the calls took reads back.
    EXPECT_NO_THROW(board::reg::read());
}

TEST_F(RegistryLimitsOnTheBoard, ADeepKeyInTheFileFailsCallsAndTheBoardTool)
{
    std::string text = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE" + repeat("\\k", 50000) + "]\n";
    test_support::write_file(board::reg::file_path(), text);
    testing::internal::CaptureStderr();
    HKEY k;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Debug", 0, 0, &k), ERROR_REGISTRY_CORRUPT);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(board::reg::file_path() + " line 3: "), std::string::npos) << err.substr(0, 300);
    test_support::ProgramResult r = test_support::run_program(BOARD_TOOL, {"registry"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("line 3: keys nest more than 16 levels"), std::string::npos) << r.err.substr(0, 300);
    EXPECT_EQ(test_support::read_file(board::reg::file_path()), text);
}

// The registry calls write into the person's file as the edits above do.
TEST_F(RegistryLimitsOnTheBoard, CallsKeepAHandEditedFile)
{
    test_support::write_file(board::reg::file_path(), kHandEdited);
    HKEY k;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Debug", 0, 0, &k), ERROR_SUCCESS);
    DWORD zero = 0;
    ASSERT_EQ(RegSetValueExW(k, u"dbgSerial", 0, REG_DWORD, reinterpret_cast<BYTE *>(&zero), 4), ERROR_SUCCESS);
    RegCloseKey(k);
    std::string want = kHandEdited;
    want.replace(want.find("\"dbgSerial\"=dword:1\n"), 20, "\"dbgSerial\"=dword:00000000\n");
    EXPECT_EQ(test_support::read_file(board::reg::file_path()), want);
}

// A file that holds one key in two sections is damaged, as before: no call
// writes to it, since either section could be the one a person meant.
TEST_F(RegistryLimitsOnTheBoard, AKeyInTwoSectionsIsRefusedAndLeftAsItIs)
{
    std::string text = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Debug]\n\"a\"=dword:1\n[HKEY_LOCAL_MACHINE\\DEBUG]\n";
    test_support::write_file(board::reg::file_path(), text);
    testing::internal::CaptureStderr();
    DWORD one = 1;
    HKEY k;
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Debug", 0, nullptr, 0, 0, nullptr, &k, nullptr),
              ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(RegSetValueExW(HKEY_LOCAL_MACHINE, u"x", 0, REG_DWORD, reinterpret_cast<BYTE *>(&one), 4),
              ERROR_REGISTRY_CORRUPT);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("line 4: key [HKEY_LOCAL_MACHINE\\DEBUG] appears twice"), std::string::npos) << err;
    EXPECT_EQ(test_support::read_file(board::reg::file_path()), text);
}

// A writer that changes the file while update() waits for the lock is not
// undone: update() sees the file is not the one it parsed and parses again.
TEST_F(RegistryLimitsOnTheBoard, AChangeMadeWhileWaitingForTheLockIsKept)
{
    std::atomic<long> tid{0};
    std::thread writer;
    {
        board::file_util::Lock held(board::path("registry.lock"), true);
        writer = std::thread([&] {
            tid = syscall(SYS_gettid);
            board::reg::update([](Hive &h) {
                Hive::set_value(*h.find("HKEY_LOCAL_MACHINE\\Debug"), dword_value("mine", 1));
                return true;
            });
        });
        // Wait (generously) until the writer is blocked on the lock: it has
        // read and parsed the file by then.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        bool waiting = false;
        while (!waiting && std::chrono::steady_clock::now() < deadline) {
            if (tid) {
                std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
                long number = -1;
                in >> number;
                waiting = number == SYS_flock;
            }
            if (!waiting)
                std::this_thread::yield();
        }
        ASSERT_TRUE(waiting) << "the writer never waited for the lock";
        std::string text = test_support::read_file(board::reg::file_path());
        text += "; added by hand\n[HKEY_LOCAL_MACHINE\\Other]\n\"theirs\"=dword:2\n";
        board::file_util::replace_file(board::reg::file_path(), text);
    }
    writer.join();
    std::string out = test_support::read_file(board::reg::file_path());
    EXPECT_NE(out.find("; added by hand\n[HKEY_LOCAL_MACHINE\\Other]\n\"theirs\"=dword:2\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\"mine\"=dword:00000001"), std::string::npos) << out;
    EXPECT_GE(board::reg::last_update_lock_seconds(), 0.0);
}

TEST(Excerpt, IsShortEscapedAndNotCutByAZeroByte)
{
    EXPECT_EQ(text::excerpt("plain \xC3\xA9"), "plain \xC3\xA9");
    EXPECT_EQ(text::excerpt(std::string("a\0b\n\x7F", 5)), "a\\0b\\n\\x7F");
    // Bytes that are no character, each on its own; a cut sequence too.
    EXPECT_EQ(text::excerpt("\xFF\xC3x\xE2\x82"), "\\xFF\\xC3x\\xE2\\x82");
    EXPECT_EQ(text::excerpt(repeat("x", 100000), 40), repeat("x", 40) + "...");
    EXPECT_EQ(text::excerpt(repeat("\xC3\xA9", 41), 40), repeat("\xC3\xA9", 40) + "...");
}

TEST(Excerpt, DamageMessagesQuoteShortEscapedPieces)
{
    Damaged d = damage("REGEDIT4\n[HKEY_" + repeat("X", 100000) + "\\a]\n");
    EXPECT_LT(d.what().size(), 200u);
    d = damage(std::string("REGEDIT4\n[HKEY_\x01\xFF\0Z\\a]\n", 23));
    EXPECT_NE(d.message.find("'HKEY_\\x01\\xFF\\0Z'"), std::string::npos) << d.message;
}

class ProtectKeyNames : public ResetBoard {};

TEST_F(ProtectKeyNames, WhatTheCallsWouldRefuseIsRefusedWithAShortEscapedEcho)
{
    struct Case {
        std::string key;
        const char *says;
    } cases[] = {
        {"HKEY_CURRENT_USER\\" + repeat("n", 100000), "longer than 255 characters"},
        {"HKEY_CURRENT_USER\\bad\xFF\xFEname", "not UTF-8"},
        {"HKEY_CURRENT_USER" + repeat("\\k", 17), "16 levels"},
        {"HKEY_" + repeat("Z", 100000), "must start with a root key"},
    };
    for (const Case &c : cases) {
        test_support::ProgramResult r = test_support::run_program(BOARD_TOOL, {"registry", "protect", c.key});
        EXPECT_EQ(r.exit_code, 2) << c.says;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err.substr(0, 300);
        EXPECT_LT(r.err.size(), 1000u) << c.says;
    }
    test_support::ProgramResult r =
        test_support::run_program(BOARD_TOOL, {"registry", "protect", "HKEY_CURRENT_USER\\bad\xFF\xFEname"});
    EXPECT_NE(r.err.find("bad\\xFF\\xFEname"), std::string::npos) << r.err;
    EXPECT_TRUE(board::reg::protected_keys().empty());
}
