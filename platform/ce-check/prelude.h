/*
 * Read first by the board-compile check (-include).  The desktop headers it
 * compiles against (mingw-w64's) know GCC and the desktop's own compiler by
 * their version macros; a Microsoft-mode clang, taken for the latter, needs
 * these two to get through them.
 */
#ifndef CE_CHECK_PRELUDE_H
#define CE_CHECK_PRELUDE_H

#define _X86_ 1

/* The body of MemoryBarrier on 32-bit x86. */
#define __buildmemorybarrier()                                                                       \
    {                                                                                                \
        long barrier = 0;                                                                            \
        _InterlockedOr(&barrier, 0);                                                                 \
    }

#endif
