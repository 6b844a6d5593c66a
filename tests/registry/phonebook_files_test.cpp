// The phone book over the board's registry, and the device's files.
#include "reset_board.h"

#include "board/device_files.h"
#include "phonebook.h"
#include "board/registry_file.h"
#include "common/text.h"
#include "platform/platform.h"

#include <cstring>
#include <fstream>
#include <sys/stat.h>


namespace {

using test_support::read_entry;
using test_support::set_device;

RASENTRY defaults()
{
    RASENTRY e;
    EXPECT_EQ(read_entry(u"", &e, 0xCC), 0u);
    return e;
}

DWORD store(LPCWSTR name, RASENTRY *e)
{
    return RasSetEntryProperties(nullptr, const_cast<LPWSTR>(name), e, sizeof *e, nullptr, 0);
}

DWORD fetch(LPCWSTR name, RASENTRY *e) { return read_entry(name, e); }

}  // namespace

class Phonebook : public ResetBoard {};

TEST_F(Phonebook, ANewEntryIsADirectPppConnectionOverTcpIp)
{
    RASENTRY e = defaults();
    EXPECT_EQ(e.dwSize, 3472u);
    EXPECT_EQ(std::u16string(e.szDeviceType), u"direct");
    EXPECT_EQ(std::u16string(e.szDeviceName), u"");
    EXPECT_EQ(e.dwFramingProtocol, static_cast<DWORD>(RASFP_Ppp));
    EXPECT_EQ(e.dwfNetProtocols, static_cast<DWORD>(RASNP_Ip));
    EXPECT_EQ(std::u16string(e.szLocalPhoneNumber), u"");
    // Nothing of what the record held before is left.
    EXPECT_EQ(e.szScript[5], 0);
    EXPECT_EQ(e.dwCustomAuthKey, 0u);
}

TEST_F(Phonebook, SizesAreCheckedAsThePlatformDoes)
{
    RASENTRY e = defaults();
    DWORD size = 100;
    EXPECT_EQ(RasGetEntryProperties(nullptr, nullptr, nullptr, &size, nullptr, nullptr),
              static_cast<DWORD>(ERROR_BUFFER_TOO_SMALL));
    EXPECT_EQ(size, 3472u);
    e.dwSize = 3000;
    EXPECT_EQ(RasGetEntryProperties(nullptr, nullptr, &e, &size, nullptr, nullptr),
              static_cast<DWORD>(ERROR_INVALID_SIZE));
    set_device(&e, u"Serial on USB");
    EXPECT_EQ(store(u"`USB", &e), static_cast<DWORD>(ERROR_INVALID_SIZE));
    e.dwSize = sizeof e;
    EXPECT_EQ(RasSetEntryProperties(nullptr, const_cast<LPWSTR>(u"`USB"), &e, 3000, nullptr, 0),
              static_cast<DWORD>(ERROR_INVALID_SIZE));
    EXPECT_EQ(store(u"a\\b", &e), static_cast<DWORD>(ERROR_INVALID_NAME));
    EXPECT_EQ(store(u"", &e), static_cast<DWORD>(ERROR_INVALID_NAME));
    EXPECT_EQ(store(u"123456789012345678901", &e), static_cast<DWORD>(ERROR_INVALID_NAME));
}

TEST_F(Phonebook, EntriesAreStoredWholeAndReplacedWhole)
{
    RASENTRY e = defaults();
    set_device(&e, u"Serial Cable on COM1:");
    e.dwfOptions = RASEO_SpecificIpAddr;
    std::memcpy(e.szScript, u"\\dial.scp", 20);
    ASSERT_EQ(store(u"`USB", &e), 0u);
    RASENTRY got;
    ASSERT_EQ(fetch(u"`usb", &got), 0u);
    EXPECT_EQ(std::memcmp(&got, &e, sizeof e), 0);

    RASENTRY fresh = defaults();
    set_device(&fresh, u"Serial on USB");
    ASSERT_EQ(store(u"`USB", &fresh), 0u);
    ASSERT_EQ(fetch(u"`USB", &got), 0u);
    EXPECT_EQ(std::memcmp(&got, &fresh, sizeof fresh), 0);

    EXPECT_EQ(fetch(u"Nobody", &got), static_cast<DWORD>(ERROR_CANNOT_FIND_PHONEBOOK_ENTRY));
}

