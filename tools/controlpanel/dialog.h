// What the script runner and the full-screen view share about the applet
// dialog that the Control Panel's thread runs: finding it once it opens,
// describing its controls, closing it.
#pragma once

#include "applets.h"
#include "host_window.h"

#include <string>

namespace cpl {

// Double-clicks applet i and waits up to timeout_ms for its dialog.  The
// dialog, or null when CPL_DBLCLK returned without one or none opened in
// time (cp.running() tells the two apart).
HWND open_dialog(ControlPanel &cp, int i, int timeout_ms);

// True while dlg is open.
bool dialog_open(HWND dlg);

// Presses the close box of dlg (when it is open) and waits up to
// timeout_ms for the double-click to return.  True when it has returned.
bool close_dialog(ControlPanel &cp, HWND dlg, int timeout_ms);

// "checkbox", "radio", "button", "static" or "scrollbar".
const char *kind_name(HostControlKind kind);

// One control as the script's show prints it:
//   <id> <kind> "<text>" <state>
std::string describe(const HostControl &c);

}  // namespace cpl
