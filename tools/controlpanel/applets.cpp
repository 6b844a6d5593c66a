// Loading the applets of a folder and sending them the CPlApplet messages on
// the Control Panel's own thread (applets.h).
#include "applets.h"

#include "crash.h"
#include "library_check.h"

#include "common/self_path.h"
#include "common/text.h"
#include "platform/host/include/host_resources.h"

#include <algorithm>
#include <chrono>
#include <dirent.h>
#include <dlfcn.h>
#include <unistd.h>

namespace cpl {

JobThread::JobThread() : thread_([this] { loop(); }) {}

JobThread::~JobThread()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void JobThread::loop()
{
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stop_ || !jobs_.empty(); });
            if (jobs_.empty())
                return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        job();
    }
}

void JobThread::post(std::function<void()> job)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        jobs_.push_back(std::move(job));
    }
    wake_.notify_all();
}

void JobThread::call(const std::function<void()> &job)
{
    std::mutex done_mutex;
    std::condition_variable done_cv;
    bool done = false;
    post([&] {
        job();
        std::lock_guard<std::mutex> lock(done_mutex);
        done = true;
        done_cv.notify_all();
    });
    std::unique_lock<std::mutex> lock(done_mutex);
    done_cv.wait(lock, [&] { return done; });
}

namespace {

bool is_cpl(const std::string &name)
{
    const std::string ext = ".CPL";
    return name.size() > ext.size() && text::fold_ascii(name.substr(name.size() - ext.size())) == ext;
}

}  // namespace

ControlPanel::ControlPanel(const std::string &folder) : folder_(folder)
{
    std::vector<std::string> files;
    if (DIR *d = opendir(folder.c_str())) {
        while (dirent *e = readdir(d))
            if (is_cpl(e->d_name))
                files.push_back(e->d_name);
        closedir(d);
    }
    std::sort(files.begin(), files.end());
    thread_.call([&] {
        for (const std::string &f : files)
            load(f);
    });
}

void ControlPanel::load(const std::string &file)
{
    crash::AppletNote note(file.c_str(), crash::Stage::Loading);
    Applet failed;
    failed.file = file;
    std::string path = folder_ + "/" + file;
    std::string problem = library_problem(path);
    if (!problem.empty()) {
        failed.error = file + ": " + problem;  // named as the loader names a file it refuses
        applets_.push_back(failed);
        return;
    }
    dlerror();
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char *why = dlerror();
        failed.error = why ? why : "the loader gave no reason";
        applets_.push_back(failed);
        return;
    }
    auto proc = reinterpret_cast<APPLET_PROC>(dlsym(handle, "CPlApplet"));
    if (!proc) {
        failed.error = "no CPlApplet entry point";
        dlclose(handle);
        applets_.push_back(failed);
        return;
    }
    Applet first;
    first.file = file;
    first.library = static_cast<int>(libraries_.size());
    if (!proc(nullptr, CPL_INIT, 0, 0)) {
        failed.error = "CPL_INIT failed";
        dlclose(handle);
        applets_.push_back(failed);
        return;
    }
    LONG count = proc(nullptr, CPL_GETCOUNT, 0, 0);
    if (count <= 0) {
        failed.error = "holds no applet (CPL_GETCOUNT " + std::to_string(count) + ")";
        proc(nullptr, CPL_EXIT, 0, 0);
        dlclose(handle);
        applets_.push_back(failed);
        return;
    }
    libraries_.push_back(Library{handle, proc});
    for (LONG i = 0; i < count; ++i) {
        Applet a = first;
        a.index = static_cast<int>(i);
        a.inquire = CPLINFO{};
        send(a, CPL_INQUIRE, i, reinterpret_cast<LPARAM>(&a.inquire));
        NEWCPLINFO info{};
        info.dwSize = sizeof info;
        send(a, CPL_NEWINQUIRE, i, reinterpret_cast<LPARAM>(&info));
        info.szName[31] = 0;
        info.szInfo[63] = 0;
        a.name = text::to_utf8(info.szName);
        a.info = text::to_utf8(info.szInfo);
        a.icon = info.hIcon;
        a.data = info.lData;
        applets_.push_back(a);
    }
}

LONG ControlPanel::send(const Applet &a, UINT msg, LPARAM p1, LPARAM p2)
{
    return libraries_[a.library].proc(nullptr, msg, p1, p2);
}

ControlPanel::~ControlPanel()
{
    wait_returned(-1);
    thread_.call([this] {
        // A crash on the way names the applet, a library by its first one.
        using crash::Stage;
        for (const Applet &a : applets_)
            if (a.loaded()) {
                crash::AppletNote note(a.file.c_str(), Stage::Ending);
                send(a, CPL_STOP, a.index, a.data);
            }
        for (const Applet &a : applets_)
            if (a.loaded() && a.index == 0) {
                crash::AppletNote note(a.file.c_str(), Stage::Ending);
                send(a, CPL_EXIT, 0, 0);
            }
        for (const Applet &a : applets_)
            if (a.loaded() && a.index == 0) {
                crash::AppletNote note(a.file.c_str(), Stage::Ending);
                host_unload_module(libraries_[a.library].handle);
            }
        libraries_.clear();
    });
}

int ControlPanel::find(const std::string &name) const
{
    std::string want = text::fold_ascii(name);
    for (size_t i = 0; i < applets_.size(); ++i) {
        const Applet &a = applets_[i];
        std::string file = text::fold_ascii(a.file);
        if (text::fold_ascii(a.name) == want || file == want || file == want + ".CPL")
            return static_cast<int>(i);
    }
    return -1;
}

bool ControlPanel::open(int i)
{
    if (i < 0 || i >= static_cast<int>(applets_.size()) || !applets_[i].loaded())
        return false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (running_)
            return false;
        running_ = true;
        current_ = i;
    }
    thread_.post([this, i] {
        const Applet &a = applets_[i];
        {
            crash::AppletNote note(a.file.c_str(), crash::Stage::Open);
            send(a, CPL_DBLCLK, a.index, a.data);
        }
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = false;
        returned_.notify_all();
    });
    return true;
}

bool ControlPanel::running() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return running_;
}

bool ControlPanel::wait_returned(int ms)
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (ms < 0) {
        returned_.wait(lock, [this] { return !running_; });
        return true;
    }
    return returned_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return !running_; });
}

std::string applet_folder()
{
    return self_path::library_folder();
}

}  // namespace cpl
