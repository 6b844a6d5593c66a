/*
 * The board's windows.h for the board-compile check only: the desktop's,
 * then what the board's kernel headers declare otherwise or in addition.
 * The board's own build takes the platform's headers.
 */
#ifndef CE_CHECK_WINDOWS_H
#define CE_CHECK_WINDOWS_H

/* The desktop's program entry takes a narrow command line, the board's
   (below) a wide one. */
#define WinMain DesktopWinMain
#include_next <windows.h>
#undef WinMain

#ifdef __cplusplus
extern "C" {
#endif

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int show);

/* The debug output: one formatted wide line. */
void NKDbgPrintfW(LPCWSTR format, ...);

/* The interlocked calls take a plain LONG *: a flag declared volatile is
   refused, as by the board's compiler. */
LONG WINAPI BoardInterlockedExchange(LONG *target, LONG value);
LONG WINAPI BoardInterlockedCompareExchange(LONG *target, LONG exchange, LONG comparand);
LONG WINAPI BoardInterlockedIncrement(LONG *target);
LONG WINAPI BoardInterlockedDecrement(LONG *target);

#ifdef __cplusplus
}
#endif

#undef InterlockedExchange
#undef InterlockedCompareExchange
#undef InterlockedIncrement
#undef InterlockedDecrement
#define InterlockedExchange BoardInterlockedExchange
#define InterlockedCompareExchange BoardInterlockedCompareExchange
#define InterlockedIncrement BoardInterlockedIncrement
#define InterlockedDecrement BoardInterlockedDecrement

#endif
