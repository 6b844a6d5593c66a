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
//
// A wait gives up after MS milliseconds (default 60000: a loaded machine
// may take long to start a program).  Exit code 0 on success, 1 when the
// dialog or control is missing or the wait timed out, 2 on bad usage.
// Text is printed as UTF-8.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

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

// Sends and waits for the answer, but never hangs on a stuck dialog.
LRESULT send(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, kAnswerMs, &result)) {
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
           SendMessageTimeoutW(dialog, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, kAnswerMs, &result) &&
           nothing_to_paint(dialog);
}

int usage()
{
    std::fprintf(stderr, "usage: dlgdrive wait|gone|painted|list|rect|click|command|close|scroll|pos|checked "
                         "CAPTION [ID] [CODE|MS]\n");
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
