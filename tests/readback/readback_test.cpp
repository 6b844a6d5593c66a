// The board reads back what the utilities write: Dovrel's choice switches
// the serial debug port at the next boot, Velmorra's entry brings up the
// desktop connection.  Every step is its own process, as on the board.
#include "board/board.h"
#include "process.h"
#include "board/registry_file.h"
#include "reset_board.h"
#include "board/serial.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using test_support::ProgramResult;
using test_support::read_file;
using test_support::write_file;

class Readback : public ResetBoard {
protected:
    ProgramResult board(const std::vector<std::string> &args)
    {
        return test_support::run_program(BOARD_TOOL, args);
    }
    // Dovrel opened from the Control Panel and one of its buttons pressed
    // (1 Enable, 2 Disable).
    void dovrel(int button)
    {
        std::string script = file("dovrel.script");
        write_file(script, "open Dovrel\nclick " + std::to_string(button) + "\n");
        ProgramResult r = test_support::run_program(CONTROLPANEL_BIN, {"--script", script});
        ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    }
    std::string serial_file() const { return read_file(file("serial.log")); }
    std::string status() { return board({"status"}).out; }
    void set_cnct(const board::reg::Value &v)
    {
        board::reg::update([&](board::reg::Hive &h) {
            board::reg::Hive::set_value(*h.create("HKEY_CURRENT_USER\\ControlPanel\\Comm"), v);
            return true;
        });
    }
};

board::reg::Value utf16_sz(const std::string &name, const std::string &ascii)
{
    board::reg::Value v{name, board::reg::kSz, {}};
    for (char c : ascii)
        v.data.insert(v.data.end(), {static_cast<uint8_t>(c), 0});
    v.data.insert(v.data.end(), {0, 0});
    return v;
}

board::reg::Value dword(const std::string &name, uint32_t n)
{
    return board::reg::Value{name, board::reg::kDword,
                             {uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24)}};
}

bool contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

TEST_F(Readback, DovrelsChoiceSwitchesTheSerialPortAtTheNextBootOnly)
{
    // A fresh board runs as its image starts it: the port on.
    EXPECT_TRUE(contains(status(), "serial debug port on (this start)\n"
                                   "serial debug port at the next boot: on (dbgSerial not set: "
                                   "the image's default 1)\n"))
        << status();

    dovrel(2);
    // Not before the next boot: Dovrel's own line still went out.
    std::string before = serial_file();
    EXPECT_TRUE(contains(before, "dbgSerial=0")) << before;
    EXPECT_TRUE(contains(status(), "serial debug port on (this start)\n"
                                   "serial debug port at the next boot: off (dbgSerial 0)\n"))
        << status();

    ASSERT_EQ(board({"boot"}).exit_code, 0);
    EXPECT_TRUE(contains(status(), "serial debug port off (this start)\n")) << status();
    // Velmorra ran in that boot and Dovrel again after it: their lines reach
    // the debug output, not the port.
    dovrel(1);
    std::string debug = board_.debug_log();
    EXPECT_TRUE(contains(debug, "RasEntry '`USB' Created")) << debug;
    EXPECT_TRUE(contains(debug, "dbgSerial=1")) << debug;
    EXPECT_EQ(serial_file(), before);
    EXPECT_EQ(board({"serial"}).out, before);

    ASSERT_EQ(board({"boot"}).exit_code, 0);
    EXPECT_TRUE(contains(status(), "serial debug port on (this start)\n"
                                   "serial debug port at the next boot: on (dbgSerial 1)\n"))
        << status();
    dovrel(2);
    std::string after = serial_file();
    EXPECT_EQ(after.substr(0, before.size()), before);
    EXPECT_TRUE(contains(after.substr(before.size()), "dbgSerial=0")) << after;
    EXPECT_EQ(board({"serial"}).out, after);
}