TEST_F(Phonebook, EntriesAreReadableFieldsThatReadBackExactly)
{
    RASENTRY e = defaults();
    set_device(&e, u"Serial on USB");
    e.ipaddr = RASIPADDR{10, 0, 0, 2};
    e.ipaddrDns = RASIPADDR{255, 255, 0, 1};
    // Something after the terminating zero has to survive too.
    std::memcpy(e.szScript, u"a\0b", 6);
    ASSERT_EQ(store(u"Office", &e), 0u);
    std::string file = test_support::read_file(board::reg::file_path());
    EXPECT_NE(file.find("[HKEY_CURRENT_USER\\Comm\\RasBook\\Office]\n"), std::string::npos) << file;
    EXPECT_NE(file.find("\"DeviceName\"=\"Serial on USB\"\n"), std::string::npos) << file;
    EXPECT_NE(file.find("\"DeviceType\"=\"direct\"\n"), std::string::npos) << file;
    EXPECT_NE(file.find("\"IpAddress\"=\"10.0.0.2\"\n"), std::string::npos) << file;
    EXPECT_NE(file.find("\"FramingProtocol\"=dword:00000001\n"), std::string::npos) << file;
    RASENTRY got;
    ASSERT_EQ(fetch(u"Office", &got), 0u);
    EXPECT_EQ(std::memcmp(&got, &e, sizeof e), 0);

    // A field edited into the wrong type makes the entry unreadable, not zero.
    board::reg::update([](board::reg::Hive &h) {
        board::reg::Hive::set_value(*h.find("HKEY_CURRENT_USER\\Comm\\RasBook\\Office"),
                                    board::reg::Value{"FrameSize", board::reg::kSz, {'1', 0, 0, 0}});
        return true;
    });
    testing::internal::CaptureStderr();
    EXPECT_EQ(fetch(u"Office", &got), static_cast<DWORD>(ERROR_CANNOT_LOAD_PHONEBOOK));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("RasBook\\Office"), std::string::npos);
}

TEST_F(Phonebook, AnEntryOnADeviceTheBoardLacksIsRefused)
{
    RASENTRY e = defaults();
    set_device(&e, u"Serial on USB");
    ASSERT_TRUE(board::set_ras_device("serial on usb", false));
    SetLastError(0);
    EXPECT_EQ(store(u"`USB", &e), static_cast<DWORD>(ERROR_DEVICE_DOES_NOT_EXIST));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_DOES_NOT_EXIST));
    RASENTRY got;
    EXPECT_EQ(fetch(u"`USB", &got), static_cast<DWORD>(ERROR_CANNOT_FIND_PHONEBOOK_ENTRY));
    set_device(&e, u"No Such Device");
    EXPECT_EQ(store(u"`USB", &e), static_cast<DWORD>(ERROR_DEVICE_DOES_NOT_EXIST));
    ASSERT_TRUE(board::set_ras_device("Serial on USB", true));
    set_device(&e, u"Serial on USB");
    EXPECT_EQ(store(u"`USB", &e), 0u);
    EXPECT_FALSE(board::set_ras_device("No Such Device", false));
}

// A board folder that cannot be used fails the phone book, not the device
// the record names.
TEST_F(Phonebook, AnUnusableBoardCannotOpenThePhonebook)
{
    RASENTRY e = defaults();
    set_device(&e, u"Serial on USB");
    std::string not_a_folder = file("plain");
    test_support::write_file(not_a_folder, "");
    setenv("BOARD_DIR", not_a_folder.c_str(), 1);
    testing::internal::CaptureStderr();
    SetLastError(0);
    DWORD stored = store(u"`USB", &e);
    DWORD last = GetLastError();
    std::string err = testing::internal::GetCapturedStderr();
    setenv("BOARD_DIR", board_.dir().c_str(), 1);
    EXPECT_EQ(stored, static_cast<DWORD>(ERROR_CANNOT_OPEN_PHONEBOOK));
    EXPECT_EQ(last, static_cast<DWORD>(ERROR_CANNOT_OPEN_PHONEBOOK));
    EXPECT_NE(err.find(not_a_folder), std::string::npos) << err;
    RASENTRY got;
    EXPECT_EQ(fetch(u"`USB", &got), static_cast<DWORD>(ERROR_CANNOT_FIND_PHONEBOOK_ENTRY));
}

