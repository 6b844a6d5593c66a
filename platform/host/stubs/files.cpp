#include "stub.h"
STUB(BOOL, FALSE, DeleteFileW, (LPCWSTR))
