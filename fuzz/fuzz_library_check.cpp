// Any file in place of an applet library: the check before loading reads
// it within its bounds, never crashes, and refuses what is no library.
#include "library_check.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int fd = memfd_create("library", 0);
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
        std::abort();
    std::string why = cpl::library_problem("/proc/self/fd/" + std::to_string(fd));
    if (size < 64 && why.empty())
        std::abort();  // shorter than any header
    return 0;
}
