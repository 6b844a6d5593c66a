// The applet frame as the Control Panel sees it: CPlApplet's answers, the
// records it fills and its debug lines, on test applets built like the
// product's (add_applet).
#include "applet_library.h"

#include <cstring>
#include <string>

namespace {

using namespace test_support;

const std::u16string kName40 = u"A name of forty characters, cut to 31...";
const std::u16string kInfo80 =
    u"A description of eighty characters, which the frame cuts to sixty-three ones....";

class Frame : public ::testing::Test {
protected:
    BoardFolder board;
};

NEWCPLINFO junk_new_info()
{
    NEWCPLINFO info;
    std::memset(&info, 0xAB, sizeof info);
    return info;
}

TEST_F(Frame, AnswersEveryMessage)
{
    Applet applet("FrameTest.cpl");
    EXPECT_EQ(applet.send(CPL_INIT), 1);
    EXPECT_EQ(applet.send(CPL_GETCOUNT), 1);
    CPLINFO info = {0, 0, 0, 0};
    EXPECT_EQ(applet.send(CPL_INQUIRE, 0, reinterpret_cast<LPARAM>(&info)), 0);
    NEWCPLINFO news = junk_new_info();
    EXPECT_EQ(applet.send(CPL_NEWINQUIRE, 0, reinterpret_cast<LPARAM>(&news)), 0);
    // Messages without work answer 0 and leave the record alone.
    for (UINT message : {0u, 4u, 6u, 7u, 9u, 100u}) {
        NEWCPLINFO record = junk_new_info();
        EXPECT_EQ(applet.send(message, 0, reinterpret_cast<LPARAM>(&record)), 0) << message;
        NEWCPLINFO untouched = junk_new_info();
        EXPECT_EQ(std::memcmp(&record, &untouched, sizeof record), 0) << message;
    }
    EXPECT_EQ(board.debug_log(), "");
}

TEST_F(Frame, InquireFillsIconNameAndInfoIdsOnly)
{
    Applet applet("FrameTest.cpl");
    applet.send(CPL_INIT);
    CPLINFO info;
    std::memset(&info, 0x5A, sizeof info);
    applet.send(CPL_INQUIRE, 0, reinterpret_cast<LPARAM>(&info));
    EXPECT_EQ(info.idIcon, 7);
    EXPECT_EQ(info.idName, 1);
    EXPECT_EQ(info.idInfo, 2);
    EXPECT_EQ(static_cast<uint32_t>(info.lData), 0x5A5A5A5Au);
}

TEST_F(Frame, NewInquireFillsTheRecordWithCutStrings)
{
    Applet applet("FrameTest.cpl");
    applet.send(CPL_INIT);
    NEWCPLINFO info = junk_new_info();
    applet.send(CPL_NEWINQUIRE, 0, reinterpret_cast<LPARAM>(&info));
    EXPECT_EQ(info.dwSize, 468u);
    EXPECT_EQ(info.dwFlags, 0u);
    EXPECT_EQ(info.dwHelpContext, 0u);
    EXPECT_EQ(info.lData, 42);
    HMODULE module = GetModuleHandleW(u"FrameTest.cpl");
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(info.hIcon, LoadIconW(module, MAKEINTRESOURCEW(7)));
    EXPECT_NE(info.hIcon, 0u);
    EXPECT_EQ(std::u16string(info.szName), kName40.substr(0, 31));
    EXPECT_EQ(std::u16string(info.szInfo), kInfo80.substr(0, 63));
    // Only the help file's first character is written.
    EXPECT_EQ(info.szHelpFile[0], 0);
    EXPECT_EQ(info.szHelpFile[1], 0xABAB);
    EXPECT_EQ(board.debug_log(), "");
}

TEST_F(Frame, IndexOtherThanZeroIsReportedAndAnswered)
{
    Applet applet("FrameTest.cpl");
    applet.send(CPL_INIT);
    NEWCPLINFO info = junk_new_info();
    EXPECT_EQ(applet.send(CPL_NEWINQUIRE, 1, reinterpret_cast<LPARAM>(&info)), 0);
    EXPECT_EQ(board.debug_log(),
              "Unknown: DEBUGCHK failed in file SRC\\APPS\\FrameTest\\frametest at line 47 \r\n");
    EXPECT_EQ(info.dwSize, 468u);
    EXPECT_EQ(std::u16string(info.szName), kName40.substr(0, 31));
    // The process goes on and answers again.
    EXPECT_EQ(applet.send(CPL_GETCOUNT), 1);
}

TEST_F(Frame, TraceOnInitShowsTheInstanceHandleWithoutIndexCheck)
{
    Applet applet("FrameTrace.cpl");
    EXPECT_EQ(applet.send(CPL_INIT), 1);
    DWORD handle = static_cast<DWORD>(reinterpret_cast<UINT_PTR>(GetModuleHandleW(u"FrameTrace.cpl")));
    ASSERT_NE(handle, 0u);
    char hex[16];
    std::snprintf(hex, sizeof hex, "%x", handle);
    EXPECT_EQ(board.debug_log(), "pwmcpl::ghInst = GetModuleHandle(TEXT(Hemlark.cpl)) = " +
                                     std::to_string(handle) + " (0x" + hex + ")\r\n");
    NEWCPLINFO info = junk_new_info();
    applet.send(CPL_NEWINQUIRE, 3, reinterpret_cast<LPARAM>(&info));
    EXPECT_EQ(board.debug_log().find("DEBUGCHK"), std::string::npos);
}

TEST_F(Frame, WithoutItsModuleTheAppletStillAnswers)
{
    // FrameLost.cpl asks for a module name that is not loaded.
    Applet applet("FrameLost.cpl");
    EXPECT_EQ(applet.send(CPL_INIT), 1);
    EXPECT_EQ(board.debug_log(), "pwmcpl::ghInst = GetModuleHandle(TEXT(Hemlark.cpl)) = 0 (0x0)\r\n");
    NEWCPLINFO info = junk_new_info();
    EXPECT_EQ(applet.send(CPL_NEWINQUIRE, 0, reinterpret_cast<LPARAM>(&info)), 0);
    EXPECT_EQ(info.dwSize, 468u);
    EXPECT_EQ(info.hIcon, 0u);
    EXPECT_EQ(info.szName[0], 0);
    EXPECT_EQ(info.szInfo[0], 0);
    EXPECT_EQ(applet.send(CPL_DBLCLK), 0);
}

}  // namespace
