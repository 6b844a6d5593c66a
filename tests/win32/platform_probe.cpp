// Measures, on desktop Windows (under Wine), the platform behaviours the
// host stand-in copies, so that the two can be held side by side:
//   - a read-only file is not deleted (ERROR_ACCESS_DENIED), nor a folder;
//   - a dialog answers a sent message with its stored DWL_MSGRESULT;
//   - LoadStringW cuts and terminates, and with no room gives the resource;
//   - RegSetValueExW stores the bytes it is given (with a desktop quirk);
//   - CloseHandle of handles that are none.
// Where desktop Windows and the board differ, the probe prints a "note"
// line with what it saw, and the stand-in follows the board.
//
// Prints "ok NAME", "FAIL NAME: why" or "note NAME: what" per check; exits
// with the number of failed checks.  Argument: a folder it may write in.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "probe_report.h"

namespace {

using probe::check;
using probe::note;
using probe::number;

// "result R, error E" of a call returning a BOOL.
std::string outcome(BOOL result, DWORD error)
{
    return "result " + number(result) + ", error " + number(error);
}

void check_read_only(const std::wstring &folder)
{
    std::wstring file = folder + L"\\probe-readonly.txt";
    HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    check(h != INVALID_HANDLE_VALUE, "a file to mark is made", "error " + number(GetLastError()));
    if (h == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(h, "x", 1, &written, NULL);
    CloseHandle(h);
    check(SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY) != FALSE, "attrib +r");
    SetLastError(0);
    BOOL deleted = DeleteFileW(file.c_str());
    DWORD error = GetLastError();
    check(!deleted && error == ERROR_ACCESS_DENIED, "DeleteFileW on a read-only file: FALSE, error 5",
          outcome(deleted, error));
    check(GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES, "the read-only file is still there");
    SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
    check(DeleteFileW(file.c_str()) != FALSE, "attrib -r, then DeleteFileW deletes it",
          "error " + number(GetLastError()));

    std::wstring dir = folder + L"\\probe-readonly-folder";
    RemoveDirectoryW(dir.c_str());
    if (!CreateDirectoryW(dir.c_str(), NULL)) {
        check(false, "a folder to mark is made", "error " + number(GetLastError()));
        return;
    }
    SetFileAttributesW(dir.c_str(), FILE_ATTRIBUTE_READONLY);
    SetLastError(0);
    deleted = DeleteFileW(dir.c_str());
    error = GetLastError();
    check(!deleted && error == ERROR_ACCESS_DENIED, "DeleteFileW on a read-only folder: FALSE, error 5",
          outcome(deleted, error));
    SetLastError(0);
    BOOL removed = RemoveDirectoryW(dir.c_str());
    note("RemoveDirectoryW on a read-only folder", outcome(removed, GetLastError()));
    SetFileAttributesW(dir.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryW(dir.c_str());
}

INT_PTR CALLBACK probe_proc(HWND dlg, UINT msg, WPARAM wparam, LPARAM)
{
    switch (msg) {
    case WM_INITDIALOG:
        return TRUE;
    case WM_USER:  // handled, nothing stored
        return TRUE;
    case WM_USER + 1:  // handled, answer stored
        SetWindowLongPtrW(dlg, DWLP_MSGRESULT, static_cast<LONG_PTR>(wparam));
        return TRUE;
    case WM_USER + 2:  // stored, yet left to the dialog manager
        SetWindowLongPtrW(dlg, DWLP_MSGRESULT, 77);
        return FALSE;
    case WM_QUERYDRAGICON:
    case WM_CTLCOLORSTATIC:
    case WM_COMPAREITEM:
        return 0x55;
    }
    return FALSE;
}

void check_message_result()
{
    // A DLGTEMPLATE without controls, menu, class or caption.
    alignas(4) WORD templ[16] = {0};
    DWORD style = WS_POPUP | WS_CAPTION;
    std::memcpy(templ, &style, sizeof style);
    templ[5] = 100;  // cx
    templ[6] = 50;   // cy
    HWND dlg = CreateDialogIndirectParamW(GetModuleHandleW(NULL), reinterpret_cast<LPCDLGTEMPLATEW>(templ),
                                          NULL, probe_proc, 0);
    check(dlg != NULL, "a dialog is made", "error " + number(GetLastError()));
    if (!dlg)
        return;
    struct Case {
        const char *name;
        UINT msg;
        WPARAM wparam;
        LRESULT want;
    } cases[] = {
        {"SendMessageW: the stored result, not TRUE", WM_USER + 1, 1234, 1234},
        {"SendMessageW: TRUE with nothing stored answers 0", WM_USER, 0, 0},
        {"SendMessageW: a negative stored result", WM_USER + 1, static_cast<WPARAM>(-7), -7},
        {"SendMessageW: FALSE leaves the answer to the dialog manager", WM_USER + 2, 0, 0},
        {"SendMessageW: WM_QUERYDRAGICON answers the return", WM_QUERYDRAGICON, 0, 0x55},
        {"SendMessageW: WM_CTLCOLORSTATIC answers the return", WM_CTLCOLORSTATIC, 0, 0x55},
        {"SendMessageW: WM_COMPAREITEM answers the return", WM_COMPAREITEM, 0, 0x55},
    };
    for (const Case &c : cases) {
        LRESULT got = SendMessageW(dlg, c.msg, c.wparam, 0);
        check(got == c.want, c.name, "got " + number(got));
    }
    DestroyWindow(dlg);
}

void check_load_string()
{
    HINSTANCE self = GetModuleHandleW(NULL);
    WCHAR text[8];
    std::wmemset(text, L'#', 8);
    int n = LoadStringW(self, 1, text, 8);
    check(n == 3 && std::wcscmp(text, L"abc") == 0, "LoadStringW with room: whole and terminated",
          "returned " + number(n));
    std::wmemset(text, L'#', 8);
    n = LoadStringW(self, 1, text, 3);
    check(n == 2 && std::wcscmp(text, L"ab") == 0, "LoadStringW cuts to the room, terminated",
          "returned " + number(n));
    std::wmemset(text, L'#', 8);
    n = LoadStringW(self, 1, text, 1);
    check(n == 0, "LoadStringW with room 1 returns 0", "returned " + number(n));
    note("LoadStringW with room 1 leaves the buffer",
         text[0] == 0 ? "terminated (0)" : text[0] == L'#' ? "untouched" : "holding " + number(text[0]));
    const WCHAR *direct = NULL;
    n = LoadStringW(self, 1, reinterpret_cast<LPWSTR>(&direct), 0);
    check(n == 3 && direct && std::wcsncmp(direct, L"abc", 3) == 0,
          "LoadStringW with room 0 gives the resource itself and its length", "returned " + number(n));
}

void check_registry()
{
    const WCHAR *path = L"Software\\PlatformProbe";
    HKEY key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL) != ERROR_SUCCESS) {
        check(false, "a registry key is made");
        return;
    }
    // Four bytes of "abc": no terminator among them, a character after them.
    const WCHAR cut[] = L"abc";
    LONG e = RegSetValueExW(key, L"Cut", 0, REG_SZ, reinterpret_cast<const BYTE *>(cut), 4);
    WCHAR back[4];
    std::wmemset(back, L'#', 4);
    DWORD type = 0, size = sizeof back;
    LONG q = RegQueryValueExW(key, L"Cut", NULL, &type, reinterpret_cast<BYTE *>(back), &size);
    check(e == ERROR_SUCCESS && q == ERROR_SUCCESS && size == 4 && back[0] == L'a' && back[1] == L'b',
          "RegSetValueExW REG_SZ without terminator stores the 4 bytes given",
          "set " + number(e) + ", query " + number(q) + ", size " + number(size));
    note("RegQueryValueExW of that value, room left, puts after the 4 bytes",
         back[2] == L'#' ? "nothing" : "character " + number(back[2]));
    // The same, with a zero right after the bytes given.
    const WCHAR zero[] = L"ab";
    RegSetValueExW(key, L"Zero", 0, REG_SZ, reinterpret_cast<const BYTE *>(zero), 4);
    size = sizeof back;
    RegQueryValueExW(key, L"Zero", NULL, &type, reinterpret_cast<BYTE *>(back), &size);
    note("RegSetValueExW REG_SZ of 4 bytes followed by a zero in memory stores", number(size) + " bytes");
    RegCloseKey(key);

