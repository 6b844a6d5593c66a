// Several processes on one registry: concurrent writers and a writer
// killed half-way.
#include "reset_board.h"

#include "process.h"
#include "board/registry_file.h"

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

using board::reg::Hive;

namespace {

// Starts a writer; with file_limit, the kernel kills it (SIGXFSZ) the moment
// it writes past that many bytes of any file.
pid_t start(const std::vector<std::string> &argv, long long file_limit = -1)
{
    child::Launch launch;
    launch.argv = argv;
    launch.file_limit = file_limit;
    return test_support::start_program(launch);
}

// The wait status of a started writer.
int finish(pid_t pid)
{
    int status = -1;
    waitpid(pid, &status, 0);
    return status;
}

// Kills a writer that a failed check left running.
struct Reaper {
    pid_t pid;
    ~Reaper()
    {
        if (waitpid(pid, nullptr, WNOHANG) == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
};

}  // namespace

class RegistryProcesses : public ResetBoard {};

TEST_F(RegistryProcesses, TwoWritersAtOnceBothLand)
{
    const int n = 40;
    pid_t a = start({REG_WRITER, "values", "a", std::to_string(n)});
    pid_t b = start({REG_WRITER, "values", "b", std::to_string(n)});
    EXPECT_EQ(finish(a), 0);
    EXPECT_EQ(finish(b), 0);
    Hive h = board::reg::read();
    const board::reg::Key *k = h.find("HKEY_LOCAL_MACHINE\\Race");
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(k->values.size(), 2u * n);
    for (const char *prefix : {"a", "b"}) {
        for (int i = 0; i < n; ++i) {
            const board::reg::Value *v = Hive::find_value(*k, prefix + std::to_string(i));
            ASSERT_NE(v, nullptr) << prefix << i;
            EXPECT_EQ(v->data, (std::vector<uint8_t>{static_cast<uint8_t>(i), 0, 0, 0}));
        }
    }
}

// True while some process holds the registry's lock to write.
bool writer_inside(const std::string &lock_file)
{
    int fd = open(lock_file.c_str(), O_RDWR | O_CLOEXEC);
    bool busy = fd >= 0 && flock(fd, LOCK_SH | LOCK_NB) != 0;
    if (fd >= 0)
        close(fd);
    return busy;
}

uint32_t count_of(const Hive &h)
{
    const board::reg::Key *k = h.find("HKEY_LOCAL_MACHINE\\Churn");
    const board::reg::Value *c = k ? Hive::find_value(*k, "Count") : nullptr;
    return c && c->data.size() == 4 ? c->data[0] | c->data[1] << 8 : 0;
}

TEST_F(RegistryProcesses, AWriterKilledMidWriteLeavesAWholeFile)
{
    uint32_t last = 0;
    for (int round = 0; round < 4; ++round) {
        pid_t w = start({REG_WRITER, "churn", std::to_string(last + 1)});
        Reaper reaper{w};
        // Once it has written twice, kill it the next time it is inside a write.
        bool killed = false;
        for (int polls = 0; !killed && polls < 1000000; ++polls) {
            if (writer_inside(file("registry.lock")) && count_of(board::reg::read()) >= last + 2) {
                while (!writer_inside(file("registry.lock"))) {
                }
                kill(w, SIGKILL);
                killed = true;
            }
        }
        ASSERT_TRUE(killed);
        finish(w);

        Hive h = board::reg::read();  // throws if the file were damaged
        const board::reg::Key *k = h.find("HKEY_LOCAL_MACHINE\\Churn");
        ASSERT_NE(k, nullptr);
        const board::reg::Value *big = Hive::find_value(*k, "Big");
        ASSERT_NE(big, nullptr);
        ASSERT_EQ(big->data.size(), 16384u);
        uint8_t fill = big->data[0];
        EXPECT_EQ(std::count(big->data.begin(), big->data.end(), fill), 16384);
        // Big is written before Count: it holds the same round or the next.
        uint32_t count = count_of(h);
        EXPECT_TRUE(fill == static_cast<uint8_t>(count) || fill == static_cast<uint8_t>(count + 1));
        EXPECT_GE(count, last + 2);
        last = count;
    }
    // The board goes on: the next write lands.
    board::reg::update([](Hive &hv) {
        hv.create("HKEY_LOCAL_MACHINE\\After");
        return true;
    });
    EXPECT_NE(board::reg::read().find("HKEY_LOCAL_MACHINE\\After"), nullptr);
}

TEST_F(RegistryProcesses, AWriterKilledInsideItsFileWriteLeavesTheOldFile)
{
    pid_t w = start({REG_WRITER, "values", "v", "1"});
    ASSERT_EQ(finish(w), 0);
    w = start({REG_WRITER, "churn", "7"});
    Reaper reaper{w};
    // A first round written whole, to have a file worth losing.
    for (int polls = 0; count_of(board::reg::read()) < 8 && polls < 1000000; ++polls) {
    }
    kill(w, SIGKILL);
    finish(w);
    std::string before = test_support::read_file(board::reg::file_path());
    uint32_t count = count_of(board::reg::parse(before, "before"));
    ASSERT_GE(count, 8u);
    // The next writer dies with its file write cut at each of these points.
    for (rlim_t cut : {rlim_t(1), rlim_t(4096), rlim_t(before.size() / 2), rlim_t(before.size() - 1)}) {
        int status = finish(start({REG_WRITER, "churn", "100"}, cut));
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << "cut " << cut;
        EXPECT_EQ(test_support::read_file(board::reg::file_path()), before) << "cut " << cut;
    }
}
