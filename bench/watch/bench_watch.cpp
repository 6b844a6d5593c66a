// 'board watch' as a child process on a board of its own:
//  - latency: from a pin change made here (board::set_input) to its line
//    arriving through the watcher's pipe, and from the event's own time
//    stamp to the line;
//  - idle cost: the processor time the watcher takes in 3 s with nothing
//    happening (it sleeps on the board's futex word, up to 0.1 s at a time);
//  - a pipe ping-pong between two processes, its rounds taken in turn with
//    the watcher's: the one-way latency the watcher's is set against;
//  - bursts: BURST changes made as fast as one thread can, then 8
//    processes making BURST / 10 each at once, and how many lines and
//    'missed' counts the watcher gave for them (read as they come).
// Prints p50, p90, p99 and the largest latency, in microseconds.
// Usage: bench_watch [ROUNDS [BURST]]
#include "board/board.h"
#include "board/events.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

pid_t g_watcher = -1;
int g_out = -1, g_err = -1;
std::string g_buffer;

// The next whole line the watcher wrote; empty after 5 s without one.
std::string next_line(int fd)
{
    for (;;) {
        size_t nl = g_buffer.find('\n');
        if (nl != std::string::npos) {
            std::string line = g_buffer.substr(0, nl);
            g_buffer.erase(0, nl + 1);
            return line;
        }
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0)
            return std::string();
        char buf[65536];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            return std::string();
        g_buffer.append(buf, static_cast<size_t>(n));
    }
}

void start_watcher()
{
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        std::perror("pipe");
        std::exit(1);
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    char tool[] = BOARD_TOOL, watch[] = "watch", pin[] = "1", format[] = "--format", fmt[] = "%t %d";
    char p[8][4] = {"10", "11", "12", "13", "14", "15", "16", "17"};
    char *argv[] = {tool, watch, pin, p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7], format, fmt, nullptr};
    if (posix_spawn(&g_watcher, BOARD_TOOL, &fa, nullptr, argv, environ) != 0) {
        std::perror(BOARD_TOOL);
        std::exit(1);
    }
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    close(err[1]);
    g_out = out[0];
    g_err = err[0];
    std::string ready = next_line(g_err);
    if (ready.rfind("watching ", 0) != 0) {
        std::fprintf(stderr, "bench_watch: the watcher did not start: %s\n", ready.c_str());
        std::exit(1);
    }
}

double cpu_seconds(pid_t pid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
    FILE *f = std::fopen(path, "r");
    if (!f)
        return 0;
    char buf[1024];
    size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[n] = 0;
    const char *p = std::strrchr(buf, ')');
    unsigned long utime = 0, stime = 0;
    // Fields after the name: state ppid pgrp session tty tpgid flags minflt
    // cminflt majflt cmajflt utime stime.
    if (p)
        std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime);
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

void report(const char *what, std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    auto at = [&](double q) { return v[std::min(v.size() - 1, static_cast<size_t>(q * v.size()))]; };
    std::printf("%-28s n=%-5zu p50 %7.0f us  p90 %7.0f us  p99 %7.0f us  max %7.0f us\n", what, v.size(),
                at(0.50), at(0.90), at(0.99), v.back());
}

// A byte sent to another process over a pipe and back over another: half
// the round trip is the one-way latency of a wake-up through a pipe.
class PingPong {
public:
    PingPong()
    {
        if (pipe(there_) != 0 || pipe(back_) != 0) {
            std::perror("pipe");
            std::exit(1);
        }
        child_ = fork();
        if (child_ == 0) {
            close(there_[1]);
            close(back_[0]);
            char c;
            while (read(there_[0], &c, 1) == 1 && write(back_[1], &c, 1) == 1) {
            }
            _exit(0);
        }
    }
    ~PingPong()
    {
        close(there_[1]);
        waitpid(child_, nullptr, 0);
        close(there_[0]);
        close(back_[0]);
        close(back_[1]);
    }
    // One round: the one-way latency, in microseconds; -1 when it failed.
    double one_way()
    {
        char c = 'x';
        uint64_t t0 = board::monotonic_now();
        if (write(there_[1], &c, 1) != 1 || read(back_[0], &c, 1) != 1)
            return -1;
        return (board::monotonic_now() - t0) / 2e3;
    }

private:
    int there_[2], back_[2];
    pid_t child_ = -1;
};

