/*
 * Desktop Windows lacks some calls that the board's platform has, and
 * reads one differently.  These stand in for them so the same product
 * sources build and behave alike as desktop binaries.
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

/* "GPI1:" is the served board when BOARD_GPI1 names one (served.cpp);
   every other name and handle is the system's. */
HANDLE PlatformCreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                           DWORD disposition, DWORD flags, HANDLE templ);
BOOL PlatformDeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                             DWORD out_size, LPDWORD returned, LPOVERLAPPED overlapped);
BOOL PlatformCloseHandle(HANDLE object);
/* Powers the served board off; FALSE when no board is served. */
BOOL platform_served_power_off(void);
#define CreateFileW PlatformCreateFileW
#define DeviceIoControl PlatformDeviceIoControl
#define CloseHandle PlatformCloseHandle

/* The board's "power the system off": the served board's power, else on a
   desktop ask Windows to shut down and power off (the caller's privileges
   decide). */
static inline void GwesPowerOffSystem(void)
{
    if (!platform_served_power_off())
        ExitWindowsEx(EWX_SHUTDOWN | EWX_POWEROFF, SHTDN_REASON_MAJOR_OTHER | SHTDN_REASON_FLAG_PLANNED);
}

/* The board's registry ignores the access mask (its callers pass 0) and
   every key it opens may be read and written; a desktop key opened with
   0 allows nothing, so a write would fail with ERROR_ACCESS_DENIED. */
static inline LONG PlatformRegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access,
                                         PHKEY result)
{
    return RegOpenKeyExW(key, subKey, options, access ? access : KEY_READ | KEY_WRITE, result);
}
#define RegOpenKeyExW PlatformRegOpenKeyExW

/* The board's program entry takes a wide command line. */
#define WinMain wWinMain

#endif
