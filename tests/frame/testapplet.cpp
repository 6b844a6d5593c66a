/* The applet the frame tests load: the frame with a trivial dialog. */
#include "../../applets/frame/frame.h"
#include "resource.h"

static INT_PTR CALLBACK TestDialogProc(HWND dlg, UINT message, WPARAM wParam, LPARAM)
{
    if (message == WM_COMMAND && LOWORD(wParam) == IDOK)
        EndDialog(dlg, 1);
    return 0;
}

const AppletInfo g_applet = {
    APPLET_MODULE_NAME, IDD_TEST, IDI_PROBE, 42,
#ifdef APPLET_TRACE
    NULL, 0, TRUE,
#else
    TEXT("SRC\\APPS\\FrameTest\\frametest"), 47, FALSE,
#endif
    TestDialogProc};
