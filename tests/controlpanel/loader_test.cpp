// The Control Panel's loading of applet libraries and the messages it sends,
// against a stand-in applet copied under different names.
#include "applets.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace {

struct Message {
    std::string file;
    UINT msg;
    long p1, p2;
    size_t thread;
};

class Loader : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/cpl_loader_XXXXXX";
        dir_ = mkdtemp(tmpl);
        log_ = dir_ + "/messages.log";
        setenv("FAKE_CPL_LOG", log_.c_str(), 1);
    }
    void TearDown() override
    {
        unsetenv("FAKE_CPL_LOG");
        fs::remove_all(dir_);
    }
    void add(const std::string &name, const char *from = FAKE_CPL)
    {
        fs::copy_file(from, dir_ + "/" + name);
    }
    std::vector<Message> messages()
    {
        std::vector<Message> out;
        std::ifstream in(log_);
        Message m;
        while (in >> m.file >> m.msg >> m.p1 >> m.p2 >> m.thread)
            out.push_back(m);
        return out;
    }
    std::string dir_, log_;
};

size_t this_thread() { return std::hash<std::thread::id>()(std::this_thread::get_id()); }

TEST_F(Loader, LoadsEveryCplInNameOrderAndListsTheOnesThatFail)
{
    add("Beta.cpl");
    add("Alpha.CPL");
    add("notes.txt");
    std::ofstream(dir_ + "/Broken.cpl") << "not a library\n";
    add("NoEntry.cpl", NO_ENTRY_LIBRARY);
    add("NoInit.cpl");
    add("Zero.cpl");

    cpl::ControlPanel cp(dir_);
    const auto &a = cp.applets();
    ASSERT_EQ(a.size(), 6u);
    EXPECT_EQ(a[0].file, "Alpha.CPL");
    EXPECT_TRUE(a[0].loaded());
    EXPECT_EQ(a[0].name, "Alpha 0");
    EXPECT_EQ(a[0].info, "about Alpha");
    EXPECT_EQ(a[0].data, 40);
    EXPECT_EQ(a[0].inquire.lData, 70);
    EXPECT_EQ(a[0].inquire.idIcon, 5);

    EXPECT_EQ(a[1].file, "Beta.cpl");
    EXPECT_TRUE(a[1].loaded());

    // The loader's own reason, which names the file.
    EXPECT_EQ(a[2].file, "Broken.cpl");
    EXPECT_FALSE(a[2].loaded());
    EXPECT_NE(a[2].error.find("Broken.cpl"), std::string::npos) << a[2].error;

    EXPECT_EQ(a[3].file, "NoEntry.cpl");
    EXPECT_NE(a[3].error.find("CPlApplet"), std::string::npos) << a[3].error;
    EXPECT_EQ(a[4].file, "NoInit.cpl");
    EXPECT_NE(a[4].error.find("CPL_INIT"), std::string::npos) << a[4].error;
    EXPECT_EQ(a[5].file, "Zero.cpl");
    EXPECT_NE(a[5].error.find("no applet"), std::string::npos) << a[5].error;

    // The applets that failed cannot be opened; the others still can.
    EXPECT_FALSE(cp.open(2));
    EXPECT_FALSE(cp.open(4));
    EXPECT_TRUE(cp.open(1));
    EXPECT_TRUE(cp.wait_returned(5000));
}

TEST_F(Loader, SendsEveryMessageOnTheControlPanelsOwnThread)
{
    add("Two.cpl");
    add("Zero.cpl");
    {
        cpl::ControlPanel cp(dir_);
        ASSERT_EQ(cp.applets().size(), 3u);
        ASSERT_TRUE(cp.open(1));
        ASSERT_TRUE(cp.wait_returned(5000));
        EXPECT_FALSE(cp.running());
        EXPECT_EQ(cp.current(), 1);
    }
    std::vector<Message> m = messages();
    std::vector<std::pair<UINT, long>> two, zero;
    for (const Message &x : m)
        (x.file == "Two.cpl" ? two : zero).push_back({x.msg, x.p1});
    std::vector<std::pair<UINT, long>> want_two = {
        {CPL_INIT, 0},       {CPL_GETCOUNT, 0}, {CPL_INQUIRE, 0}, {CPL_NEWINQUIRE, 0},
        {CPL_INQUIRE, 1},    {CPL_NEWINQUIRE, 1}, {CPL_DBLCLK, 1},  {CPL_STOP, 0},
        {CPL_STOP, 1},       {CPL_EXIT, 0}};
    EXPECT_EQ(two, want_two);
    // A library without applets is let go again at once.
    std::vector<std::pair<UINT, long>> want_zero = {{CPL_INIT, 0}, {CPL_GETCOUNT, 0}, {CPL_EXIT, 0}};
    EXPECT_EQ(zero, want_zero);

    // One thread, not the caller's, and the applet's lData on the double-click.
    for (const Message &x : m) {
        EXPECT_EQ(x.thread, m[0].thread);
        EXPECT_NE(x.thread, this_thread());
        if (x.msg == CPL_DBLCLK || x.msg == CPL_STOP) {
            EXPECT_EQ(x.p2, 40 + x.p1);
        }
    }
}

TEST_F(Loader, FindsAnAppletByNameOrFileAndCutsUnterminatedTexts)
{
    add("Two.cpl");
    add("Long.cpl");
    cpl::ControlPanel cp(dir_);
    ASSERT_EQ(cp.applets().size(), 3u);
    EXPECT_EQ(cp.find("two 1"), 2);
    EXPECT_EQ(cp.find("Two 0"), 1);
    EXPECT_EQ(cp.find("two.cpl"), 1);
    EXPECT_EQ(cp.find("TWO"), 1);
    EXPECT_EQ(cp.find("Three"), -1);
    // All 32 and 64 characters filled: the last one is dropped, nothing read past.
    EXPECT_EQ(cp.applets()[0].name.size(), 31u);
    EXPECT_EQ(cp.applets()[0].info.size(), 63u);
    EXPECT_EQ(cp.find("Long.cpl"), 0);
}

TEST_F(Loader, AnEmptyOrMissingFolderHoldsNoApplets)
{
    EXPECT_TRUE(cpl::ControlPanel(dir_).applets().empty());
    EXPECT_TRUE(cpl::ControlPanel(dir_ + "/missing").applets().empty());
}

}  // namespace
