/*
 * Pinvane: GPIO test.  Nine check boxes drive pins 1 to 9; a poll thread
 * reads the same nine pins every 50 ms and mirrors them, active-low, into
 * nine indicators.  All pin access goes through kestrin.
 */
#include "../../platform/platform.h"
#include "../../gpio/kestrin.h"
#include "../frame/frame.h"
#include "resource.h"

#define PIN_COUNT 9
#define POLL_PERIOD_MS 50
#define CLOSE_WAIT_PASSES 200

static INT_PTR CALLBACK PinvaneDlgProc(HWND hDlg, UINT msg, WPARAM wParam, LPARAM lParam);

const AppletInfo g_applet = {
    TEXT("Pinvane.cpl"),
    IDD_PINVANE,
    IDI_PINVANE,
    4,
    TEXT("SRC\\APPS\\Pinvane\\pinvane"),
    47,
    FALSE,
    PinvaneDlgProc,
};

/* Shared by the dialog thread and the poll thread.  The two flags are only
   touched through the interlocked calls: running is cleared by the dialog
   thread, finished set by the poll thread.  They are plain LONG, which the
   interlocked calls take on every platform (the board's take LONG *). */
static HWND g_hDlg;
static LONG g_running;
static LONG g_finished;
static HANDLE g_hPollThread;

static LONG ReadFlag(LONG *flag)
{
    return InterlockedCompareExchange(flag, 0, 0);
}

/* One pass over the nine pins: a pin read low shows checked, high cleared;
   a failed read leaves its indicator as it was.  The pass gives up as soon
   as the dialog asks it to stop, also between a read and its update.  An
   update already sent when the dialog asks waits for the dialog thread,
   which serves it while it waits for this thread to finish. */
static void ShowInputs(void)
{
    int pin;
    for (pin = 1; pin <= PIN_COUNT && ReadFlag(&g_running) == 1; pin++) {
        LONG level = 0;
        if (gpio_getPin(pin, &level) && ReadFlag(&g_running) == 1)
            SendDlgItemMessageW(g_hDlg, IDC_INPUT1 + pin - 1, BM_SETCHECK,
                                level == 0 ? BST_CHECKED : BST_UNCHECKED, 0);
    }
}

static DWORD WINAPI PollThread(LPVOID param)
{
    (void)param;
    while (ReadFlag(&g_running) == 1) {
        ShowInputs();
        Sleep(POLL_PERIOD_MS);
    }
    InterlockedExchange(&g_finished, 1);
    return 0;
}

static void StartPolling(HWND hDlg)
{
    g_hDlg = hDlg;
    InterlockedExchange(&g_running, 1);
    InterlockedExchange(&g_finished, 0);
    g_hPollThread = CreateThread(NULL, 0, PollThread, NULL, 0, NULL);
}

/* Lets through the indicator updates the poll thread has sent meanwhile:
   the thread may have found running set just before the dialog cleared
   it, and then waits in its send until this thread handles it.  Posted
   messages stay queued. */
static void ServeSentUpdates(void)
{
    MSG msg;
    PeekMessageW(&msg, NULL, 0, 0, PM_NOREMOVE);
}

/* Asks the poll thread to leave its loop and waits for it to do so, serving
   its updates between the sleeps; only a thread that has not finished after
   the whole wait is ended by force, so a pin call in progress is allowed to
   close its driver handle. */
static void StopPolling(void)
{
    int pass;
    InterlockedExchange(&g_running, 0);
    NKDbgPrintfW(TEXT("+ close\r\n"));
    if (g_hPollThread != NULL) {
        for (pass = 0; pass < CLOSE_WAIT_PASSES && ReadFlag(&g_finished) == 0; pass++) {
            ServeSentUpdates();
            Sleep(1);
        }
        if (ReadFlag(&g_finished) == 0)
            TerminateThread(g_hPollThread, 0);
        CloseHandle(g_hPollThread);
        g_hPollThread = NULL;
    }
    NKDbgPrintfW(TEXT("- close\r\n"));
}

/* Drives all nine pins from the nine check boxes, whichever was clicked. */
static void WriteOutputs(HWND hDlg)
{
    int pin;
    for (pin = 1; pin <= PIN_COUNT; pin++) {
        LRESULT state = SendDlgItemMessageW(hDlg, IDC_PORT1 + pin - 1, BM_GETCHECK, 0, 0);
        gpio_setPin(pin, state == BST_CHECKED ? 1 : 0);
    }
}

static INT_PTR CALLBACK PinvaneDlgProc(HWND hDlg, UINT msg, WPARAM wParam, LPARAM lParam)
{
    (void)lParam;
    switch (msg) {
    case WM_INITDIALOG:
        StartPolling(hDlg);
        return TRUE;

    case WM_DESTROY:
    case WM_CLOSE:
        if (ReadFlag(&g_running) == 1)
            StopPolling();
        return FALSE;

    case WM_COMMAND:
        if (LOWORD(wParam) >= IDC_PORT1 && LOWORD(wParam) <= IDC_PORT9)
            WriteOutputs(hDlg);
        else if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)
            EndDialog(hDlg, 1);
        return FALSE;
    }
    return FALSE;
}
