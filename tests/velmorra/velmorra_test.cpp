// Velmorra as the board runs it: a separate process on a prepared board
// folder, judged by the phone book, the registry, the start-up folder and
// its debug output.
#include "process.h"
#include "reset_board.h"

#include "board/device_files.h"
#include "phonebook.h"
#include "platform/platform.h"
#include "board/registry_file.h"

#include <cstring>

using test_support::ProgramResult;
using test_support::run_program;

namespace {

const char16_t kEntry[] = u"`USB";
const char kShortcut[] = "fs/Windows/Startup/Velmorra.lnk";
const char kCreated[] = "RasEntry '`USB' Created\r\n";

// What the entry must hold: a new entry's defaults on "Serial on USB".
RASENTRY expected_entry()
{
    RASENTRY e;
    EXPECT_EQ(test_support::read_entry(u"", &e), 0u);
    test_support::set_device(&e, u"Serial on USB");
    return e;
}

// The stored entry, or a zeroed record with dwSize 0 when there is none.
RASENTRY stored_entry()
{
    RASENTRY e;
    if (test_support::read_entry(kEntry, &e))
        std::memset(&e, 0, sizeof e);
    return e;
}

void store_entry(RASENTRY *e)
{
    ASSERT_EQ(RasSetEntryProperties(nullptr, const_cast<LPWSTR>(kEntry), e, sizeof *e, nullptr, 0),
              0u);
}

// HKEY_CURRENT_USER\ControlPanel\Comm "Cnct" as type and bytes; type 0 and
// no bytes when it is missing.
std::pair<DWORD, std::u16string> cnct()
{
    HKEY k;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, u"ControlPanel\\Comm", 0, 0, &k) != ERROR_SUCCESS)
        return {0, u""};
    char16_t buf[128] = {0};
    DWORD type = 0, size = sizeof buf;
    LONG e = RegQueryValueExW(k, u"Cnct", nullptr, &type, reinterpret_cast<BYTE *>(buf), &size);
    RegCloseKey(k);
    if (e != ERROR_SUCCESS)
        return {0, u""};
    return {type, std::u16string(buf, size / 2 + size % 2)};
}

void set_cnct(const std::u16string &name)
{
    HKEY k;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"ControlPanel\\Comm", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &k, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(k, u"Cnct", 0, REG_SZ, reinterpret_cast<const BYTE *>(name.c_str()),
                             static_cast<DWORD>((name.size() + 1) * 2)),
              ERROR_SUCCESS);
    RegCloseKey(k);
}

bool comm_key_exists()
{
    HKEY k;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, u"ControlPanel\\Comm", 0, 0, &k) != ERROR_SUCCESS)
        return false;
    RegCloseKey(k);
    return true;
}

const std::u16string kCnctUsb(u"`USB\0", 5);  // 10 bytes with its terminating zero

}  // namespace

class Velmorra : public ResetBoard {
protected:
    ProgramResult run() const { return run_program(VELMORRA, {}); }
    // Runs the program and expects what every run shows: exit code 0 and
    // exactly these debug lines.
    void run_expecting(const std::string &debug)
    {
        board_.clear_debug_log();
        ProgramResult r = run();
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(board_.debug_log(), debug);
    }
    static bool entries_equal(const RASENTRY &a, const RASENTRY &b)
    {
        return std::memcmp(&a, &b, sizeof a) == 0;
    }
};

TEST_F(Velmorra, FirstRunStoresTheEntryMakesItThePcConnectionAndRemovesItsShortcut)
{
    ASSERT_FALSE(comm_key_exists());
    ASSERT_TRUE(exists(file(kShortcut)));
    run_expecting(kCreated);
    EXPECT_TRUE(entries_equal(stored_entry(), expected_entry()));
    EXPECT_EQ(cnct(), std::make_pair(DWORD(REG_SZ), kCnctUsb));
    EXPECT_FALSE(exists(file(kShortcut)));
    EXPECT_NE(test_support::read_file(board::reg::file_path())
                  .find("[HKEY_CURRENT_USER\\ControlPanel\\Comm]\n\"Cnct\"=\"`USB\"\n"),
              std::string::npos);
}

TEST_F(Velmorra, ASecondRunWritesEverythingAgainAndReportsTheMissingShortcut)
{
    run_expecting(kCreated);
    RASENTRY other = expected_entry();
    test_support::set_device(&other, u"Serial Cable on COM1:");
    store_entry(&other);
    set_cnct(u"Elsewhere");
    run_expecting(std::string(kCreated) + "Velmorra.lnk not deleted.  Error 2\r\n");
    EXPECT_TRUE(entries_equal(stored_entry(), expected_entry()));
    EXPECT_EQ(cnct(), std::make_pair(DWORD(REG_SZ), kCnctUsb));
}

