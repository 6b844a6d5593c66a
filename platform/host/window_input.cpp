// Input and observation of the stand-in's dialogs (host_window.h).
// Skeleton: the window system behind it is being written; until then every
// input fails and nothing is observed.
#include "include/host_window.h"

HWND host_wait_dialog(int) { return nullptr; }
bool host_wait_closed(HWND, int) { return true; }
std::vector<HWND> host_dialogs() { return {}; }
bool host_click(HWND, int) { return false; }
bool host_key(HWND, int) { return false; }
bool host_caption_ok(HWND) { return false; }
bool host_caption_close(HWND) { return false; }
bool host_scroll(HWND, int, int) { return false; }
bool host_thumb_track(HWND, int, int) { return false; }
bool host_thumb_release(HWND, int) { return false; }
bool host_drag(HWND, int, int) { return false; }
std::vector<HostControl> host_controls(HWND) { return {}; }
HostDialog host_dialog_info(HWND) { return HostDialog(); }
uint64_t host_window_generation() { return 0; }
uint64_t host_wait_change(uint64_t seen, int) { return seen; }
void host_window_set_observer(void (*)(void *), void *) {}
