// Drives a dialog of another process from outside, the way a user would,
// through window messages only.  The dialog is found by its caption among
// the top-level windows; controls are addressed by their ids.
//
//   dlgdrive wait CAPTION [MS]         wait until the dialog is shown
//   dlgdrive gone CAPTION [MS]         wait until no such dialog is left
//   dlgdrive painted CAPTION [MS]      wait until the dialog is shown and has
//                                      painted itself and all its controls
//   dlgdrive list CAPTION              one line per control: id|class|text|kind
//   dlgdrive rect CAPTION              the dialog's screen rectangle, WxH+X+Y
//   dlgdrive click CAPTION ID          press a button (BM_CLICK)
//   dlgdrive command CAPTION ID        WM_COMMAND with that id
//   dlgdrive close CAPTION             the caption's close box (SC_CLOSE)
//   dlgdrive scroll CAPTION ID CODE    WM_HSCROLL from the bar ID
//   dlgdrive pos CAPTION ID            a scroll bar: pos min max page
//   dlgdrive checked CAPTION ID        a button's check state
//   dlgdrive script CAPTION FILE       run a Control Panel script (below)
//
// A script is the host Control Panel's script language (controlpanel
// --script), read by the host's own parser (tools/controlpanel/script.cpp),
// so that every line means here what it means there: open NAME (waits for
// the dialog CAPTION; whoever started the applet named it), click ID, key
// enter|escape|tab, scroll ID CODE, drag ID POS, ok, close, wait MS, show,
// quit.  pin is refused: there is no board here.  show prints the dialog
// as the host's Control Panel does, one control a line (`<id> <kind>
// "<text>" <state>`), or "closed".  Keys are posted to the focused
// control, so the dialog manager of the applet's own loop handles them; a
// drag is the mouse's: pressed on the thumb, moved, let go.  Each input is
// waited for before the next line runs.  A dialog still open at the end is
// closed through its close box.  A bad line stops the script with its line
// number, exit status 2.
//
// A wait gives up after MS milliseconds (default 60000: a loaded machine
// may take long to start a program).  Exit code 0 on success, 1 when the
// dialog or control is missing or the wait timed out, 2 on bad usage.
// Text is printed as UTF-8.
#include <windows.h>

#include "tools/controlpanel/script.h"
#include "tools/controlpanel/show_line.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct Search {
    const wchar_t *caption;
    HWND found;
};

BOOL CALLBACK match_caption(HWND window, LPARAM context)
{
    Search *search = (Search *)context;
    wchar_t text[256];
    if (!IsWindowVisible(window) || !GetWindowTextW(window, text, 256))
        return TRUE;
    if (wcscmp(text, search->caption) == 0) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

HWND find_dialog(const wchar_t *caption)
{
    Search search = {caption, NULL};
    EnumWindows(match_caption, (LPARAM)&search);
    return search.found;
}

std::string utf8(const wchar_t *text)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, NULL, 0, NULL, NULL);
    std::string out(n > 0 ? n - 1 : 0, '\0');
    if (n > 1)
        WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], n, NULL, NULL);
    return out;
}

// How long a dialog may take to answer one message.
const UINT kAnswerMs = 30000;

// Sends and waits for the answer, but never hangs on a stuck dialog.  No
// SMTO_ABORTIFHUNG, here or below: Wine calls a window hung once its thread
// has taken no message for 5 s, which a loaded machine can bring about in a
// dialog that is only slow; the deadline is what tells a stuck one.
LRESULT send(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL, kAnswerMs, &result)) {
        std::fprintf(stderr, "dlgdrive: message 0x%x not answered\n", message);
        std::exit(1);
    }
    return (LRESULT)result;
}

// What kind of button or bar a control is, from its style.
const char *kind(const wchar_t *cls, LONG style)
{
    if (_wcsicmp(cls, L"Button") == 0) {
        switch (style & BS_TYPEMASK) {
        case BS_PUSHBUTTON: return "push";
        case BS_DEFPUSHBUTTON: return "default";
        case BS_CHECKBOX: return "check";
        case BS_AUTOCHECKBOX: return "autocheck";
        case BS_RADIOBUTTON: return "radio";
        case BS_AUTORADIOBUTTON: return "autoradio";
        default: return "other";
        }
    }
    if (_wcsicmp(cls, L"ScrollBar") == 0)
        return (style & SBS_VERT) ? "vertical" : "horizontal";
    return "";
}

