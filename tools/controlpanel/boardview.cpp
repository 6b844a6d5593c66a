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
#include <spawn.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

std::string level_mark(int level) { return level ? "1" : "0"; }

bool continuation(char ch) { return (static_cast<unsigned char>(ch) & 0xC0) == 0x80; }

// The byte where the text's cell n starts (its size when shorter).
size_t cell_offset(const std::string &s, int n)
{
    size_t i = 0;
    for (int cell = 0; i < s.size(); ++i)
        if (!continuation(s[i]) && cell++ == n)
            break;
    return i;
}

std::string ellipsis(bool utf8) { return utf8 ? "\u2026" : "..."; }

// The last n cells of s.
std::string last_cells(const std::string &s, int n)
{
    int total = text_width(s);
    return n >= total ? s : s.substr(cell_offset(s, total - std::max(0, n)));
}

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

// Texts in rows of width cells, the newest (last) kept when room is short:
// a long text breaks between words, its later rows set in.  At most room
// rows, in their order.
// The last rows of texts wrapped to width, at most room of them; with
// whole, only texts all of whose rows fit (a list of events shows no
// event's tail without its head).
std::vector<BoardView::Line> last_rows(const std::vector<std::string> &texts, int width, int room,
                                       bool whole = false)
{
    std::vector<BoardView::Line> rows;
    for (auto it = texts.rbegin(); it != texts.rend() && static_cast<int>(rows.size()) < room; ++it) {
        std::vector<BoardView::Line> parts;
        std::vector<std::string> first = wrap_words(*it, width - 1);
        parts.push_back(BoardView::Line{{{1, first[0], BoardView::Plain}}});
        if (first.size() > 1) {
            std::string more = it->substr(std::min(it->size(), first[0].size()));
            more = more.substr(std::min(more.size(), more.find_first_not_of(' ')));
            for (const std::string &row : wrap_words(more, width - 3))
                parts.push_back(BoardView::Line{{{3, row, BoardView::Plain}}});
        }
        if (whole && static_cast<int>(rows.size() + parts.size()) > room)
            break;
        for (auto p = parts.rbegin(); p != parts.rend() && static_cast<int>(rows.size()) < room; ++p)
            rows.push_back(*p);
    }
    return std::vector<BoardView::Line>(rows.rbegin(), rows.rend());
}

}  // namespace

int text_width(const std::string &s)
{
    int n = 0;
    for (char ch : s)
        n += !continuation(ch);
    return n;
}

std::string shorten_path(const std::string &path, int width, bool utf8)
{
    if (text_width(path) <= width)
        return path;
    std::string dots = ellipsis(utf8);
    int room = width - text_width(dots);
    if (room <= 0)
        return last_cells(path, width);
    std::string name = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
    if (text_width(name) > room)  // the name alone does not fit: its start, then the dots
        return name.substr(0, cell_offset(name, room)) + dots;
    return dots + last_cells(path, room);
}

std::vector<std::string> wrap_words(const std::string &text, int width)
{
    std::vector<std::string> rows;
    width = std::max(1, width);
    const size_t n = text.size();
    size_t at = 0;
    do {
        // Up to width cells from at; i ends at the first byte that does not fit.
        size_t i = at, blank = std::string::npos;
        for (int cells = 0; i < n; ++i) {
            if (!continuation(text[i]) && cells++ == width)
                break;
            if (text[i] == ' ')
                blank = i;
        }
        if (i >= n) {
            rows.push_back(text.substr(at));
            break;
        }
        if (text[i] == ' ')
            blank = i;
        size_t end = blank == std::string::npos ? at : blank;
        while (end > at && text[end - 1] == ' ')
            --end;
        if (end > at) {  // break at the blank after the last word that fits
            rows.push_back(text.substr(at, end - at));
            at = blank;
        } else {  // a word wider than a row
            rows.push_back(text.substr(at, i - at));
            at = i;
        }
        while (at < n && text[at] == ' ')
            ++at;
    } while (at < n);
    return rows;
}

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

namespace {

// An event's time relative to the newest one's, set in to time_width cells.
std::string time_column(uint64_t time, uint64_t newest, int time_width)
{
    std::string text = watch::relative_text(static_cast<int64_t>(time - newest));
    text.insert(0, static_cast<size_t>(std::max(0, time_width - text_width(text))), ' ');
    return text;
}

// Who made a change, after what it was: nothing for a request.
const char *cause_text(board::Cause cause)
{
    return cause == board::Cause::Outside ? " outside" : cause == board::Cause::System ? " system" : "";
}

}  // namespace

