// 'board watch' as a child process on a board of its own:
//  - latency: from a pin change made here (board::set_input) to its line
//    arriving through the watcher's pipe, from the event's own time stamp
//    to the line, and how long set_input itself took;
//  - the watcher's processor time per line, and while idle for 3 s (it
//    sleeps on the board's futex word, up to half a second at a time),
//    with an idle 'board record' beside it, measured the same way;
//  - a pipe ping-pong between two processes, and a bare futex wake-up
//    answered by a line through a pipe (the watcher's two hops with no
//    board), their rounds taken in turn with the watcher's: the one-way
//    latency the watcher's is set against, and the least it could be;
//  - bursts: BURST changes made as fast as one thread can, then 8
//    processes making BURST / 10 each at once, and how many lines and
//    'missed' counts the watcher gave for them (read as they come).
// Prints p50, p90, p99 and the largest latency, in microseconds.
// Usage: bench_watch [ROUNDS [BURST]]
#include "board/board.h"
#include "board/events.h"
#include "bench/timing.h"

#include <algorithm>
#include <climits>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fcntl.h>
#include <linux/futex.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

// A child's output read a line at a time.
struct Stream {
    int fd = -1;
    std::string buffer;
};

pid_t g_watcher = -1, g_recorder = -1;
Stream g_out;

// The next whole line s carries; empty after 5 s without one.
std::string next_line(Stream &s)
{
    for (;;) {
        size_t nl = s.buffer.find('\n');
        if (nl != std::string::npos) {
            std::string line = s.buffer.substr(0, nl);
            s.buffer.erase(0, nl + 1);
            return line;
        }
        struct pollfd p = {s.fd, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0)
            return std::string();
        char buf[65536];
        ssize_t n = read(s.fd, buf, sizeof buf);
        if (n <= 0)
            return std::string();
        s.buffer.append(buf, static_cast<size_t>(n));
    }
}

// Starts the board tool with argv (argv[0] its name), its output into a
// pipe (*out; else to /dev/null), and waits for the line it writes on
// stderr when it has begun, which starts with ready.
pid_t start_board(char **argv, const char *ready, Stream *out)
{
    int o[2], e[2];
    if (pipe2(o, O_CLOEXEC) != 0 || pipe2(e, O_CLOEXEC) != 0) {
        std::perror("pipe");
        std::exit(1);
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (out)
        posix_spawn_file_actions_adddup2(&fa, o[1], 1);
    else
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, e[1], 2);
    pid_t pid = -1;
    if (posix_spawn(&pid, BOARD_TOOL, &fa, nullptr, argv, environ) != 0) {
        std::perror(BOARD_TOOL);
        std::exit(1);
    }
    posix_spawn_file_actions_destroy(&fa);
    close(o[1]);
    close(e[1]);
    Stream err{e[0], {}};  // left open: a later line to stderr must not end the child
    std::string line = next_line(err);
    if (line.rfind(ready, 0) != 0) {
        std::fprintf(stderr, "bench_watch: board %s did not start: %s\n", argv[1], line.c_str());
        std::exit(1);
    }
    if (out)
        out->fd = o[0];
    else
        close(o[0]);
    return pid;
}

void start_watcher()
{
    char tool[] = BOARD_TOOL, watch[] = "watch", pin[] = "1", format[] = "--format", fmt[] = "%t %d";
    char p[8][4] = {"10", "11", "12", "13", "14", "15", "16", "17"};
    char *argv[] = {tool, watch, pin, p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7], format, fmt, nullptr};
    g_watcher = start_board(argv, "watching ", &g_out);
}

// 'board record' into a capture in the board's folder, idle beside the
// watcher.
void start_recorder(const std::string &capture)
{
    char tool[] = BOARD_TOOL, record[] = "record";
    std::vector<char> file(capture.begin(), capture.end());
    file.push_back(0);
    char *argv[] = {tool, record, file.data(), nullptr};
    g_recorder = start_board(argv, "board record: recording into ", nullptr);
}

// The processor time pid has had, in seconds (the scheduler's own count,
// to the nanosecond); negative when the system does not keep it.
double cpu_seconds(pid_t pid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/schedstat", pid);
    FILE *f = std::fopen(path, "r");
    if (!f)
        return -1;
    unsigned long long ns = 0;
    int got = std::fscanf(f, "%llu", &ns);
    std::fclose(f);
    return got == 1 ? static_cast<double>(ns) / 1e9 : -1;
}

void report(const char *what, std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    std::printf("%-28s n=%-5zu p50 %7.0f us  p90 %7.0f us  p99 %7.0f us  max %7.0f us\n", what, v.size(),
                bench::at(v, 0.50), bench::at(v, 0.90), bench::at(v, 0.99), v.back());
}

