// 'board play' as a child process on a board of its own, playing a dump of
// CHANGES pin changes (four pins in turn, 1 to 4 ms apart), while this
// process reads the board's events.  The lateness of a change: its event's
// time stamp less its time in the file, less the same for the most punctual
// change (the player's start is not seen from outside, and no change is
// early, so that one is taken for on time).  Prints p50, p90, p99 and the largest, in microseconds;
// the player's own account (from its clock, the start included) follows
// on stderr.
// Usage: bench_play [CHANGES]
#include "board/board.h"
#include "board/events.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

int main(int argc, char **argv)
{
    int changes = argc > 1 ? std::atoi(argv[1]) : 2000;
    if (changes < 2) {
        std::fprintf(stderr, "usage: bench_play [CHANGES]\n");
        return 2;
    }
    char dir[] = "/tmp/bench_play_XXXXXX";
    if (!mkdtemp(dir)) {
        std::perror("mkdtemp");
        return 1;
    }
    setenv("BOARD_DIR", dir, 1);
    board::reset();

    // The dump: pins pulled up at first, so that the change at #0 (pin 0
    // low) is an edge too.
    std::string file = std::string(dir) + "/play.vcd";
    std::vector<uint64_t> when;  // us
    {
        std::ofstream out(file);
        out << "$timescale 1us $end\n";
        for (int p = 0; p < 4; ++p)
            out << "$var wire 1 " << char('a' + p) << " pin" << p << " $end\n";
        out << "$enddefinitions $end\n";
        int level[4] = {1, 1, 1, 1};
        uint64_t t = 0;
        unsigned seed = 1;
        for (int i = 0; i < changes; ++i) {
            int p = i % 4;
            level[p] ^= 1;
            out << "#" << t << "\n" << level[p] << char('a' + p) << "\n";
            when.push_back(t);
            seed = seed * 1103515245 + 12345;
            t += 1000 + (seed >> 8) % 3000;
        }
        out << "#" << t << "\n";
    }

    board::EventReader reader;
    pid_t pid;
    char tool[] = BOARD_TOOL, play[] = "play";
    char *args[] = {tool, play, &file[0], nullptr};
    if (posix_spawn(&pid, BOARD_TOOL, nullptr, nullptr, args, environ) != 0) {
        std::perror(BOARD_TOOL);
        return 1;
    }
    std::vector<uint64_t> seen;
    int status = 0;
    for (bool done = false; !done;) {
        done = waitpid(pid, &status, WNOHANG) == pid;
        if (done)
            usleep(10000);  // the reader hands on events once a little old
        std::vector<board::Event> events;
        reader.poll(events);
        for (const board::Event &e : events)
            if (e.kind == board::EventKind::Pin && e.pid == pid)
                seen.push_back(e.time);
        if (!done)
            usleep(1000);
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || seen.size() != when.size()) {
        std::fprintf(stderr, "bench_play: the player ended with %d and made %zu of %zu changes\n", status,
                     seen.size(), when.size());
        return 1;
    }
    std::vector<double> late;
    for (size_t i = 0; i < seen.size(); ++i)
        late.push_back(static_cast<double>(seen[i] - seen[0]) / 1000 - static_cast<double>(when[i]));
    double best = *std::min_element(late.begin(), late.end());
    for (double &l : late)
        l -= best;
    std::sort(late.begin(), late.end());
    auto at = [&](double q) { return late[std::min(late.size() - 1, static_cast<size_t>(q * late.size()))]; };
    std::printf("%-28s n=%-5zu p50 %7.0f us  p90 %7.0f us  p99 %7.0f us  max %7.0f us\n",
                "change after its time", late.size(), at(0.50), at(0.90), at(0.99), late.back());
    std::string rm = std::string("rm -rf ") + dir;
    return std::system(rm.c_str()) == 0 ? 0 : 1;
}