std::string event_text(const board::Event &e, uint64_t newest, int time_width)
{
    return time_column(e.time, newest, time_width) + " " + watch::describe(e, false) + cause_text(e.cause) +
           " pid=" + std::to_string(e.pid);
}

namespace {

// Whether e continues a run of reads (or writes) that ends with last: the
// next pin, the same process and cause, within half a millisecond, as the
// nine reads of one pass of a poll come.
bool continues(const board::Event &last, const board::Event &e)
{
    bool request = e.kind == board::EventKind::Read || e.kind == board::EventKind::Write;
    return request && e.kind == last.kind && e.pid == last.pid && e.cause == last.cause &&
           e.which == last.which + 1 && e.time >= last.time && e.time - last.time <= 500000;
}

}  // namespace

std::vector<std::string> event_texts(const std::vector<board::Event> &events, int time_width)
{
    std::vector<std::string> out;
    if (events.empty())
        return out;
    uint64_t newest = events.back().time;
    for (size_t i = 0; i < events.size();) {
        size_t end = i + 1;
        while (end < events.size() && continues(events[end - 1], events[end]))
            ++end;
        if (end - i == 1) {
            out.push_back(event_text(events[i], newest, time_width));
        } else {
            const board::Event &first = events[i];
            std::string levels;
            for (size_t j = i; j < end; ++j)
                levels += events[j].level ? '1' : '0';
            out.push_back(time_column(first.time, newest, time_width) + " pins " + std::to_string(first.which) + "-" +
                          std::to_string(events[end - 1].which) + " " + board::kind_name(first.kind) +
                          " " + levels + cause_text(first.cause) + " pid=" + std::to_string(first.pid));
        }
        i = end;
    }
    return out;
}

std::vector<BoardView::Line> BoardView::head(int width, bool utf8, bool with_sync, size_t *events_at) const
{
    std::vector<Line> out;
    auto line = [&](std::vector<Span> spans) { out.push_back(Line{std::move(spans)}); };

    if (!error_.empty() || !status_.fault_armed)
        line({{0, "Board", Heading}, {6, shorten_path(dir_, width - 6, utf8), Dim}});
    else
        line({{0, "Board", Heading}, {6, "fault armed", Warn}, {18, shorten_path(dir_, width - 18, utf8), Dim}});
    if (!error_.empty()) {
        for (const std::string &row : wrap_words(error_, width - 1))
            line({{1, row, Warn}});
        return out;
    }
    line({{1, "power", Plain},
          {7, status_.powered ? "on" : "off", status_.powered ? High : Warn},
          {11, "GPI1:", Plain},
          {17, status_.plugged ? "present" : "absent", status_.plugged ? High : Warn},
          {26, "requests " + std::to_string(status_.requests), Dim}});

    std::vector<Span> pins{{1, "pin", Plain}}, levels{{1, "level", Plain}}, outside{{1, "outside", Dim}};
    for (int n = 1; n <= 9; ++n) {
        const board::Pin &p = status_.pins[n];
        int col = 9 + 3 * (n - 1);
        pins.push_back({col, std::to_string(n), Plain});
        levels.push_back({col, level_mark(p.level()), p.level() ? High : Low});
        outside.push_back({col, p.external < 0 ? "-" : level_mark(p.external),
                           p.external < 0 ? Dim : External});
    }
    line(pins);
    line(levels);
    line(outside);
    if (events_at)
        *events_at = out.size();

    for (int c = 0; c < board::kChannels; ++c) {
        const board::Pwm &p = status_.pwm[c];
        line({{1, "PWM " + std::to_string(c), Heading},
              {7, p.running ? "running" : "stopped", p.running ? High : Dim},
              {16, "cr " + std::to_string(p.cr) + "  dcr " + std::to_string(p.dcr) + "  pcr " +
                       std::to_string(p.pcr),
               Plain}});
        int w = std::max(8, std::min(32, width - 16));
        std::string duty = p.running && p.pcr ? std::to_string(std::min(100u, p.dcr * 100 / p.pcr)) + "%" : "";
        line({{8, waveform(p, w, utf8), p.running ? High : Dim}, {9 + w, duty, Plain}});
    }

    line({{0, "Registry", Heading},
          {10, "serial port", Plain},
          {22, serial_on_ ? "on" : "off", serial_on_ ? High : Warn},
          {serial_on_ ? 26 : 27, serial_next_.on ? "next boot on" : "next boot off", Dim}});
    line({{1, "HKLM\\Debug dbgSerial", Plain}, {30, dbg_serial_, External}});
    line({{1, "HKCU\\ControlPanel\\Comm Cnct", Plain}, {30, cnct_, External}});
    if (with_sync && !sync_.line.empty()) {
        std::vector<std::string> rows = wrap_words(sync_.line, width - 7);
        for (size_t i = 0; i < rows.size(); ++i) {
            std::vector<Span> spans;
            if (i == 0)
                spans.push_back({1, "sync", Plain});
            spans.push_back({7, rows[i], sync_.connected ? High : Warn});
            line(spans);
        }
    }
    {
        std::lock_guard<std::mutex> lock(boot_mutex_);
        if (booting_ || !boot_result_.empty())
            line({{1, "boot", Plain},
                  {7, booting_ ? "running ..." : fit_boot_result(boot_result_, width - 7, utf8), booting_ ? Dim : Plain}});
    }

    line({{0, "Debug output", Heading}, {13, shorten_path(log_, width - 13, utf8), Dim}});
    return out;
}

