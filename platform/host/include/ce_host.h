/*
 * The host stand-in's view of the platform: the types, constants and calls
 * that the product code uses, with the sizes and values the board has.
 *
 * Characters are 16-bit (char16_t) and TEXT() makes u"" literals; the C and
 * C++ libraries on the host keep their own 32-bit wchar_t, which product
 * code never sees.  BOOL, DWORD, LONG and UINT are 32 bits as on the board.
 * Handles are pointers whose values the stand-in keeps below 2^32; HICON is
 * a 32-bit value so that the Control Panel records keep the board's layout.
 */
#ifndef CE_HOST_H
#define CE_HOST_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define CE_API extern "C" __attribute__((visibility("default")))
#else
#define CE_API extern "C"
#endif

#define WINAPI
#define CALLBACK
#define APIENTRY
#define FAR
#define NEAR

typedef int32_t BOOL;
typedef int32_t INT;
typedef int32_t LONG;
typedef uint32_t DWORD;
typedef uint32_t UINT;
typedef uint32_t ULONG;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef int16_t SHORT;
typedef char16_t WCHAR;
typedef char CHAR;
typedef intptr_t INT_PTR;
typedef uintptr_t UINT_PTR;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t DWORD_PTR;
typedef INT_PTR LRESULT;
typedef INT_PTR LPARAM;
typedef UINT_PTR WPARAM;
typedef DWORD *LPDWORD;
typedef LONG *LPLONG;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef BYTE *LPBYTE;
typedef const BYTE *LPCBYTE;
typedef WCHAR *LPWSTR;
typedef const WCHAR *LPCWSTR;
typedef WCHAR *LPTSTR;
typedef const WCHAR *LPCTSTR;
typedef WCHAR TCHAR;
typedef DWORD ACCESS_MASK;
typedef ACCESS_MASK REGSAM;

typedef void *HANDLE;
typedef HANDLE *LPHANDLE;
typedef struct HWND__ *HWND;
typedef struct HINSTANCE__ *HINSTANCE;
typedef HINSTANCE HMODULE;
typedef struct HKEY__ *HKEY;
typedef HKEY *PHKEY;
typedef struct HRSRC__ *HRSRC;
typedef void *HGLOBAL;
typedef uint32_t HICON; /* 32 bits, as in the board's NEWCPLINFO */

#define TEXT(s) u##s
#define _T(s) u##s
#define L_(s) u##s

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

#define LOWORD(l) ((WORD)((DWORD_PTR)(l) & 0xffff))
#define HIWORD(l) ((WORD)(((DWORD_PTR)(l) >> 16) & 0xffff))
#define MAKELONG(a, b) ((LONG)(((WORD)(a)) | ((DWORD)((WORD)(b))) << 16))
#define MAKEWPARAM(l, h) ((WPARAM)(DWORD)MAKELONG(l, h))
#define MAKELPARAM(l, h) ((LPARAM)(DWORD)MAKELONG(l, h))
#define MAKEINTRESOURCEW(i) ((LPWSTR)((ULONG_PTR)((WORD)(i))))
#define MAKEINTRESOURCE(i) MAKEINTRESOURCEW(i)
#define IS_INTRESOURCE(r) ((((ULONG_PTR)(r)) >> 16) == 0)

/* ---- errors ---- */
#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_TOO_MANY_OPEN_FILES 4L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_DATA 13L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_INVALID_DRIVE 15L
#define ERROR_NOT_READY 21L
#define ERROR_GEN_FAILURE 31L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_DEV_NOT_EXIST 55L
#define ERROR_FILE_EXISTS 80L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_CALL_NOT_IMPLEMENTED 120L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_BAD_PATHNAME 161L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_BADDB 1009L
#define ERROR_BADKEY 1010L
#define ERROR_CANTOPEN 1011L
#define ERROR_CANTREAD 1012L
#define ERROR_CANTWRITE 1013L
#define ERROR_REGISTRY_CORRUPT 1015L
#define ERROR_KEY_DELETED 1018L
#define ERROR_INVALID_WINDOW_HANDLE 1400L
#define ERROR_INVALID_INDEX 1413L
#define ERROR_CONTROL_ID_NOT_FOUND 1421L
#define ERROR_RESOURCE_DATA_NOT_FOUND 1812L
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813L
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814L

/* ---- kernel ---- */
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 1
#define FILE_SHARE_WRITE 2
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0
#define WAIT_TIMEOUT 258
#define WAIT_FAILED 0xFFFFFFFFu
#define STILL_ACTIVE 259
#define EXCEPTION_ACCESS_VIOLATION 0xC0000005u
#define EXCEPTION_EXECUTE_HANDLER 1

