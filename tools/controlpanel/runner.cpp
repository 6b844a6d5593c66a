// Running a script line by line against the applets (runner.h).
#include "runner.h"

#include "board/board.h"
#include "crash.h"
#include "dialog.h"
#include "script.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sys/stat.h>
#include <thread>

namespace {

// How long an applet may take to show its dialog or to end it.
constexpr int kDialogTimeoutMs = 10000;

using script::Stop;

Stop bad(const std::string &m) { return Stop{2, m}; }

// The scroll codes the script language names are the platform's.
static_assert(script::kLineLeft == SB_LINELEFT && script::kLineRight == SB_LINERIGHT &&
                  script::kPageLeft == SB_PAGELEFT && script::kPageRight == SB_PAGERIGHT &&
                  script::kLeft == SB_LEFT && script::kRight == SB_RIGHT && script::kEndScroll == SB_ENDSCROLL,
              "scroll codes");

// A script's 'board' line, on the board the Control Panel runs on.
void board_action(const std::string &a)
{
    if (a == "unplug" || a == "plug") {
        board::set_plugged(a == "plug");
    } else if (a == "fault") {
        board::arm_fault();
    } else if (a == "hold on" || a == "hold off") {
        board::hold_requests(a == "hold on");
    } else {
        // The driver handles that running processes hold open.
        unsigned open = 0;
        for (const board::OpenHandles &h : board::open_handles())
            open += h.alive ? h.count : 0;
        std::printf("handles %u\n", open);
    }
}

class Runner {
public:
    explicit Runner(const std::string &folder) : cp_(folder) {}
    void run(const script::Command &c);
    // Closes a dialog left open; false when it would not end.
    bool finish();

private:
    const HostControl &control(int id);
    void need_open();
    void after_input();

