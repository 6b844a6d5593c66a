/*
 * The structured-handler helpers on desktop Windows, where the compiler has
 * no __try.  A vectored handler sends a fault raised inside a guarded body
 * back to the guard's own frame; the frames form a per-thread chain, so
 * guards nest.
 */
#include "../platform.h"

struct guard_frame {
    void *jump[5];
    guard_frame *outer;
    DWORD code;
};

static DWORD g_slot = TLS_OUT_OF_INDEXES;
static PVOID g_handler;

static bool is_fault(DWORD code)
{
    /* Errors that the system raises (access violations, division by zero,
       stack overflow...): severity "error", not a customer code, so neither
       C++ exceptions, debug strings, thread names nor breakpoints. */
    return (code & 0xE0000000u) == 0xC0000000u;
}

static LONG CALLBACK guard_handler(EXCEPTION_POINTERS *pointers)
{
    guard_frame *frame = (guard_frame *)TlsGetValue(g_slot);
    if (!frame || !is_fault(pointers->ExceptionRecord->ExceptionCode))
        return EXCEPTION_CONTINUE_SEARCH;
    frame->code = pointers->ExceptionRecord->ExceptionCode;
    TlsSetValue(g_slot, frame->outer);
    __builtin_longjmp(frame->jump, 1);
}

static void guard_install(void)
{
    if (g_slot == TLS_OUT_OF_INDEXES) {
        DWORD slot = TlsAlloc();
        if (InterlockedCompareExchange((LONG volatile *)&g_slot, (LONG)slot, (LONG)TLS_OUT_OF_INDEXES) !=
            (LONG)TLS_OUT_OF_INDEXES)
            TlsFree(slot);
    }
    if (!g_handler) {
        PVOID handler = AddVectoredExceptionHandler(1, guard_handler);
        if (InterlockedCompareExchangePointer(&g_handler, handler, NULL) != NULL)
            RemoveVectoredExceptionHandler(handler);
    }
}

/* Runs body under a guard frame; 0 when it ended normally, else the
   code of the fault that ended it. */
static DWORD __attribute__((noinline)) guarded_run(PLATFORM_BODY body, void *context)
{
    guard_frame frame;
    guard_install();
    frame.outer = (guard_frame *)TlsGetValue(g_slot);
    frame.code = 0;
    if (__builtin_setjmp(frame.jump) == 0) {
        TlsSetValue(g_slot, &frame);
        body(context);
        TlsSetValue(g_slot, frame.outer);
        return 0;
    }
    return frame.code;
}

void platform_try_finally(PLATFORM_BODY body, PLATFORM_BODY cleanup, void *context)
{
    DWORD code = guarded_run(body, context);
    cleanup(context);
    if (code)
        RaiseException(code, 0, 0, NULL);
}

BOOL platform_try_except(PLATFORM_BODY body, void *context)
{
    return guarded_run(body, context) == 0;
}
