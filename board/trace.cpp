// The trace: one line a request (or open, close, boot) appended to the
// file BOARD_TRACE names, and the names request codes are traced under.
#include "board/board.h"

#include "board/file_util.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
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

std::string request_sent(uint32_t code, const void *in, uint32_t in_size)
{
    std::string line = code_name(code) + " " + std::to_string(in_size);
    for (uint32_t i = 0; in && i + 4 <= in_size && i < 64; i += 4) {
        int32_t w;
        std::memcpy(&w, static_cast<const char *>(in) + i, 4);
        line += " " + std::to_string(w);
    }
    return line + " -> ";
}

std::string request_answer(uint32_t code, const Result &r, const void *out)
{
    if (r.fault)
        return "0 fault";
    if (!r.ok)
        return "0";
    if (code != kGetPin || !out)
        return "1";
    int32_t level;
    std::memcpy(&level, static_cast<const char *>(out) + 4, 4);
    return "1 level=" + std::to_string(level);
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
