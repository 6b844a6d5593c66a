// The board tool's registry and RAS device commands.
#include "process.h"
#include "reset_board.h"

#include "board/registry_file.h"
#include "platform/platform.h"

using test_support::ProgramResult;
using test_support::run_program;

class BoardCommands : public ResetBoard {};

TEST_F(BoardCommands, RasDevicesCanBeTakenAwayAndBroughtBack)
{
    ProgramResult r = run_program(BOARD_TOOL, {"ras", "remove", "serial on usb"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    r = run_program(BOARD_TOOL, {"ras", "list"});
    EXPECT_NE(r.out.find("Serial on USB                direct  removed\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Serial Cable on COM1:        direct  present\n"), std::string::npos);
    run_program(BOARD_TOOL, {"ras", "restore", "Serial on USB"});
    for (const board::RasDevice &d : board::ras_devices())
        EXPECT_TRUE(d.present) << d.name;
    r = run_program(BOARD_TOOL, {"ras", "remove", "Modem on COM9:"});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("no RAS device 'Modem on COM9:'"), std::string::npos) << r.err;
}

TEST_F(BoardCommands, RegistryPrintsTheFileAndNamesTheLineThatIsDamaged)
{
    ProgramResult r = run_program(BOARD_TOOL, {"registry"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, test_support::read_file(board::reg::file_path()));
    std::string damaged = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Debug]\n\"dbgSerial\"=dword:1\n\"x\"=\n";
    test_support::write_file(board::reg::file_path(), damaged);
    r = run_program(BOARD_TOOL, {"registry"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, damaged);
    EXPECT_NE(r.err.find(board::reg::file_path() + " line 4: "), std::string::npos) << r.err;
    // Nothing the tool does writes over it, reset aside.
    r = run_program(BOARD_TOOL, {"registry", "protect", "HKEY_LOCAL_MACHINE\\Debug"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(test_support::read_file(board::reg::file_path()), damaged);
    r = run_program(BOARD_TOOL, {"registry", "protect", "Debug"});
    EXPECT_EQ(r.exit_code, 2);
    // A zero byte does not end the listing early.
    const char with_zero[] = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Debug]\n\"x\"=\"a\0b\"\n\"y\"=\n";
    damaged.assign(with_zero, sizeof with_zero - 1);
    test_support::write_file(board::reg::file_path(), damaged);
    r = run_program(BOARD_TOOL, {"registry"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, damaged);
}

// protect/unprotect name keys as the registry calls do (one trailing
// backslash is no part of the name); a path with an empty name protects
// nothing and is refused, as is taking away a protection that is not there.
TEST_F(BoardCommands, ProtectionsAreListedAndOnlyWhatIsProtectedIsUnprotected)
{
    ProgramResult r = run_program(BOARD_TOOL, {"registry", "protect", "HKEY_CURRENT_USER\\ControlPanel\\"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(board::reg::is_protected("HKEY_CURRENT_USER\\ControlPanel\\Comm"));
    r = run_program(BOARD_TOOL, {"registry", "protect", "HKEY_LOCAL_MACHINE\\Debug"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    r = run_program(BOARD_TOOL, {"registry", "protected"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "HKEY_CURRENT_USER\\ControlPanel\nHKEY_LOCAL_MACHINE\\Debug\n");

    for (const char *bad : {"HKEY_CURRENT_USER\\ControlPanel\\\\", "HKEY_CURRENT_USER\\\\ControlPanel",
                            "HKEY_CURRENT_USER\\Comm\nHKEY_LOCAL_MACHINE"}) {
        SCOPED_TRACE(bad);
        r = run_program(BOARD_TOOL, {"registry", "protect", bad});
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_NE(r.err.find("KEY has an empty name or a control character in it"), std::string::npos)
            << r.err;
    }
    EXPECT_EQ(board::reg::protected_keys().size(), 2u);

    // Comm is protected through ControlPanel, not itself.
    r = run_program(BOARD_TOOL, {"registry", "unprotect", "HKEY_CURRENT_USER\\ControlPanel\\Comm"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("HKEY_CURRENT_USER\\ControlPanel\\Comm is not protected"), std::string::npos)
        << r.err;
    EXPECT_TRUE(board::reg::is_protected("HKEY_CURRENT_USER\\ControlPanel\\Comm"));
    r = run_program(BOARD_TOOL, {"registry", "unprotect", "hkey_current_user\\controlpanel\\"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_FALSE(board::reg::is_protected("HKEY_CURRENT_USER\\ControlPanel\\Comm"));
    r = run_program(BOARD_TOOL, {"registry", "unprotect", "HKEY_CURRENT_USER\\ControlPanel"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(run_program(BOARD_TOOL, {"registry", "protected"}).out, "HKEY_LOCAL_MACHINE\\Debug\n");

    // The list saved by an editor that ends lines with CR LF protects the same keys.
    test_support::write_file(board::path("registry.protected"),
                             "HKEY_LOCAL_MACHINE\\Debug\r\nHKEY_CURRENT_USER\\ControlPanel\r\n");
    EXPECT_TRUE(board::reg::is_protected("HKEY_CURRENT_USER\\ControlPanel\\Comm"));
    EXPECT_EQ(run_program(BOARD_TOOL, {"registry", "protected"}).out,
              "HKEY_LOCAL_MACHINE\\Debug\nHKEY_CURRENT_USER\\ControlPanel\n");

    // A list far larger than any list of keys is refused, not read whole.
    std::string huge(2 << 20, 'A');
    test_support::write_file(board::path("registry.protected"), huge);
    r = run_program(BOARD_TOOL, {"registry", "protected"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("registry.protected is larger than 1 MiB"), std::string::npos) << r.err;
    EXPECT_THROW(board::reg::is_protected("HKEY_LOCAL_MACHINE\\Debug"), board::Error);
}

TEST_F(BoardCommands, FilesReadonlyShowsSetsAndClearsTheAttribute)
{
    const char *lnk = "\\Windows\\Startup\\Velmorra.lnk";
    ProgramResult r = run_program(BOARD_TOOL, {"files", "readonly", lnk});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "off\n");
    r = run_program(BOARD_TOOL, {"files", "readonly", "\\windows\\STARTUP\\velmorra.lnk", "on"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(run_program(BOARD_TOOL, {"files", "readonly", lnk}).out, "on\n");
    EXPECT_FALSE(DeleteFileW(u"\\Windows\\Startup\\Velmorra.lnk"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    r = run_program(BOARD_TOOL, {"files", "readonly", lnk, "off"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(run_program(BOARD_TOOL, {"files", "readonly", lnk}).out, "off\n");

    // What cannot be marked is named, with why.
    r = run_program(BOARD_TOOL, {"files", "readonly", "\\Windows\\Startup", "on"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("\\Windows\\Startup is a folder"), std::string::npos) << r.err;
    r = run_program(BOARD_TOOL, {"files", "readonly", "\\Temp\\none", "on"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("\\Temp\\none: no such file (error 2)"), std::string::npos) << r.err;
    r = run_program(BOARD_TOOL, {"files", "readonly", "\\..\\registry.reg", "on"});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("no device path"), std::string::npos) << r.err;
    EXPECT_EQ(run_program(BOARD_TOOL, {"files", "readonly", lnk, "yes"}).exit_code, 2);
    EXPECT_EQ(run_program(BOARD_TOOL, {"files", "attrib", lnk}).exit_code, 2);
    EXPECT_NE(run_program(BOARD_TOOL, {"files", "readonly", "--help"}).out.find("Usage: board files readonly PATH [STATE]"),
              std::string::npos);
}

// A list of protected keys with a line that names no key the registry could
// hold (bytes of another file, an unknown root, an empty or over-long name)
// is refused with its file and line, by the tool and the registry's writers
// alike, and left as it is.
TEST_F(BoardCommands, AProtectedListWithALineThatIsNoKeyIsRefusedByLine)
{
    const std::string file = board::path("registry.protected");
    const std::string good = "HKEY_LOCAL_MACHINE\\Debug\r\n\r\n";
    struct Case {
        std::string second;
        const char *said;
    } cases[] = {
        {std::string("\x7F" "ELF\x02\x01\x01\0\0\0", 10), "a root key such as HKEY_LOCAL_MACHINE"},
        {"HKEY_LOCAL_MACHINE\\\xC3(", "bytes that are not UTF-8"},
        {"HKEY_NOWHERE\\Debug", "a root key such as HKEY_LOCAL_MACHINE"},
        {"HKEY_LOCAL_MACHINE\\\\Debug", "an empty name"},
        {"HKEY_LOCAL_MACHINE\\" + std::string(256, 'k'), "longer than 255 characters"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.said);
        test_support::write_file(file, good + c.second + "\n");
        const std::string where = file + " line 3: ";
        ProgramResult r = run_program(BOARD_TOOL, {"registry", "protected"});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(where), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
        EXPECT_LT(r.err.size(), 300u) << "the line is echoed short";
        r = run_program(BOARD_TOOL, {"registry", "protect", "HKEY_CURRENT_USER\\ControlPanel"});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_NE(r.err.find(where), std::string::npos) << r.err;
        EXPECT_EQ(test_support::read_file(file), good + c.second + "\n");
        try {
            board::reg::is_protected("HKEY_LOCAL_MACHINE\\Debug");
            ADD_FAILURE() << "a damaged list was used";
        } catch (const board::Error &e) {
            EXPECT_NE(e.message.find(where), std::string::npos) << e.message;
        }
        // The calls that change the registry refuse rather than guess.
        HKEY key;
        DWORD disposition;
        EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Elsewhere", 0, nullptr, 0, 0, nullptr, &key,
                                  &disposition),
                  ERROR_CANTWRITE);
    }
}
