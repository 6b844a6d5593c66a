// The Control Panel's side of the applets: it loads every "*.cpl" of a
// folder as the device does, asks each library what it holds and sends the
// CPlApplet messages, all on one thread of its own (the Control Panel's
// thread).  A double-click runs the applet's modal dialog on that thread;
// the user interface drives the dialog through the window system's input
// calls from its own thread.
#pragma once

#include "ce_host.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace cpl {

// One applet as the Control Panel lists it.
struct Applet {
    std::string file;   // file name in the folder, "Pinvane.cpl"
    std::string error;  // why the library did not load; empty when it did
    int library = -1;   // index into the loaded libraries, -1 when it did not load
    int index = 0;      // the applet's number within its library
    std::string name;   // szName of CPL_NEWINQUIRE
    std::string info;   // szInfo of CPL_NEWINQUIRE
    HICON icon = 0;     // hIcon of CPL_NEWINQUIRE
    LONG data = 0;      // lData of CPL_NEWINQUIRE
    CPLINFO inquire{};  // the record CPL_INQUIRE filled
    bool loaded() const { return error.empty(); }
};

// A thread that runs the jobs handed to it, one after another.
class JobThread {
public:
    JobThread();
    ~JobThread();
    // Runs job on the thread and returns when it has run.
    void call(const std::function<void()> &job);
    // Queues job and returns at once.
    void post(std::function<void()> job);

private:
    void loop();
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    bool stop_ = false;
    std::thread thread_;
};

class ControlPanel {
public:
    // Loads the "*.cpl" files of folder in the order of their names and
    // sends CPL_INIT, CPL_GETCOUNT, CPL_INQUIRE and CPL_NEWINQUIRE.
    explicit ControlPanel(const std::string &folder);
    // Sends CPL_STOP and CPL_EXIT to every applet and unloads the libraries.
    // An open dialog must have ended first.
    ~ControlPanel();

    ControlPanel(const ControlPanel &) = delete;
    ControlPanel &operator=(const ControlPanel &) = delete;

    const std::string &folder() const { return folder_; }
    const std::vector<Applet> &applets() const { return applets_; }

    // The applet called name (its CPL_NEWINQUIRE name, its file name with or
    // without ".cpl"; case does not matter), or -1.
    int find(const std::string &name) const;

    // Sends CPL_DBLCLK to applet i on the Control Panel's thread and returns
    // at once; the applet's dialog runs there until it ends.  False when the
    // applet did not load or a double-click is still running.
    bool open(int i);
    // True from open() until the applet's CPL_DBLCLK has returned.
    bool running() const;
    // Waits up to ms milliseconds for CPL_DBLCLK to return; true when it has.
    bool wait_returned(int ms);
    // The applet whose CPL_DBLCLK runs or ran last, or -1.
    int current() const { return current_; }

private:
    struct Library {
        void *handle;
        APPLET_PROC proc;
    };
    void load(const std::string &file);
    LONG send(const Applet &a, UINT msg, LPARAM p1, LPARAM p2);

    std::string folder_;
    std::vector<Library> libraries_;
    std::vector<Applet> applets_;
    JobThread thread_;
    mutable std::mutex mutex_;
    std::condition_variable returned_;
    bool running_ = false;
    int current_ = -1;
};

// Where the applets are by default: the folder of the project's libraries
// (beside the program in a build folder, under lib/ once installed).
std::string applet_folder();

}  // namespace cpl