TEST_F(Phonebook, EnumerationListsTheStoredEntries)
{
    RASENTRYNAME names[4];
    std::memset(names, 0, sizeof names);
    names[0].dwSize = sizeof names[0];
    DWORD size = sizeof names, count = 99;
    ASSERT_EQ(RasEnumEntries(nullptr, nullptr, names, &size, &count), 0u);
    EXPECT_EQ(count, 0u);

    RASENTRY e = defaults();
    set_device(&e, u"Serial on USB");
    ASSERT_EQ(store(u"`USB", &e), 0u);
    ASSERT_EQ(store(u"Office", &e), 0u);
    size = sizeof names[0];
    EXPECT_EQ(RasEnumEntries(nullptr, nullptr, names, &size, &count),
              static_cast<DWORD>(ERROR_BUFFER_TOO_SMALL));
    EXPECT_EQ(size, 2 * sizeof names[0]);
    size = sizeof names;
    ASSERT_EQ(RasEnumEntries(nullptr, nullptr, names, &size, &count), 0u);
    ASSERT_EQ(count, 2u);
    std::u16string a = names[0].szEntryName, b = names[1].szEntryName;
    EXPECT_TRUE((a == u"`USB" && b == u"Office") || (a == u"Office" && b == u"`USB")) << count;
}

class DeviceFiles : public ResetBoard {
protected:
    std::string host(const std::string &rel) const { return file("fs/" + rel); }
    void make(const std::string &path) const { std::ofstream(path) << "x"; }
};

TEST_F(DeviceFiles, TheFreshImageHoldsTheStartupShortcut)
{
    EXPECT_EQ(test_support::read_file(host("Windows/Startup/Velmorra.lnk")),
              "21#\\Windows\\Velmorra.exe");
    std::string target;
    ASSERT_TRUE(board::files::shortcut_target("21#\\Windows\\Velmorra.exe", &target));
    EXPECT_EQ(target, "\\Windows\\Velmorra.exe");
    ASSERT_TRUE(board::files::shortcut_target("23#\"\\Windows\\Velmorra.exe\" -x\r\n", &target));
    EXPECT_EQ(target, "\\Windows\\Velmorra.exe");
    EXPECT_FALSE(board::files::shortcut_target("#\\Windows\\x.exe", &target));
    EXPECT_FALSE(board::files::shortcut_target("\\Windows\\x.exe", &target));
}

