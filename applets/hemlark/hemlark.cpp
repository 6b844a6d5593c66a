/*
 * Hemlark: PWM test.  The dialog opens the GPIO driver and starts both PWM
 * channels; three scroll bars per channel (cr, dcr, pcr) hold the rates,
 * which go to the driver after every scroll event; Done stops both
 * channels and closes the driver.
 */
#include "../../platform/platform.h"
#include "../../gpio/gpio_ioctl.h"
#include "../frame/frame.h"
#include "resource.h"

#define PWM_CHANNELS 2
#define BAR_PAGE 10

INT_PTR CALLBACK PwmDialogProc(HWND hDlg, UINT msg, WPARAM wParam, LPARAM lParam);

const AppletInfo g_applet = {
    TEXT("Hemlark.cpl"),
    IDD_PWM,
    IDI_HEMLARK,
    103,
    NULL,
    0,
    TRUE,
    PwmDialogProc,
};

/* The scroll bars read and write this record as the board lays it out. */
PLATFORM_RECORD_SIZE(SCROLLINFO, 28);

/* The driver, open for the life of the dialog. */
static HANDLE ghDriver = INVALID_HANDLE_VALUE;

/* The bars of each channel: cr, dcr, pcr. */
static const int s_bars[PWM_CHANNELS][3] = {
    { IDC_PWM0_CR, IDC_PWM0_DCR, IDC_PWM0_PCR },
    { IDC_PWM1_CR, IDC_PWM1_DCR, IDC_PWM1_PCR },
};

/* Sends one PWM request; the driver's answer is not looked at. */
static void SendPwm(DWORD code, DWORD channel, DWORD enable, DWORD cr, DWORD dcr, DWORD pcr)
{
    PwmRequest request;
    request.channel = channel;
    request.enable = enable;
    request.cr = cr;
    request.dcr = dcr;
    request.pcr = pcr;
    DeviceIoControl(ghDriver, code, &request, sizeof request, NULL, 0, NULL, NULL);
}

static void OpenAndStart(void *context)
{
    (void)context;
    ghDriver = CreateFileW(GPIO_DEVICE_NAME, 0, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (ghDriver == INVALID_HANDLE_VALUE)
        NKDbgPrintfW(TEXT("Error: can't open GPI1:\r\n"));
    SendPwm(IOCTL_PWM_START, 0, 1, 0, 0, 0);
    SendPwm(IOCTL_PWM_START, 1, 1, 0, 0, 0);
}

/* A cleared scroll record asking for the fields of mask. */
static void ClearScrollInfo(SCROLLINFO *si, UINT mask)
{
    si->cbSize = sizeof *si;
    si->fMask = mask;
    si->nMin = 0;
    si->nMax = 0;
    si->nPage = 0;
    si->nPos = 0;
    si->nTrackPos = 0;
}

static void SetBar(HWND hDlg, int id, SCROLLINFO *si)
{
    SetScrollInfo(GetDlgItem(hDlg, id), SB_CTL, si, TRUE);
}

static void InitDialog(HWND hDlg)
{
    SCROLLINFO si;
    if (!platform_try_except(OpenAndStart, NULL))
        NKDbgPrintfW(TEXT("pwm app --- ex\r\n"));

    ClearScrollInfo(&si, SIF_ALL);
    si.nMax = 63;
    si.nPage = BAR_PAGE;
    si.nPos = 16;
    si.nTrackPos = 1;
    SetBar(hDlg, IDC_PWM0_CR, &si);
    SetBar(hDlg, IDC_PWM1_CR, &si);
    si.nMax = 1023;
    si.nPos = 256;
    SetBar(hDlg, IDC_PWM0_DCR, &si);
    SetBar(hDlg, IDC_PWM1_DCR, &si);
    si.nPos = 512;
    SetBar(hDlg, IDC_PWM0_PCR, &si);
    SetBar(hDlg, IDC_PWM1_PCR, &si);
}

static int BarPosition(HWND hDlg, int id)
{
    SCROLLINFO si;
    ClearScrollInfo(&si, SIF_POS);
    GetScrollInfo(GetDlgItem(hDlg, id), SB_CTL, &si);
    return si.nPos;
}

/* Moves the scrolled bar (which clamps the position into its range), then
   sends both channels' rates as the bars now hold them. */
static void Scroll(HWND hDlg, HWND hBar, int code)
{
    SCROLLINFO si;
    int channel;
    ClearScrollInfo(&si, SIF_ALL);
    GetScrollInfo(hBar, SB_CTL, &si);
    switch (code) {
    case SB_LINELEFT:
        si.nPos -= 1;
        break;
    case SB_LINERIGHT:
        si.nPos += 1;
        break;
    case SB_PAGELEFT:
        si.nPos -= (int)si.nPage;
        break;
    case SB_PAGERIGHT:
        si.nPos += (int)si.nPage;
        break;
    case SB_THUMBTRACK:
        si.nPos = si.nTrackPos;
        break;
    case SB_LEFT:
        si.nPos = si.nMin;
        break;
    case SB_RIGHT:
        si.nPos = si.nMax;
        break;
    default:
        break;
    }
    si.fMask = SIF_POS;
    SetScrollInfo(hBar, SB_CTL, &si, TRUE);

    for (channel = 0; channel < PWM_CHANNELS; channel++) {
        int cr = BarPosition(hDlg, s_bars[channel][0]);
        int dcr = BarPosition(hDlg, s_bars[channel][1]);
        int pcr = BarPosition(hDlg, s_bars[channel][2]);
        SendPwm(IOCTL_PWM_SET, channel, 0, cr, dcr, pcr);
    }
}

static void Done(HWND hDlg)
{
    SendPwm(IOCTL_PWM_STOP, 0, 0, 0, 0, 0);
    SendPwm(IOCTL_PWM_STOP, 1, 0, 0, 0, 0);
    if (ghDriver != INVALID_HANDLE_VALUE) {
        CloseHandle(ghDriver);
        ghDriver = INVALID_HANDLE_VALUE;
    }
    EndDialog(hDlg, 1);
}

INT_PTR CALLBACK PwmDialogProc(HWND hDlg, UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg) {
    case WM_INITDIALOG:
        InitDialog(hDlg);
        return TRUE;

    case WM_HSCROLL:
        Scroll(hDlg, (HWND)lParam, LOWORD(wParam));
        return TRUE;

    case WM_COMMAND:
        if (LOWORD(wParam) == IDC_DONE)
            Done(hDlg);
        return FALSE;

    case WM_CLOSE:
        SendMessageW(hDlg, WM_COMMAND, IDC_DONE, (LPARAM)GetDlgItem(hDlg, IDC_DONE));
        return FALSE;
    }
    return FALSE;
}
