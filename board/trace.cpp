// The trace: one line a request (or open, close, boot) appended to the
// file BOARD_TRACE names, and the names request codes are traced under.
#include "board/board.h"

#include "board/file_util.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <unistd.h>

namespace board {

bool tracing()
{
    const char *file = std::getenv("BOARD_TRACE");
    return file && *file;
}

void trace(const std::string &line)
{
    const char *file = std::getenv("BOARD_TRACE");
    if (!file || !*file)
        return;
    int fd;
    try {
        fd = file_util::open_append(file);
    } catch (const Error &e) {
        // Said once, not on every event.
        static std::mutex said_lock;
        static std::string said;
        std::lock_guard<std::mutex> guard(said_lock);
        if (said != e.message)
            std::fprintf(stderr, "BOARD_TRACE: %s; no trace is written\n", e.message.c_str());
        said = e.message;
        return;
    }
    std::string whole = line + "\n";
    ssize_t n = write(fd, whole.data(), whole.size());
    (void)n;
    close(fd);
}

std::string code_name(uint32_t code)
{
    switch (code) {
    case kSetPin: return "IOCTL_GPIO_SET_PIN";
    case kGetPin: return "IOCTL_GPIO_GET_PIN";
    case kPwmStart: return "IOCTL_PWM_START";
    case kPwmStop: return "IOCTL_PWM_STOP";
    case kPwmSet: return "IOCTL_PWM_SET";
    }
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", code);
    return buf;
}

}  // namespace board
