/*
 * Dovrel: serial debug port switch.  The user's choice goes to
 * HKEY_LOCAL_MACHINE\Debug "dbgSerial" (REG_DWORD, 1 enabled, 0 disabled),
 * which the board reads when it next starts.  The key must exist already.
 */
#include "../../platform/platform.h"
#include "../frame/frame.h"
#include "resource.h"

static INT_PTR CALLBACK DovrelDlgProc(HWND hDlg, UINT msg, WPARAM wParam, LPARAM lParam);

const AppletInfo g_applet = {
    TEXT("Dovrel.cpl"),
    IDD_DOVREL,
    IDI_DOVREL,
    103,
    TEXT("SRC\\APPS\\Dovrel\\dovrel"),
    91,
    FALSE,
    DovrelDlgProc,
};

static void WriteDbgSerial(DWORD value)
{
    HKEY key;
    LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("Debug"), 0, 0, &key);
    if (result != ERROR_SUCCESS) {
        NKDbgPrintfW(TEXT("Failed opening HKEY_LOCAL_MACHINE\\Debug\r\n"));
        return;
    }
    result = RegSetValueExW(key, TEXT("dbgSerial"), 0, REG_DWORD, (const BYTE *)&value, sizeof value);
    NKDbgPrintfW(TEXT("Registry write <regError=%d> ... dbgSerial=%d \r\n"), result, value);
    RegCloseKey(key);
}

static void Choose(HWND hDlg, WORD id)
{
    if (id == IDC_ENABLE)
        WriteDbgSerial(1);
    else if (id == IDC_DISABLE)
        WriteDbgSerial(0);
    else
        return;
    EndDialog(hDlg, 1);
}

static INT_PTR CALLBACK DovrelDlgProc(HWND hDlg, UINT msg, WPARAM wParam, LPARAM lParam)
{
    (void)lParam;
    switch (msg) {
    case WM_CLOSE:
        /* Closing counts as choosing "Enable serial debug port". */
        SendMessageW(hDlg, WM_COMMAND, IDC_ENABLE, (LPARAM)GetDlgItem(hDlg, IDC_ENABLE));
        return FALSE;

    case WM_COMMAND:
        Choose(hDlg, LOWORD(wParam));
        return FALSE;
    }
    return FALSE;
}
