// Threads of the stand-in: CreateThread, WaitForSingleObject on a thread,
// GetExitCodeThread, GetCurrentThreadId, TerminateThread, Sleep.
//
// A thread is a detached POSIX thread; its kernel object (kind "thread")
// holds its state and lives while a handle or the thread itself holds it.
//
// TerminateThread ends a thread at once, wherever it is, as the platform
// does: the thread runs nothing more of its own, no termination handler
// and no destructor, and what it held stays held (a driver handle it had
// open stays open).  A POSIX thread cannot be destroyed safely, so it is
// stopped for good where it stands instead: a signal of its own makes it
// park there, never to run again, and its kernel object is marked ended.
// Only inside a stand-in call (KernelCall) is that put off until the
// outermost call returns, as the board's kernel finishes a kernel call
// first: so a parked thread never holds a lock of the stand-in or of the
// simulated board, nor the allocator's.  The stand-in's long waits (Sleep,
// a thread's end, a sent message's answer) end early for a thread being
// terminated.  A parked thread's stack stays as it was, so a message it
// sent before it was ended may still point into it.
//
// host_unload_module waits for the threads started in a module to return
// or park: a thread that has told its owner it is done (a flag, say) still
// has a few instructions of the module's code to run, and must not find
// them gone.  A thread still finishing a stand-in call when its module goes
// parks in the stand-in and never returns into the module.
#include "host.h"
#include "include/host_control.h"

#include <dlfcn.h>
#include <vector>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <functional>
#include <mutex>
#include <pthread.h>
#include <time.h>

namespace {

constexpr DWORD kCreateSuspended = 0x00000004;
// How often the stand-in's long waits look whether their thread is being
// terminated, besides being woken for it.
constexpr int kTerminatePollMs = 10;

std::atomic<DWORD> g_next_id{0x100};
std::atomic<size_t> g_terminated{0};
thread_local DWORD t_id = 0;
struct Thread;
// Read by the signal handler: in static TLS, so that reading them there
// never allocates.
#define HOST_SIGNAL_TLS __attribute__((tls_model("initial-exec")))
// Null on threads the stand-in did not create.
HOST_SIGNAL_TLS thread_local Thread *t_self = nullptr;

DWORD new_thread_id() { return g_next_id.fetch_add(1); }

// Where a termination stands, as the terminated thread answers the signal.
enum Park : int { kRunning, kSignalled, kPutOff, kParked };

struct Thread : host::KernelObject {
    const char *kind() const override { return "thread"; }

    LPTHREAD_START_ROUTINE start = nullptr;
    LPVOID param = nullptr;
    DWORD id = 0;
    const void *module = nullptr;  // load address of the module start lies in
    pthread_t posix{};

    std::mutex lock;
    std::condition_variable ended;  // finished became true
    std::condition_variable woken;  // terminating became true
    bool finished = false;
    bool terminating = false;
    DWORD exit_code = STILL_ACTIVE;
    DWORD terminate_code = 0;
    // What other parts of the stand-in do when the thread is woken for its
    // termination or parked (under no lock); added to by the thread itself
    // only, so that it may run on_park without the lock.
    std::vector<std::function<void()>> on_wake, on_park;

    // Set once TerminateThread has been called; read without the lock.
    std::atomic<bool> doomed{false};
    std::atomic<int> park{kRunning};
    // Stand-in calls the thread is inside; termination waits while it is
    // not 0.
    std::atomic<int> depth{0};

