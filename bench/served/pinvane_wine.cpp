// Pinvane.cpl under Wine on the served board, run as Wine's control.exe
// runs it (CPL_INIT, CPL_DBLCLK on a thread of this program):
//  - indicator latency: from a change of pin 1's level to the change of
//    its indicator.  The change is a set request of this program through
//    the served driver (kestrin.dll's gpio_setPin), as a program under Wine
//    cannot apply a level from outside; the poll thread reads it as it
//    would read one;
//  - close time: from the caption's OK (IDOK) to CPL_DBLCLK returning;
//    a close that took Pinvane's whole wait (200 passes of at least 1 ms)
//    ended its poll thread by force.
// Prints p50, p90, p99 and the largest of each, in milliseconds.  With
// ROUNDS 0 only the closes are timed (so with no GPI1: at all, too).
// Usage: bench_pinvane_wine FOLDER [ROUNDS [CLOSES]]  (FOLDER: Pinvane.cpl and kestrin.dll)
#include "bench/timing.h"
#include <windows.h>
#include <cpl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using bench::Clock;
using bench::ms_since;
typedef BOOL(WINAPI *SetPinFn)(LONG, LONG);

const int kIndicator1 = 1010;

HWND wait_dialog(int ms)
{
    Clock::time_point t0 = Clock::now();
    while (ms_since(t0) < ms) {
        HWND dlg = FindWindowW(NULL, L"Pinvane");
        if (dlg && IsWindowVisible(dlg))
            return dlg;
        Sleep(1);
    }
    return NULL;
}

// Waits for pin 1's indicator to show want; false after 2 s.  Each look
// is a message to the dialog's thread, so it looks each half millisecond,
// not more often: the looks would take the dialog's time.
bool wait_indicator(HWND dlg, LRESULT want)
{
    Clock::time_point t0 = Clock::now();
    while (ms_since(t0) < 2000) {
        if (SendDlgItemMessageW(dlg, kIndicator1, BM_GETCHECK, 0, 0) == want)
            return true;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return false;
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_pinvane_wine FOLDER [ROUNDS [CLOSES]]\n");
        return 2;
    }
    std::wstring folder = argv[1];
    int rounds = argc > 2 ? _wtoi(argv[2]) : 100;
    int closes = argc > 3 ? _wtoi(argv[3]) : rounds / 2;
    HMODULE kestrin = LoadLibraryW((folder + L"\\kestrin.dll").c_str());
    HMODULE cpl = LoadLibraryW((folder + L"\\Pinvane.cpl").c_str());
    SetPinFn setPin = kestrin ? (SetPinFn)(void *)GetProcAddress(kestrin, "gpio_setPin") : NULL;
    APPLET_PROC applet = cpl ? (APPLET_PROC)(void *)GetProcAddress(cpl, "CPlApplet") : NULL;
    if (!setPin || !applet || rounds < 0 || closes < 1) {
        std::fprintf(stderr, "cannot load Pinvane.cpl and kestrin.dll from the folder\n");
        return 1;
    }
    auto run_dialog = [&] {
        applet(NULL, CPL_INIT, 0, 0);
        applet(NULL, CPL_DBLCLK, 0, 0);
    };
    std::mt19937 random(12345);

    std::vector<double> latency;
    if (rounds > 0) {
        setPin(1, 0);
        std::thread dialog(run_dialog);
        HWND dlg = wait_dialog(20000);
        if (!dlg || !wait_indicator(dlg, BST_CHECKED)) {
            std::fprintf(stderr, "the dialog did not come up (is GPI1: served?)\n");
            return 1;
        }
        for (int i = 0; i < rounds; ++i) {
            LONG level = i % 2 == 0 ? 1 : 0;
            // Changes land anywhere in the poll period.
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 50000));
            Clock::time_point t0 = Clock::now();
            setPin(1, level);
            if (!wait_indicator(dlg, level == 0 ? BST_CHECKED : BST_UNCHECKED)) {
                std::fprintf(stderr, "the indicator did not follow pin 1\n");
                return 1;
            }
            latency.push_back(ms_since(t0));
        }
        SendMessageW(dlg, WM_COMMAND, IDOK, 0);
        dialog.join();
    }

    std::vector<double> closing;
    int forced = 0;
    for (int i = 0; i < closes; ++i) {
        std::thread dialog(run_dialog);
        HWND dlg = wait_dialog(20000);
        if (!dlg) {
            std::fprintf(stderr, "the dialog did not open\n");
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 60000));
        Clock::time_point t0 = Clock::now();
        PostMessageW(dlg, WM_COMMAND, IDOK, 0);
        dialog.join();
        double ms = ms_since(t0);
        closing.push_back(ms);
        if (ms >= 200)
            ++forced;
        while (IsWindow(dlg))
            Sleep(1);
    }
    if (!latency.empty())
        bench::report_ms("indicator latency", latency);
    bench::report_ms("close time", closing);
    std::printf("%-22s %d of %zu closes\n", "forced stops", forced, closing.size());
    return 0;
}
