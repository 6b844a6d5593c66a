// Finding, describing and closing the applet dialog the Control Panel's
// thread runs (dialog.h).
#include "dialog.h"

#include "show_line.h"

#include <chrono>
#include <thread>

namespace cpl {

HWND open_dialog(ControlPanel &cp, int i, int timeout_ms)
{
    if (!cp.open(i))
        return nullptr;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        // Only this Control Panel opens dialogs in this process, one at a time.
        if (HWND dlg = host_wait_dialog(20))
            return dlg;
        if (!cp.running() || std::chrono::steady_clock::now() >= deadline)
            return nullptr;
    }
}

bool dialog_open(HWND dlg)
{
    return dlg && host_dialog_info(dlg).open;
}

bool close_dialog(ControlPanel &cp, HWND dlg, int timeout_ms)
{
    if (dialog_open(dlg))
        host_caption_close(dlg);
    return cp.wait_returned(timeout_ms);
}

const char *kind_name(HostControlKind kind)
{
    switch (kind) {
    case HOST_CONTROL_BUTTON:
        return "button";
    case HOST_CONTROL_CHECKBOX:
        return "checkbox";
    case HOST_CONTROL_RADIO:
        return "radio";
    case HOST_CONTROL_STATIC:
        return "static";
    case HOST_CONTROL_SCROLLBAR:
        return "scrollbar";
    }
    return "control";
}

std::string describe(const HostControl &c)
{
    std::string state;
    if (c.kind == HOST_CONTROL_CHECKBOX || c.kind == HOST_CONTROL_RADIO)
        state = show_checked(c.check == BST_CHECKED);
    else if (c.kind == HOST_CONTROL_SCROLLBAR)
        state = show_scroll(c.scroll.nPos, c.scroll.nMin, c.scroll.nMax, c.scroll.nPage);
    return show_line(c.id, kind_name(c.kind), c.text, state);
}

}  // namespace cpl
