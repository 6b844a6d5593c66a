/*
 * The frame every applet presents to the Control Panel: CPlApplet, written
 * once.  Each applet supplies its values in g_applet and its dialog
 * procedure; the frame keeps the module instance handle.
 */
#ifndef APPLET_FRAME_H
#define APPLET_FRAME_H

#include "../../platform/platform.h"

typedef struct AppletInfo {
    LPCWSTR moduleName;  /* passed to GetModuleHandleW on CPL_INIT */
    int dialogId;        /* dialog template run on CPL_DBLCLK */
    int iconId;          /* icon of CPL_INQUIRE and CPL_NEWINQUIRE */
    LONG newInquireData; /* lData of CPL_NEWINQUIRE */
    LPCWSTR checkFile;   /* source path of the index check, or NULL for none */
    int checkLine;       /* line number the index check reports */
    BOOL traceInit;      /* write the instance trace line on CPL_INIT */
    DLGPROC dialogProc;
} AppletInfo;

/* Defined by each applet. */
extern const AppletInfo g_applet;

/* The module instance handle, set on CPL_INIT. */
extern HINSTANCE g_hInst;

#endif