    // Marks the thread ended; false when it already was.
    bool finish(DWORD code)
    {
        std::lock_guard<std::mutex> guard(lock);
        if (finished)
            return false;
        finished = true;
        exit_code = code;
        ended.notify_all();
        return true;
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

// Blocks the calling thread for good, every signal held off.
[[noreturn]] void stay_parked()
{
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    for (;;)
        sigsuspend(&all);
}

// The bookkeeping of the calling thread as it parks, with every signal
// held off and no lock of the stand-in held.  It allocates nothing, so it
// may run in the signal handler.
void mark_parked(Thread &self)
{
    DWORD code;
    {
        std::lock_guard<std::mutex> guard(self.lock);
        code = self.terminate_code;
    }
    if (self.finish(code))
        for (auto &hook : self.on_park)
            hook();
    self.park = kParked;
}

// Parks the calling stand-in thread, which holds nothing of the stand-in.
[[noreturn]] void park_self()
{
    // First of all, so that the signal cannot park it again halfway.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    mark_parked(*t_self);
    stay_parked();
}

int terminate_signal() { return SIGRTMIN + 4; }

// The termination signal (every signal held off while it runs): parks
// the thread where it stands, or, inside a stand-in call, leaves that to
// the call's end.  Outside the stand-in's calls the thread holds none of
// its locks, so the bookkeeping may take them.
void on_terminate_signal(int)
{
    int saved = errno;
    Thread *self = t_self;
    if (!self || !self->doomed) {
        errno = saved;
        return;
    }
    if (self->depth > 0) {
        self->park = kPutOff;
        errno = saved;
        return;
    }
    mark_parked(*self);
    stay_parked();
}

void install_signal()
{
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction sa {};
        sa.sa_handler = on_terminate_signal;
        sigfillset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        sigaction(terminate_signal(), &sa, nullptr);
    });
}

void *thread_main(void *arg)
{
    std::shared_ptr<Thread> self = std::move(*static_cast<std::shared_ptr<Thread> *>(arg));
    delete static_cast<std::shared_ptr<Thread> *>(arg);
    t_id = self->id;
    t_self = self.get();
    // Started with the termination signal held off (see CreateThread):
    // one sent meanwhile arrives now.
    sigset_t terminate;
    sigemptyset(&terminate);
    sigaddset(&terminate, terminate_signal());
    pthread_sigmask(SIG_UNBLOCK, &terminate, nullptr);
    DWORD code;
    {
        host::ProductCode routine;
        code = self->start(self->param);
    }
    // From here on the thread is the stand-in's: a termination now finds
    // it finished or about to be.
    ++self->depth;
    self->finish(code);
    t_self = nullptr;
    return nullptr;
}

}  // namespace

namespace host {

KernelCall::KernelCall()
{
    if (Thread *self = t_self)
        ++self->depth;
}

// A termination that came meanwhile takes effect now.  TerminateThread
// sets doomed before it reads depth, and this reads doomed after it has
// lowered depth, so one of the two always sees the other.
KernelCall::~KernelCall()
{
    Thread *self = t_self;
    if (self && --self->depth == 0 && self->doomed)
        park_self();
}

ProductCode::ProductCode() : saved_(0)
{
    Thread *self = t_self;
    if (!self)
        return;
    if (self->doomed)
        park_self();
    saved_ = self->depth.exchange(0);
}

ProductCode::~ProductCode()
{
    if (Thread *self = t_self)
        self->depth = saved_;
}

bool terminate_requested() { return t_self && t_self->doomed; }

void end_if_terminated()
{
    if (terminate_requested())
        park_self();
}

void at_thread_wake(std::function<void()> wake)
{
    if (!t_self)
        return;
    std::lock_guard<std::mutex> guard(t_self->lock);
    t_self->on_wake.push_back(std::move(wake));
}

void at_thread_park(std::function<void()> parked)
{
    if (!t_self)
        return;
    std::lock_guard<std::mutex> guard(t_self->lock);
    t_self->on_park.push_back(std::move(parked));
}

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

}  // namespace host

CE_API HANDLE CreateThread(LPSECURITY_ATTRIBUTES, DWORD, LPTHREAD_START_ROUTINE start, LPVOID param,
                           DWORD flags, LPDWORD thread_id)
{
    host::KernelCall call;
    if (!start) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (flags & kCreateSuspended) {
        host::not_implemented("CreateThread suspended");
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return nullptr;
    }
    install_signal();
    auto thread = std::make_shared<Thread>();
    thread->start = start;
    thread->param = param;
    thread->id = new_thread_id();
    thread->module = module_base(reinterpret_cast<const void *>(start));
    HANDLE handle = host::handle_insert(thread);

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    auto *arg = new std::shared_ptr<Thread>(thread);
    // Held until the thread's id is stored, which TerminateThread needs.
    std::unique_lock<std::mutex> started(thread->lock);
    // The thread starts with the termination signal held off, until it
    // knows itself: a signal that came earlier would find no thread to end.
    sigset_t terminate, before;
    sigemptyset(&terminate);
    sigaddset(&terminate, terminate_signal());
    pthread_sigmask(SIG_BLOCK, &terminate, &before);
    int err = pthread_create(&thread->posix, &attr, thread_main, arg);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    pthread_attr_destroy(&attr);
    started.unlock();
    if (err != 0) {
        delete arg;
        host::handle_remove(handle);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> guard(g_live_lock);
        g_live.erase(std::remove_if(g_live.begin(), g_live.end(),
                                    [](const std::weak_ptr<Thread> &w) {
                                        auto t = w.lock();
                                        if (!t)
                                            return true;
                                        std::lock_guard<std::mutex> guard(t->lock);
                                        return t->finished;  // parked threads are never freed
                                    }),
                     g_live.end());
        g_live.push_back(thread);
    }
    if (thread_id)
        *thread_id = thread->id;
    return handle;
}

