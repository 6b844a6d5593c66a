// Threads of the stand-in: CreateThread, WaitForSingleObject on a thread,
// GetExitCodeThread, GetCurrentThreadId, TerminateThread.
//
// A thread is a detached POSIX thread; its kernel object (kind "thread")
// holds its state and lives while a handle or the thread itself holds it.
//
// TerminateThread cannot stop a POSIX thread wherever it stands, as the
// platform does.  A terminated thread ends at its next Sleep (at once if
// it is sleeping, or if it terminates itself) with pthread_exit, whose
// unwinding runs the destructors on its stack (locks held in scope are
// released) but no handler of the thread's own code.  So it is never cut
// off inside the stand-in or the simulated board, where a lock or an open
// state file could be left behind.  A thread that never sleeps again runs
// on; waiting for it then times out.  A thread waiting for a message it
// sent to another thread's window is also such a point, while the message
// is still queued (see run_on_owner).
//
// host_unload_module waits for the threads started in a module to return:
// a thread that has told its owner it is done (a flag, say) still has a few
// instructions of the module's code to run, and must not find them gone.
#include "host.h"
#include "include/host_control.h"

#include <dlfcn.h>
#include <vector>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <pthread.h>
#include <time.h>

namespace {

constexpr DWORD kCreateSuspended = 0x00000004;

std::atomic<DWORD> g_next_id{0x100};
std::atomic<size_t> g_terminated{0};
thread_local DWORD t_id = 0;
struct Thread;
thread_local Thread *t_self = nullptr;  // null on threads the stand-in did not create

DWORD new_thread_id() { return g_next_id.fetch_add(1); }

struct Thread : host::KernelObject {
    const char *kind() const override { return "thread"; }

    LPTHREAD_START_ROUTINE start = nullptr;
    LPVOID param = nullptr;
    DWORD id = 0;
    const void *module = nullptr;  // load address of the module start lies in

    std::mutex lock;
    std::condition_variable ended;  // finished became true
    std::condition_variable woken;  // terminating became true
    bool finished = false;
    bool terminating = false;
    DWORD exit_code = STILL_ACTIVE;
    DWORD terminate_code = 0;

    void finish(bool returned, DWORD code)
    {
        std::lock_guard<std::mutex> guard(lock);
        finished = true;
        exit_code = returned ? code : terminate_code;
        ended.notify_all();
    }
};

// Threads not yet finished, to wait for when their module is unloaded.
std::mutex g_live_lock;
std::vector<std::weak_ptr<Thread>> g_live;

const void *module_base(const void *address)
{
    Dl_info info;
    return dladdr(address, &info) ? info.dli_fbase : nullptr;
}

// Marks the thread finished on every way out: return or cancellation.
struct Finisher {
    Thread &thread;
    bool returned = false;
    DWORD code = 0;
    ~Finisher() { thread.finish(returned, code); }
};

void *thread_main(void *arg)
{
    std::shared_ptr<Thread> self = std::move(*static_cast<std::shared_ptr<Thread> *>(arg));
    delete static_cast<std::shared_ptr<Thread> *>(arg);
    t_id = self->id;
    t_self = self.get();
    Finisher finisher{*self};
    finisher.code = self->start(self->param);
    finisher.returned = true;
    return nullptr;
}

}  // namespace

