#include "board/serial.h"

#include "board/serial_port.h"
#include "board/file_util.h"
#include "board/registry_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace board {
namespace serial {
namespace {

const char kFile[] = "serial.log";
const char kDebugKey[] = "HKEY_LOCAL_MACHINE\\Debug";

}  // namespace

std::string file_path() { return path(kFile); }

Choice next_start()
{
    const std::string deflt = std::string("the image's default ") + std::to_string(kImageDefault);
    reg::Hive hive;
    try {
        hive = reg::read();
    } catch (const reg::Damaged &d) {
        return Choice{kImageDefault != 0, "the registry cannot be read (" + d.what() + "): " + deflt};
    } catch (const Error &e) {
        return Choice{kImageDefault != 0, e.message + ": " + deflt};
    }
    const reg::Key *key = hive.find(kDebugKey);
    const reg::Value *v = key ? reg::Hive::find_value(*key, "dbgSerial") : nullptr;
    if (!v)
        return Choice{kImageDefault != 0, "dbgSerial not set: " + deflt};
    if (v->type != reg::kDword || v->data.size() != 4)
        return Choice{kImageDefault != 0, "dbgSerial is no DWORD: " + deflt};
    uint32_t value = v->data[0] | v->data[1] << 8 | v->data[2] << 16 | uint32_t(v->data[3]) << 24;
    if (value > 1)
        return Choice{kImageDefault != 0,
                      "dbgSerial " + std::to_string(value) + " is neither 0 nor 1: " + deflt};
    return Choice{value == 1, "dbgSerial " + std::to_string(value)};
}

Choice apply_at_start()
{
    Choice c = next_start();
    set_serial_port(c.on);
    return c;
}

void write(const std::string &text)
{
    if (text.empty() || !serial_port_on())
        return;
    std::string p = file_path();
    // A file of its own, never reached through a link.
    int fd = file_util::open_file(p, O_WRONLY | O_APPEND | O_CREAT, file_util::Kind::Written);
    if (fd < 0)
        throw Error{"cannot open " + p + ": " + std::strerror(errno)};
    // Whole or not at all, so lines of several programs never mix and a
    // full disk leaves no line torn.
    bool whole = file_util::append_whole(fd, text);
    int e = errno;
    close(fd);
    if (!whole)
        throw Error{"cannot write " + p + ": " + std::strerror(e)};
}

int open_for_reading()
{
    std::string p = file_path();
    int fd = file_util::open_file(p, O_RDONLY, file_util::Kind::Read);
    if (fd < 0) {
        if (errno == ENOENT)
            return -1;
        throw Error{errno == EINVAL ? p + " is not a regular file"
                                    : "cannot open " + p + ": " + std::strerror(errno)};
    }
    return fd;
}

std::string tail(size_t limit)
{
    int fd = open_for_reading();
    if (fd < 0)
        return std::string();
    long long end;
    std::string text = tail_of(fd, limit, &end);
    close(fd);
    return text;
}

std::string tail_of(int fd, size_t limit, long long *end)
{
    struct stat st;
    off_t size = fstat(fd, &st) == 0 ? st.st_size : 0;
    off_t from = std::max<off_t>(0, size - static_cast<off_t>(limit));
    std::string text(static_cast<size_t>(size - from), '\0');
    size_t got = 0;
    while (got < text.size()) {
        ssize_t n = pread(fd, &text[got], text.size() - got, from + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    text.resize(got);
    *end = from + static_cast<off_t>(got);
    if (from > 0) {
        // The window starts inside a line: begin at the next whole one.
        size_t nl = text.find('\n');
        text.erase(0, nl == std::string::npos ? text.size() : nl + 1);
    }
    return text;
}

void reset()
{
    std::string p = file_path();
    // unlink takes a link itself away, never what it points to.
    if (unlink(p.c_str()) != 0 && errno != ENOENT)
        throw Error{"cannot empty the serial port's file " + p + ": " + std::strerror(errno)};
}

}  // namespace serial
}  // namespace board
