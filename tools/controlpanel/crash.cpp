// The crash reports of crash.h: the handlers, the notes they read and the
// one line they write.
#include "crash.h"

#include "board/board.h"
#include "ce_host.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <exception>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/common_interface_defs.h>
#endif

namespace crash {

namespace {

// What the handlers read, set while the process runs normally.  Plain
// pointers and numbers, so that a handler reads them without a lock.
std::atomic<const char *> g_applet{nullptr};
std::atomic<Stage> g_stage{Stage::None};
std::atomic<const char *> g_where{nullptr};
std::atomic<int> g_line{0};
std::atomic<void (*)()> g_give_back{nullptr};
// The debug log's name, copied: the handlers never allocate.
char g_log[1024];
std::atomic<bool> g_log_set{false};

const char *stage_text(Stage stage)
{
    switch (stage) {
    case Stage::Loading: return "loading";
    case Stage::Open: return "open";
    case Stage::Ending: return "ending";
    case Stage::None: break;
    }
    return "";
}

// Writes the line for cause once, whichever thread gets here first; a
// second crash meanwhile waits for the first to end the process.
void say(const char *cause)
{
    static std::atomic<bool> said{false};
    if (said.exchange(true)) {
        for (;;)
            pause();
    }
    if (void (*give_back)() = g_give_back.load())
        give_back();
    char line[4096];
    size_t n = 0;
    auto add = [&](const char *format, auto... args) {
        if (n < sizeof line) {
            int k = std::snprintf(line + n, sizeof line - n, format, args...);
            n = k < 0 ? n : std::min(sizeof line - 1, n + static_cast<size_t>(k));
        }
    };
    add("controlpanel: ");
    if (const char *where = g_where.load())
        add("%s:%d: ", where, g_line.load());
    add("%s ended the Control Panel", cause);
    if (g_log_set.load())
        add("; the debug output is in %s", g_log);
    const char *applet = g_applet.load();
    if (applet && g_stage.load() != Stage::None)
        add("; %s was %s", applet, stage_text(g_stage.load()));
    if (n == sizeof line - 1)
        --n;
    line[n++] = '\n';
    std::fflush(nullptr);  // what the program printed before it, first
    for (size_t done = 0; done < n;) {
        ssize_t k = write(STDERR_FILENO, line + done, n - done);
        if (k <= 0)
            break;
        done += static_cast<size_t>(k);
    }
}

// A fault that no handler takes (in an applet's own thread, or in its
// dialog on the Control Panel's thread) ends the process, as it ends the
// Control Panel on the device.
[[noreturn]] void on_terminate()
{
    char what[160] = "an exception that nothing handled";
    if (std::exception_ptr e = std::current_exception()) {
        try {
            std::rethrow_exception(e);
        } catch (const ce_fault &f) {
            std::snprintf(what, sizeof what, "a fault (exception code 0x%08X) that nothing handled",
                          static_cast<unsigned>(f.code));
        } catch (const std::exception &x) {
            std::snprintf(what, sizeof what, "an exception that nothing handled (%s)", x.what());
        } catch (...) {
        }
    }
    say(what);
    std::abort();
}

#if defined(__SANITIZE_ADDRESS__)
void on_death() { say("a crash a sanitizer reported"); }
#else
void on_crash(int sig)
{
    char what[96];
    std::snprintf(what, sizeof what, "a crash (%s)", strsignal(sig));
    say(what);
    raise(sig);  // the handler was reset: ends as it would have
}

// A bus error in the board's mapping is a state file another program cut
// short: the board takes it and the Control Panel goes on (the next use of
// the board reports the file).  Any other is a crash.
void on_bus_error(int sig, siginfo_t *info, void *)
{
    if (board::take_bus_fault(info->si_addr))
        return;
    signal(sig, SIG_DFL);
    on_crash(sig);
}
#endif

}  // namespace

void catch_all(void (*give_back)(), const std::string &debug_log)
{
    g_give_back = give_back;
    g_log_set = false;
    std::snprintf(g_log, sizeof g_log, "%s", debug_log.c_str());
    g_log_set = !debug_log.empty();
    std::set_terminate(on_terminate);
#if defined(__SANITIZE_ADDRESS__)
    __sanitizer_set_death_callback(on_death);
    // The undefined-behaviour checker, when linked too, keeps a callback of its own.
    if (void *ubsan = dlopen("libubsan.so.1", RTLD_NOW | RTLD_NOLOAD))
        if (void *set = dlsym(ubsan, "__sanitizer_set_death_callback"))
            reinterpret_cast<void (*)(void (*)())>(set)(on_death);
#else
    struct sigaction sa {};
    sa.sa_handler = on_crash;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESETHAND;
    for (int sig : {SIGSEGV, SIGILL, SIGFPE})
        sigaction(sig, &sa, nullptr);
    struct sigaction bus {};
    bus.sa_sigaction = on_bus_error;
    sigemptyset(&bus.sa_mask);
    bus.sa_flags = SA_SIGINFO;
    sigaction(SIGBUS, &bus, nullptr);
#endif
}

AppletNote::AppletNote(const char *file, Stage stage)
{
    g_stage = Stage::None;
    g_applet = file;
    g_stage = stage;
}

AppletNote::~AppletNote()
{
    g_stage = Stage::None;
    g_applet = nullptr;
}

void note_line(const char *where, int line)
{
    g_where = nullptr;
    g_line = line;
    g_where = where;
}

}  // namespace crash