BOOL CALLBACK print_control(HWND control, LPARAM)
{
    wchar_t cls[64] = L"", text[256] = L"";
    GetClassNameW(control, cls, 64);
    GetWindowTextW(control, text, 256);
    std::printf("%d|%s|%s|%s\n", GetDlgCtrlID(control), utf8(cls).c_str(), utf8(text).c_str(),
                kind(cls, GetWindowLongW(control, GWL_STYLE)));
    return TRUE;
}

// Polls test(caption) every 50 ms until it holds or ms have passed.
bool wait_until(bool (*test)(const wchar_t *), const wchar_t *caption, int ms)
{
    DWORD start = GetTickCount();
    for (;;) {
        if (test(caption))
            return true;
        if (GetTickCount() - start >= (DWORD)ms)
            return false;
        Sleep(50);
    }
}

bool shown(const wchar_t *caption) { return find_dialog(caption) != NULL; }
bool gone(const wchar_t *caption) { return find_dialog(caption) == NULL; }

BOOL CALLBACK find_unpainted(HWND control, LPARAM context)
{
    if (IsWindowVisible(control) && GetUpdateRect(control, NULL, FALSE)) {
        *(bool *)context = true;
        return FALSE;
    }
    return TRUE;
}

// Nothing of the dialog is waiting to be painted.
bool nothing_to_paint(HWND dialog)
{
    bool unpainted = GetUpdateRect(dialog, NULL, FALSE) != 0;
    if (!unpainted)
        EnumChildWindows(dialog, find_unpainted, (LPARAM)&unpainted);
    return !unpainted;
}

// The dialog is shown with nothing left to paint, and its thread has
// answered a message since: it went back to its message loop after
// painting, where the window system hands what was painted to the screen.
bool painted(const wchar_t *caption)
{
    HWND dialog = find_dialog(caption);
    DWORD_PTR result;
    return dialog && nothing_to_paint(dialog) &&
           SendMessageTimeoutW(dialog, WM_NULL, 0, 0, SMTO_NORMAL, kAnswerMs, &result) &&
           nothing_to_paint(dialog);
}

// Waits until the dialog is shown (present) or gone.
bool wait_for(const wchar_t *caption, bool present, int ms)
{
    if (present)
        return wait_until(shown, caption, ms);
    return wait_until(gone, caption, ms);
}

// --- scripts ---------------------------------------------------------------

using script::Stop;

[[noreturn]] void stop(int status, const std::string &message) { throw Stop{status, message}; }

// The scroll codes the script language names are the platform's.
static_assert(script::kLineLeft == SB_LINELEFT && script::kLineRight == SB_LINERIGHT &&
                  script::kPageLeft == SB_PAGELEFT && script::kPageRight == SB_PAGERIGHT &&
                  script::kLeft == SB_LEFT && script::kRight == SB_RIGHT && script::kEndScroll == SB_ENDSCROLL,
              "scroll codes");

// How long one input, or the dialog's ending, may take.
constexpr DWORD kInputTimeoutMs = 10000;

bool shown(HWND dialog) { return IsWindow(dialog) && IsWindowVisible(dialog); }

bool is_class(HWND window, const wchar_t *name)
{
    wchar_t cls[64] = L"";
    GetClassNameW(window, cls, 64);
    return _wcsicmp(cls, name) == 0;
}