    cpl::ControlPanel cp_;
    HWND dlg_ = nullptr;
    bool opened_ = false;
    std::vector<HostControl> controls_;
};

void Runner::need_open()
{
    if (!opened_)
        throw bad("no dialog is open (open an applet first)");
    if (!cpl::dialog_open(dlg_))
        throw bad("the dialog has ended");
}

const HostControl &Runner::control(int id)
{
    need_open();
    controls_ = host_controls(dlg_);
    for (const HostControl &c : controls_)
        if (c.id == id)
            return c;
    throw bad("the dialog has no control " + std::to_string(id));
}

// An input may end the dialog: then wait for the double-click to return,
// so that what the applet does on its way out has been done.
void Runner::after_input()
{
    if (!cpl::dialog_open(dlg_) && !cp_.wait_returned(kDialogTimeoutMs))
        throw Stop{1, "the dialog ended but the applet did not return"};
}

void Runner::run(const script::Command &c)
{
    using script::Op;
    switch (c.op) {
    case Op::Open: {
        if (cp_.running() && !cpl::dialog_open(dlg_))
            after_input();  // the last dialog ended on its own: let it return
        if (cp_.running())
            throw bad("a dialog is already open; close it first");
        int i = cp_.find(c.name);
        if (i < 0)
            throw bad("no applet called '" + script::excerpt(c.name) + "' (see controlpanel --list)");
        const cpl::Applet &a = cp_.applets()[i];
        if (!a.loaded())
            throw bad(script::excerpt(a.file, script::kLongExcerpt) + " did not load: " + script::excerpt(a.error, script::kLongExcerpt));
        dlg_ = cpl::open_dialog(cp_, i, kDialogTimeoutMs);
        opened_ = true;
        if (!dlg_ && cp_.running())
            throw Stop{1, script::excerpt(a.file, script::kLongExcerpt) + " showed no dialog within " +
                              std::to_string(kDialogTimeoutMs / 1000) + " seconds"};
        if (!dlg_)
            std::fprintf(stderr, "controlpanel: %s returned without a dialog\n",
                         script::excerpt(a.file, script::kLongExcerpt).c_str());
        break;
    }
    case Op::Click: {
        const HostControl &ctl = control(c.id);
        if (ctl.kind == HOST_CONTROL_SCROLLBAR || ctl.kind == HOST_CONTROL_STATIC)
            throw bad("control " + std::to_string(c.id) + " is a " + cpl::kind_name(ctl.kind) +
                      " and cannot be clicked");
        if (!host_click(dlg_, c.id))
            throw bad("control " + std::to_string(c.id) + " takes no click (disabled?)");
        after_input();
        break;
    }
    case Op::Key: {
        need_open();
        static const int keys[] = {HOST_KEY_ENTER, HOST_KEY_ESCAPE, HOST_KEY_TAB};
        if (!host_key(dlg_, keys[c.value]))
            throw bad("the dialog takes no key now");
        after_input();
        break;
    }
    case Op::Scroll:
    case Op::Drag: {
        const HostControl &ctl = control(c.id);
        if (ctl.kind != HOST_CONTROL_SCROLLBAR)
            throw bad("control " + std::to_string(c.id) + " is a " + cpl::kind_name(ctl.kind) +
                      ", not a scroll bar");
        bool done = c.op == Op::Scroll ? host_scroll(dlg_, c.id, c.value)
                                       : host_drag(dlg_, c.id, c.value);
        if (!done)
            throw bad("scroll bar " + std::to_string(c.id) + " takes no input (disabled?)");
        after_input();
        break;
    }
    case Op::Ok:
        need_open();
        if (!host_caption_ok(dlg_))
            throw bad("the dialog has no OK button in its caption");
        after_input();
        break;
    case Op::Close:
        need_open();
        if (!host_caption_close(dlg_))
            throw bad("the dialog has no close box");
        after_input();
        break;
    case Op::Pin:
        board::set_input(c.id, c.value);
        break;
    case Op::Board:
        board_action(c.name);
        break;
    case Op::Wait:
        std::this_thread::sleep_for(std::chrono::milliseconds(c.value));
        break;
    case Op::Show:
        if (!opened_)
            throw bad("no dialog to show (open an applet first)");
        if (cpl::dialog_open(dlg_)) {
            for (const HostControl &ctl : host_controls(dlg_))
                std::printf("%s\n", cpl::describe(ctl).c_str());
        } else {
            // Ended on its own (or between two lines): let it return first.
            after_input();
            std::printf("closed\n");
        }
        std::fflush(stdout);
        break;
    case Op::Quit:
        break;
    }
}

bool Runner::finish()
{
    if (!cp_.running())
        return true;
    return cpl::close_dialog(cp_, dlg_, kDialogTimeoutMs);
}

}  // namespace

int run_script(const std::string &folder, const std::string &file)
{
    std::ifstream in_file;
    std::istream *in = &std::cin;
    // Paths are quoted escaped too (a name may hold any byte but '/' and NUL).
    std::string where = file == "-" ? "<stdin>" : script::excerpt(file, script::kLongExcerpt);
    if (file != "-") {
        struct stat st;
        std::string why;
        if (stat(file.c_str(), &st) != 0)
            why = std::strerror(errno);
        else if (!S_ISREG(st.st_mode))
            why = S_ISDIR(st.st_mode) ? "it is a folder" : "it is not a regular file";
        else {
            in_file.open(file);
            if (!in_file)
                why = std::strerror(errno);
        }
        if (!why.empty()) {
            std::fprintf(stderr, "controlpanel: cannot read the script %s: %s\n", where.c_str(),
                         why.c_str());
            return 1;
        }
        in = &in_file;
    }
    // The applets need the board: say so once, before any line runs.
    try {
        board::status();
    } catch (const board::Error &e) {
        std::fprintf(stderr, "controlpanel: %s\n", e.message.c_str());
        return 1;
    }

    Runner runner(folder);
    int status = script::run_lines(*in, "controlpanel", where, [&](const script::Command &c, int line) {
        crash::note_line(where.c_str(), line);
        try {
            runner.run(c);
        } catch (const board::Error &e) {
            throw Stop{1, e.message};
        }
    });
    crash::note_line(nullptr, 0);
    if (!runner.finish()) {
        // The applet's dialog will not end: its library cannot be unloaded.
        std::fprintf(stderr, "controlpanel: the open dialog does not close; giving up\n");
        std::fflush(nullptr);
        std::_Exit(1);
    }
    return status;
}