    // A key opened with no access rights.
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, 0, &key) == ERROR_SUCCESS) {
        DWORD one = 1;
        e = RegSetValueExW(key, L"Mask", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&one), 4);
        note("RegSetValueExW through a key opened with access 0", "error " + number(e));
        RegCloseKey(key);
    }
    RegDeleteKeyW(HKEY_CURRENT_USER, path);
}

void check_close_handle()
{
    SetLastError(0);
    BOOL closed = CloseHandle(INVALID_HANDLE_VALUE);
    note("CloseHandle(INVALID_HANDLE_VALUE)", outcome(closed, GetLastError()));
    SetLastError(0);
    closed = CloseHandle(NULL);
    DWORD error = GetLastError();
    check(!closed && error == ERROR_INVALID_HANDLE, "CloseHandle(NULL): FALSE, error 6", outcome(closed, error));
    HANDLE event = CreateEventW(NULL, TRUE, FALSE, NULL);
    CloseHandle(event);
    SetLastError(0);
    closed = CloseHandle(event);
    error = GetLastError();
    check(!closed && error == ERROR_INVALID_HANDLE, "CloseHandle twice: FALSE, error 6", outcome(closed, error));
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    std::wstring folder = argc > 1 ? argv[1] : L".";
    check_read_only(folder);
    check_message_result();
    check_load_string();
    check_registry();
    check_close_handle();
    return probe::failures();
}