CE_API BOOL TerminateThread(HANDLE handle, DWORD exit_code)
{
    host::KernelCall call;
    auto thread = host::handle_get_as<Thread>(handle);
    if (!thread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::vector<std::function<void()>> wake;
    {
        std::lock_guard<std::mutex> guard(thread->lock);
        if (thread->finished || thread->terminating)
            return TRUE;
        thread->terminating = true;
        thread->terminate_code = exit_code;
        ++g_terminated;
        // Before doomed: a thread that sees doomed and parks on its own
        // then overwrites it, and the wait below ends.
        thread->park = kSignalled;
        thread->doomed = true;
        thread->woken.notify_all();
        wake = thread->on_wake;
        // Still alive: it marks itself finished under this lock.
        if (thread.get() != t_self)
            pthread_kill(thread->posix, terminate_signal());
    }
    // A thread that terminates itself ends at once.
    if (thread.get() == t_self)
        park_self();
    // Outside the stand-in's calls the signal is answered at once: the
    // thread is parked.  Inside one, it parks as that call ends.
    while (thread->park == kSignalled && thread->depth == 0)
        sched_yield();
    for (auto &w : wake)
        w();
    return TRUE;
}

CE_API DWORD WaitForSingleObject(HANDLE handle, DWORD ms)
{
    host::KernelCall call;
    auto thread = host::handle_get_as<Thread>(handle);
    if (!thread) {
        if (host::handle_get(handle))
            host::not_implemented("WaitForSingleObject on objects other than threads");
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    std::unique_lock<std::mutex> guard(thread->lock);
    while (!thread->finished) {
        if (host::terminate_requested())
            return WAIT_FAILED;  // the caller parks as the call ends
        auto next = std::chrono::steady_clock::now() + std::chrono::milliseconds(kTerminatePollMs);
        if (ms != INFINITE && deadline < next)
            next = deadline;
        thread->ended.wait_until(guard, next);
        if (ms != INFINITE && !thread->finished && std::chrono::steady_clock::now() >= deadline)
            return WAIT_TIMEOUT;
    }
    return WAIT_OBJECT_0;
}

CE_API BOOL GetExitCodeThread(HANDLE handle, LPDWORD exit_code)
{
    host::KernelCall call;
    auto thread = host::handle_get_as<Thread>(handle);
    if (!thread || !exit_code) {
        SetLastError(thread ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(thread->lock);
    *exit_code = thread->finished ? thread->exit_code : STILL_ACTIVE;
    return TRUE;
}

// A thread being terminated parks as it leaves.
CE_API void Sleep(DWORD ms)
{
    host::KernelCall call;
    if (!t_self) {
        struct timespec ts;
        ts.tv_sec = ms / 1000;
        ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
        while (nanosleep(&ts, &ts) != 0) {
        }
        return;
    }
    std::unique_lock<std::mutex> guard(t_self->lock);
    auto stop = [] { return t_self->terminating; };
    if (ms == INFINITE)
        t_self->woken.wait(guard, stop);
    else
        t_self->woken.wait_for(guard, std::chrono::milliseconds(ms), stop);
}

CE_API DWORD GetCurrentThreadId(void)
{
    if (t_id == 0)
        t_id = new_thread_id();
    return t_id;
}

CE_API size_t host_threads_terminated(void) { return g_terminated; }
