// Pin calls per second through kestrin on the simulated board: each call
// opens "GPI1:", sends one request and closes it.  The GPIO test dialog
// needs about 180 a second.  Runs on a board of its own in a temporary
// folder, without a trace, as the dialog would.
//
// For scale the same run measures one bare system call and what a request
// cost in system calls alone when the state was taken under a file lock
// (lock, size check, unlock): the pin calls now make no system call.
#include "gpio/kestrin.h"
#include "board/board.h"
#include "board/events.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

namespace {

// Each call changes the pin's level.
void toggle_pins(benchmark::State &state)
{
    LONG pin = 1 + state.thread_index() % 9, level = 0;
    for (auto _ : state) {
        if (!gpio_setPin(pin, level ^= 1))
            state.SkipWithError("gpio_setPin failed");
    }
    state.SetItemsProcessed(state.iterations());
}
void BM_SetPin(benchmark::State &state)
{
    board::write_events(true);  // every thread: each benchmark sets what it needs
    toggle_pins(state);
}
BENCHMARK(BM_SetPin)->Threads(1)->Threads(2)->UseRealTime();

// The same, with this process writing no events: what the events cost the
// pin path (every call above changes the pin's level, so each writes one).
void BM_SetPinNoEvents(benchmark::State &state)
{
    board::write_events(false);
    toggle_pins(state);
}
BENCHMARK(BM_SetPinNoEvents)->Threads(1)->Threads(2)->UseRealTime();

// A write that leaves the level as it is writes no event.
void BM_SetPinSameLevel(benchmark::State &state)
{
    LONG pin = 1 + state.thread_index() % 9;
    for (auto _ : state) {
        if (!gpio_setPin(pin, 0))
            state.SkipWithError("gpio_setPin failed");
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SetPinSameLevel)->Threads(1)->UseRealTime();

void BM_GetPin(benchmark::State &state)
{
    LONG pin = 1 + state.thread_index() % 9, level = 0;
    for (auto _ : state) {
        if (!gpio_getPin(pin, &level))
            state.SkipWithError("gpio_getPin failed");
        benchmark::DoNotOptimize(level);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetPin)->Threads(1)->Threads(2)->UseRealTime();

// One pass of the GPIO test dialog's poll thread: nine reads.
void poll_nine_pins(benchmark::State &state)
{
    for (LONG pin = 1; pin <= 9; ++pin) {
        LONG level = 0;
        if (!gpio_getPin(pin, &level))
            state.SkipWithError("gpio_getPin failed");
        benchmark::DoNotOptimize(level);
    }
}

void BM_PollNinePins(benchmark::State &state)
{
    for (auto _ : state)
        poll_nine_pins(state);
    state.SetItemsProcessed(state.iterations() * 9);
}
BENCHMARK(BM_PollNinePins)->UseRealTime();

// The same while a reader of events wants every request (the Control
// Panel's board view is open): each read writes an event.
void BM_PollNinePinsWatched(benchmark::State &state)
{
    board::write_events(true);
    board::EventReader reader;
    reader.want_requests(true);
    std::vector<board::Event> events;
    uint64_t next_poll = 0;
    for (auto _ : state) {
        poll_nine_pins(state);
        if (board::monotonic_now() >= next_poll) {  // as a watcher does, every millisecond
            events.clear();
            reader.poll(events);
            next_poll = board::monotonic_now() + 1000000;
        }
    }
    state.SetItemsProcessed(state.iterations() * 9);
}
BENCHMARK(BM_PollNinePinsWatched)->UseRealTime();

// Work of the same kind as a pin call (a few uncontended locks, variable
// look-ups, an allocation) that shares nothing between threads: what two
// threads on this machine can gain over one at best, measured in the same
// run as the pin calls.  A busy machine, or virtual processors that share
// a core, give less than two.
struct alignas(128) PrivateLock {
    std::mutex m;
};
PrivateLock g_private_locks[2];

void BM_PrivateWork(benchmark::State &state)
{
    std::mutex &m = g_private_locks[state.thread_index() % 2].m;
    for (auto _ : state) {
        for (int i = 0; i < 3; ++i) {
            m.lock();
            m.unlock();
        }
        for (int i = 0; i < 4; ++i)
            benchmark::DoNotOptimize(getenv("BOARD_TRACE"));
        std::unique_ptr<char[]> block(new char[160]);
        benchmark::DoNotOptimize(block.get());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PrivateWork)->Threads(1)->Threads(2)->UseRealTime();

// The cheapest system call there is, for a ratio measured in the same run.
void BM_BareSystemCall(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(syscall(SYS_getppid));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BareSystemCall)->UseRealTime();

// The system calls each request made when the state was changed under a
// lock on its file: lock, check the file's size, unlock.
void BM_LockedRequestSystemCalls(benchmark::State &state)
{
    std::string file = std::string(getenv("BOARD_DIR")) + "/locked-bench";
    int fd = open(file.c_str(), O_RDWR | O_CREAT, 0600);
    if (fd < 0) {
        state.SkipWithError("cannot create a file to lock");
        return;
    }
    for (auto _ : state) {
        struct stat st;
        flock(fd, LOCK_EX);
        benchmark::DoNotOptimize(fstat(fd, &st));
        flock(fd, LOCK_UN);
    }
    close(fd);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LockedRequestSystemCalls)->UseRealTime();

}  // namespace

int main(int argc, char **argv)
{
    // The board folder is given to a fresh run of this program in its
    // environment, as a program gets its variables: on its stack, away
    // from the heap.  Set with setenv here, the variables (read on every
    // call) would share cache lines with what this thread allocates, and
    // the threads' figures would measure that.
    if (!getenv("BENCH_GPIO_BOARD")) {
        std::string dir = (std::filesystem::temp_directory_path() / "bench-gpio-XXXXXX").string();
        if (!mkdtemp(&dir[0])) {
            std::perror("bench_gpio: cannot create a board folder");
            return 1;
        }
        setenv("BOARD_DIR", dir.c_str(), 1);
        setenv("BENCH_GPIO_BOARD", dir.c_str(), 1);
        unsetenv("BOARD_TRACE");
        execv("/proc/self/exe", argv);
        std::perror("bench_gpio: cannot run itself again");
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
        return 1;
    }
    std::string dir = getenv("BENCH_GPIO_BOARD");
    board::reset();

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return 0;
}