CE_API HANDLE CreateThread(LPSECURITY_ATTRIBUTES, DWORD, LPTHREAD_START_ROUTINE start, LPVOID param,
                           DWORD flags, LPDWORD thread_id)
{
    if (!start) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (flags & kCreateSuspended) {
        host::not_implemented("CreateThread suspended");
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return nullptr;
    }
    auto thread = std::make_shared<Thread>();
    thread->start = start;
    thread->param = param;
    thread->id = new_thread_id();
    thread->module = module_base(reinterpret_cast<const void *>(start));
    {
        std::lock_guard<std::mutex> guard(g_live_lock);
        g_live.erase(std::remove_if(g_live.begin(), g_live.end(),
                                    [](const std::weak_ptr<Thread> &t) { return t.expired(); }),
                     g_live.end());
        g_live.push_back(thread);
    }
    HANDLE handle = host::handle_insert(thread);

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    auto *arg = new std::shared_ptr<Thread>(thread);
    pthread_t posix;
    int err = pthread_create(&posix, &attr, thread_main, arg);
    pthread_attr_destroy(&attr);
    if (err != 0) {
        delete arg;
        host::handle_remove(handle);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (thread_id)
        *thread_id = thread->id;
    return handle;
}

CE_API BOOL TerminateThread(HANDLE handle, DWORD exit_code)
{
    auto thread = host::handle_get_as<Thread>(handle);
    if (!thread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> guard(thread->lock);
        if (thread->finished || thread->terminating)
            return TRUE;
        thread->terminating = true;
        thread->terminate_code = exit_code;
        ++g_terminated;
        thread->woken.notify_all();
    }
    // A thread that terminates itself ends at once.
    if (thread.get() == t_self) {
        thread.reset();
        pthread_exit(nullptr);
    }
    return TRUE;
}

CE_API DWORD WaitForSingleObject(HANDLE handle, DWORD ms)
{
    auto thread = host::handle_get_as<Thread>(handle);
    if (!thread) {
        if (host::handle_get(handle))
            host::not_implemented("WaitForSingleObject on objects other than threads");
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    std::unique_lock<std::mutex> guard(thread->lock);
    auto finished = [&] { return thread->finished; };
    if (ms == INFINITE)
        thread->ended.wait(guard, finished);
    else if (!thread->ended.wait_for(guard, std::chrono::milliseconds(ms), finished))
        return WAIT_TIMEOUT;
    return WAIT_OBJECT_0;
}

CE_API BOOL GetExitCodeThread(HANDLE handle, LPDWORD exit_code)
{
    auto thread = host::handle_get_as<Thread>(handle);
    if (!thread || !exit_code) {
        SetLastError(thread ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(thread->lock);
    *exit_code = thread->finished ? thread->exit_code : STILL_ACTIVE;
    return TRUE;
}

// A thread being terminated ends here.
CE_API void Sleep(DWORD ms)
{
    if (!t_self) {
        struct timespec ts;
        ts.tv_sec = ms / 1000;
        ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
        while (nanosleep(&ts, &ts) != 0) {
        }
        return;
    }
    {
        std::unique_lock<std::mutex> guard(t_self->lock);
        auto stop = [] { return t_self->terminating; };
        if (ms == INFINITE)
            t_self->woken.wait(guard, stop);
        else
            t_self->woken.wait_for(guard, std::chrono::milliseconds(ms), stop);
    }
    host::end_if_terminated();
}

namespace host {

void wait_module_threads(const void *address, int timeout_ms)
{
    const void *base = module_base(address);
    if (!base)
        return;
    std::vector<std::shared_ptr<Thread>> running;
    {
        std::lock_guard<std::mutex> guard(g_live_lock);
        for (auto &weak : g_live)
            if (auto t = weak.lock())
                if (t->module == base && t.get() != t_self)
                    running.push_back(t);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (auto &t : running) {
        std::unique_lock<std::mutex> guard(t->lock);
        t->ended.wait_until(guard, deadline, [&] { return t->finished; });
    }
}

bool terminate_requested()
{
    if (!t_self)
        return false;
    std::lock_guard<std::mutex> guard(t_self->lock);
    return t_self->terminating;
}

void end_if_terminated()
{
    if (terminate_requested())
        pthread_exit(nullptr);
}

}  // namespace host

CE_API DWORD GetCurrentThreadId(void)
{
    if (t_id == 0)
        t_id = new_thread_id();
    return t_id;
}

CE_API size_t host_threads_terminated(void) { return g_terminated; }
