// NKDbgPrintfW: the platform's wide printf, each call written whole to the
// file BOARD_DEBUG_LOG names.
#include "board_folder.h"
#include "platform/platform.h"

#include <climits>
#include <cstdio>
#include <unistd.h>
#include <gtest/gtest.h>

namespace {

using DebugOutput = test_support::BoardTest;

TEST_F(DebugOutput, ConversionsOfTheDebugMessages)
{
    NKDbgPrintfW(TEXT("[%s|%d|%i|%u|%x|%X|%c|%%]\r\n"), TEXT("wide"), -42, 7, 4294967295u, 0xbeefu,
                 0xbeefu, u'Q');
    EXPECT_EQ(board_.debug_log(), "[wide|-42|7|4294967295|beef|BEEF|Q|%]\r\n");
}

TEST_F(DebugOutput, WidthAndPadding)
{
    NKDbgPrintfW(TEXT("%5d|%-5d|%05d|%05d|%08x|%3s|%-3s|%2d|%-4c|\r\n"), 42, 42, 42, -42, 0x1fu,
                 TEXT("a"), TEXT("b"), 12345, u'z');
    EXPECT_EQ(board_.debug_log(), "   42|42   |00042|-0042|0000001f|  a|b  |12345|z   |\r\n");
}

TEST_F(DebugOutput, NumbersAtTheirLimits)
{
    NKDbgPrintfW(TEXT("%d %d %u %x %i\r\n"), INT_MIN, INT_MAX, 0u, 0xFFFFFFFFu, 0);
    EXPECT_EQ(board_.debug_log(), "-2147483648 2147483647 0 ffffffff 0\r\n");
}

TEST_F(DebugOutput, WideTextIsWrittenAsUtf8)
{
    NKDbgPrintfW(TEXT("%s \u00e9\r\n"), u"Gr\u00fc\u00dfe \u20ac \U0001F600");
    EXPECT_EQ(board_.debug_log(), "Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac \xf0\x9f\x98\x80 \xc3\xa9\r\n");
}

TEST_F(DebugOutput, NullAndCutStrings)
{
    NKDbgPrintfW(TEXT("%s|%.2s|%.5s\r\n"), static_cast<const WCHAR *>(nullptr), TEXT("abc"), TEXT("abc"));
    EXPECT_EQ(board_.debug_log(), "(null)|ab|abc\r\n");
}

TEST_F(DebugOutput, EachCallAppendsInOrder)
{
    NKDbgPrintfW(TEXT("one %d\r\n"), 1);
    NKDbgPrintfW(TEXT("two\r\n"));
    NKDbgPrintfW(TEXT("%s"), TEXT("three\r\n"));
    EXPECT_EQ(board_.debug_log(), "one 1\r\ntwo\r\nthree\r\n");
}

// The debug log is never written through a link (the Control Panel keeps
// it in the board folder): the refusal is said once on stderr, where the
// output then goes, and the link's target is left alone.
TEST_F(DebugOutput, ALinkInPlaceOfTheLogIsRefusedAndTheOutputGoesToStderr)
{
    std::string victim = board_.dir() + "-victim";
    test_support::write_file(victim, "victim");
    ASSERT_EQ(symlink(victim.c_str(), board_.debug_log_path().c_str()), 0);
    testing::internal::CaptureStderr();
    NKDbgPrintfW(TEXT("one\r\n"));
    NKDbgPrintfW(TEXT("two\r\n"));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "BOARD_DEBUG_LOG: " + board_.debug_log_path() +
                       " is a symbolic link: the board reaches no file through a link; the debug "
                       "output goes here\none\r\ntwo\r\n");
    EXPECT_EQ(test_support::read_file(victim), "victim");
    std::remove(victim.c_str());

    // A device the user names, such as /dev/null, takes the output.
    setenv("BOARD_DEBUG_LOG", "/dev/null", 1);
    testing::internal::CaptureStderr();
    NKDbgPrintfW(TEXT("three\r\n"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
