// The registry file as a desktop registry editor saves it (UTF-16 with a
// byte-order mark) is read and stays so; an encoding the board cannot read
// is refused by name, and the file is left as it is.
#include "process.h"
#include "reset_board.h"

#include "board/registry_file.h"
#include "common/text.h"

using board::reg::Damaged;
using test_support::ProgramResult;
using test_support::read_file;
using test_support::run_program;
using test_support::write_file;

namespace {

// text in UTF-16 of either byte order, with a byte-order mark or without.
std::string utf16(const std::string &text, bool le, bool mark = true)
{
    std::u16string units = (mark ? u"\uFEFF" : u"") + text::to_utf16(text);
    std::string out;
    for (char16_t u : units) {
        char lo = static_cast<char>(u & 0xFF), hi = static_cast<char>(u >> 8);
        out += le ? lo : hi;
        out += le ? hi : lo;
    }
    return out;
}

// ASCII text in UTF-32, with a byte-order mark or without.
std::string utf32(const std::string &ascii, bool le, bool mark)
{
    std::string out;
    for (uint32_t c : (mark ? std::u32string(1, U'\uFEFF') : std::u32string()) +
                          std::u32string(ascii.begin(), ascii.end()))
        for (int k = 0; k < 4; ++k)
            out += static_cast<char>(c >> (8 * (le ? k : 3 - k)));
    return out;
}

const std::string kSaved =
    "Windows Registry Editor Version 5.00\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\Debug]\r\n"
    "\"dbgSerial\"=dword:00000000\r\n"
    "; B\xC3\xBCro \xF0\x9F\x98\x80, as saved\r\n"
    "\r\n"
    "[HKEY_CURRENT_USER\\ControlPanel\\Comm]\r\n"
    "\"Cnct\"=\"B\xC3\xBCro\"\r\n";

class RegistryEncodings : public ResetBoard {};

TEST_F(RegistryEncodings, AUtf16FileWithAByteOrderMarkIsReadAndStaysUtf16)
{
    for (bool le : {true, false}) {
        SCOPED_TRACE(le ? "little-endian" : "big-endian");
        const std::string file = board::reg::file_path();
        const std::string bytes = utf16(kSaved, le);
        write_file(file, bytes);

        board::reg::Hive hive = board::reg::read();
        const board::reg::Key *debug = hive.find("HKEY_LOCAL_MACHINE\\Debug");
        ASSERT_NE(debug, nullptr);
        const board::reg::Value *serial = board::reg::Hive::find_value(*debug, "dbgSerial");
        ASSERT_NE(serial, nullptr);
        EXPECT_EQ(serial->data, std::vector<uint8_t>({0, 0, 0, 0}));
        const board::reg::Key *comm = hive.find("HKEY_CURRENT_USER\\ControlPanel\\Comm");
        ASSERT_NE(comm, nullptr);
        EXPECT_EQ(board::reg::Hive::find_value(*comm, "Cnct")->data,
                  std::vector<uint8_t>({'B', 0, 0xFC, 0, 'r', 0, 'o', 0, 0, 0}));

        // Shown as text; reading leaves the file as it is.
        ProgramResult r = run_program(BOARD_TOOL, {"registry"});
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.out, kSaved);
        EXPECT_EQ(read_file(file), bytes);

        // Written back in its own encoding, only the changed line new.
        board::reg::update([](board::reg::Hive &h) {
            board::reg::Hive::set_value(*h.find("HKEY_LOCAL_MACHINE\\Debug"),
                                        {"dbgSerial", board::reg::kDword, {1, 0, 0, 0}});
            return true;
        });
        std::string changed = kSaved;
        changed.replace(changed.find("dword:00000000"), 14, "dword:00000001");
        EXPECT_EQ(read_file(file), utf16(changed, le));
    }
}

TEST_F(RegistryEncodings, AnEncodingTheBoardCannotReadIsRefusedByName)
{
    const std::string file = board::reg::file_path();
    const std::string plain = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Debug]\r\n";
    struct Case {
        std::string bytes;
        int line;
        const char *said;
    } cases[] = {
        {utf16(plain, true, false), 1, "is UTF-16 (little-endian) without a byte-order mark"},
        {utf16(plain, false, false), 1, "is UTF-16 (big-endian) without a byte-order mark"},
        {utf32(plain, true, true), 1, "is UTF-32"},
        {utf32(plain, false, true), 1, "is UTF-32"},
        {utf32(plain, true, false), 1, "is UTF-32 (little-endian) without a byte-order mark"},
        // A unit cut in half, and half of a surrogate pair on line 3.
        {utf16(plain, true) + "A", 0, "UTF-16 (little-endian) but ends in half a character"},
        {utf16(plain, false).substr(0, 2 + 2 * 13) + std::string("\xD8\x3D\0]", 4), 3,
         "UTF-16 (big-endian) with half a character (a lone surrogate)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.said);
        write_file(file, c.bytes);
        try {
            board::reg::read();
            ADD_FAILURE() << "read";
        } catch (const Damaged &d) {
            EXPECT_EQ(d.line, c.line) << d.what();
            EXPECT_NE(d.message.find(c.said), std::string::npos) << d.what();
        }
        EXPECT_THROW(board::reg::update([](board::reg::Hive &h) {
                         h.create("HKEY_LOCAL_MACHINE\\New");
                         return true;
                     }),
                     Damaged);
        EXPECT_EQ(read_file(file), c.bytes);
        ProgramResult r = run_program(BOARD_TOOL, {"registry"});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
    }
}

}  // namespace
