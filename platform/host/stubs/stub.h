// Platform calls that the stand-in does not provide yet: each says so once
// on stderr and fails with ERROR_CALL_NOT_IMPLEMENTED, never pretending.
#pragma once
#include "../host.h"

#define STUB(ret, fail, name, params)                 \
    CE_API ret name params                            \
    {                                                 \
        host::not_implemented(#name);                 \
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);     \
        return fail;                                  \
    }