// Counts the watcher's lines until the unplug that ends a burst, while the
// burst is made.
struct Tally {
    unsigned long long lines = 0, missed = 0;
    std::thread t;
    void start()
    {
        t = std::thread([this] {
            for (;;) {
                std::string line = next_line(g_out);
                if (line.empty() || line.find("device unplugged") != std::string::npos)
                    break;
                // "%t %d": a report of events lost is "TIME missed N events".
                unsigned long long n;
                size_t space = line.find(' ');
                if (space != std::string::npos && std::sscanf(line.c_str() + space, " missed %llu", &n) == 1)
                    missed += n;
                else if (line.find("device") == std::string::npos)
                    ++lines;
            }
        });
    }
    void print(const char *what, unsigned long long made, double ms)
    {
        t.join();
        std::printf("%s of %llu changes in %.1f ms: %llu lines, %llu reported missed (%s)\n", what, made, ms, lines,
                    missed, lines + missed == made ? "all accounted for" : "NOT all accounted for");
    }
};

}  // namespace

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    int rounds = argc > 1 ? std::atoi(argv[1]) : 300;
    int burst = argc > 2 ? std::atoi(argv[2]) : 5000;
    if (rounds < 1 || burst < 1) {
        std::fprintf(stderr, "usage: bench_watch [ROUNDS [BURST]]\n");
        return 2;
    }
    char dir[] = "/tmp/bench_watch_XXXXXX";
    if (!mkdtemp(dir)) {
        std::perror("mkdtemp");
        return 1;
    }
    setenv("BOARD_DIR", dir, 1);
    board::reset();
    board::set_input(1, 0);
    start_watcher();

    // The watcher's rounds and the ping-pong's taken in turn, each after a
    // pause, so that both meet the same load on the machine.
    std::vector<double> to_line, stamp_to_line, pipe;
    {
        PingPong ping;
        for (int i = 0; i < rounds; ++i) {
            uint64_t t0 = board::monotonic_now();
            board::set_input(1, (i + 1) % 2);
            std::string line = next_line(g_out);
            uint64_t t1 = board::monotonic_now();
            if (line.empty()) {
                std::fprintf(stderr, "bench_watch: no line for change %d\n", i);
                return 1;
            }
            double stamp = std::strtod(line.c_str(), nullptr) * 1e9;
            to_line.push_back((t1 - t0) / 1e3);
            stamp_to_line.push_back((static_cast<double>(t1) - stamp) / 1e3);
            // Changes a little apart, as a person or a poll loop makes them.
            std::this_thread::sleep_for(std::chrono::microseconds(500 + (i * 37) % 1500));
            double one_way = ping.one_way();
            if (one_way < 0) {
                std::fprintf(stderr, "bench_watch: the ping-pong failed\n");
                return 1;
            }
            pipe.push_back(one_way);
            std::this_thread::sleep_for(std::chrono::microseconds(500 + (i * 53) % 1500));
        }
    }
    report("change to line", to_line);
    report("event's time to line", stamp_to_line);
    report("pipe ping-pong, one way", pipe);
    auto at = [](std::vector<double> v, double q) {
        std::sort(v.begin(), v.end());
        return v[std::min(v.size() - 1, static_cast<size_t>(q * v.size()))];
    };
    std::printf("change to line / pipe one way: p50 %.1fx  p99 %.1fx\n", at(to_line, 0.5) / at(pipe, 0.5),
                at(to_line, 0.99) / at(pipe, 0.99));
    // From the event's own stamp: without what board::set_input does
    // before it writes the event (it validates the whole state).
    std::printf("event's time to line / pipe one way: p50 %.1fx  p99 %.1fx\n",
                at(stamp_to_line, 0.5) / at(pipe, 0.5), at(stamp_to_line, 0.99) / at(pipe, 0.99));

    double c0 = cpu_seconds(g_watcher);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    double c1 = cpu_seconds(g_watcher);
    std::printf("idle watcher: %.1f%% of a core (%.3f s of processor time in 3 s)\n", (c1 - c0) / 3 * 100, c1 - c0);

    // The pin was left at rounds % 2; each change below flips it.
    int level = rounds % 2;
    {
        Tally tally;
        tally.start();
        auto b0 = std::chrono::steady_clock::now();
        for (int i = 0; i < burst; ++i)
            board::set_input(1, level = 1 - level);
        double made = std::chrono::duration<double>(std::chrono::steady_clock::now() - b0).count();
        board::set_plugged(false);  // the end of the burst
        tally.print("burst, one process,", static_cast<unsigned long long>(burst), made * 1e3);
    }
    {
        // Eight processes, each on a pin of its own, each a tenth of BURST.
        for (int k = 0; k < 8; ++k)
            board::set_input(10 + k, 1);  // before the count: each change below flips it
        board::set_plugged(true);
        for (std::string l = next_line(g_out); !l.empty() && l.find("device plugged") == std::string::npos;)
            l = next_line(g_out);
        Tally tally;
        tally.start();
        int each = std::max(1, burst / 10);
        auto b0 = std::chrono::steady_clock::now();
        std::vector<pid_t> kids;
        for (int k = 0; k < 8; ++k) {
            pid_t c = fork();
            if (c == 0) {
                int l = 1;
                for (int i = 0; i < each; ++i)
                    board::set_input(10 + k, l = 1 - l);
                _exit(0);
            }
            kids.push_back(c);
        }
        for (pid_t c : kids)
            waitpid(c, nullptr, 0);
        double made = std::chrono::duration<double>(std::chrono::steady_clock::now() - b0).count();
        board::set_plugged(false);
        tally.print("burst, 8 processes at once,", 8ull * static_cast<unsigned long long>(each), made * 1e3);
    }

    kill(g_watcher, SIGTERM);
    int status = 0;
    waitpid(g_watcher, &status, 0);
    std::printf("watcher ended with status %d\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    std::filesystem::remove_all(dir);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
