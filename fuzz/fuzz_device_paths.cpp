// Any device path: resolving it never leaves the device's root and never
// goes through a host link; reading it never blocks on a pipe and, on a disk
// that does not fail, never reports a failed read (a link, a folder or a
// pipe is no file, not an I/O error); any shortcut text gives a target or
// false.
#include "board_dir.h"
#include "board/device_files.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string g_root;

void setup()
{
    std::string dir = fuzz_board_dir();
    g_root = board::files::root();
    mkdir((g_root + "/Windows/a..b").c_str(), 0777);
    mkdir((dir + "/outside").c_str(), 0777);
    symlink((dir + "/outside").c_str(), (g_root + "/Temp/link").c_str());
    symlink("..", (g_root + "/up").c_str());
    mkfifo((g_root + "/Temp/pipe").c_str(), 0666);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (g_root.empty())
        setup();
    std::string text(reinterpret_cast<const char *>(data), size);
    std::string target;
    if (board::files::shortcut_target(text, &target) && target.empty())
        std::abort();
    std::string content;
    int error = 0;
    if (board::files::read(text, &content, 4096, &error) == board::files::Read::Failed) {
        std::fprintf(stderr, "a read failed on a sound disk (errno %d)\n", error);
        std::abort();
    }
    board::files::Found f = board::files::resolve(text);
    if (f.error == 31) {
        std::fprintf(stderr, "resolving failed on a sound disk: %s\n", f.why.c_str());
        std::abort();
    }
    if (f.host.empty())
        return 0;
    if (f.host.compare(0, g_root.size() + 1, g_root + "/") != 0) {
        std::fprintf(stderr, "left the root: %s\n", f.host.c_str());
        std::abort();
    }
    std::string rest = f.host.substr(g_root.size() + 1);
    size_t pos = 0;
    std::string walked = g_root;
    for (;;) {
        size_t end = rest.find('/', pos);
        std::string part = rest.substr(pos, end == std::string::npos ? end : end - pos);
        if (part.empty() || part == "." || part == "..") {
            std::fprintf(stderr, "bad element in %s\n", f.host.c_str());
            std::abort();
        }
        walked += "/" + part;
        struct stat st;
        if (lstat(walked.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
            std::fprintf(stderr, "through a link: %s\n", f.host.c_str());
            std::abort();
        }
        if (end == std::string::npos)
            break;
        pos = end + 1;
    }
    return 0;
}