// "WHAT / pipe one way: p50 ..x  p99 ..x": times v against the ping-pong's.
void ratio(const char *what, std::vector<double> v, std::vector<double> pipe)
{
    std::sort(v.begin(), v.end());
    std::sort(pipe.begin(), pipe.end());
    std::printf("%s / pipe one way: p50 %.1fx  p99 %.1fx\n", what, bench::at(v, 0.5) / bench::at(pipe, 0.5),
                bench::at(v, 0.99) / bench::at(pipe, 0.99));
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

// The watcher's two hops with nothing of the board: a process asleep on a
// futex word in shared memory is woken by a store and FUTEX_WAKE, and
// answers with a short line through a pipe.  The least that a reader woken
// on change can take here, against which the watcher's figures are set.
class BareWake {
public:
    BareWake()
    {
        word_ = static_cast<uint32_t *>(
            mmap(nullptr, sizeof(uint32_t), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
        if (word_ == MAP_FAILED || pipe(line_) != 0) {
            std::perror("bench_watch: the bare wake-up");
            std::exit(1);
        }
        child_ = fork();
        if (child_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);  // not left asleep when the bench fails
            close(line_[0]);
            for (uint32_t seen = 0;;) {
                uint32_t v = __atomic_load_n(word_, __ATOMIC_SEQ_CST);
                if (v == seen) {
                    syscall(SYS_futex, word_, FUTEX_WAIT, v, nullptr, nullptr, 0);
                    continue;
                }
                seen = v;
                char text[32];
                int n = std::snprintf(text, sizeof text, "%u\n", v);
                if (v == kEnd || write(line_[1], text, static_cast<size_t>(n)) != n)
                    _exit(0);
            }
        }
        close(line_[1]);
    }
    ~BareWake()
    {
        wake(kEnd);
        waitpid(child_, nullptr, 0);
        close(line_[0]);
        munmap(word_, sizeof(uint32_t));
    }
    // One round: from the store to the line read, in microseconds; -1 when
    // it failed.
    double round()
    {
        uint64_t t0 = board::monotonic_now();
        wake(++n_);
        char text[32];
        struct pollfd p = {line_[0], POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0 || read(line_[0], text, sizeof text) <= 0)
            return -1;
        return (board::monotonic_now() - t0) / 1e3;
    }

private:
    static constexpr uint32_t kEnd = ~0u;
    void wake(uint32_t v)
    {
        __atomic_store_n(word_, v, __ATOMIC_SEQ_CST);
        syscall(SYS_futex, word_, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
    }
    uint32_t *word_ = nullptr;
    uint32_t n_ = 0;
    int line_[2];
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

    // The watcher's rounds and the references' taken in turn, each after a
    // pause, so that all meet the same load on the machine.
    std::vector<double> to_line, stamp_to_line, made, pipe, bare;
    double busy0 = cpu_seconds(g_watcher);
    {
        PingPong ping;
        BareWake floor;
        for (int i = 0; i < rounds; ++i) {
            uint64_t t0 = board::monotonic_now();
            board::set_input(1, (i + 1) % 2);
            uint64_t t_made = board::monotonic_now();
            std::string line = next_line(g_out);
            uint64_t t1 = board::monotonic_now();
            if (line.empty()) {
                std::fprintf(stderr, "bench_watch: no line for change %d\n", i);
                return 1;
            }
            double stamp = std::strtod(line.c_str(), nullptr) * 1e9;
            to_line.push_back((t1 - t0) / 1e3);
            made.push_back((t_made - t0) / 1e3);
            stamp_to_line.push_back((static_cast<double>(t1) - stamp) / 1e3);
            // Changes a little apart, as a person or a poll loop makes them;
            // each reference round after a pause of its own too.
            auto pause = [i](int step) {
                std::this_thread::sleep_for(std::chrono::microseconds(500 + (i * step) % 1500));
            };
            auto keep = [](std::vector<double> &into, double us, const char *what) {
                if (us < 0) {
                    std::fprintf(stderr, "bench_watch: the %s failed\n", what);
                    std::exit(1);
                }
                into.push_back(us);
            };
            pause(37);
            keep(pipe, ping.one_way(), "ping-pong");
            pause(53);
            keep(bare, floor.round(), "bare wake-up");
            pause(29);
        }
    }
    double busy1 = cpu_seconds(g_watcher);
    report("change to line", to_line);
    report("event's time to line", stamp_to_line);
    report("set_input's own time", made);
    report("pipe ping-pong, one way", pipe);
    report("bare futex wake to line", bare);
    ratio("change to line", to_line, pipe);
    // From the event's own stamp: without what board::set_input does
    // before it writes the event (it validates the whole state).
    ratio("event's time to line", stamp_to_line, pipe);
    // The same two hops with no board: what no reader woken so can beat.
    ratio("bare futex wake to line", bare, pipe);
    // What the watcher spent on each line, the ping-pong's rounds being no
    // work of its: its wake-up, reading the board, the line and its write.
    if (busy0 >= 0 && busy1 >= 0)
        std::printf("watcher's processor time per line: %.1f us\n", (busy1 - busy0) / rounds * 1e6);
    // Both idle at once: the watcher and a recorder beside it.
    start_recorder(std::string(dir) + "/idle.vcd");
    double c0 = cpu_seconds(g_watcher), r0 = cpu_seconds(g_recorder);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    double c1 = cpu_seconds(g_watcher), r1 = cpu_seconds(g_recorder);
    std::printf("idle watcher: %.2f%% of a core (%.4f s of processor time in 3 s)\n", (c1 - c0) / 3 * 100, c1 - c0);
    std::printf("idle recorder: %.2f%% of a core (%.4f s of processor time in 3 s)\n", (r1 - r0) / 3 * 100,
                r1 - r0);
    kill(g_recorder, SIGINT);
    int recorded = 0;
    waitpid(g_recorder, &recorded, 0);
    if (!WIFEXITED(recorded) || WEXITSTATUS(recorded) != 0) {
        std::fprintf(stderr, "bench_watch: the recorder failed\n");
        return 1;
    }

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
