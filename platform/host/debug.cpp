// The debug output: NKDbgPrintfW formats as the platform does (%s is a wide
// string) and writes each line whole to stderr, or appends it to the file
// that BOARD_DEBUG_LOG names (never through a link: see file_util.h), whole
// or not at all: a line the file has no room for goes to stderr, and the
// file is named there once.  While the board's serial debug port is on, each
// line also goes out on it (board/serial.h).
#include "host.h"

#include "board/board.h"
#include "board/file_util.h"
#include "board/serial.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <unistd.h>

namespace {

void pad(std::u16string &out, const std::u16string &field, int width, bool left, char16_t fill)
{
    int n = static_cast<int>(field.size());
    if (!left && fill == u'0' && !field.empty() && field[0] == u'-') {
        out += u'-';
        for (; n < width; ++n)
            out += u'0';
        out.append(field, 1, std::u16string::npos);
        return;
    }
    if (!left)
        for (; n < width; ++n)
            out += fill;
    out += field;
    if (left)
        for (; n < width; ++n)
            out += u' ';
}

std::u16string number(unsigned long long v, unsigned base, bool upper)
{
    const char *digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::u16string s;
    do {
        s.insert(s.begin(), static_cast<char16_t>(digits[v % base]));
        v /= base;
    } while (v);
    return s;
}

}  // namespace

namespace host {

std::u16string format(LPCWSTR f, va_list args)
{
    std::u16string out;
    if (!f)
        return out;
    while (*f) {
        if (*f != u'%') {
            out += *f++;
            continue;
        }
        ++f;
        bool left = false;
        char16_t fill = u' ';
        for (; *f == u'-' || *f == u'0' || *f == u'+' || *f == u' ' || *f == u'#'; ++f) {
            if (*f == u'-')
                left = true;
            else if (*f == u'0')
                fill = u'0';
        }
        int width = 0, precision = -1;
        if (*f == u'*') {
            width = va_arg(args, int);
            ++f;
        }
        for (; *f >= u'0' && *f <= u'9'; ++f)
            width = width * 10 + (*f - u'0');
        if (*f == u'.') {
            precision = 0;
            for (++f; *f >= u'0' && *f <= u'9'; ++f)
                precision = precision * 10 + (*f - u'0');
        }
        bool wide64 = false;
        for (; *f == u'l' || *f == u'h' || *f == u'w' || *f == u'I'; ++f) {
            if (*f == u'I' && f[1] == u'6' && f[2] == u'4') {
                wide64 = true;
                f += 2;
            }
        }
        std::u16string field;
        switch (*f) {
        case u'd':
        case u'i': {
            long long v = wide64 ? va_arg(args, long long) : va_arg(args, int);
            field = v < 0 ? u"-" + number(0ull - static_cast<unsigned long long>(v), 10, false)
                          : number(static_cast<unsigned long long>(v), 10, false);
            break;
        }
        case u'u':
        case u'x':
        case u'X': {
            unsigned long long v =
                wide64 ? va_arg(args, unsigned long long) : va_arg(args, unsigned int);
            field = number(v, *f == u'u' ? 10 : 16, *f == u'X');
            break;
        }
        case u'p':
            field = number(reinterpret_cast<uintptr_t>(va_arg(args, void *)), 16, true);
            break;
        case u'c':
            field = static_cast<char16_t>(va_arg(args, int));
            break;
        case u's': {
            const char16_t *s = va_arg(args, const char16_t *);
            field = s ? s : u"(null)";
            if (precision >= 0 && field.size() > static_cast<size_t>(precision))
                field.resize(precision);
            break;
        }
        case u'S': {  // a narrow string
            const char *s = va_arg(args, const char *);
            field = s ? to_utf16(s) : u"(null)";
            break;
        }
        case u'%':
            field = u"%";
            break;
        case 0:
            return out;
        default:
            field = u"%";
            field += *f;
            break;
        }
        ++f;
        pad(out, field, width, left, fill);
    }
    return out;
}

namespace {

// Writes line to stderr unless it is what *said holds, the last line of its
// kind: a file that fails is named once, not before every line.
void say_once(std::string *said, const std::string &line)
{
    static std::mutex said_lock;
    std::lock_guard<std::mutex> guard(said_lock);
    if (*said != line) {
        ssize_t n = write(2, line.data(), line.size());
        (void)n;
    }
    *said = line;
}

}  // namespace

void debug_write(const std::string &text)
{
    const char *log = std::getenv("BOARD_DEBUG_LOG");
    int fd = 2;
    if (log && *log) {
        try {
            fd = board::file_util::open_append(log);
        } catch (const board::Error &e) {
            static std::string said;
            say_once(&said, "BOARD_DEBUG_LOG: " + e.message + "; the debug output goes here\n");
        }
    }
    // A line the log has no room for is not cut: it goes here instead.
    if (!board::file_util::append_whole(fd, text) && fd != 2) {
        static std::string said;
        say_once(&said, "BOARD_DEBUG_LOG: cannot write " + std::string(log) + ": " +
                            std::strerror(errno) + "; the debug output goes here\n");
        board::file_util::append_whole(2, text);
    }
    if (fd != 2)
        close(fd);
    try {
        board::serial::write(text);
    } catch (const board::Error &e) {
        static std::string said;
        say_once(&said, "serial debug port: " + e.message + "\n");
    }
}

}  // namespace host

CE_API void NKDbgPrintfW(LPCWSTR format, ...)
{
    host::KernelCall call;
    va_list args;
    va_start(args, format);
    std::u16string line = host::format(format, args);
    va_end(args);
    host::debug_write(host::to_utf8(line.c_str(), line.size()));
}
