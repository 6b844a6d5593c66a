/*
 * CPlApplet, the one entry point the Control Panel drives, shared by every
 * applet.  Each library holds exactly one applet, described by g_applet:
 * its name and description are strings 1 and 2 of its resources, its icon
 * and dialog template ids come from g_applet.
 */
#include "frame.h"

#if defined(_WIN32) || defined(UNDER_CE)
#define CPL_EXPORT extern "C" __declspec(dllexport)
#else
#define CPL_EXPORT extern "C" __attribute__((visibility("default")))
#endif

/* The Control Panel hands these records over as the board lays them out. */
PLATFORM_RECORD_SIZE(CPLINFO, 16);
PLATFORM_RECORD_SIZE(NEWCPLINFO, 468);

#define IDS_APPLET_NAME 1
#define IDS_APPLET_INFO 2

HINSTANCE g_hInst = NULL;

static void OnInit(void)
{
    g_hInst = GetModuleHandleW(g_applet.moduleName);
    if (g_applet.traceInit)
        NKDbgPrintfW(TEXT("pwmcpl::ghInst = GetModuleHandle(TEXT(Hemlark.cpl)) = %d (0x%x)\r\n"),
                     (DWORD)(UINT_PTR)g_hInst, (DWORD)(UINT_PTR)g_hInst);
}

static void OnInquire(CPLINFO *info)
{
    info->idIcon = g_applet.iconId;
    info->idName = IDS_APPLET_NAME;
    info->idInfo = IDS_APPLET_INFO;
}

/* Each library holds one applet, so the index must be 0; any other is
   reported and answered as if it were 0. */
static void CheckIndex(LPARAM index)
{
    if (g_applet.checkFile && index != 0)
        NKDbgPrintfW(TEXT("%s: DEBUGCHK failed in file %s at line %d \r\n"), TEXT("Unknown"),
                     g_applet.checkFile, g_applet.checkLine);
}

static void OnNewInquire(LPARAM index, NEWCPLINFO *info)
{
    CheckIndex(index);
    info->dwSize = sizeof(NEWCPLINFO);
    info->dwFlags = 0;
    info->dwHelpContext = 0;
    info->lData = g_applet.newInquireData;
    info->hIcon = LoadIconW(g_hInst, MAKEINTRESOURCEW(g_applet.iconId));
    /* A missing string leaves the field empty. */
    info->szName[0] = 0;
    info->szInfo[0] = 0;
    LoadStringW(g_hInst, IDS_APPLET_NAME, info->szName, sizeof info->szName / sizeof info->szName[0]);
    LoadStringW(g_hInst, IDS_APPLET_INFO, info->szInfo, sizeof info->szInfo / sizeof info->szInfo[0]);
    info->szHelpFile[0] = 0;
}

/* Runs the applet's dialog modally; returns when it ends.  Without its
   template there is no dialog. */
static void OnDoubleClick(HWND owner)
{
    HRSRC res = FindResourceW(g_hInst, MAKEINTRESOURCEW(g_applet.dialogId), RT_DIALOG);
    HGLOBAL loaded = res ? LoadResource(g_hInst, res) : NULL;
    LPCDLGTEMPLATE templ = loaded ? (LPCDLGTEMPLATE)LockResource(loaded) : NULL;
    if (templ)
        DialogBoxIndirectParamW(g_hInst, templ, owner, g_applet.dialogProc, 0);
}

CPL_EXPORT LONG APIENTRY CPlApplet(HWND hwndCPl, UINT message, LPARAM lParam1, LPARAM lParam2)
{
    switch (message) {
    case CPL_INIT:
        OnInit();
        return 1;
    case CPL_GETCOUNT:
        return 1;
    case CPL_INQUIRE:
        OnInquire((CPLINFO *)lParam2);
        return 0;
    case CPL_DBLCLK:
        OnDoubleClick(hwndCPl);
        return 0;
    case CPL_NEWINQUIRE:
        OnNewInquire(lParam1, (NEWCPLINFO *)lParam2);
        return 0;
    default: /* CPL_SELECT, CPL_STOP, CPL_EXIT and the rest: nothing to do */
        return 0;
    }
}

#if defined(_WIN32) || defined(UNDER_CE)
/* Loading and unloading the library need nothing. */
BOOL WINAPI DllMain(HANDLE instance, DWORD reason, LPVOID reserved)
{
    (void)instance;
    (void)reason;
    (void)reserved;
    return TRUE;
}
#endif