TEST_F(Velmorra, AnEntryWithOtherSettingsIsReplacedWhole)
{
    RASENTRY old = expected_entry();
    std::memset(&old, 0x41, sizeof old);  // every field set to something
    old.dwSize = sizeof old;
    test_support::set_device(&old, u"Serial Cable on COM1:");
    old.szX25UserData[RAS_MaxUserData] = 0;
    store_entry(&old);
    run_expecting(kCreated);
    EXPECT_TRUE(entries_equal(stored_entry(), expected_entry()));
}

TEST_F(Velmorra, ACnctNamingAnotherConnectionIsOverwritten)
{
    set_cnct(u"`Desktop @ 19200");
    run_expecting(kCreated);
    EXPECT_EQ(cnct(), std::make_pair(DWORD(REG_SZ), kCnctUsb));
}

TEST_F(Velmorra, ARefusedEntryLeavesCnctAloneAndStillRemovesTheShortcut)
{
    set_cnct(u"Old");
    ASSERT_TRUE(board::set_ras_device("Serial on USB", false));
    run_expecting("Error 608 from RasSetEntryProperties\r\n");
    EXPECT_EQ(stored_entry().dwSize, 0u);
    EXPECT_EQ(cnct(), std::make_pair(DWORD(REG_SZ), std::u16string(u"Old\0", 4)));
    EXPECT_FALSE(exists(file(kShortcut)));
}

// The board protects ControlPanel\Comm, so the key can be neither opened
// for writing nor created: the program stores the entry, writes no value
// and says nothing about it.
TEST_F(Velmorra, AKeyItCannotOpenOnlySkipsTheValue)
{
    board::reg::set_protected("HKEY_CURRENT_USER\\ControlPanel\\Comm", true);
    run_expecting(kCreated);
    EXPECT_TRUE(entries_equal(stored_entry(), expected_entry()));
    EXPECT_FALSE(comm_key_exists());
    EXPECT_FALSE(exists(file(kShortcut)));
}

// A read-only shortcut is not deleted (the platform's DeleteFile fails with
// ERROR_ACCESS_DENIED): the program says so and still exits with 0, and
// the next start-up runs it again.
TEST_F(Velmorra, AReadOnlyShortcutStaysAndIsReportedWithError5)
{
    ASSERT_EQ(board::files::set_read_only(file(kShortcut), true), 0u);
    run_expecting(std::string(kCreated) + "Velmorra.lnk not deleted.  Error 5\r\n");
    EXPECT_TRUE(exists(file(kShortcut)));
    EXPECT_TRUE(entries_equal(stored_entry(), expected_entry()));
    EXPECT_EQ(cnct(), std::make_pair(DWORD(REG_SZ), kCnctUsb));
    ASSERT_EQ(board::files::set_read_only(file(kShortcut), false), 0u);
    run_expecting(kCreated);
    EXPECT_FALSE(exists(file(kShortcut)));
}

class Boot : public Velmorra {
protected:
    ProgramResult boot() const
    {
        std::string programs = VELMORRA;
        programs.erase(programs.rfind('/'));
        return run_program(BOARD_TOOL, {"boot", "--programs", programs});
    }
};

TEST_F(Boot, RunsTheStartupProgramOnceOverTwoBoots)
{
    ProgramResult first = boot();
    EXPECT_EQ(first.exit_code, 0) << first.err;
    EXPECT_EQ(first.out,
              "boot: running \\Windows\\Velmorra.exe (\\Windows\\Startup\\Velmorra.lnk)\n"
              "boot: \\Windows\\Velmorra.exe exited with code 0\n");
    ProgramResult second = boot();
    EXPECT_EQ(second.exit_code, 0) << second.err;
    EXPECT_EQ(second.out, "");
    EXPECT_EQ(board_.debug_log(), kCreated);
    ProgramResult shown = run_program(BOARD_TOOL, {"registry"});
    EXPECT_NE(shown.out.find("\"Cnct\"=\"`USB\""), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("[HKEY_CURRENT_USER\\Comm\\RasBook\\`USB]\n"), std::string::npos);
    EXPECT_NE(shown.out.find("\"DeviceName\"=\"Serial on USB\"\n"), std::string::npos);
}

TEST_F(Boot, RunsAgainAShortcutThatWasNotDeleted)
{
    // A second shortcut to the program, which the program does not delete.
    test_support::write_file(file("fs/Windows/Startup/Again.lnk"),
                             board::files::shortcut_text("\\Windows\\Velmorra.exe"));
    ProgramResult first = boot();
    EXPECT_EQ(first.exit_code, 0) << first.err;
    EXPECT_EQ(board_.debug_log(), kCreated);  // Again.lnk's run took Velmorra.lnk away
    board_.clear_debug_log();
    ProgramResult second = boot();
    EXPECT_NE(second.out.find("running \\Windows\\Velmorra.exe (\\Windows\\Startup\\Again.lnk)"),
              std::string::npos)
        << second.out;
    EXPECT_EQ(board_.debug_log(), std::string(kCreated) + "Velmorra.lnk not deleted.  Error 2\r\n");
}

TEST_F(Boot, PowersTheBoardOn)
{
    board::set_power(false);
    boot();
    EXPECT_TRUE(board::status().powered);
}