TEST_F(Readback, TheStartUpCodeTakesOnlyADwordZeroOrOne)
{
    auto next = [&](const board::reg::Value &v) {
        board::reg::update([&](board::reg::Hive &h) {
            board::reg::Hive::set_value(*h.create("HKEY_LOCAL_MACHINE\\Debug"), v);
            return true;
        });
        return board::serial::apply_at_start();
    };
    board::serial::Choice c = next(dword("dbgSerial", 0));
    EXPECT_FALSE(c.on);
    EXPECT_FALSE(board::serial_port_on());
    c = next(dword("dbgSerial", 2));
    EXPECT_TRUE(c.on);
    EXPECT_EQ(c.why, "dbgSerial 2 is neither 0 nor 1: the image's default 1");
    next(dword("dbgSerial", 0));
    c = next(utf16_sz("dbgSerial", "0"));
    EXPECT_TRUE(c.on);
    EXPECT_EQ(c.why, "dbgSerial is no DWORD: the image's default 1");
    EXPECT_TRUE(board::serial_port_on());

    // A registry that cannot be read: the image's default, and the file named.
    next(dword("dbgSerial", 0));
    write_file(board::reg::file_path(), "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Debug\n");
    ASSERT_EQ(board({"boot"}).exit_code, 0);
    EXPECT_TRUE(board::serial_port_on());
    EXPECT_TRUE(contains(status(), "serial debug port at the next boot: on (the registry cannot be read (" +
                                       board::reg::file_path()))
        << status();
}

