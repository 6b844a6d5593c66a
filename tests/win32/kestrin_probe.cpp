// Runs kestrin.dll and the structured-handler helpers on desktop Windows
// (under Wine): the library is loaded by name from the folder given on the
// command line and reached only through its exports, as an applet reaches
// it; the helpers are the product's own build of platform/win32/guard.cpp.
//
// With "board" after the folder, the library is run against the board its
// GPI1: is served from (BOARD_GPI1) instead; with "sequence" it makes the
// calls the host's comparison makes with pinctl, and checks nothing.
//
// Prints "ok NAME" or "FAIL NAME: why" per check; exits with the number of
// failed checks.
#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/platform.h"
#include "probe_report.h"

namespace {

using probe::check;
using probe::number;

// Runs fn on n threads at once, one context each; the sum of their exit codes.
DWORD sum_of_threads(LPTHREAD_START_ROUTINE fn, void *const *contexts, int n)
{
    HANDLE threads[8];
    for (int i = 0; i < n; ++i)
        threads[i] = CreateThread(NULL, 0, fn, contexts[i], 0, NULL);
    WaitForMultipleObjects(n, threads, TRUE, INFINITE);
    DWORD sum = 0;
    for (int i = 0; i < n; ++i) {
        DWORD code = 0;
        GetExitCodeThread(threads[i], &code);
        sum += code;
        CloseHandle(threads[i]);
    }
    return sum;
}

typedef BOOL(WINAPI *SetPinFn)(LONG, LONG);
typedef BOOL(WINAPI *GetPinFn)(LONG, LONG *);
typedef void(WINAPI *PowerOffFn)(void);

// kestrin.dll loaded from folder, its three exports.
struct Kestrin {
    HMODULE library = NULL;
    SetPinFn setPin = NULL;
    GetPinFn getPin = NULL;
    PowerOffFn powerOff = NULL;
};

// False (with a failed check) when it does not load or lacks an export.
bool load_kestrin(const std::wstring &folder, Kestrin *k)
{
    std::wstring path = folder + L"\\kestrin.dll";
    k->library = LoadLibraryW(path.c_str());
    check(k->library != NULL, "kestrin loads", "LoadLibrary error " + number(GetLastError()));
    if (!k->library)
        return false;
    k->setPin = (SetPinFn)(void *)GetProcAddress(k->library, "gpio_setPin");
    k->getPin = (GetPinFn)(void *)GetProcAddress(k->library, "gpio_getPin");
    k->powerOff = (PowerOffFn)(void *)GetProcAddress(k->library, "gpio_gwesPowerOffSystem");
    check(k->setPin && k->getPin && k->powerOff, "kestrin exports resolve by name");
    return k->setPin && k->getPin && k->powerOff;
}

// The library against the served board: the driver's answers come back,
// threads each get their own, and the power off reaches the board (the
// script looks at the board afterwards).
void check_on_board(const std::wstring &folder)
{
    Kestrin k;
    if (!load_kestrin(folder, &k))
        return;
    check(k.setPin(3, 5) != 0, "on the board: setPin(3, 5) is accepted");
    LONG level = 7;
    BOOL got = k.getPin(3, &level);
    check(got && level == 1, "on the board: pin 3 reads back high", "result " + number(got) + ", level " + number(level));
    check(k.setPin(4, 0) != 0, "on the board: setPin(4, 0) is accepted");
    level = 7;
    got = k.getPin(4, &level);
    check(got && level == 0, "on the board: pin 4 reads back low", "result " + number(got) + ", level " + number(level));
    level = 7;
    got = k.getPin(70, &level);
    check(!got && level == 0, "on the board: pin 70 is refused, the record's level handed on",
          "result " + number(got) + ", level " + number(level));
    check(!k.setPin(-1, 1), "on the board: setPin(-1) is refused");

    // Four threads, each driving its own pin up and down and reading it back;
    // each leaves its pin at the level of its number's parity.
    struct Worker {
        Kestrin *k;
        LONG pin;
        static DWORD WINAPI run(void *context)
        {
            Worker *w = (Worker *)context;
            DWORD wrong = 0;
            for (int i = 0; i <= 50 + w->pin % 2; ++i) {
                LONG want = i % 2, value = 9;
                if (!w->k->setPin(w->pin, want) || !w->k->getPin(w->pin, &value) || value != want)
                    ++wrong;
            }
            return wrong;
        }
    };
    Worker workers[4] = {{&k, 20}, {&k, 21}, {&k, 22}, {&k, 23}};
    void *contexts[4] = {&workers[0], &workers[1], &workers[2], &workers[3]};
    DWORD wrong = sum_of_threads(Worker::run, contexts, 4);
    check(wrong == 0, "on the board: four threads at once each get their own answers", number(wrong) + " wrong");

    k.powerOff();
    check(true, "on the board: the power off returns");
    FreeLibrary(k.library);
}

// The calls the host's side of the comparison makes with pinctl.
void run_sequence(const std::wstring &folder)
{
    Kestrin k;
    if (!load_kestrin(folder, &k))
        return;
    LONG level;
    k.setPin(3, 5);
    k.setPin(4, 0);
    k.getPin(3, &level);
    k.getPin(4, &level);
    k.powerOff();
    FreeLibrary(k.library);
}

void check_library(const std::wstring &folder)
{
    Kestrin k;
    if (!load_kestrin(folder, &k))
        return;
    HMODULE library = k.library;
    SetPinFn setPin = k.setPin;
    GetPinFn getPin = k.getPin;

    // No "GPI1:" device on a desktop: both calls fail, the level stays.
    LONG level = 0x5A5A;
    SetLastError(0);
    BOOL got = getPin(1, &level);
    check(!got && level == 0x5A5A, "getPin without device fails and leaves the level",
          "result " + number(got) + ", level " + number(level));
    check(!setPin(3, 2), "setPin without device fails");

    // A null level pointer is refused before the device is even tried.
    SetLastError(0);
    got = getPin(1, NULL);
    DWORD error = GetLastError();
    check(!got && error == ERROR_INVALID_PARAMETER, "getPin with null level is refused",
          "result " + number(got) + ", error " + number(error));

    // Several threads at once: every call still answers for itself.
    struct Worker {
        static DWORD WINAPI run(void *context)
        {
            GetPinFn fn = *(GetPinFn *)context;
            DWORD wrong = 0;
            for (int i = 0; i < 200; ++i) {
                LONG value = i;
                if (fn(1 + i % 9, &value) || value != i)
                    ++wrong;
            }
            return wrong;
        }
    };
    void *contexts[4] = {&getPin, &getPin, &getPin, &getPin};
    DWORD wrong = sum_of_threads(Worker::run, contexts, 4);
    check(wrong == 0, "getPin from four threads at once", number(wrong) + " wrong answers");

    FreeLibrary(library);
}

// --- structured-handler helpers ---------------------------------------

// Volatile, so that no count moves across the faulting instruction.
struct Trace {
    volatile int entered = 0;
    volatile int after_fault = 0;
    volatile int cleanups = 0;
};

void fault_write(void *context)
{
    Trace *trace = (Trace *)context;
    ++trace->entered;
    *(volatile int *)(ULONG_PTR)0 = 1;  // a real access violation
    ++trace->after_fault;
}

void fault_divide(void *context)
{
    Trace *trace = (Trace *)context;
    ++trace->entered;
    volatile int zero = 0;
    volatile int result = 7 / zero;
    (void)result;
    ++trace->after_fault;
}

void quiet_body(void *context)
{
    ++((Trace *)context)->entered;
}

void cleanup(void *context)
{
    ++((Trace *)context)->cleanups;
}

void finally_around_fault(void *context)
{
    platform_try_finally(fault_write, cleanup, context);
    ++((Trace *)context)->after_fault;  // never reached: the fault goes on
}

void inner_guard_then_go_on(void *context)
{
    Trace *trace = (Trace *)context;
    if (!platform_try_except(fault_write, context))
        ++trace->cleanups;  // counts the caught inner fault
}

// Faults below the severity "error" (debug strings, customer codes) are
// not the guard's business: they pass on to whoever handles them.
const DWORD kCustomerCode = 0xE0001234;
LONG CALLBACK continue_customer_code(EXCEPTION_POINTERS *pointers)
{
    if (pointers->ExceptionRecord->ExceptionCode == kCustomerCode)
        return EXCEPTION_CONTINUE_EXECUTION;
    return EXCEPTION_CONTINUE_SEARCH;
}

void raise_customer_code(void *context)
{
    ++((Trace *)context)->entered;
    RaiseException(kCustomerCode, 0, 0, NULL);
    OutputDebugStringW(L"kestrin_probe: debug string inside a guard\r\n");
    ++((Trace *)context)->after_fault;
}

DWORD WINAPI guarded_thread(void *context)
{
    DWORD caught = 0;
    for (int i = 0; i < 50; ++i)
        if (!platform_try_except(fault_write, context))
            ++caught;
    return caught;
}

void check_guards()
{
    Trace t;
    BOOL ok = platform_try_except(quiet_body, &t);
    check(ok && t.entered == 1, "try_except: body without fault runs to its end");

    t = Trace();
    ok = platform_try_except(fault_write, &t);
    check(!ok && t.entered == 1 && t.after_fault == 0, "try_except catches an access violation",
          "result " + number(ok) + ", after fault " + number(t.after_fault));

    t = Trace();
    ok = platform_try_except(fault_divide, &t);
    check(!ok && t.entered == 1 && t.after_fault == 0, "try_except catches a division by zero",
          "result " + number(ok) + ", after fault " + number(t.after_fault));

    t = Trace();
    platform_try_finally(quiet_body, cleanup, &t);
    check(t.entered == 1 && t.cleanups == 1, "try_finally runs the cleanup once without fault");

    t = Trace();
    ok = platform_try_except(finally_around_fault, &t);
    check(!ok && t.cleanups == 1 && t.after_fault == 0,
          "try_finally cleans up and passes the fault on to the outer guard",
          "result " + number(ok) + ", cleanups " + number(t.cleanups) + ", after " +
              number(t.after_fault));

    t = Trace();
    ok = platform_try_except(inner_guard_then_go_on, &t);
    check(ok && t.cleanups == 1, "nested guards: the inner one catches, the outer body goes on");

    int caught = 0;
    for (int i = 0; i < 1000; ++i) {
        t = Trace();
        if (!platform_try_except(fault_write, &t))
            ++caught;
    }
    check(caught == 1000, "a thousand faults in a row, each caught", number(caught) + " caught");

    Trace traces[2];
    void *contexts[2] = {&traces[0], &traces[1]};
    DWORD total = sum_of_threads(guarded_thread, contexts, 2);
    check(total == 100, "guards on two threads at once", number(total) + " of 100 caught");

    PVOID handler = AddVectoredExceptionHandler(0, continue_customer_code);
    t = Trace();
    ok = platform_try_except(raise_customer_code, &t);
    RemoveVectoredExceptionHandler(handler);
    check(ok && t.after_fault == 1, "non-fault exceptions and debug strings pass through a guard");
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    std::wstring folder = argc > 1 ? argv[1] : L".";
    std::wstring mode = argc > 2 ? argv[2] : L"";
    if (mode == L"board") {
        check_on_board(folder);
    } else if (mode == L"sequence") {
        run_sequence(folder);
    } else {
        check_library(folder);
        check_guards();
    }
    return probe::failures();
}
