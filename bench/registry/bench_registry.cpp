// Cost of reading the registry file, which every registry call does: one
// key holding a binary value of the largest size a program may set (1 MB)
// and smaller, written over many ",\" continued lines; and many keys, each
// holding a few values.  Reading should grow in step with the file.
//
// And one write, as the debug port switch makes it, into a registry file of
// 50 MB: its time, the peak memory of the process that makes it and how
// long it holds the registry's lock, beside the time of one read of the
// same file.  Each runs in a child process of its own, so that its peak
// memory is its own.
#include "board/board.h"
#include "board/file_util.h"
#include "board/registry_file.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void parse_binary_value(benchmark::State &state)
{
    board::reg::Hive h;
    board::reg::Key *k = h.create("HKEY_LOCAL_MACHINE\\Large");
    size_t size = static_cast<size_t>(state.range(0));
    board::reg::Hive::set_value(*k, {"blob", board::reg::kBinary, std::vector<uint8_t>(size, 0xA5)});
    std::string text = board::reg::serialise(h);
    for (auto _ : state)
        benchmark::DoNotOptimize(board::reg::parse(text, "bench.reg"));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
    state.SetComplexityN(state.range(0));
}

void parse_many_keys(benchmark::State &state)
{
    board::reg::Hive h;
    for (int64_t i = 0; i < state.range(0); ++i) {
        board::reg::Key *k = h.create("HKEY_LOCAL_MACHINE\\Software\\Key" + std::to_string(i));
        for (int v = 0; v < 4; ++v)
            board::reg::Hive::set_value(*k, {"Value" + std::to_string(v), board::reg::kDword, {1, 0, 0, 0}});
    }
    std::string text = board::reg::serialise(h);
    for (auto _ : state)
        benchmark::DoNotOptimize(board::reg::parse(text, "bench.reg"));
    state.SetComplexityN(state.range(0));
}

// A board folder whose registry file is about 50 MB, written as a person's
// file might be: comments, keys in no order, values of every kind.
struct Folder {
    std::string dir;
    ~Folder()
    {
        if (!dir.empty())
            std::filesystem::remove_all(dir);
    }
};

const std::string &large_board()
{
    static Folder folder;
    std::string &dir = folder.dir;
    if (!dir.empty())
        return dir;
    char name[] = "/tmp/bench_registry_XXXXXX";
    dir = mkdtemp(name);
    setenv("BOARD_DIR", dir.c_str(), 1);
    std::string text = "; a large registry\nREGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Debug]\n\"dbgSerial\"=dword:1\n";
    std::string hex;
    for (int b = 0; b < 64; ++b)
        hex += b ? ",a5" : "a5";
    for (int i = 0; text.size() < (50u << 20); ++i) {
        std::string n = std::to_string(i);
        if (i % 100 == 0)
            text += "\n; group " + n + "\n";
        text += "\n[HKEY_LOCAL_MACHINE\\Software\\Vendor" + std::to_string(i % 97) + "\\Key" + n + "]\n";
        text += "\"Count\"=dword:" + n + "\n\"Name\"=\"entry " + n + "\"\n";
        text += "\"Data\"=hex:" + hex.substr(0, 95) + ",\\\n  " + hex.substr(96) + "\n";
    }
    board::file_util::replace_file(board::reg::file_path(), text);
    return dir;
}

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Runs work(round) in a child process once per iteration: its time, the time it
// reports as lock time, the child's processor time and peak memory.
void in_child(benchmark::State &state, const std::function<double(int)> &work)
{
    large_board();
    double lock = 0, peak = 0, cpu = 0;
    int round = 0;
    for (auto _ : state) {
        ++round;
        int fds[2];
        if (pipe(fds) != 0) {
            state.SkipWithError("no pipe");
            break;
        }
        pid_t pid = fork();
        if (pid == 0) {
            auto start = std::chrono::steady_clock::now();
            double locked = work(round);
            double times[2] = {seconds_since(start), locked};
            _exit(write(fds[1], times, sizeof times) == sizeof times ? 0 : 1);
        }
        close(fds[1]);
        double times[2] = {0, 0};
        bool got = read(fds[0], times, sizeof times) == sizeof times;
        close(fds[0]);
        int status = 0;
        struct rusage usage = {};
        wait4(pid, &status, 0, &usage);
        if (!got || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("the child failed");
            break;
        }
        state.SetIterationTime(times[0]);
        lock += times[1];
        peak = std::max(peak, usage.ru_maxrss / 1024.0);
        cpu += static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    }
    state.counters["lock_ms"] = lock * 1000 / static_cast<double>(std::max<int64_t>(state.iterations(), 1));
    state.counters["peak_MB"] = peak;
    // The machine may be shared: the child's processor time tells its cost.
    state.counters["cpu_s"] = cpu / static_cast<double>(std::max<int64_t>(state.iterations(), 1));
    state.counters["file_MB"] = 50;
}

void write_into_50mb_file(benchmark::State &state)
{
    in_child(state, [](int round) {
        uint8_t value = round % 2;
        board::reg::update([&](board::reg::Hive &h) {
            board::reg::Hive::set_value(*h.find("HKEY_LOCAL_MACHINE\\Debug"),
                                        {"dbgSerial", board::reg::kDword, {value, 0, 0, 0}});
            return true;
        });
        return board::reg::last_update_lock_seconds();
    });
}

void read_50mb_file(benchmark::State &state)
{
    in_child(state, [](int) {
        benchmark::DoNotOptimize(board::reg::read());
        return 0.0;
    });
}

}  // namespace

BENCHMARK(parse_binary_value)->RangeMultiplier(4)->Range(16 << 10, 1 << 20)->Complexity();
BENCHMARK(parse_many_keys)->RangeMultiplier(4)->Range(256, 16 << 10)->Complexity();
BENCHMARK(write_into_50mb_file)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(read_50mb_file)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
