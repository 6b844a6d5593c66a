/*
 * Velmorra: run once from the start-up folder, it stores the phone-book
 * entry "`USB" for the USB serial connection, makes it the PC connection
 * (HKEY_CURRENT_USER\ControlPanel\Comm "Cnct") and deletes its own start-up
 * shortcut.  It reports only on the debug output and always exits with 0.
 */
#include "../platform/platform.h"

#include <string.h> /* wcslen */

#include "resource.h"

#if defined(UNDER_CE)
/* The board's RASENTRY is 3472 bytes, the size RasSetEntryProperties is
 * handed below: a build whose headers lay the record out otherwise fails
 * here rather than storing a record the board refuses.  (The desktop's
 * record is another, larger one.) */
PLATFORM_RECORD_SIZE(RASENTRY, 3472);
#endif

#define DEVICE_NAME_ROOM (RAS_MaxDeviceName + 1)
#define NAME_ROOM 256

static RASENTRY g_rasEntry;
static WCHAR g_szEntryName[NAME_ROOM];
static WCHAR g_szShortcut[NAME_ROOM];

static void ClearEntry(RASENTRY *entry)
{
    BYTE *p = (BYTE *)entry;
    DWORD i;

    for (i = 0; i < sizeof(*entry); i++)
        p[i] = 0;
}

/* Fills the entry with the defaults of a new entry on the USB serial device. */
static void PrepareEntry(HINSTANCE hInstance)
{
    WCHAR szNoEntry[1];
    DWORD dwSize = sizeof(RASENTRY);

    /* Cleared first: should the default read fail, the entry stored is zeros
       with the device name, not whatever the record held before. */
    ClearEntry(&g_rasEntry);
    g_rasEntry.dwSize = sizeof(RASENTRY);
    szNoEntry[0] = 0;
    RasGetEntryProperties(NULL, szNoEntry, &g_rasEntry, &dwSize, NULL, NULL);
    LoadStringW(hInstance, IDS_DEVICE_NAME, g_rasEntry.szDeviceName, DEVICE_NAME_ROOM);
}

/* Makes the entry the connection the synchronisation client uses. */
static void SetPcConnection(void)
{
    HKEY hKey;
    DWORD dwDisposition;

    if (RegCreateKeyExW(HKEY_CURRENT_USER, TEXT("ControlPanel\\Comm"), 0, NULL, 0, KEY_ALL_ACCESS,
                        NULL, &hKey, &dwDisposition) != ERROR_SUCCESS)
        return;
    RegSetValueExW(hKey, TEXT("Cnct"), 0, REG_SZ, (const BYTE *)g_szEntryName,
                   (DWORD)((wcslen(g_szEntryName) + 1) * sizeof(WCHAR)));
    RegCloseKey(hKey);
}

static void DeleteShortcut(HINSTANCE hInstance)
{
    LoadStringW(hInstance, IDS_SHORTCUT, g_szShortcut, NAME_ROOM);
    if (!DeleteFileW(g_szShortcut))
        NKDbgPrintfW(TEXT("Velmorra.lnk not deleted.  Error %i\r\n"), GetLastError());
}

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nShowCmd)
{
    (void)hPrevInstance;
    (void)lpCmdLine;
    (void)nShowCmd;

    PrepareEntry(hInstance);
    LoadStringW(hInstance, IDS_ENTRY_NAME, g_szEntryName, NAME_ROOM);
    if (RasSetEntryProperties(NULL, g_szEntryName, &g_rasEntry, sizeof(RASENTRY), NULL, 0) != 0) {
        NKDbgPrintfW(TEXT("Error %d from RasSetEntryProperties\r\n"), GetLastError());
    } else {
        NKDbgPrintfW(TEXT("RasEntry '%s' Created\r\n"), g_szEntryName);
        SetPcConnection();
    }
    DeleteShortcut(hInstance);
    return 0;
}
