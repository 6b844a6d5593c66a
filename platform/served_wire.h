/*
 * The frames between a desktop program's "GPI1:" (platform/win32/served.cpp)
 * and 'board serve' (tools/board_serve.cpp): fixed records of little-endian
 * 32-bit words over TCP connections on 127.0.0.1, each holding one driver
 * handle at a time.  Plain C, so the desktop shim (C++98) and the server
 * (C++17) share it.
 *
 *   client                                server
 *   hello (pid, secret)          ->
 *                                <-       opened (0, or the error refusing the open)
 *   request (kind, code, sizes) + bytes -> answer (ok, error, returned, fault) + bytes
 *   ...
 *   close                        ->       (no answer: the stream keeps the order)
 *   hello ...                             the next handle, on the same connection
 *
 * A connection that drops ends its handle.  A frame out of order, of a
 * wrong size or with a wrong secret ends that connection alone.
 */
#ifndef PLATFORM_SERVED_WIRE_H
#define PLATFORM_SERVED_WIRE_H

/* The one environment setting naming the served board:
   BOARD_GPI1=127.0.0.1:PORT:SECRET (SECRET: kServedSecretBytes in hex). */
#define SERVED_ENV "BOARD_GPI1"
#define SERVED_ENV_W L"BOARD_GPI1"
/* The file in the board folder, owner-only, holding the same line. */
#define SERVED_FILE "gpi1.served"

#define SERVED_MAGIC 0x31495047u /* "GPI1" */
#define SERVED_VERSION 1u
#define SERVED_SECRET_BYTES 16
/* The most of a record's bytes a request carries (the trace shows 16 words). */
#define SERVED_MAX_BYTES 64
/* What a hello asks for. */
enum served_purpose {
    SERVED_OPEN = 0,     /* a driver handle, for the connection's life */
    SERVED_POWER_OFF = 1 /* GwesPowerOffSystem: the system powers the board off; no handle */
};

enum served_kind {
    SERVED_REQUEST = 1, /* one DeviceIoControl */
    SERVED_CLOSE = 2    /* CloseHandle */
};

/* served_request.flags: the caller passed a null buffer. */
#define SERVED_IN_NULL 1u
#define SERVED_OUT_NULL 2u

/* Words are in the byte order of both ends (little-endian x86). */
struct served_hello {
    unsigned int magic, version, pid, purpose;
    unsigned char secret[SERVED_SECRET_BYTES];
};

struct served_opened {
    unsigned int magic, error; /* error 0: the handle is open */
};

/* followed by `length` bytes: the input record's first bytes (all of
   them, up to SERVED_MAX_BYTES) */
struct served_request {
    unsigned int kind, code, in_size, out_size, length, flags;
};

/* followed by `returned` bytes (at most SERVED_MAX_BYTES) of output */
struct served_answer {
    unsigned int ok, error, returned, fault;
};

#endif
