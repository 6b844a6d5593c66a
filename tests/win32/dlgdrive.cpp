// Drives a dialog of another process from outside, the way a user would,
// through window messages only.  The dialog is found by its caption among
// the top-level windows; controls are addressed by their ids.
//
//   dlgdrive wait CAPTION [MS]         wait until the dialog is shown
//   dlgdrive gone CAPTION [MS]         wait until no such dialog is left
//   dlgdrive list CAPTION              one line per control: id|class|text|kind
//   dlgdrive rect CAPTION              the dialog's screen rectangle, WxH+X+Y
//   dlgdrive click CAPTION ID          press a button (BM_CLICK)
//   dlgdrive command CAPTION ID        WM_COMMAND with that id
//   dlgdrive close CAPTION             the caption's close box (SC_CLOSE)
//   dlgdrive scroll CAPTION ID CODE    WM_HSCROLL from the bar ID
//   dlgdrive pos CAPTION ID            a scroll bar: pos min max page
//   dlgdrive checked CAPTION ID        a button's check state
//
// Exit code 0 on success, 1 when the dialog or control is missing or the
// wait timed out, 2 on bad usage.  Text is printed as UTF-8.
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

// Sends and waits for the answer, but never hangs on a stuck dialog.
LRESULT send(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, 5000, &result)) {
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

bool wait_for(const wchar_t *caption, bool shown, int ms)
{
    for (int waited = 0;; waited += 50) {
        if ((find_dialog(caption) != NULL) == shown)
            return true;
        if (waited >= ms)
            return false;
        Sleep(50);
    }
}

int usage()
{
    std::fprintf(stderr, "usage: dlgdrive wait|gone|list|rect|click|command|close|scroll|pos|checked "
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
    int ms = argc > 3 ? _wtoi(argv[3]) : 10000;

    if (verb == L"wait")
        return wait_for(caption, true, ms) ? 0 : 1;
    if (verb == L"gone")
        return wait_for(caption, false, ms) ? 0 : 1;

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