#define METHOD_BUFFERED 0
#define FILE_ANY_ACCESS 0
#define CTL_CODE(DeviceType, Function, Method, Access) \
    (((DWORD)(DeviceType) << 16) | ((DWORD)(Access) << 14) | ((DWORD)(Function) << 2) | (DWORD)(Method))

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

typedef DWORD(WINAPI *PTHREAD_START_ROUTINE)(LPVOID);
typedef PTHREAD_START_ROUTINE LPTHREAD_START_ROUTINE;

CE_API DWORD GetLastError(void);
CE_API void SetLastError(DWORD error);
CE_API HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                          DWORD disposition, DWORD flags, HANDLE templ);
CE_API BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                            DWORD out_size, LPDWORD returned, LPOVERLAPPED overlapped);
CE_API BOOL CloseHandle(HANDLE object);
CE_API BOOL DeleteFileW(LPCWSTR path);
CE_API void NKDbgPrintfW(LPCWSTR format, ...);
CE_API void GwesPowerOffSystem(void);
CE_API void Sleep(DWORD ms);
CE_API HANDLE CreateThread(LPSECURITY_ATTRIBUTES sa, DWORD stack, LPTHREAD_START_ROUTINE start,
                           LPVOID param, DWORD flags, LPDWORD thread_id);
CE_API BOOL TerminateThread(HANDLE thread, DWORD exit_code);
CE_API DWORD WaitForSingleObject(HANDLE object, DWORD ms);
CE_API BOOL GetExitCodeThread(HANDLE thread, LPDWORD exit_code);
CE_API DWORD GetCurrentThreadId(void);
/* As on the board, the interlocked calls take a plain LONG *: a flag
   declared volatile is refused. */
CE_API LONG InterlockedExchange(LONG *target, LONG value);
CE_API LONG InterlockedCompareExchange(LONG *target, LONG exchange, LONG comparand);
CE_API LONG InterlockedIncrement(LONG *target);
CE_API LONG InterlockedDecrement(LONG *target);

/* The C library's wcslen works on wchar_t; the platform's on 16-bit characters. */
inline size_t wcslen(const WCHAR *s)
{
    size_t n = 0;
    while (s[n])
        ++n;
    return n;
}

/* ---- registry ---- */
#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)0x80000000u)
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)0x80000001u)
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)0x80000002u)
#define HKEY_USERS ((HKEY)(ULONG_PTR)0x80000003u)
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#define REG_OPTION_NON_VOLATILE 0
#define REG_CREATED_NEW_KEY 1
#define REG_OPENED_EXISTING_KEY 2
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F

CE_API LONG RegOpenKeyExW(HKEY key, LPCWSTR subkey, DWORD options, REGSAM sam, PHKEY result);
CE_API LONG RegCreateKeyExW(HKEY key, LPCWSTR subkey, DWORD reserved, LPWSTR cls, DWORD options,
                            REGSAM sam, LPSECURITY_ATTRIBUTES sa, PHKEY result, LPDWORD disposition);
CE_API LONG RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE *data,
                           DWORD size);
CE_API LONG RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                             LPDWORD size);
CE_API LONG RegDeleteValueW(HKEY key, LPCWSTR name);
CE_API LONG RegDeleteKeyW(HKEY key, LPCWSTR subkey);
CE_API LONG RegCloseKey(HKEY key);

/* ---- window system ---- */
#define WM_NULL 0x0000
#define WM_CREATE 0x0001
#define WM_DESTROY 0x0002
#define WM_SETFOCUS 0x0007
#define WM_KILLFOCUS 0x0008
#define WM_SETTEXT 0x000C
#define WM_GETTEXT 0x000D
#define WM_GETTEXTLENGTH 0x000E
#define WM_PAINT 0x000F
#define WM_CLOSE 0x0010
#define WM_QUIT 0x0012
#define WM_SETFONT 0x0030
#define WM_KEYDOWN 0x0100
#define WM_KEYUP 0x0101
#define WM_CHAR 0x0102
#define WM_INITDIALOG 0x0110
#define WM_COMMAND 0x0111
#define WM_SYSCOMMAND 0x0112
#define WM_HSCROLL 0x0114
#define WM_VSCROLL 0x0115
#define WM_LBUTTONDOWN 0x0201
#define WM_LBUTTONUP 0x0202
#define WM_USER 0x0400
#define WM_CTLCOLOR 0x0019
#define WM_QUERYDRAGICON 0x0037
#define WM_COMPAREITEM 0x0039
#define WM_VKEYTOITEM 0x002E
#define WM_CHARTOITEM 0x002F
#define WM_CTLCOLORMSGBOX 0x0132
#define WM_CTLCOLOREDIT 0x0133
#define WM_CTLCOLORLISTBOX 0x0134
#define WM_CTLCOLORBTN 0x0135
#define WM_CTLCOLORDLG 0x0136
#define WM_CTLCOLORSCROLLBAR 0x0137
#define WM_CTLCOLORSTATIC 0x0138

