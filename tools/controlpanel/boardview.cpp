// The board view's model: what it reads of the board (its state, events,
// registry values, the tail of the debug output), the user's hands on the
// board (pin levels, the device, a boot) and how a boot ended, fitted to
// its line.  How it is laid out in lines is boardview_lines.cpp.
#include "boardview.h"

#include "common/text.h"
#include "board/boot.h"
#include "board/file_util.h"
#include "board/registry_file.h"
#include "event_format.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>


namespace {

// A device path written as "\Windows\Velmorra.exe" becomes "Velmorra.exe".
std::string without_device_folders(const std::string &s)
{
    std::string out;
    size_t word = 0;
    for (size_t i = 0; i <= s.size(); ++i) {
        if (i < s.size() && s[i] != ' ')
            continue;
        std::string w = s.substr(word, i - word);
        size_t back = w.rfind('\\');
        if (back != std::string::npos && back + 1 < w.size())
            w = w.substr(back + 1);
        out += w;
        if (i < s.size())
            out += ' ';
        word = i + 1;
    }
    return out;
}

}  // namespace

std::string fit_boot_result(const std::string &result, int width, bool utf8)
{
    if (text_width(result) <= width)
        return result;
    // "done: boot: \Windows\Velmorra.exe exited with code 0": the word
    // before the colon and the end, with the exit code, matter most.
    size_t colon = result.find(": ");
    std::string word = colon == std::string::npos ? "" : result.substr(0, colon + 2);
    std::string rest = colon == std::string::npos ? result : result.substr(colon + 2);
    if (rest.rfind("boot: ", 0) == 0)
        rest = rest.substr(6);
    rest = without_device_folders(rest);
    if (text_width(word + rest) > width) {
        size_t exited = rest.rfind(" exited with code ");
        if (exited != std::string::npos)
            rest = rest.substr(0, exited) + " exit code " + rest.substr(exited + 18);
    }
    if (text_width(word + rest) <= width)
        return word + rest;
    std::string dots = ellipsis(utf8);
    int room = width - text_width(word) - text_width(dots);
    if (room <= 0)
        return last_cells(word + rest, width);
    return word + dots + last_cells(rest, room);
}

BoardView::BoardView(const std::string &dir, const std::string &debug_log)
    : dir_(dir), log_(debug_log)
{
}

BoardView::~BoardView()
{
    if (boot_thread_.joinable())
        boot_thread_.join();
}

void BoardView::refresh()
{
    try {
        status_ = board::status();
        error_.clear();
    } catch (const board::Error &e) {
        error_ = e.message;
    }
    auto now = std::chrono::steady_clock::now();
    if (now - registry_read_ >= std::chrono::milliseconds(500)) {
        registry_read_ = now;
        dbg_serial_ = registry_text(HKEY_LOCAL_MACHINE, u"Debug", u"dbgSerial");
        cnct_ = registry_text(HKEY_CURRENT_USER, u"ControlPanel\\Comm", u"Cnct");
        serial_next_ = board::serial::next_start();
        try {
            serial_on_ = board::serial_port_on();
        } catch (const board::Error &) {
            serial_on_ = false;  // the board's state is shown as damaged above
        }
        sync_ = sync_verdict();
    }
    if (!log_.empty())
        tail_ = tail_lines(log_, 64);
    if (!error_.empty())
        return;
    try {
        if (!reader_) {
            reader_.reset(new board::EventReader);
            reader_->want_requests(true);
        }
        polled_.clear();
        uint64_t missed = reader_->poll(polled_);
        add_events(polled_, missed);
    } catch (const board::Error &e) {
        error_ = e.message;
    }
}

void BoardView::add_events(const std::vector<board::Event> &events, uint64_t missed)
{
    missed_ += missed;
    size_t take = std::min(events.size(), kKeptEvents);
    size_t keep = std::min(events_.size(), kKeptEvents - take);
    events_.erase(events_.begin(), events_.end() - keep);
    events_.insert(events_.end(), events.end() - take, events.end());
}

std::string BoardView::cycle_pin(int pin)
{
    try {
        int now = board::status().pins[pin].external;
        int next = now < 0 ? 0 : now == 0 ? 1 : -1;
        board::set_input(pin, next);
        return "pin " + std::to_string(pin) +
               (next < 0 ? ": no level from outside" : next ? ": held high from outside" : ": held low from outside");
    } catch (const board::Error &e) {
        return e.message;
    }
}

