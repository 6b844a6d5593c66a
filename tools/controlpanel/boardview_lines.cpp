// The board view laid out in lines of spans: the figures (power, pins,
// PWM channels and their waveforms, the registry, the sync verdict, the
// boot), the events under the pins, the tail of the debug output, fitted
// to the width and height there is.
#include "boardview.h"

#include "event_format.h"

#include "common/text.h"

#include <algorithm>
#include <cstdio>

namespace {

std::string level_mark(int level) { return level ? "1" : "0"; }

// Texts in rows of width cells, the newest (last) kept when room is short:
// a long text breaks between words, its later rows set in.  At most room
// rows, in their order; with whole, only texts all of whose rows fit (a
// list of events shows no event's tail without its head).
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

std::string event_text(const board::Event &e, uint64_t newest, int time_width)
{
    return time_column(e.time, newest, time_width) + " " + watch::describe(e, false) + cause_text(e.cause) +
           " pid=" + std::to_string(e.pid);
}

std::vector<std::string> event_texts(const std::vector<board::Event> &events, int time_width)
{
    std::vector<std::string> out;
    if (events.empty())
        return out;
    uint64_t newest = events.back().time;
    // A pass: one event, or a run of reads (or writes) of neighbouring
    // pins; passes of requests alike one after another (a poll reading
    // the same levels) are one line, with their count and time span.
    struct Pass {
        uint64_t first, last;  // the times of its first event, and of the last pass alike
        std::string text;      // what follows the time
        bool request;
        unsigned count;
    };
    std::vector<Pass> passes;
    for (size_t i = 0; i < events.size();) {
        size_t end = i + 1;
        while (end < events.size() && continues(events[end - 1], events[end]))
            ++end;
        const board::Event &first = events[i];
        std::string text;
        if (end - i == 1) {
            text = watch::describe(first, false) + cause_text(first.cause) + " pid=" + std::to_string(first.pid);
        } else {
            std::string levels;
            for (size_t j = i; j < end; ++j)
                levels += events[j].level ? '1' : '0';
            text = "pins " + std::to_string(first.which) + "-" + std::to_string(events[end - 1].which) + " " +
                   board::kind_name(first.kind) + " " + levels + cause_text(first.cause) + " pid=" +
                   std::to_string(first.pid);
        }
        bool request = first.kind == board::EventKind::Read || first.kind == board::EventKind::Write;
        if (request && !passes.empty() && passes.back().request && passes.back().text == text) {
            passes.back().last = first.time;
            ++passes.back().count;
        } else {
            passes.push_back(Pass{first.time, first.time, text, request, 1});
        }
        i = end;
    }
    for (const Pass &p : passes) {
        std::string line = time_column(p.first, newest, time_width) + " " + p.text;
        if (p.count > 1) {
            char span[64];
            double ms = static_cast<double>(p.last - p.first) / 1e6;
            if (ms < 1000)
                std::snprintf(span, sizeof span, " x%u in %.1f ms", p.count, ms);
            else
                std::snprintf(span, sizeof span, " x%u in %.2f s", p.count, ms / 1000);
            line += span;
        }
        out.push_back(line);
    }
    return out;
}

std::vector<BoardView::Line> BoardView::head(int width, bool utf8, bool with_sync, size_t *events_at) const
{
    std::vector<Line> out;
    auto line = [&](std::vector<Span> spans) { out.push_back(Line{std::move(spans)}); };

    // The folder's name escaped (a newline or an escape in it must not work
    // the terminal), then shortened to the room there is.
    const std::string shown = text::excerpt(dir_, dir_.size());
    if (!error_.empty() || !status_.fault_armed)
        line({{0, "Board", Heading}, {6, shorten_path(shown, width - 6, utf8), Dim}});
    else
        line({{0, "Board", Heading}, {6, "fault armed", Warn}, {18, shorten_path(shown, width - 18, utf8), Dim}});
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
