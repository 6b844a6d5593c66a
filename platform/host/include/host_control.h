// Controls and spies of the host stand-in, for tests and tools.  Product
// code never includes this.
#pragma once

#include "ce_host.h"

#include <cstddef>

// Handles open in this process, of one kind ("device", "thread", ...) or of
// every kind when kind is null.
CE_API size_t host_open_handles(const char *kind);

// Counts of device handles opened and closed in this process since start.
CE_API size_t host_device_opens(void);
CE_API size_t host_device_closes(void);

// Threads that TerminateThread ended before they finished on their own, in
// this process since start.
CE_API size_t host_threads_terminated(void);

// The next RasGetEntryProperties call in this process fails with error and
// leaves the caller's record as it was.
CE_API void host_ras_fail_next_read(DWORD error);
