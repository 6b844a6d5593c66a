// The device's files (board/device_files.h): device paths map into the
// board folder's file system root, and never out of it.
#include "host.h"

#include "board/board.h"
#include "board/device_files.h"

#include <cstdio>

namespace {

// A path the device could not hold: a lone surrogate has no file name.
bool whole_characters(LPCWSTR s)
{
    for (; *s; ++s) {
        if (*s >= 0xD800 && *s < 0xDC00 && s[1] >= 0xDC00 && s[1] < 0xE000)
            ++s;
        else if (*s >= 0xD800 && *s < 0xE000)
            return false;
    }
    return true;
}

}  // namespace

CE_API BOOL DeleteFileW(LPCWSTR path)
{
    host::KernelCall call;
    if (!path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!whole_characters(path)) {
        SetLastError(ERROR_INVALID_NAME);
        return FALSE;
    }
    DWORD error;
    try {
        error = board::files::remove(host::to_utf8(path));
    } catch (const board::Error &e) {
        std::fprintf(stderr, "host stand-in: %s\n", e.message.c_str());
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    if (error) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}