// The dialog's own controls, in the template's order.
std::vector<HWND> controls(HWND dialog)
{
    std::vector<HWND> out;
    for (HWND c = GetWindow(dialog, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
        out.push_back(c);
    return out;
}

HWND control(HWND dialog, int id)
{
    for (HWND c : controls(dialog))
        if (GetDlgCtrlID(c) == id)
            return c;
    stop(2, "the dialog has no control " + std::to_string(id));
}

// Like send(), but a message the dialog can no longer answer only fails.
bool ask(HWND window, UINT message, WPARAM wParam, LPARAM lParam, DWORD_PTR *result, UINT ms = 5000)
{
    return SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL, ms, result) != 0;
}

// One round of settle(): false when the dialog has ended.
bool marker_round(HWND dialog)
{
    if (!shown(dialog))
        return false;
    HWND marker = NULL;
    for (HWND c : controls(dialog))
        if (!marker && is_class(c, L"Button"))
            marker = c;
    if (!marker) {
        if (!shown(dialog))
            return false;  // it ended while its controls were looked at
        stop(1, "the dialog has no button to wait on");
    }
    // Posting fails once the button is gone: then the dialog has ended.
    PostMessageW(marker, BM_SETSTATE, TRUE, 0);
    DWORD start = GetTickCount();
    while (GetTickCount() - start < kInputTimeoutMs) {
        DWORD_PTR state = 0;
        if (!shown(dialog))
            return false;
        if (ask(marker, BM_GETSTATE, 0, 0, &state, 200) && (state & BST_PUSHED)) {
            ask(marker, BM_SETSTATE, FALSE, 0, &state, 200);
            return true;
        }
        Sleep(5);
    }
    stop(1, "the dialog did not take the input within 10 seconds");
}

// Waits until the dialog's thread has handled every input given so far,
// and what those inputs posted in turn: a pushed look is posted to one of
// its buttons behind them, and messages of a thread are taken in the order
// they were posted.  What the input posts while it is handled (the close
// box's IDCANCEL, say) lands behind that look, so there is a second round,
// and a third for what that posts.  The look is undone once seen.  An
// ended dialog has handled all it will.
void settle(HWND dialog)
{
    for (int round = 0; round < 3 && marker_round(dialog); ++round) {
    }
}

// What the host's Control Panel calls the control.
const char *script_kind(HWND c)
{
    if (is_class(c, L"Static"))
        return "static";
    if (is_class(c, L"ScrollBar"))
        return "scrollbar";
    if (is_class(c, L"Button")) {
        switch (GetWindowLongW(c, GWL_STYLE) & BS_TYPEMASK) {
        case BS_CHECKBOX:
        case BS_AUTOCHECKBOX:
        case BS_3STATE:
        case BS_AUTO3STATE:
            return "checkbox";
        case BS_RADIOBUTTON:
        case BS_AUTORADIOBUTTON:
            return "radio";
        }
    }
    return "button";
}

void show(HWND dialog)
{
    if (!shown(dialog)) {
        std::printf("closed\n");
        std::fflush(stdout);
        return;
    }
    for (HWND c : controls(dialog)) {
        wchar_t text[256] = L"";
        GetWindowTextW(c, text, 256);
        std::string kind = script_kind(c), state;
        if (kind == "checkbox" || kind == "radio") {
            DWORD_PTR check = 0;
            ask(c, BM_GETCHECK, 0, 0, &check);
            state = cpl::show_checked(check == BST_CHECKED);
        } else if (kind == "scrollbar") {
            SCROLLINFO info = {};
            info.cbSize = sizeof info;
            info.fMask = SIF_ALL;
            GetScrollInfo(c, SB_CTL, &info);
            state = cpl::show_scroll(info.nPos, info.nMin, info.nMax, info.nPage);
        }
        std::printf("%s\n", cpl::show_line(GetDlgCtrlID(c), kind.c_str(), utf8(text), state).c_str());
    }
    std::fflush(stdout);
}

// A key as the keyboard gives it: to the control that has the focus in the
// dialog's thread (the dialog itself when none has).
void press(HWND dialog, UINT vk)
{
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    HWND target = dialog;
    if (GetGUIThreadInfo(GetWindowThreadProcessId(dialog, NULL), &info) && info.hwndFocus &&
        (info.hwndFocus == dialog || IsChild(dialog, info.hwndFocus)))
        target = info.hwndFocus;
    UINT scan = MapVirtualKeyW(vk, MAPVK_VK_TO_VSC);
    PostMessageW(target, WM_KEYDOWN, vk, 1 | (scan << 16));
    PostMessageW(target, WM_KEYUP, vk, 1 | (scan << 16) | (3u << 30));
}

// The position a scroll bar shows while its thumb is dragged.
int track_pos(HWND bar)
{
    SCROLLINFO si = {};
    si.cbSize = sizeof si;
    si.fMask = SIF_TRACKPOS;
    GetScrollInfo(bar, SB_CTL, &si);
    return si.nTrackPos;
}

// The mouse drags the bar's thumb to pos and lets go there, as a user
// would: pressed on the thumb, moved until the bar tracks pos (or as near
// as a pixel gets), released.  The bar itself turns the pointer into a
// position and clamps it.  Its geometry is not readable from another
// process, so the thumb is placed as the desktop's bar lays it out.
void drag(HWND dialog, HWND bar, int pos)
{
    SCROLLINFO si = {};
    si.cbSize = sizeof si;
    si.fMask = SIF_ALL;
    RECT rc;
    if (!GetScrollInfo(bar, SB_CTL, &si) || !GetClientRect(bar, &rc))
        stop(1, "cannot read the scroll bar");
    bool vertical = (GetWindowLongW(bar, GWL_STYLE) & SBS_VERT) != 0;
    int length = vertical ? rc.bottom : rc.right;
    int across = vertical ? rc.right : rc.bottom;
    int arrow = GetSystemMetrics(SM_CXVSCROLL);
    int pixels = length - 2 * arrow;
    int thumb = si.nPage ? std::max(MulDiv(pixels, si.nPage, si.nMax - si.nMin + 1), 6) : arrow;
    pixels -= thumb;
    int last = si.nMax - std::max((int)si.nPage - 1, 0);
    if (pixels <= 0 || last <= si.nMin)
        stop(1, "the scroll bar has no room to drag its thumb");
    int thumb_at = arrow + MulDiv(pixels, si.nPos - si.nMin, last - si.nMin);
    int want = std::max(si.nMin, std::min(pos, last));
    int grip = thumb / 2;
    auto at = [&](int along) {
        return vertical ? MAKELPARAM(across / 2, along) : MAKELPARAM(along, across / 2);
    };
    PostMessageW(bar, WM_LBUTTONDOWN, MK_LBUTTON, at(thumb_at + grip));
    int mouse = arrow + MulDiv(pixels, want - si.nMin, last - si.nMin) + grip;
    int tracked = 0, step = 0;
    for (int moves = 0; moves < 64; ++moves) {
        PostMessageW(bar, WM_MOUSEMOVE, MK_LBUTTON, at(mouse));
        settle(dialog);
        tracked = track_pos(bar);
        int towards = tracked < want ? 1 : tracked > want ? -1 : 0;
        if (towards == 0 || (step && towards != step))
            break;  // there, or the pixel that would get there is not there
        step = towards;
        mouse += step;
    }
    if (std::getenv("DLGDRIVE_DEBUG"))
        std::fprintf(stderr, "drag: thumb %d+%d arrow %d, to %d, tracked %d\n", thumb_at, thumb, arrow,
                     want, tracked);
    PostMessageW(bar, WM_LBUTTONUP, 0, at(mouse));
}

// One step of the board's own tool, run with args: DLGDRIVE_BOARD names a
// host program that runs it (Wine starts it as such) and, as Wine neither
// waits for a host program nor hands on its output, writes what the tool
// printed to the file DLGDRIVE_DONE names once it is done.  What it printed.
std::wstring env_value(const wchar_t *name)
{
    wchar_t value[1024];
    DWORD n = GetEnvironmentVariableW(name, value, 1024);
    if (n == 0 || n >= 1024)
        stop(2, "board: " + utf8(name) + " is not set (see tests/win32/dlgdrive.cpp)");
    return value;
}

std::string run_board(const std::wstring &args)
{
    std::wstring tool = env_value(L"DLGDRIVE_BOARD"), done = env_value(L"DLGDRIVE_DONE");
    DeleteFileW(done.c_str());
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    std::wstring line = L"\"" + tool + L"\" " + args;
    PROCESS_INFORMATION pi;
    if (!CreateProcessW(NULL, &line[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi))
        stop(1, "board: cannot run " + utf8(tool.c_str()) + " (error " + std::to_string(GetLastError()) + ")");
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    DWORD start = GetTickCount();
    while (GetFileAttributesW(done.c_str()) == INVALID_FILE_ATTRIBUTES) {
        if (GetTickCount() - start > kInputTimeoutMs)
            stop(1, "board " + utf8(args.c_str()) + ": not done within 10 seconds");
        Sleep(5);
    }
    std::ifstream in(done.c_str(), std::ios::binary);
    std::string out((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    DeleteFileW(done.c_str());
    return out;
}

// A script's 'board' line, through the board's tool.
void board_action(const std::string &a)
{
    if (a != "handles") {
        run_board(std::wstring(a.begin(), a.end()));
        return;
    }
    // The driver handles that running processes hold open, as 'board status' lists them.
    std::string status = run_board(L"status");
    unsigned open = 0;
    for (size_t at = 0; (at = status.find("handles pid=", at)) != std::string::npos; ++at) {
        size_t end = status.find('\n', at);
        std::string line = status.substr(at, end - at);
        size_t count = line.find(" open=");
        if (count != std::string::npos && line.find("(process ended)") == std::string::npos)
            open += unsigned(std::atoi(line.c_str() + count + 6));
    }
    std::printf("handles %u\n", open);
    std::fflush(stdout);
}

class Script {
public:
    explicit Script(const wchar_t *caption) : caption_(caption) {}
    // Carries out one command.
    void run(const script::Command &c);
    // Closes a dialog left open and waits for it to end.
    void finish();

private:
    HWND need_open();

    const wchar_t *caption_;
    HWND dialog_ = NULL;
};

HWND Script::need_open()
{
    if (!dialog_)
        stop(2, "no dialog is open (open an applet first)");
    if (!shown(dialog_))
        stop(2, "the dialog has ended");
    return dialog_;
}

void Script::run(const script::Command &c)
{
    using script::Op;
    switch (c.op) {
    case Op::Open:
        if (dialog_)
            stop(2, "one applet a script: it was opened already");
        if (!wait_for(caption_, true, kInputTimeoutMs))
            stop(1, "the dialog \"" + utf8(caption_) + "\" did not show within 10 seconds");
        dialog_ = find_dialog(caption_);
        break;
    case Op::Click: {
        HWND control_window = control(need_open(), c.id);
        if (!is_class(control_window, L"Button"))
            stop(2, "control " + std::to_string(c.id) + " cannot be clicked");
        DWORD_PTR ignored;
        ask(control_window, BM_CLICK, 0, 0, &ignored);
        settle(dialog_);
        break;
    }
    case Op::Key: {
        static const UINT keys[] = {VK_RETURN, VK_ESCAPE, VK_TAB};  // as script::Key
        press(need_open(), keys[c.value]);
        settle(dialog_);
        break;
    }
    case Op::Scroll:
    case Op::Drag: {
        HWND bar = control(need_open(), c.id);
        if (!is_class(bar, L"ScrollBar"))
            stop(2, "control " + std::to_string(c.id) + " is not a scroll bar");
        UINT message = (GetWindowLongW(bar, GWL_STYLE) & SBS_VERT) ? WM_VSCROLL : WM_HSCROLL;
        DWORD_PTR ignored;
        if (c.op == Op::Scroll)
            ask(dialog_, message, MAKEWPARAM(c.value, 0), (LPARAM)bar, &ignored);
        else
            drag(dialog_, bar, c.value);
        settle(dialog_);
        break;
    }
    case Op::Ok: {
        // The board's caption OK button (an extended style of the template,
        // which the desktop keeps but does not draw) sends IDOK without a
        // control.
        const LONG_PTR caption_ok = 0x80000000L;
        if (!(GetWindowLongPtrW(need_open(), GWL_EXSTYLE) & caption_ok))
            stop(2, "the dialog has no OK button in its caption");
        DWORD_PTR ignored;
        ask(dialog_, WM_COMMAND, IDOK, 0, &ignored);
        settle(dialog_);
        break;
    }
    case Op::Close:
        PostMessageW(need_open(), WM_SYSCOMMAND, SC_CLOSE, 0);
        settle(dialog_);
        break;
    case Op::Wait:
        Sleep(c.value);
        break;
    case Op::Show:
        if (!dialog_)
            stop(2, "no dialog to show (open an applet first)");
        show(dialog_);
        break;
    case Op::Quit:
        break;
    case Op::Pin:
        run_board(L"input " + std::to_wstring(c.id) + L" " +
                  (c.value < 0 ? std::wstring(L"release") : std::to_wstring(c.value)));
        break;
    case Op::Board:
        board_action(c.name);
        break;
    }
}

void Script::finish()
{
    if (dialog_ && shown(dialog_)) {
        PostMessageW(dialog_, WM_SYSCOMMAND, SC_CLOSE, 0);
        DWORD start = GetTickCount();
        while (shown(dialog_) && GetTickCount() - start < kInputTimeoutMs)
            Sleep(10);
        if (shown(dialog_))
            stop(1, "the open dialog does not close");
    }
}

int run_script(const wchar_t *caption, const wchar_t *file)
{
    std::ifstream in(file);
    if (!in) {
        std::fprintf(stderr, "dlgdrive: cannot read the script %s\n", utf8(file).c_str());
        return 1;
    }
    Script script(caption);
    int status = script::run_lines(in, "dlgdrive", utf8(file),
                                   [&](const script::Command &c, int) { script.run(c); });
    try {
        script.finish();
    } catch (const Stop &e) {
        if (status)
            return status;  // a dialog left open after a stop is that stop's
        std::fprintf(stderr, "dlgdrive: %s\n", e.message.c_str());
        return e.status;
    }
    return status;
}

int usage()
{
    std::fprintf(stderr, "usage: dlgdrive wait|gone|painted|list|rect|click|command|close|scroll|pos|checked "
                         "CAPTION [ID] [CODE|MS]\n       dlgdrive script CAPTION FILE\n");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc < 3)
        return usage();
    std::wstring verb = argv[1];
    const wchar_t *caption = argv[2];
    int ms = argc > 3 ? _wtoi(argv[3]) : 60000;

    if (verb == L"wait")
        return wait_until(shown, caption, ms) ? 0 : 1;
    if (verb == L"gone")
        return wait_until(gone, caption, ms) ? 0 : 1;
    if (verb == L"painted")
        return wait_until(painted, caption, ms) ? 0 : 1;
    if (verb == L"script")
        return argc == 4 ? run_script(caption, argv[3]) : usage();

    HWND dialog = find_dialog(caption);
    if (!dialog) {
        std::fprintf(stderr, "dlgdrive: no window \"%s\"\n", utf8(caption).c_str());
        return 1;
    }
    if (verb == L"list") {
        EnumChildWindows(dialog, print_control, 0);
        return 0;
    }
    if (verb == L"rect") {
        RECT r;
        GetWindowRect(dialog, &r);
        std::printf("%ldx%ld+%ld+%ld\n", r.right - r.left, r.bottom - r.top, r.left, r.top);
        return 0;
    }
    if (verb == L"close") {
        PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
        return 0;
    }

    if (argc < 4)
        return usage();
    int id = _wtoi(argv[3]);
    HWND control = GetDlgItem(dialog, id);
    if (verb == L"command") {  // also for ids without a control (IDOK of a caption button)
        send(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)control);
        return 0;
    }
    if (!control) {
        std::fprintf(stderr, "dlgdrive: no control %d\n", id);
        return 1;
    }
    if (verb == L"click") {
        send(control, BM_CLICK, 0, 0);
    } else if (verb == L"scroll" && argc > 4) {
        send(dialog, WM_HSCROLL, MAKEWPARAM(_wtoi(argv[4]), 0), (LPARAM)control);
    } else if (verb == L"pos") {
        SCROLLINFO info = {};
        info.cbSize = sizeof info;
        info.fMask = SIF_ALL;
        if (!GetScrollInfo(control, SB_CTL, &info)) {
            std::fprintf(stderr, "dlgdrive: control %d is no scroll bar\n", id);
            return 1;
        }
        std::printf("%d %d %d %u\n", info.nPos, info.nMin, info.nMax, info.nPage);
    } else if (verb == L"checked") {
        std::printf("%d\n", (int)send(control, BM_GETCHECK, 0, 0));
    } else {
        return usage();
    }
    return 0;
}
