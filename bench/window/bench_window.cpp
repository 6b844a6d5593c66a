// Cost of the window system's messages: a poll thread setting an indicator
// of a dialog that runs on another thread (the GPIO test dialog sends up to
// 180 such messages a second), and a user's click.
#include "ce_host.h"
#include "host_window.h"

#include <benchmark/benchmark.h>

#include <thread>
#include <vector>

namespace {

// A dialog with one auto radio button, id 1010.
std::vector<WORD> indicator_template()
{
    std::vector<WORD> w = {WS_VISIBLE & 0xFFFF, (WS_POPUP | WS_VISIBLE | WS_CAPTION) >> 16, 0, 0,
                           1, 0, 0, 89, 142, 0, 0, u'P', 0};
    if (w.size() % 2)
        w.push_back(0);
    DWORD style = WS_CHILD | WS_VISIBLE | BS_AUTORADIOBUTTON;
    w.insert(w.end(), {WORD(style & 0xFFFF), WORD(style >> 16), 0, 0, 57, 14, 10, 10, 1010, 0xFFFF,
                       0x0080, 0, 0});
    return w;
}

INT_PTR CALLBACK quiet_proc(HWND, UINT msg, WPARAM, LPARAM) { return msg == WM_INITDIALOG; }

struct Running {
    std::vector<WORD> templ = indicator_template();
    std::thread thread;
    HWND dlg = nullptr;
    Running()
    {
        thread = std::thread([this] {
            DialogBoxIndirectParamW(nullptr, reinterpret_cast<const DLGTEMPLATE *>(templ.data()),
                                    nullptr, quiet_proc, 0);
        });
        dlg = host_wait_dialog(5000);
    }
    ~Running()
    {
        EndDialog(dlg, 0);
        thread.join();
    }
};

void BM_SetCheckFromPollThread(benchmark::State &state)
{
    Running r;
    WPARAM level = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(SendDlgItemMessageW(r.dlg, 1010, BM_SETCHECK, level ^= 1, 0));
}
BENCHMARK(BM_SetCheckFromPollThread)->UseRealTime();

// A user's click: handed to the dialog's thread, which checks the radio
// button and sends WM_COMMAND to the dialog procedure, then answers.
void BM_ClickFromAnotherThread(benchmark::State &state)
{
    Running r;
    for (auto _ : state)
        benchmark::DoNotOptimize(host_click(r.dlg, 1010));
}
BENCHMARK(BM_ClickFromAnotherThread)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
