// Internals shared by the stand-in's modules: the kernel handle table
// (handles.cpp), text conversion between the platform's UTF-16 and the
// host's UTF-8, the points where a terminated thread may end and the wait
// for a module's threads (thread.cpp), the report of a call the stand-in
// does not provide (not_implemented.cpp), the platform's wide printf and
// the debug output (debug.cpp), and the guard around every use of the
// board's registry file (registry.cpp).
#pragma once

#ifndef CEPLAT_INTERNAL
#error "a private header of the platform stand-in: use its public headers (platform/host/include)"
#endif

#include "include/ce_host.h"

#include "common/text.h"

#include <functional>
#include <memory>
#include <string>

namespace host {

// A kernel object reached through a HANDLE.  Closing the last handle
// destroys the object; close() runs when its handle is closed.
struct KernelObject {
    virtual ~KernelObject() = default;
    virtual const char *kind() const = 0;
    virtual void close() {}
};

HANDLE handle_insert(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> handle_get(HANDLE handle);
template <class T> std::shared_ptr<T> handle_get_as(HANDLE handle)
{
    return std::dynamic_pointer_cast<T>(handle_get(handle));
}
// Takes the handle out of the table; null when it was not open.
std::shared_ptr<KernelObject> handle_remove(HANDLE handle);
// The calling thread's shard of the handle table (0 to 7), for counters
// that threads would otherwise all write to.
size_t thread_shard();

// Text conversion between the platform's UTF-16 and the host's UTF-8.
using text::equal_nocase;
using text::to_utf16;
using text::to_utf8;

// Marks the calling thread as inside a stand-in call for its lifetime: a
// TerminateThread meanwhile takes effect as the outermost such call ends,
// so a terminated thread never stops holding a lock of the stand-in, of the
// board or of the allocator.  Every call product code can make that takes
// a lock or allocates opens with one.
class KernelCall {
public:
    KernelCall();
    ~KernelCall();
    KernelCall(const KernelCall &) = delete;
    KernelCall &operator=(const KernelCall &) = delete;
};
// Inside a stand-in call, marks a call into product code (a dialog
// procedure, a thread's routine) that holds nothing of the stand-in:
// TerminateThread takes effect there at once.  A thread already being
// terminated parks as it would enter it.
class ProductCode {
public:
    ProductCode();
    ~ProductCode();
    ProductCode(const ProductCode &) = delete;
    ProductCode &operator=(const ProductCode &) = delete;

private:
    int saved_;
};

// On a thread that TerminateThread has been called on, ends it: the thread
// parks there for good.  Elsewhere returns.  For the stand-in's own long
// waits; call it with no lock held.
void end_if_terminated();
// Whether TerminateThread has been called on this thread (false on threads
// the stand-in did not create).  Takes no lock.
bool terminate_requested();
// On a thread the stand-in created: wake runs (on the terminating thread,
// under no lock) when TerminateThread is called on this thread, to end a
// wait of the stand-in's early; parked runs once the thread is ended by
// force, to let go of what other threads could wait for.
void at_thread_wake(std::function<void()> wake);
void at_thread_park(std::function<void()> parked);
// Waits up to timeout_ms for the threads whose start routine lies in the
// module holding address to return.
void wait_module_threads(const void *address, int timeout_ms);

// Reports a platform call the stand-in does not provide, once per call
// name, on stderr; the caller then fails with ERROR_CALL_NOT_IMPLEMENTED.
void not_implemented(const char *call);

}  // namespace host

#include <cstdarg>

namespace host {
// The platform's wide printf formatting, as NKDbgPrintfW applies it.
std::u16string format(LPCWSTR format, va_list args);
// Writes text whole to the debug output.
void debug_write(const std::string &text);
}  // namespace host

#include <functional>

namespace host {
// Runs body against the board's registry file.  A damaged file is reported
// on stderr, naming file and line, and gives corrupt_error; a file that
// cannot be read or written gives io_error.
LONG registry_guarded(LONG corrupt_error, LONG io_error, const std::function<LONG()> &body);
}  // namespace host
