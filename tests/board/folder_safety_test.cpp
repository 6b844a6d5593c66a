// The board folder as untrusted ground: links planted where the board keeps
// its files are refused and their targets left alone, the device root is
// walked without leaving it, what killed processes leave is cleaned up, and
// the default folder never lands in a folder every user shares.
#include "board/board.h"
#include "board_folder.h"
#include "board/device_files.h"
#include "process.h"
#include "board/registry_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fcntl.h>
#include <functional>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using test_support::read_file;
using test_support::write_file;

// A folder outside the board, where planted links lead.
class Outside {
public:
    Outside()
    {
        std::string templ = (fs::temp_directory_path() / "outside-XXXXXX").string();
        if (!mkdtemp(&templ[0]))
            throw std::runtime_error("cannot create a temporary folder");
        dir_ = templ;
    }
    ~Outside()
    {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    std::string path(const std::string &name) const { return dir_ + "/" + name; }
    // Every name in the folder, so that a test sees anything created there.
    std::vector<std::string> names() const
    {
        std::vector<std::string> out;
        for (const auto &e : fs::directory_iterator(dir_))
            out.push_back(e.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }

private:
    std::string dir_;
};

class BoardFolderSafety : public test_support::BoardTest {
protected:
    BoardFolderSafety() { board::reset(); }

    std::string in_board(const std::string &name) const { return board_.dir() + "/" + name; }

    // Replaces name in the board folder by a link to target.
    void plant_link(const std::string &name, const std::string &target) const
    {
        std::string p = in_board(name);
        std::remove(p.c_str());
        ASSERT_EQ(symlink(target.c_str(), p.c_str()), 0) << p;
    }

    static bool is_link(const std::string &p)
    {
        struct stat st;
        return lstat(p.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
    }

    Outside outside_;
};

std::string refusal(const std::string &path)
{
    return path + " is a symbolic link: the board reaches no file through a link";
}

// Runs f and gives the message of the board::Error it throws ("" if none).
template <typename F> std::string error_of(F f)
{
    try {
        f();
    } catch (const board::Error &e) {
        return e.message;
    }
    return "";
}

const char *const kBoardFiles[] = {"board.state",        "board.state.new",       "registry.reg",
                                   "registry.reg.new",   "registry.protected",    "registry.protected.new",
                                   "registry.lock"};

// Each file the board keeps, a link to a file outside and a link to a name
// outside that does not exist: 'reset' (which writes every one of them)
// refuses it by name, writes nothing through it and creates nothing.
TEST_F(BoardFolderSafety, ResetRefusesALinkInPlaceOfAnyFileItKeeps)
{
    for (const char *name : kBoardFiles) {
        SCOPED_TRACE(name);
        for (bool dangling : {false, true}) {
            std::string target = outside_.path(dangling ? "missing" : "victim");
            if (!dangling)
                write_file(target, std::string(4096, 'v'));
            plant_link(name, target);

            EXPECT_EQ(error_of([] { board::reset(); }), refusal(in_board(name)));
            EXPECT_TRUE(is_link(in_board(name))) << "the link was replaced";
            EXPECT_EQ(outside_.names(), std::vector<std::string>{"victim"}) << "created outside";
            EXPECT_EQ(read_file(outside_.path("victim")), std::string(4096, 'v'));

            std::remove(in_board(name).c_str());
            board::reset();
        }
    }
}

// The other ways to each file: the state by every board call, the registry
// by reads and writes, the protected keys by their calls.
TEST_F(BoardFolderSafety, EveryUseRefusesALinkWhereItsFileBelongs)
{
    std::string victim = outside_.path("victim");
    write_file(victim, std::string(4096, 'v'));
    auto write_value = [] {
        board::reg::update([](board::reg::Hive &h) {
            h.create("HKEY_CURRENT_USER\\x");
            return true;
        });
    };
    struct Case {
        const char *name;
        std::function<void()> use;
    };
    const Case cases[] = {
        {"board.state", [] { board::status(); }},
        {"board.state", [] { board::set_input(3, 0); }},
        {"registry.reg", [] { board::reg::read(); }},
        {"registry.reg", write_value},
        {"registry.reg.new", write_value},
        {"registry.lock", [] { board::reg::read(); }},
        {"registry.lock", write_value},
        {"registry.protected", [] { board::reg::protected_keys(); }},
        {"registry.protected", [] { board::reg::set_protected("HKEY_CURRENT_USER\\x", true); }},
        {"registry.protected.new", [] { board::reg::set_protected("HKEY_CURRENT_USER\\x", true); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        board::reset();
        plant_link(c.name, victim);
        EXPECT_EQ(error_of(c.use), refusal(in_board(c.name)));
        EXPECT_TRUE(is_link(in_board(c.name)));
        EXPECT_EQ(read_file(victim), std::string(4096, 'v'));
        std::remove(in_board(c.name).c_str());
    }
    EXPECT_EQ(outside_.names(), std::vector<std::string>{"victim"});
}

// A hard link is no link to refuse by its kind, but a file with another
// name: the state, written in place, must not be one.
TEST_F(BoardFolderSafety, AStateFileWithAnotherNameIsNotWritten)
{
    std::string victim = outside_.path("victim");
    write_file(victim, std::string(4096, 0));
    std::remove(in_board("board.state").c_str());
    ASSERT_EQ(link(victim.c_str(), in_board("board.state").c_str()), 0);
    std::string err = error_of([] { board::status(); });
    EXPECT_NE(err.find(in_board("board.state") + " has other names"), std::string::npos) << err;
    EXPECT_NE(error_of([] { board::reset(); }), "");
    EXPECT_EQ(read_file(victim), std::string(4096, 0));
}

// The trace file is the user's to name, wherever it is, but never through a
// link: the refusal is said once and the line is not written.
TEST_F(BoardFolderSafety, TraceRefusesALinkOnceAndWritesNothingThroughIt)
{
    std::string victim = outside_.path("victim");
    write_file(victim, "v");
    ASSERT_EQ(symlink(victim.c_str(), board_.trace_path().c_str()), 0);
    testing::internal::CaptureStderr();
    board::trace("one");
    board::trace("two");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "BOARD_TRACE: " + refusal(board_.trace_path()) + "; no trace is written\n");
    EXPECT_EQ(read_file(victim), "v");

    // A file outside the board folder, named as it is, is written.
    std::string elsewhere = outside_.path("trace");
    setenv("BOARD_TRACE", elsewhere.c_str(), 1);
    board::trace("three");
    EXPECT_EQ(read_file(elsewhere), "three\n");
}

// The device's root is checked as every folder below it: a link there (or
// a file) is refused, and nothing outside is run, read or removed.
TEST_F(BoardFolderSafety, ALinkInPlaceOfTheDeviceRootIsRefused)
{
    fs::create_directories(outside_.path("Windows/Startup"));
    write_file(outside_.path("Windows/Startup/Velmorra.lnk"), "21#\\Windows\\Velmorra.exe");
    write_file(outside_.path("victim"), "v");
    fs::remove_all(in_board("fs"));
    plant_link("fs", outside_.path(""));

    std::string refused = refusal(in_board("fs"));
    EXPECT_EQ(error_of([] { board::files::root(); }), refused);
    EXPECT_EQ(error_of([] { board::files::remove("\\victim"); }), refused);
    EXPECT_EQ(error_of([] { board::files::list("\\Windows\\Startup"); }), refused);
    EXPECT_EQ(error_of([] { board::files::resolve("\\Windows\\Startup\\Velmorra.lnk"); }), refused);
    EXPECT_EQ(error_of([] { board::reset(); }), refused);
    EXPECT_TRUE(is_link(in_board("fs")));
    EXPECT_EQ(read_file(outside_.path("victim")), "v");
    EXPECT_TRUE(fs::exists(outside_.path("Windows/Startup/Velmorra.lnk")));

    std::remove(in_board("fs").c_str());
    write_file(in_board("fs"), "a file");
    EXPECT_EQ(error_of([] { board::files::root(); }), in_board("fs") + " is not a folder");
}

// A folder on the way swapped for a link while files are removed: the
// walk holds each folder open, so the removal lands inside the board or
// nowhere, never on the file the link leads to.
TEST_F(BoardFolderSafety, AFolderSwappedForALinkMidWayLeadsNowhere)
{
    write_file(outside_.path("victim"), "v");
    std::string temp = in_board("fs/Temp"), aside = in_board("fs/Temp.real");
    // The real folder, wherever the swapper will have it, gets a victim of
    // its own; opened before the swapping starts.
    int real = open(temp.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(real, 0);
    std::atomic<bool> stop{false};
    std::thread swapper([&] {
        while (!stop) {
            rename(temp.c_str(), aside.c_str());
            if (symlink(outside_.path("").c_str(), temp.c_str()) == 0)
                std::remove(temp.c_str());
            rename(aside.c_str(), temp.c_str());
        }
    });
    for (int i = 0; i < 3000; ++i) {
        int fd = openat(real, "victim", O_WRONLY | O_CREAT | O_TRUNC, 0666);
        ASSERT_GE(fd, 0);
        close(fd);
        // Removed inside, not found, or refused as a link: each is right.
        board::files::remove("\\Temp\\victim");
        ASSERT_EQ(read_file(outside_.path("victim")), "v") << "removed outside the board, round " << i;
    }
    stop = true;
    swapper.join();
    close(real);
}

// ---- left-overs ----

pid_t dead_pid()
{
    pid_t pid = test_support::fork_child([] { return 0; });
    test_support::wait_child(pid);
    return pid;
}

// A reset killed half-way leaves its image folder (fs.new.PID) or the root
// it replaced (fs.old.PID): the next process on the board removes them once
// PID is dead, and only then; links in them are removed, not followed.
TEST_F(BoardFolderSafety, ImageFoldersOfDeadProcessesAreRemovedOnTheNextUse)
{
    write_file(outside_.path("victim"), "v");
    std::string dead = std::to_string(dead_pid()), dead2 = std::to_string(dead_pid());
    std::string live = std::to_string(getppid());  // the runner of this test: alive
    for (const std::string &n : {"fs.new." + dead, "fs.old." + dead, "fs.new." + live}) {
        fs::create_directories(in_board(n + "/Windows/Startup"));
        write_file(in_board(n + "/Windows/Startup/Velmorra.lnk"), "x");
        ASSERT_EQ(symlink(outside_.path("").c_str(), in_board(n + "/Windows/out").c_str()), 0);
    }
    ASSERT_EQ(symlink(outside_.path("").c_str(), in_board("fs.old." + dead2).c_str()), 0);

    // A fresh process maps the board and cleans up.
    pid_t child = test_support::fork_child([] {
        board::status();
        return 0;
    });
    ASSERT_EQ(test_support::wait_child(child), 0);
    EXPECT_FALSE(fs::exists(in_board("fs.new." + dead)));
    EXPECT_FALSE(fs::exists(in_board("fs.old." + dead)));
    EXPECT_TRUE(fs::exists(in_board("fs.new." + live + "/Windows/Startup/Velmorra.lnk")));
    EXPECT_TRUE(is_link(in_board("fs.old." + dead2))) << "a link is no left-over of the board's";
    EXPECT_EQ(outside_.names(), std::vector<std::string>{"victim"});
    EXPECT_EQ(read_file(outside_.path("victim")), "v");
}

// Files written aside by a writer that died go on the next use, but never
// while their writer's lock is held: that writer may be at work on them.
TEST_F(BoardFolderSafety, FilesWrittenAsideGoOnlyWhileNoWriterHoldsTheirLock)
{
    const std::vector<std::string> aside = {"registry.reg.new", "registry.protected.new"};
    for (const std::string &n : aside)
        write_file(in_board(n), "half");
    write_file(in_board("board.state.new"), "half");

    // A writer holds the registry's lock: its files stay, the state's go.
    int ready[2], release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    std::string lock = in_board("registry.lock");
    pid_t writer = test_support::fork_child([&] {
        int fd = open(lock.c_str(), O_RDWR);
        char c = 'x';
        if (fd < 0 || flock(fd, LOCK_EX) != 0 || write(ready[1], &c, 1) != 1)
            return 1;
        return read(release[0], &c, 1) == 1 ? 0 : 1;
    });
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    auto next_use = [] {
        pid_t p = test_support::fork_child([] {
            board::status();
            return 0;
        });
        return test_support::wait_child(p);
    };
    ASSERT_EQ(next_use(), 0);
    EXPECT_FALSE(fs::exists(in_board("board.state.new")));
    for (const std::string &n : aside)
        EXPECT_EQ(read_file(in_board(n)), "half") << n << " removed under its writer";

    ASSERT_EQ(write(release[1], "x", 1), 1);
    EXPECT_EQ(test_support::wait_child(writer), 0);
    ASSERT_EQ(next_use(), 0);
    for (const std::string &n : aside)
        EXPECT_FALSE(fs::exists(in_board(n))) << n;
    for (int fd : {ready[0], ready[1], release[0], release[1]})
        close(fd);
}

// kill -9 in the middle of resets: whatever it left goes on the next use.
TEST_F(BoardFolderSafety, AResetKilledMidWayLeavesNothingAfterTheNextUse)
{
    // Killed while its image folder exists (as it does most of each reset).
    bool left = false;
    for (int attempt = 0; attempt < 20 && !left; ++attempt) {
        pid_t child = test_support::fork_child([] {
            for (;;)
                board::reset();
            return 0;
        });
        std::string image = in_board("fs.new." + std::to_string(child));
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!fs::exists(image) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        kill(child, SIGKILL);
        EXPECT_EQ(test_support::wait_child(child), -1);
        left = fs::exists(image);
    }
    ASSERT_TRUE(left) << "no reset was caught with its image folder";

    pid_t next = test_support::fork_child([] {
        board::status();
        return 0;
    });
    ASSERT_EQ(test_support::wait_child(next), 0);
    for (const auto &e : fs::directory_iterator(board_.dir())) {
        std::string n = e.path().filename().string();
        EXPECT_EQ(n.find(".new"), std::string::npos) << n;
        EXPECT_EQ(n.find(".old"), std::string::npos) << n;
    }
    // And the board works.
    board::set_input(3, 0);
    EXPECT_EQ(board::status().pins[3].level(), 0);
    EXPECT_EQ(board::files::resolve("\\Windows\\Startup").error, 0u);
}

// ---- where the board lives ----

// BOARD_DIR itself may be a link: the user chose it; what is in it is checked.
TEST_F(BoardFolderSafety, ABoardFolderThatIsALinkIsUsed)
{
    std::string link = outside_.path("board");
    ASSERT_EQ(symlink(board_.dir().c_str(), link.c_str()), 0);
    setenv("BOARD_DIR", link.c_str(), 1);
    board::set_input(5, 0);
    EXPECT_EQ(board::status().pins[5].level(), 0);
    setenv("BOARD_DIR", board_.dir().c_str(), 1);
    EXPECT_EQ(board::status().pins[5].level(), 0);
}

// Without HOME the default folder is below the passwd entry's home folder;
// a user with no entry gets an error, never a folder under /tmp.
TEST(BoardFolderDefault, WithoutHomeThePasswdEntryDecidesOrTheBoardRefuses)
{
    pid_t child = test_support::fork_child([] {
        unsetenv("BOARD_DIR");
        unsetenv("XDG_STATE_HOME");
        unsetenv("HOME");
        struct passwd *pw = getpwuid(getuid());
        if (!pw || board::dir() != std::string(pw->pw_dir) + "/.local/state/ceboard/default")
            return 1;
        if (getuid() != 0)
            return 0;
        // Root may become a user that has no passwd entry.
        uid_t nobody = 54321;
        while (getpwuid(nobody))
            ++nobody;
        if (setgid(nobody) != 0 || setuid(nobody) != 0)
            return 2;
        try {
            board::dir();
            return 3;
        } catch (const board::Error &e) {
            return e.message.find("HOME is not set") == 0 ? 0 : 4;
        }
    });
    EXPECT_EQ(test_support::wait_child(child), 0);
}

}  // namespace