TEST_F(Readback, SyncFollowsCnctThePhoneBookAndTheBoardsDevices)
{
    ProgramResult r = board({"sync"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "not connected: no \"Cnct\"\n");  // not even its key

    ASSERT_EQ(board({"boot"}).exit_code, 0);  // Velmorra runs from the start-up folder
    r = board({"sync"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "connected through \"`USB\" on \"Serial on USB\"\n");

    ASSERT_EQ(board({"ras", "remove", "Serial on USB"}).exit_code, 0);
    r = board({"sync"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "not connected: \"`USB\" uses \"Serial on USB\", which the board does not have\n");
    ASSERT_EQ(board({"ras", "restore", "serial on usb"}).exit_code, 0);
    EXPECT_EQ(board({"sync"}).exit_code, 0);

    set_cnct(utf16_sz("Cnct", "Office"));
    r = board({"sync"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "not connected: \"Cnct\" names \"Office\", which is not in the phone book\n");

    set_cnct(dword("Cnct", 1));
    EXPECT_EQ(board({"sync"}).out, "not connected: \"Cnct\" is no string (type 4)\n");
    set_cnct(utf16_sz("Cnct", ""));
    EXPECT_EQ(board({"sync"}).out, "not connected: \"Cnct\" is empty\n");
    set_cnct(utf16_sz("Cnct", std::string(300, 'x')));
    EXPECT_EQ(board({"sync"}).out,
              "not connected: \"Cnct\" is longer than any phone-book entry name (20 characters)\n");
    board::reg::update([](board::reg::Hive &h) {
        return board::reg::Hive::remove_value(*h.find("HKEY_CURRENT_USER\\ControlPanel\\Comm"), "Cnct");
    });
    EXPECT_EQ(board({"sync"}).out, "not connected: no \"Cnct\"\n");  // the key without it

    set_cnct(utf16_sz("Cnct", "`USB"));
    board::set_power(false);
    r = board({"sync"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "not connected: the board is powered off\n");
    EXPECT_EQ(board({"sync", "now"}).exit_code, 2);
}

// An entry stored by hand: its device name is shown, control characters
// and all, as one line.
TEST_F(Readback, AnEntryWithAnOddDeviceNameIsReportedOnOneLine)
{
    board::reg::update([](board::reg::Hive &h) {
        board::reg::Key *k = h.create("HKEY_CURRENT_USER\\Comm\\RasBook\\Lab");
        board::reg::Hive::set_value(*k, utf16_sz("DeviceName", "Cable\nX"));
        return true;
    });
    set_cnct(utf16_sz("Cnct", "Lab"));
    ProgramResult r = board({"sync"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "not connected: \"Lab\" uses \"Cable?X\", which the board does not have\n");
}

// A child with its standard output on a pipe.
struct Child {
    pid_t pid = -1;
    int out = -1;
    std::string seen;

    Child(const std::vector<std::string> &args)
    {
        child::Launch launch;
        launch.argv = args;
        pid = test_support::start_piped(launch, 1, &out);
        if (out >= 0)
            fcntl(out, F_SETFL, O_NONBLOCK);
    }
    ~Child()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (out >= 0)
            close(out);
    }
    // Reads until what has come holds part, for up to 10 seconds.
    bool shows(const std::string &part)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (seen.find(part) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
            char buf[4096];
            ssize_t n = read(out, buf, sizeof buf);
            if (n > 0)
                seen.append(buf, static_cast<size_t>(n));
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return seen.find(part) != std::string::npos;
    }
    // Reads and drops what comes until bytes more have come, for up to 60
    // seconds.
    bool passes(size_t bytes)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        std::vector<char> buf(1 << 16);
        while (bytes > 0 && std::chrono::steady_clock::now() < deadline) {
            ssize_t n = read(out, buf.data(), std::min(buf.size(), bytes));
            if (n > 0)
                bytes -= static_cast<size_t>(n);
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return bytes == 0;
    }
    // Its resident memory, in KiB.
    long resident_kib() const
    {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        std::string word;
        while (status >> word)
            if (word == "VmRSS:" && status >> word)
                return std::stol(word);
        return -1;
    }
    int stop(int sig)
    {
        kill(pid, sig);
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

TEST_F(Readback, SerialFollowPrintsWhatComesUntilCtrlC)
{
    dovrel(1);
    Child follow({BOARD_TOOL, "serial", "--follow"});
    ASSERT_TRUE(follow.shows("dbgSerial=1")) << follow.seen;
    dovrel(2);
    ASSERT_TRUE(follow.shows("dbgSerial=0")) << follow.seen;
    // A reset empties the port: what comes next is followed from its start.
    ASSERT_EQ(board({"reset"}).exit_code, 0);
    EXPECT_EQ(serial_file(), "");
    follow.seen.clear();
    dovrel(1);
    ASSERT_TRUE(follow.shows("Registry write <regError=0> ... dbgSerial=1")) << follow.seen;
    EXPECT_EQ(follow.stop(SIGINT), 0);
}

// A program that writes one line of many megabytes: 'board serial --follow'
// passes it on a window at a time and holds no more of it.
TEST_F(Readback, SerialFollowHoldsNoMoreOfAHugeLineThanAWindow)
{
    write_file(file("serial.log"), "ready\n");
    Child follow({BOARD_TOOL, "serial", "--follow"});
    ASSERT_TRUE(follow.shows("ready\n")) << follow.seen;
    long before = follow.resident_kib();
    const size_t huge = 16u << 20;
    {
        std::ofstream port(file("serial.log"), std::ios::app | std::ios::binary);
        port << std::string(huge, 'x');
    }
    ASSERT_TRUE(follow.passes(huge));
    long after = follow.resident_kib();
    ASSERT_GT(before, 0);
    EXPECT_LT(after - before, 8 * 1024) << "KiB resident before " << before << ", after " << after;
    EXPECT_EQ(follow.stop(SIGINT), 0);
}

TEST_F(Readback, SerialPrintsOnlyTheEndOfALongOutput)
{
    std::string line(99, 'a');
    line += '\n';
    std::string text;
    for (int i = 0; i < 2000; ++i)
        text += line;
    write_file(file("serial.log"), "first\n" + text);
    ProgramResult r = board({"serial"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_LE(r.out.size(), 64u * 1024);
    EXPECT_GT(r.out.size(), 60u * 1024);
    EXPECT_EQ(r.out.size() % line.size(), 0u) << "not whole lines";
    EXPECT_EQ(r.out.find("first"), std::string::npos);
}

// The port's file is never reached through a link: neither written by the
// programs nor read by 'board serial', and 'board reset' takes the link
// away without touching its target.
TEST_F(Readback, TheSerialPortFileIsUsedThroughNoLink)
{
    std::string target = file("elsewhere");
    write_file(target, "keep\n");
    ASSERT_EQ(symlink(target.c_str(), file("serial.log").c_str()), 0);
    std::string script = file("dovrel.script");
    write_file(script, "open Dovrel\nclick 1\n");
    ProgramResult r = test_support::run_program(CONTROLPANEL_BIN, {"--script", script});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(contains(r.err, "serial debug port: " + file("serial.log") + " is a symbolic link")) << r.err;
    EXPECT_TRUE(contains(board_.debug_log(), "dbgSerial=1"));  // the debug output itself goes on
    EXPECT_EQ(read_file(target), "keep\n");

    r = board({"serial"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(contains(r.err, file("serial.log") + " is a symbolic link")) << r.err;

    ASSERT_EQ(board({"reset"}).exit_code, 0);
    EXPECT_EQ(read_file(target), "keep\n");
    EXPECT_FALSE(exists(file("serial.log")));

    // Another name of some file is not written either.
    ASSERT_EQ(link(target.c_str(), file("serial.log").c_str()), 0);
    r = test_support::run_program(CONTROLPANEL_BIN, {"--script", script});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(contains(r.err, file("serial.log") + " has other names")) << r.err;
    EXPECT_EQ(read_file(target), "keep\n");
}

}  // namespace