/* Indices for GetWindowLongW / SetWindowLongW. */
#define GWL_STYLE (-16)
#define GWL_EXSTYLE (-20)
#define GWL_ID (-12)
#define DWL_MSGRESULT 0

#define BM_GETCHECK 0x00F0
#define BM_SETCHECK 0x00F1
#define BM_GETSTATE 0x00F2
#define BM_SETSTATE 0x00F3
#define BM_CLICK 0x00F5
#define BST_UNCHECKED 0
#define BST_CHECKED 1
#define BST_INDETERMINATE 2
#define BST_FOCUS 8
#define BN_CLICKED 0

#define IDOK 1
#define IDCANCEL 2

#define SB_HORZ 0
#define SB_VERT 1
#define SB_CTL 2
#define SB_LINELEFT 0
#define SB_LINERIGHT 1
#define SB_PAGELEFT 2
#define SB_PAGERIGHT 3
#define SB_THUMBPOSITION 4
#define SB_THUMBTRACK 5
#define SB_LEFT 6
#define SB_RIGHT 7
#define SB_ENDSCROLL 8
#define SIF_RANGE 0x0001
#define SIF_PAGE 0x0002
#define SIF_POS 0x0004
#define SIF_DISABLENOSCROLL 0x0008
#define SIF_TRACKPOS 0x0010
#define SIF_ALL (SIF_RANGE | SIF_PAGE | SIF_POS | SIF_TRACKPOS)

#define WS_OVERLAPPED 0x00000000L
#define WS_POPUP 0x80000000L
#define WS_CHILD 0x40000000L
#define WS_VISIBLE 0x10000000L
#define WS_DISABLED 0x08000000L
#define WS_CAPTION 0x00C00000L
#define WS_BORDER 0x00800000L
#define WS_DLGFRAME 0x00400000L
#define WS_SYSMENU 0x00080000L
#define WS_GROUP 0x00020000L
#define WS_TABSTOP 0x00010000L
#define WS_EX_DLGMODALFRAME 0x00000001L
#define WS_EX_CAPTIONOKBTN 0x80000000L
#define DS_SETFONT 0x40L
#define DS_MODALFRAME 0x80L
#define DS_CENTER 0x0800L
#define BS_PUSHBUTTON 0x0L
#define BS_DEFPUSHBUTTON 0x1L
#define BS_CHECKBOX 0x2L
#define BS_AUTOCHECKBOX 0x3L
#define BS_RADIOBUTTON 0x4L
#define BS_3STATE 0x5L
#define BS_AUTO3STATE 0x6L
#define BS_GROUPBOX 0x7L
#define BS_AUTORADIOBUTTON 0x9L
#define BS_TYPEMASK 0xFL
#define SS_LEFT 0x0L
#define SBS_HORZ 0x0L
#define SBS_VERT 0x1L

typedef INT_PTR(CALLBACK *DLGPROC)(HWND, UINT, WPARAM, LPARAM);

#pragma pack(push, 2)
typedef struct {
    DWORD style;
    DWORD dwExtendedStyle;
    WORD cdit;
    short x;
    short y;
    short cx;
    short cy;
} DLGTEMPLATE, *LPDLGTEMPLATE;
#pragma pack(pop)
typedef const DLGTEMPLATE *LPCDLGTEMPLATE;
typedef const DLGTEMPLATE *LPCDLGTEMPLATEW;

typedef struct tagSCROLLINFO {
    UINT cbSize;
    UINT fMask;
    int nMin;
    int nMax;
    UINT nPage;
    int nPos;
    int nTrackPos;
} SCROLLINFO, *LPSCROLLINFO;
typedef const SCROLLINFO *LPCSCROLLINFO;

#define RT_ICON MAKEINTRESOURCEW(3)
#define RT_DIALOG MAKEINTRESOURCEW(5)
#define RT_STRING MAKEINTRESOURCEW(6)
#define RT_GROUP_ICON MAKEINTRESOURCEW(14)

CE_API HMODULE GetModuleHandleW(LPCWSTR name);
CE_API HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type);
CE_API HGLOBAL LoadResource(HMODULE module, HRSRC res);
CE_API LPVOID LockResource(HGLOBAL res);
CE_API DWORD SizeofResource(HMODULE module, HRSRC res);
CE_API int LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int room);
CE_API HICON LoadIconW(HINSTANCE instance, LPCWSTR name);
CE_API INT_PTR DialogBoxIndirectParamW(HINSTANCE instance, LPCDLGTEMPLATE templ, HWND owner,
                                       DLGPROC proc, LPARAM init);
