/*
 * Desktop Windows lacks two calls that the board's platform has.  These
 * stand in for them so the same product sources build as desktop binaries.
 */
#ifndef PLATFORM_WIN32_SHIMS_H
#define PLATFORM_WIN32_SHIMS_H

#include <windows.h>
#include <stdarg.h>
#include <stdio.h>
#include <wchar.h>

/* The board's debug output: one formatted wide line to the debugger. */
static inline void NKDbgPrintfW(LPCWSTR format, ...)
{
    WCHAR line[512];
    va_list args;
    va_start(args, format);
    int n = _vsnwprintf(line, sizeof line / sizeof line[0] - 1, format, args);
    va_end(args);
    if (n < 0)
        n = sizeof line / sizeof line[0] - 1;
    line[n] = 0;
    OutputDebugStringW(line);
}

/* The board's "power the system off": on a desktop, ask Windows to shut
   down and power off (the caller's privileges decide). */
static inline void GwesPowerOffSystem(void)
{
    ExitWindowsEx(EWX_SHUTDOWN | EWX_POWEROFF, SHTDN_REASON_MAJOR_OTHER | SHTDN_REASON_FLAG_PLANNED);
}

/* The board's program entry takes a wide command line. */
#define WinMain wWinMain

#endif