int BoardView::fixed_lines() const
{
    // With room for the boot line before there is one, so that booting the
    // board does not leave a screen that just fitted too small.
    bool boot_line;
    {
        std::lock_guard<std::mutex> lock(boot_mutex_);
        boot_line = booting_ || !boot_result_.empty();
    }
    return static_cast<int>(head(kMinWidth, false).size()) + (boot_line ? 0 : 1);
}

int BoardView::needed_lines() const
{
    return fixed_lines() - static_cast<int>(head(kMinWidth, false).size() - head(kMinWidth, false, false).size());
}

std::vector<BoardView::Line> BoardView::lines(int width, int height, bool utf8) const
{
    size_t events_at = 0;
    std::vector<Line> out = head(width, utf8, true, &events_at);
    if (static_cast<int>(out.size()) > height)
        out = head(width, utf8, false, &events_at);
    int room = height - static_cast<int>(out.size());
    // The rows left are shared by the events under the pins (a heading and
    // the newest events) and the debug output's tail at the end: the events
    // take two thirds when both have more than fits; the newest lines win.
    std::vector<Line> debug = last_rows(tail_, width, room), events;
    if (error_.empty() && !events_.empty() && room >= 2) {
        // The times in a column: as wide as the oldest one's.
        int time_width = text_width(watch::relative_text(static_cast<int64_t>(events_.front().time - events_.back().time)));
        std::vector<std::string> texts = event_texts(events_, time_width);
        int debug_keep = std::min(static_cast<int>(debug.size()), room / 3);
        events = last_rows(texts, width, room - 1 - debug_keep, true);
        std::vector<Span> heading{{0, "Events", Heading}, {7, "newest last", Dim}};
        std::string missed = watch::missed_line(missed_);
        if (missed_)
            heading.push_back({19, 19 + text_width(missed) <= width ? missed : std::to_string(missed_) + " missed", Warn});
        events.insert(events.begin(), Line{heading});
        debug = last_rows(tail_, width, room - static_cast<int>(events.size()));
    }
    out.insert(out.end(), debug.begin(), debug.end());
    if (!events.empty())
        out.insert(out.begin() + static_cast<long>(events_at), events.begin(), events.end());
    if (static_cast<int>(out.size()) > height)
        out.resize(std::max(0, height));
    return out;
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

int run_capturing(const std::vector<std::string> &argv, std::string *output)
{
    output->clear();
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        *output = "cannot make a pipe: " + std::string(std::strerror(errno)) + "\n";
        return -1;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);  // keys stay ours
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 2);
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid;
    int e = posix_spawn(&pid, argv[0].c_str(), &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    if (e != 0) {
        close(fds[0]);
        *output = "cannot run " + argv[0] + ": " + std::strerror(e) + "\n";
        return -1;
    }
    char buf[256];
    for (;;) {
        ssize_t n = read(fds[0], buf, sizeof buf);
        if (n > 0)
            output->append(buf, static_cast<size_t>(n));
        else if (n == 0 || errno != EINTR)
            break;
    }
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string waveform(const board::Pwm &pwm, int width, bool utf8)
{
    const std::string high = utf8 ? "\u2594" : "-", low = utf8 ? "\u2581" : "_";
    std::string out;
    if (!pwm.running || pwm.pcr == 0) {
        for (int i = 0; i < width; ++i)
            out += low;
        return out;
    }
    const int period = 8;
    int on = static_cast<int>((std::min(pwm.dcr, pwm.pcr) * period + pwm.pcr / 2) / pwm.pcr);
    for (int i = 0; i < width; ++i)
        out += i % period < on ? high : low;
    return out;
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
