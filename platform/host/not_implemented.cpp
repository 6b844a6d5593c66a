// The one line a stand-in call that is not written yet leaves on stderr,
// once per call, so that a missing call fails loudly instead of pretending.
#include "host.h"

#include <cstdio>
#include <mutex>
#include <set>

namespace host {

void not_implemented(const char *call)
{
    static std::mutex lock;
    static std::set<std::string> told;
    std::lock_guard<std::mutex> guard(lock);
    if (told.insert(call).second)
        std::fprintf(stderr, "host stand-in: %s is not implemented\n", call);
}

}  // namespace host
