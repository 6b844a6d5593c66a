/*
 * "GPI1:" on desktop Windows: when BOARD_GPI1 names a served board ('board
 * serve'), the driver handle is a connection to it (kept for the next open
 * once closed) and each request one frame there and back
 * (platform/served_wire.h); otherwise the calls are the system's, and the
 * device is absent as on any desktop.
 */
#include <winsock2.h>
#include <ws2tcpip.h>

#include "../platform.h"
#include "../served_wire.h"

#undef CreateFileW
#undef DeviceIoControl
#undef CloseHandle

namespace {

/* Where the served board is, as BOARD_GPI1 gives it. */
struct Served {
    sockaddr_in address;
    unsigned char secret[SERVED_SECRET_BYTES];
};

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

/* BOARD_GPI1=127.0.0.1:PORT:SECRET; false when unset or not of that form. */
bool served_board(Served *s)
{
    char value[128];
    DWORD n = GetEnvironmentVariableA(SERVED_ENV, value, sizeof value);
    const char prefix[] = "127.0.0.1:";
    if (n == 0 || n >= sizeof value || strncmp(value, prefix, sizeof prefix - 1) != 0)
        return false;
    const char *p = value + sizeof prefix - 1;
    unsigned long port = 0;
    while (*p >= '0' && *p <= '9' && port <= 65535)
        port = port * 10 + (unsigned long)(*p++ - '0');
    if (*p++ != ':' || port == 0 || port > 65535)
        return false;
    for (int i = 0; i < SERVED_SECRET_BYTES; ++i) {
        int high = hex_digit(p[2 * i]), low = high < 0 ? -1 : hex_digit(p[2 * i + 1]);
        if (low < 0)
            return false;
        s->secret[i] = (unsigned char)(high * 16 + low);
    }
    if (p[2 * SERVED_SECRET_BYTES] != 0)
        return false;
    memset(&s->address, 0, sizeof s->address);
    s->address.sin_family = AF_INET;
    s->address.sin_port = htons((u_short)port);
    s->address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return true;
}

/* The process id the board counts the handle under: the host system's,
   which its /proc tells a program under Wine (read once); the Windows one
   where there is none. */
LONG volatile g_pid;
DWORD board_pid()
{
    LONG pid = g_pid;
    if (pid > 0)
        return (DWORD)pid;
    pid = (LONG)GetCurrentProcessId();
    HANDLE f = CreateFileW(L"Z:\\proc\\self\\stat", GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (f != INVALID_HANDLE_VALUE) {
        char text[32];
        DWORD got = 0;
        if (ReadFile(f, text, sizeof text - 1, &got, NULL) && got > 0) {
            LONG unix_pid = 0;
            for (DWORD i = 0; i < got && text[i] >= '0' && text[i] <= '9' && unix_pid < 100000000; ++i)
                unix_pid = unix_pid * 10 + (text[i] - '0');
            if (unix_pid > 0)
                pid = unix_pid;
        }
        CloseHandle(f);
    }
    InterlockedExchange(&g_pid, pid);
    return (DWORD)pid;
}

LONG volatile g_started;
bool sockets_ready()
{
    if (g_started)
        return true;
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return false;
    if (InterlockedExchange(&g_started, 1) != 0)
        WSACleanup(); /* another thread started them meanwhile */
    return true;
}

/* Sends or receives exactly n bytes. */
bool send_all(SOCKET s, const void *buf, int n)
{
    const char *p = (const char *)buf;
    while (n > 0) {
        int put = send(s, p, n, 0);
        if (put <= 0)
            return false;
        p += put;
        n -= put;
    }
    return true;
}

bool recv_all(SOCKET s, void *buf, int n)
{
    char *p = (char *)buf;
    while (n > 0) {
        int got = recv(s, p, n, 0);
        if (got <= 0)
            return false;
        p += got;
        n -= got;
    }
    return true;
}

/* The served handles open now: the connection is the handle. */
const int kMostHandles = 256;
HANDLE volatile g_handles[kMostHandles];

bool is_served(HANDLE h)
{
    if (h == NULL || h == INVALID_HANDLE_VALUE)
        return false;
    for (int i = 0; i < kMostHandles; ++i)
        if (g_handles[i] == h)
            return true;
    return false;
}

bool remember(HANDLE h)
{
    for (int i = 0; i < kMostHandles; ++i)
        if (InterlockedCompareExchangePointer((PVOID volatile *)&g_handles[i], h, NULL) == NULL)
            return true;
    return false;
}

void forget(HANDLE h)
{
    for (int i = 0; i < kMostHandles; ++i)
        if (InterlockedCompareExchangePointer((PVOID volatile *)&g_handles[i], NULL, h) == h)
            return;
}

/* Connections whose handle was closed, kept for the next open: an open
   is then one hello and its answer, not a connection made afresh. */
const int kMostIdle = 8;
PVOID volatile g_idle[kMostIdle];

SOCKET take_idle()
{
    for (int i = 0; i < kMostIdle; ++i) {
        PVOID s = InterlockedExchangePointer(&g_idle[i], NULL);
        if (s)
            return (SOCKET)s;
    }
    return INVALID_SOCKET;
}

void keep_idle(SOCKET s)
{
    for (int i = 0; i < kMostIdle; ++i)
        if (InterlockedCompareExchangePointer(&g_idle[i], (PVOID)s, NULL) == NULL)
            return;
    closesocket(s);
}

SOCKET new_connection(const Served &board)
{
    if (!sockets_ready())
        return INVALID_SOCKET;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return INVALID_SOCKET;
    SetHandleInformation((HANDLE)s, HANDLE_FLAG_INHERIT, 0);
    BOOL on = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, (const char *)&on, sizeof on);
    if (connect(s, (const sockaddr *)&board.address, sizeof board.address) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

/* A connection to the served board that has said hello for purpose and
   been granted it; INVALID_SOCKET with *error the server's answer, or
   ERROR_FILE_NOT_FOUND (no device) when it cannot be reached.  A kept
   connection that no longer answers (its server ended) is let go and a
   new one made. */
SOCKET connect_board(const Served &board, unsigned int purpose, DWORD *error)
{
    served_hello hello;
    hello.magic = SERVED_MAGIC;
    hello.version = SERVED_VERSION;
    hello.pid = board_pid();
    hello.purpose = purpose;
    memcpy(hello.secret, board.secret, sizeof hello.secret);
    *error = ERROR_FILE_NOT_FOUND;
    for (int fresh = 0; fresh < 2; ++fresh) {
        SOCKET s = fresh ? new_connection(board) : take_idle();
        if (s == INVALID_SOCKET)
            continue;
        served_opened opened;
        if (!send_all(s, &hello, sizeof hello) || !recv_all(s, &opened, sizeof opened) ||
            opened.magic != SERVED_MAGIC) {
            closesocket(s);
            continue;
        }
        *error = opened.error;
        if (opened.error == 0)
            return s;
        keep_idle(s);
        return INVALID_SOCKET;
    }
    return INVALID_SOCKET;
}

bool is_driver_name(LPCWSTR name)
{
    return name && lstrcmpiW(name, L"GPI1:") == 0;
}

} // namespace

HANDLE PlatformCreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                           DWORD flags, HANDLE templ)
{
    Served board;
    if (!is_driver_name(name) || !served_board(&board))
        return CreateFileW(name, access, share, sa, disposition, flags, templ);
    /* The board's driver is opened one way only, as on the board. */
    if (access != 0 || share != 0 || sa != NULL || disposition != OPEN_EXISTING || flags != 0 || templ != NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    DWORD error;
    SOCKET s = connect_board(board, SERVED_OPEN, &error);
    if (s == INVALID_SOCKET) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    if (!remember((HANDLE)s)) {
        closesocket(s);
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
        return INVALID_HANDLE_VALUE;
    }
    return (HANDLE)s;
}

BOOL PlatformDeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD in_size, LPVOID out, DWORD out_size,
                             LPDWORD returned, LPOVERLAPPED overlapped)
{
    if (!is_served(device))
        return DeviceIoControl(device, code, in, in_size, out, out_size, returned, overlapped);
    if (overlapped) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    SOCKET s = (SOCKET)device;
    unsigned char frame[sizeof(served_request) + SERVED_MAX_BYTES];
    served_request r;
    r.kind = SERVED_REQUEST;
    r.code = code;
    r.in_size = in_size;
    r.out_size = out_size;
    r.length = in ? (in_size < SERVED_MAX_BYTES ? in_size : SERVED_MAX_BYTES) : 0;
    r.flags = (in ? 0 : SERVED_IN_NULL) | (out ? 0 : SERVED_OUT_NULL);
    memcpy(frame, &r, sizeof r);
    if (r.length)
        memcpy(frame + sizeof r, in, r.length);
    /* The answer and its bytes come in one piece, read so when they can be
       (each read is a call to Wine's server). */
    unsigned char reply[sizeof(served_answer) + SERVED_MAX_BYTES];
    served_answer a;
    int got = 0;
    if (!send_all(s, frame, (int)(sizeof r + r.length))) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    for (;;) {
        int n = recv(s, (char *)reply + got, (int)sizeof reply - got, 0);
        if (n <= 0) {
            SetLastError(ERROR_GEN_FAILURE);
            return FALSE;
        }
        got += n;
        if (got < (int)sizeof a)
            continue;
        memcpy(&a, reply, sizeof a);
        if (a.returned > SERVED_MAX_BYTES || got > (int)(sizeof a + a.returned)) {
            SetLastError(ERROR_GEN_FAILURE);
            return FALSE;
        }
        if (got == (int)(sizeof a + a.returned))
            break;
    }
    if (out && a.returned)
        memcpy(out, reply + sizeof a, a.returned < out_size ? a.returned : out_size);
    if (a.fault)
        RaiseException(EXCEPTION_ACCESS_VIOLATION, 0, 0, NULL);
    if (returned)
        *returned = a.returned;
    if (!a.ok) {
        SetLastError(a.error);
        return FALSE;
    }
    return TRUE;
}

BOOL PlatformCloseHandle(HANDLE object)
{
    if (!is_served(object))
        return CloseHandle(object);
    forget(object);
    SOCKET s = (SOCKET)object;
    /* The server takes the close before the next hello on the connection. */
    served_request r;
    memset(&r, 0, sizeof r);
    r.kind = SERVED_CLOSE;
    if (send_all(s, &r, sizeof r))
        keep_idle(s);
    else
        closesocket(s);
    return TRUE;
}

BOOL platform_served_power_off(void)
{
    Served board;
    if (!served_board(&board))
        return FALSE;
    DWORD error;
    SOCKET s = connect_board(board, SERVED_POWER_OFF, &error);
    if (s != INVALID_SOCKET)
        keep_idle(s);
    return TRUE;
}