TEST_F(DeviceFiles, DeleteMatchesNamesWithoutRegardToCase)
{
    ASSERT_TRUE(DeleteFileW(u"\\WINDOWS\\startup\\VELMORRA.LNK"));
    EXPECT_FALSE(exists(host("Windows/Startup/Velmorra.lnk")));
    EXPECT_FALSE(DeleteFileW(u"\\Windows\\Startup\\Velmorra.lnk"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(DeleteFileW(u"\\Windows\\Nowhere\\Velmorra.lnk"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(DeleteFileW(u"\\Windows\\Startup"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(exists(host("Windows/Startup")));
}

// The platform's rule: a file with the read-only attribute can be read but
// not deleted, DeleteFile failing with ERROR_ACCESS_DENIED.  The attribute
// is the host file's owner-write bit; the tests run as root, whom the
// permission bits would not stop.
TEST_F(DeviceFiles, AReadOnlyFileIsNotDeleted)
{
    std::string lnk = host("Windows/Startup/Velmorra.lnk");
    ASSERT_EQ(board::files::set_read_only(lnk, true), 0u);
    bool on = false;
    ASSERT_EQ(board::files::read_only(lnk, &on), 0u);
    EXPECT_TRUE(on);
    struct stat st;
    ASSERT_EQ(stat(lnk.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0222, 0u);
    SetLastError(0);
    EXPECT_FALSE(DeleteFileW(u"\\Windows\\Startup\\velmorra.lnk"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(exists(lnk));
    EXPECT_EQ(test_support::read_file(lnk), "21#\\Windows\\Velmorra.exe");  // still readable

    // Made read-only from outside, by its mode alone.
    make(host("Temp/plain"));
    ASSERT_EQ(chmod(host("Temp/plain").c_str(), 0444), 0);
    EXPECT_FALSE(DeleteFileW(u"\\Temp\\plain"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    // Owner-write is the attribute: other write bits do not matter.
    ASSERT_EQ(chmod(host("Temp/plain").c_str(), 0600), 0);
    EXPECT_TRUE(DeleteFileW(u"\\Temp\\plain"));

    ASSERT_EQ(board::files::set_read_only(lnk, false), 0u);
    EXPECT_TRUE(DeleteFileW(u"\\Windows\\Startup\\Velmorra.lnk"));
    EXPECT_FALSE(exists(lnk));
}

// Marking goes through no link and leaves anything but a regular file alone.
TEST_F(DeviceFiles, TheReadOnlyMarkIsSetOnRegularFilesOnly)
{
    std::string bait = file("bait");
    make(bait);
    ASSERT_EQ(symlink(bait.c_str(), host("Temp/link").c_str()), 0);
    EXPECT_EQ(board::files::set_read_only(host("Temp/link"), true), static_cast<uint32_t>(ERROR_ACCESS_DENIED));
    struct stat st;
    ASSERT_EQ(stat(bait.c_str(), &st), 0);
    EXPECT_NE(st.st_mode & S_IWUSR, 0u);
    bool on;
    EXPECT_EQ(board::files::read_only(host("Temp/link"), &on), static_cast<uint32_t>(ERROR_ACCESS_DENIED));
    // A pipe is neither opened for long nor changed.
    ASSERT_EQ(mkfifo(host("Temp/pipe").c_str(), 0644), 0);
    EXPECT_EQ(board::files::set_read_only(host("Temp/pipe"), true), static_cast<uint32_t>(ERROR_ACCESS_DENIED));
    ASSERT_EQ(stat(host("Temp/pipe").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_EQ(board::files::set_read_only(host("Temp/none"), true), static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
    // A folder is never deleted, read-only or not.
    EXPECT_FALSE(DeleteFileW(u"\\Temp"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(DeviceFiles, PathsThatWouldLeaveTheRootAreRefused)
{
    // Bait beside the root and far outside it.
    std::string beside = file("bait"), outside = board_.dir() + "-outside";
    make(beside);
    make(outside);
    make(host("Windows/inside"));
    ASSERT_EQ(symlink(board_.dir().c_str(), host("Windows/link").c_str()), 0);
    std::string rel_outside = outside.substr(outside.rfind('/') + 1);
    std::u16string escapes[] = {
        u"\\..\\bait",
        u"\\Windows\\..\\..\\bait",
        u"..\\bait",
        u"\\Windows\\.\\inside",
        u"C:\\bait",
        u"\\\\server\\share\\bait",
        u"/tmp/" + std::u16string(rel_outside.begin(), rel_outside.end()),
        u"\\Windows/../../bait",
        u"\\Windows\\link\\bait",
        u"\\Windows\\inside:stream",
    };
    for (const std::u16string &p : escapes) {
        SetLastError(0);
        EXPECT_FALSE(DeleteFileW(p.c_str())) << text::to_utf8(p.c_str());
        DWORD e = GetLastError();
        EXPECT_TRUE(e == ERROR_INVALID_NAME || e == ERROR_ACCESS_DENIED) << e;
    }
    EXPECT_TRUE(exists(beside));
    EXPECT_TRUE(exists(outside));
    EXPECT_TRUE(exists(host("Windows/inside")));
    // Only what comes before a NUL is the path.
    std::u16string with_nul = u"\\Windows\\inside";
    with_nul += u'\0';
    with_nul += u"\\..\\..\\bait";
    EXPECT_TRUE(DeleteFileW(with_nul.c_str()));
    EXPECT_FALSE(exists(host("Windows/inside")));
    EXPECT_TRUE(exists(beside));
    remove(outside.c_str());

    std::u16string too_long = u"\\" + std::u16string(300, u'a');
    EXPECT_FALSE(DeleteFileW(too_long.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_FALSE(DeleteFileW(nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}
