// Kernel side of the stand-in: the thread's last error, the device
// namespace ("GPI1:" is the simulated board's driver), device requests,
// power, interlocked operations and faults.
#include "host.h"
#include "../platform.h"
#include "include/host_control.h"

#include "board/board.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

thread_local DWORD t_last_error = 0;
// Counted per shard of the handle table, so that threads opening and
// closing at once do not all write one word.
struct alignas(128) DeviceCounts {
    std::atomic<size_t> opens{0}, closes{0};
};
DeviceCounts g_device_counts[8];
DeviceCounts &my_counts() { return g_device_counts[host::thread_shard()]; }

void board_error(const board::Error &e);

// An open handle on the GPIO/PWM driver.  The board counts each process's
// open handles, so that one left open (by a thread ended by force, say)
// shows in 'board status'.  Its reference counts change on every request:
// the padding keeps them two lines away from those of any other
// allocation, so handles of threads on different cores never share a line
// (an over-aligned type would cost an aligned allocation each open).
struct Device : host::KernelObject {
    char padding[128];
    const char *kind() const override { return "device"; }
    void close() override
    {
        ++my_counts().closes;
        try {
            board::handle_closed();
        } catch (const board::Error &e) {
            board_error(e);
        }
        board::trace("close");
    }
};

bool is_device_name(LPCWSTR name)
{
    size_t n = wcslen(name);
    return n >= 2 && name[n - 1] == u':';
}

// Reports a board folder that cannot be used, once, and fails the call.
void board_error(const board::Error &e)
{
    std::fprintf(stderr, "host stand-in: %s\n", e.message.c_str());
    SetLastError(ERROR_GEN_FAILURE);
}

}  // namespace

CE_API DWORD GetLastError(void) { return t_last_error; }

CE_API void SetLastError(DWORD error) { t_last_error = error; }

CE_API HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                          DWORD disposition, DWORD flags, HANDLE templ)
{
    host::KernelCall call;
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (!is_device_name(name)) {
        host::not_implemented("CreateFileW on files");
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return INVALID_HANDLE_VALUE;
    }
    if (!host::equal_nocase(name, u"GPI1:")) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // The driver is opened one way only: no access rights, no sharing, no
    // security, open-existing, no flags, no template.
    if (access != 0 || share != 0 || sa != nullptr || disposition != OPEN_EXISTING || flags != 0 ||
        templ != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    try {
        // The open validates the board once and counts the handle; the
        // handle's requests then reach the mapped state without a system
        // call.
        if (!board::open_device()) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
    } catch (const board::Error &e) {
        board_error(e);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE h = host::handle_insert(std::make_shared<Device>());
    ++my_counts().opens;
    board::trace("open");
    return h;
}

CE_API BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                            DWORD out_size, LPDWORD returned, LPOVERLAPPED overlapped)
{
    host::KernelCall call;
    if (!host::handle_get_as<Device>(device)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (overlapped) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // The request as it went out: the driver may answer into the same record.
    // Built only when a trace is written, since each request is cheap.
    bool tracing = board::tracing();
    std::string sent;
    if (tracing)
        sent = board::request_sent(code, in, in_size);
    board::Result r;
    try {
        r = board::device_request(code, in, in_size, out, out_size);
    } catch (const board::Error &e) {
        board_error(e);
        return FALSE;
    }
    if (tracing)
        board::trace(sent + board::request_answer(code, r, out));
    if (r.fault)
        RaiseException(EXCEPTION_ACCESS_VIOLATION, 0, 0, nullptr);
    if (returned)
        *returned = r.returned;
    if (!r.ok) {
        SetLastError(r.error);
        return FALSE;
    }
    return TRUE;
}

// INVALID_HANDLE_VALUE is no handle on the board (its pseudo-handles for
// the current process and thread are other values): closing it fails with
// ERROR_INVALID_HANDLE like any value that is not open.  Desktop Windows
// takes it for the current process and answers TRUE; the board's way is kept.
CE_API BOOL CloseHandle(HANDLE object)
{
    host::KernelCall call;
    std::shared_ptr<host::KernelObject> o = host::handle_remove(object);
    if (!o) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    o->close();
    return TRUE;
}

CE_API void GwesPowerOffSystem(void)
{
    host::KernelCall call;
    try {
        board::set_power(false, true);
        board::trace("poweroff");
    } catch (const board::Error &e) {
        board_error(e);
    }
}

CE_API LONG InterlockedExchange(LONG *target, LONG value)
{
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}

CE_API LONG InterlockedCompareExchange(LONG *target, LONG exchange, LONG comparand)
{
    __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return comparand;
}

CE_API LONG InterlockedIncrement(LONG *target)
{
    return __atomic_add_fetch(target, 1, __ATOMIC_SEQ_CST);
}

CE_API LONG InterlockedDecrement(LONG *target)
{
    return __atomic_sub_fetch(target, 1, __ATOMIC_SEQ_CST);
}

CE_API void RaiseException(DWORD code, DWORD, DWORD, const ULONG_PTR *)
{
    host::KernelCall call;
    throw ce_fault{code};
}

// The structured-handler helpers: a fault is a ce_fault exception here.
extern "C" void platform_try_finally(PLATFORM_BODY body, PLATFORM_BODY cleanup, void *context)
{
    try {
        body(context);
    } catch (...) {
        cleanup(context);
        throw;
    }
    cleanup(context);
}

extern "C" BOOL platform_try_except(PLATFORM_BODY body, void *context)
{
    try {
        body(context);
    } catch (const ce_fault &) {
        return FALSE;
    }
    return TRUE;
}

CE_API size_t host_device_opens(void)
{
    size_t n = 0;
    for (const DeviceCounts &c : g_device_counts)
        n += c.opens;
    return n;
}

CE_API size_t host_device_closes(void)
{
    size_t n = 0;
    for (const DeviceCounts &c : g_device_counts)
        n += c.closes;
    return n;
}