std::string BoardView::toggle_plug()
{
    try {
        bool on = !board::plugged();
        board::set_plugged(on);
        return on ? "GPI1: plugged in" : "GPI1: unplugged";
    } catch (const board::Error &e) {
        return e.message;
    }
}

std::string BoardView::boot(const std::string &programs)
{
    std::lock_guard<std::mutex> lock(boot_mutex_);
    if (booting_)
        return "the board is booting already";
    if (boot_thread_.joinable())
        boot_thread_.join();
    booting_ = true;
    boot_result_.clear();
    boot_thread_ = std::thread([this, programs] {
        // The board's own boot, its programs' output kept off the screen.
        // A shortcut that could not be read says what went wrong, else the
        // last step how it ended; a board that could not be used says why,
        // as 'board boot' does.
        using board::boot::Step;
        std::string result;
        try {
            board::boot::Options options;
            options.programs = programs;
            options.quiet = true;
            board::boot::Outcome outcome = board::boot::run(options);
            const std::vector<Step> &steps = outcome.steps;
            auto unreadable = std::find_if(steps.begin(), steps.end(), [](const Step &s) {
                return s.kind == Step::Kind::Unreadable;
            });
            const Step *shown = unreadable != steps.end() ? &*unreadable
                                : steps.empty()            ? nullptr
                                                           : &steps.back();
            result = outcome.failed() ? "failed" : "done";
            if (shown)
                result += ": " + board::boot::line(*shown);
        } catch (const board::Error &e) {
            result = "failed: board: " + e.message;
        } catch (const board::reg::Damaged &d) {
            result = "failed: board: registry file " + d.what();
        } catch (const std::exception &e) {
            result = std::string("failed: ") + e.what();
        }
        std::lock_guard<std::mutex> lock(boot_mutex_);
        booting_ = false;
        boot_result_ = result;
    });
    return "board boot started";
}

std::vector<std::string> tail_lines(const std::string &path, size_t n)
{
    std::vector<std::string> lines;
    // Only a regular file, never through a link (nor a pipe that would
    // keep the screen waiting).
    int fd;
    try {
        fd = board::file_util::open_file(path, O_RDONLY, board::file_util::Kind::Read);
    } catch (const board::Error &e) {
        return {e.message};
    }
    if (fd < 0)
        return lines;
    struct stat st;
    off_t from = fstat(fd, &st) == 0 ? std::max<off_t>(0, st.st_size - 16384) : 0;
    std::string text(16384, '\0');
    ssize_t got = pread(fd, &text[0], text.size(), from);
    close(fd);
    text.resize(got > 0 ? static_cast<size_t>(got) : 0);
    size_t start = 0;
    if (from > 0) {
        // Skip the partial line the window starts in.
        size_t nl = text.find('\n');
        start = nl == std::string::npos ? text.size() : nl + 1;
    }
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        std::string l = text.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
        while (!l.empty() && (l.back() == '\r' || l.back() == '\n'))
            l.pop_back();
        lines.push_back(l);
        if (nl == std::string::npos)
            break;
        start = nl + 1;
    }
    if (lines.size() > n)
        lines.erase(lines.begin(), lines.end() - n);
    return lines;
}

std::string registry_text(HKEY root, const char16_t *key, const char16_t *name)
{
    HKEY k = nullptr;
    LONG r = RegOpenKeyExW(root, key, 0, KEY_QUERY_VALUE, &k);
    if (r == ERROR_FILE_NOT_FOUND)
        return "(not set)";
    if (r != ERROR_SUCCESS)
        return "(error " + std::to_string(r) + ")";
    alignas(4) BYTE data[512] = {};
    DWORD type = 0, size = sizeof data - 2;
    r = RegQueryValueExW(k, name, nullptr, &type, data, &size);
    RegCloseKey(k);
    if (r == ERROR_FILE_NOT_FOUND)
        return "(not set)";
    if (r != ERROR_SUCCESS)
        return "(error " + std::to_string(r) + ")";
    if (type == REG_DWORD && size == 4) {
        DWORD v;
        std::copy(data, data + 4, reinterpret_cast<BYTE *>(&v));
        return std::to_string(v);
    }
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
        std::u16string s(reinterpret_cast<const char16_t *>(data), size / 2);
        while (!s.empty() && s.back() == 0)
            s.pop_back();
        return "\"" + text::to_utf8(s.c_str(), s.size()) + "\"";
    }
    return "(type " + std::to_string(type) + ", " + std::to_string(size) + " bytes)";
}
