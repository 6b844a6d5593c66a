// Pinvane.cpl on the simulated board, run as the Control Panel runs it:
//  - indicator latency: from an external level change on pin 1 to the
//    change of its indicator (bounded by the 50 ms poll period);
//  - close time: from the caption's OK button to CPL_DBLCLK returning
//    (the poll thread is asked to stop and waited for), and how many
//    closes had to end the poll thread by force;
//  - driver handles left open once every dialog has closed.
// Prints p50, p90, p99 and the largest of each, in milliseconds.
// Usage: bench_pinvane [ROUNDS [CLOSES]] (CLOSES defaults to ROUNDS / 2).
#include "bench/timing.h"
#include "board/board.h"
#include "platform/host/include/ce_host.h"
#include "platform/host/include/host_control.h"
#include "platform/host/include/host_resources.h"
#include "platform/host/include/host_window.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using bench::Clock;
using bench::ms_since;

const int kIndicator1 = 1010;

int indicator(HWND dlg)
{
    for (const HostControl &c : host_controls(dlg))
        if (c.id == kIndicator1)
            return c.check;
    return -1;
}

// Waits for the indicator of pin 1 to show want; false after 2 s.
bool wait_indicator(HWND dlg, int want)
{
    Clock::time_point t0 = Clock::now();
    while (ms_since(t0) < 2000) {
        uint64_t seen = host_window_generation();
        if (indicator(dlg) == want)
            return true;
        host_wait_change(seen, 20);
    }
    return false;
}

}  // namespace

int main(int argc, char **argv)
{
    int rounds = argc > 1 ? std::atoi(argv[1]) : 100;
    int closes = argc > 2 ? std::atoi(argv[2]) : rounds / 2;
    if (rounds < 1 || closes < 1) {
        std::fprintf(stderr, "usage: bench_pinvane [ROUNDS [CLOSES]] (both at least 1)\n");
        return 2;
    }
    char templ[] = "/tmp/bench-pinvane-XXXXXX";
    if (!mkdtemp(templ))
        return 1;
    setenv("BOARD_DIR", templ, 1);
    setenv("BOARD_DEBUG_LOG", (std::string(templ) + "/debug.log").c_str(), 1);
    unsetenv("BOARD_TRACE");
    board::reset();
    board::set_input(1, 0);  // pulled up otherwise

    void *lib = dlopen(APPLET_DIR "/Pinvane.cpl", RTLD_NOW | RTLD_LOCAL);
    APPLET_PROC applet = lib ? reinterpret_cast<APPLET_PROC>(dlsym(lib, "CPlApplet")) : nullptr;
    if (!applet) {
        std::fprintf(stderr, "cannot load Pinvane.cpl: %s\n", dlerror());
        return 1;
    }
    std::mt19937 random(12345);

    // Indicator latency, in one dialog.
    std::vector<double> latency;
    {
        std::thread cpl([&] {
            applet(nullptr, CPL_INIT, 0, 0);
            applet(nullptr, CPL_DBLCLK, 0, 0);
        });
        HWND dlg = host_wait_dialog(5000);
        if (!dlg || !wait_indicator(dlg, BST_CHECKED)) {
            std::fprintf(stderr, "the dialog did not come up\n");
            return 1;
        }
        for (int i = 0; i < rounds; ++i) {
            int level = i % 2 == 0 ? 1 : 0;
            // Changes land anywhere in the poll period.
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 50000));
            Clock::time_point t0 = Clock::now();
            board::set_input(1, level);
            if (!wait_indicator(dlg, level == 0 ? BST_CHECKED : BST_UNCHECKED)) {
                std::fprintf(stderr, "indicator did not follow pin 1\n");
                return 1;
            }
            latency.push_back(ms_since(t0));
        }
        host_caption_ok(dlg);
        cpl.join();
    }

    // Close time, a dialog per round, closed at a random point of its poll.
    std::vector<double> closing;
    size_t forced = host_threads_terminated();
    for (int i = 0; i < closes; ++i) {
        Clock::time_point t0;
        std::thread cpl([&] {
            applet(nullptr, CPL_INIT, 0, 0);
            applet(nullptr, CPL_DBLCLK, 0, 0);
        });
        HWND dlg = host_wait_dialog(5000);
        if (!dlg) {
            std::fprintf(stderr, "the dialog did not open\n");
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 60000));
        t0 = Clock::now();
        host_caption_ok(dlg);
        cpl.join();
        closing.push_back(ms_since(t0));
        host_wait_closed(dlg, 5000);
    }

    bench::report_ms("indicator latency", latency);
    bench::report_ms("close time", closing);
    std::printf("%-22s %zu of %zu closes\n", "forced stops", host_threads_terminated() - forced,
                closing.size());
    std::printf("%-22s %zu\n", "driver handles open", host_open_handles("device"));
    host_unload_module(lib);
    std::string cmd = std::string("rm -rf '") + templ + "'";
    return std::system(cmd.c_str()) == 0 ? 0 : 1;
}
