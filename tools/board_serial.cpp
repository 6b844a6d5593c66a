// board serial [--follow]: what went out on the board's serial debug port,
// the last 64 KiB of it, and with --follow what comes after, until Ctrl-C.
#include "board/serial.h"
#include "board_commands.h"
#include "cli.h"

#include <csignal>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// What 'board serial' prints at most: the port's output is never held whole.
constexpr size_t kSerialShown = 64 * 1024;

volatile sig_atomic_t g_stop = 0;
void on_stop(int) { g_stop = 1; }

// False once standard output no longer takes what is written.
bool put(std::string_view text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
    return cli::flush_out();
}

// Prints what comes out on the port until Ctrl-C, from the offset end of
// the file open at fd (-1: none yet).  A file that was emptied or replaced
// ('board reset') is followed from its start.
int follow_serial(int fd, long long end)
{
    struct sigaction sa {};
    sa.sa_handler = on_stop;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    const std::string path = board::serial::file_path();
    std::string chunk(kSerialShown, '\0');
    while (!g_stop) {
        struct stat now, held;
        bool there = lstat(path.c_str(), &now) == 0;
        // Removed (its number may already be another file's), replaced or cut.
        if (fd >= 0 && (fstat(fd, &held) != 0 || !there || held.st_nlink == 0 ||
                        held.st_ino != now.st_ino || held.st_dev != now.st_dev ||
                        held.st_size < end)) {
            close(fd);
            fd = -1;
        }
        if (fd < 0 && there) {
            fd = board::serial::open_for_reading();
            end = 0;
        }
        ssize_t n = 0;
        if (fd >= 0) {
            n = pread(fd, &chunk[0], chunk.size(), end);
            if (n > 0) {
                // From the window itself: a huge line going by is not copied
                // a window at a time.
                if (!put(std::string_view(chunk).substr(0, static_cast<size_t>(n))))
                    break;
                end += n;
            }
        }
        if (n <= 0) {
            struct timespec pause = {0, 100 * 1000 * 1000};
            nanosleep(&pause, nullptr);
        }
    }
    if (fd >= 0)
        close(fd);
    return 0;
}

}  // namespace

namespace board_tool {

Run define_serial(CLI::App &app)
{
    auto follow = std::make_shared<bool>(false);
    app.footer("Prints the last 64 KiB of it; --follow goes on from there, and from the\n"
               "start when 'board reset' empties it.");
    app.add_flag("--follow", *follow, "keep printing what comes, until Ctrl-C");
    return [follow] {
        int fd = board::serial::open_for_reading();
        long long end = 0;
        bool out_ok = true;
        if (fd >= 0) {
            out_ok = put(board::serial::tail_of(fd, kSerialShown, &end));
            if (!*follow || !out_ok)
                close(fd);
        }
        // An output that takes nothing is not followed (main says why).
        return *follow && out_ok ? follow_serial(fd, end) : 0;
    };
}

}  // namespace board_tool
