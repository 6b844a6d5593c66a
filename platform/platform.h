/*
 * The one header product code includes.  It gives the platform's calls for
 * the board (the platform's own headers), desktop Windows (windows.h and a
 * few shims for what only the board has) and the Linux host (the stand-in's
 * declarations), and the two structured-handler helpers that read the same
 * on all three.
 */
#ifndef PLATFORM_H
#define PLATFORM_H

#if defined(UNDER_CE)
#include <windows.h>
#include <pwinuser.h> /* GwesPowerOffSystem: OEM header, WINCEOEM=1 */
#include <cpl.h>
#include <ras.h>
#elif defined(_WIN32)
#include <windows.h>
#include <cpl.h>
#include <ras.h>
#include "win32/shims.h"
#else
#include "host/include/ce_host.h"
#endif

/* Stops the build when a record that crosses to the platform or a driver
   lacks the board's size.  The sizes are those at the board's word size
   (32 bits); a build at another word size skips the check. */
#define PLATFORM_RECORD_SIZE(type, size) \
    typedef char type##HasTheBoardsSize[sizeof(void *) != 4 || sizeof(type) == (size) ? 1 : -1]

#ifdef __cplusplus
extern "C" {
#endif

typedef void (*PLATFORM_BODY)(void *context);

#if defined(_WIN32) || defined(UNDER_CE)
/* A library's entry point, declared here so that every module defines it
   alike: with C linkage, under the name the start-up code calls. */
BOOL WINAPI DllMain(HANDLE instance, DWORD reason, LPVOID reserved);
#endif

/* Runs body(context), then cleanup(context) on every way out of it, also
   when body raises a fault; the fault then goes on to the caller. */
void platform_try_finally(PLATFORM_BODY body, PLATFORM_BODY cleanup, void *context);

/* Runs body(context); a fault raised inside it is caught.  FALSE when one
   was caught, TRUE when body ran to its end. */
BOOL platform_try_except(PLATFORM_BODY body, void *context);

#ifdef __cplusplus
}
#endif

#if defined(UNDER_CE)
/* The board's compiler has the platform's own structured handlers. */
inline void platform_try_finally(PLATFORM_BODY body, PLATFORM_BODY cleanup, void *context)
{
    __try {
        body(context);
    } __finally {
        cleanup(context);
    }
}

inline BOOL platform_try_except(PLATFORM_BODY body, void *context)
{
    __try {
        body(context);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        return FALSE;
    }
    return TRUE;
}
#endif

#endif