CE_API BOOL EndDialog(HWND dlg, INT_PTR result);
CE_API HWND GetDlgItem(HWND dlg, int id);
CE_API int GetDlgCtrlID(HWND wnd);
CE_API LRESULT SendMessageW(HWND wnd, UINT msg, WPARAM wparam, LPARAM lparam);
CE_API LRESULT SendDlgItemMessageW(HWND dlg, int id, UINT msg, WPARAM wparam, LPARAM lparam);
CE_API BOOL PostMessageW(HWND wnd, UINT msg, WPARAM wparam, LPARAM lparam);

typedef struct tagPOINT {
    LONG x;
    LONG y;
} POINT;

typedef struct tagMSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
} MSG, *LPMSG;

#define PM_NOREMOVE 0x0000
#define PM_REMOVE 0x0001

/* Handles the messages other threads have sent to this thread's windows,
   then looks for a posted one (of hwnd, or any window of this thread when
   null, with a number in min..max, or any when both are 0): TRUE with it in
   *msg (taken off the queue with PM_REMOVE), FALSE when none waits. */
CE_API BOOL PeekMessageW(LPMSG msg, HWND hwnd, UINT min, UINT max, UINT remove);
CE_API int SetScrollInfo(HWND wnd, int bar, LPCSCROLLINFO info, BOOL redraw);
CE_API BOOL GetScrollInfo(HWND wnd, int bar, LPSCROLLINFO info);
CE_API BOOL IsWindow(HWND wnd);
CE_API LONG GetWindowLongW(HWND wnd, int index);
CE_API LONG SetWindowLongW(HWND wnd, int index, LONG value);

#define SendMessage SendMessageW
#define SendDlgItemMessage SendDlgItemMessageW

/* ---- Control Panel ---- */
#define CPL_INIT 1
#define CPL_GETCOUNT 2
#define CPL_INQUIRE 3
#define CPL_SELECT 4
#define CPL_DBLCLK 5
#define CPL_STOP 6
#define CPL_EXIT 7
#define CPL_NEWINQUIRE 8
#define CPL_STARTWPARMS 9

typedef struct tagCPLINFO {
    int idIcon;
    int idName;
    int idInfo;
    LONG lData;
} CPLINFO, *LPCPLINFO;

typedef struct tagNEWCPLINFO {
    DWORD dwSize;
    DWORD dwFlags;
    DWORD dwHelpContext;
    LONG lData;
    HICON hIcon;
    WCHAR szName[32];
    WCHAR szInfo[64];
    WCHAR szHelpFile[128];
} NEWCPLINFO, *LPNEWCPLINFO;

typedef LONG(APIENTRY *APPLET_PROC)(HWND, UINT, LPARAM, LPARAM);

/* ---- remote access ---- */
#define MAX_PATH 260
#define ERROR_BUFFER_TOO_SMALL 603L
#define ERROR_BUFFER_INVALID 610L
#define ERROR_CANNOT_LOAD_PHONEBOOK 622L
#define ERROR_CANNOT_FIND_PHONEBOOK_ENTRY 623L
#define ERROR_INVALID_SIZE 632L
#define ERROR_DEVICE_DOES_NOT_EXIST 608L
#define ERROR_DEVICETYPE_DOES_NOT_EXIST 609L
#define ERROR_CANNOT_OPEN_PHONEBOOK 621L
#define RAS_API CE_API
#include "../../ras_entry.h"

/* ---- program entry: the stand-in's start-up calls it ---- */
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR command_line, int show);

#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

/* ---- structured handlers ---- */
/* A fault raised inside the platform (for instance by a driver) reaches the
   caller as this exception; only the platform helpers catch it. */
struct ce_fault {
    DWORD code;
};
CE_API void RaiseException(DWORD code, DWORD flags, DWORD nargs, const ULONG_PTR *args);

static_assert(sizeof(CPLINFO) == 16, "CPLINFO is 16 bytes on the board");
static_assert(sizeof(NEWCPLINFO) == 468, "NEWCPLINFO is 468 bytes on the board");
static_assert(sizeof(SCROLLINFO) == 28, "SCROLLINFO is 28 bytes on the board");
static_assert(sizeof(RASENTRY) == 3472, "RASENTRY is 3472 bytes on the board");
static_assert(sizeof(DLGTEMPLATE) == 18, "DLGTEMPLATE is 18 bytes");

#endif
