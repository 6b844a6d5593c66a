// board status: pins, PWM channels, power, the device, the driver handles
// and the serial debug port, as lines or (--json) as JSON for scripts.
#include "board/board.h"
#include "board/pin_names.h"
#include "board/serial.h"
#include "board_commands.h"
#include "common/text.h"

#include <cstdio>
#include <memory>
#include <string>

namespace {

// The names to show; a file that cannot be read is said on stderr, and
// the pins are shown by their numbers.
board::pin_names::Names shown_names()
{
    try {
        return board::pin_names::load();
    } catch (const board::Error &e) {
        std::fprintf(stderr, "board: %s\n", e.message.c_str());
        return board::pin_names::Names();
    }
}

bool in_use(const board::Pin &p, const std::string &name) { return p.touched || !name.empty(); }

std::string external_text(const board::Pin &p) { return p.external < 0 ? "none" : std::to_string(p.external); }

// A string for JSON: quotes, backslashes and control characters escaped,
// bytes that are no UTF-8 written as U+FFFD.
std::string json_string(const std::string &s)
{
    std::string out = "\"";
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            if (c == '"' || c == '\\') {
                out += '\\';
                out += static_cast<char>(c);
            } else if (c < 0x20 || c == 0x7f) {
                char esc[8];
                std::snprintf(esc, sizeof esc, "\\u%04x", c);
                out += esc;
            } else {
                out += static_cast<char>(c);
            }
            ++i;
            continue;
        }
        size_t n = c >= 0xc2 && c <= 0xdf ? 2 : c >= 0xe0 && c <= 0xef ? 3 : c >= 0xf0 && c <= 0xf4 ? 4 : 0;
        bool whole = n && i + n <= s.size();
        for (size_t k = 1; whole && k < n; ++k)
            whole = (static_cast<unsigned char>(s[i + k]) & 0xc0) == 0x80;
        // No overlong forms, surrogates or code points past U+10FFFF.
        unsigned char c1 = whole ? static_cast<unsigned char>(s[i + 1]) : 0;
        if (whole && ((c == 0xe0 && c1 < 0xa0) || (c == 0xed && c1 >= 0xa0) || (c == 0xf0 && c1 < 0x90) ||
                      (c == 0xf4 && c1 >= 0x90)))
            whole = false;
        if (whole) {
            out.append(s, i, n);
            i += n;
        } else {
            out += "\\ufffd";
            ++i;
        }
    }
    return out + "\"";
}

void print_status_json(bool all)
{
    board::Status st = board::status();
    board::pin_names::Names names = shown_names();
    std::string out = "{\"board\": " + json_string(board::dir()) + ", \"power\": " + (st.powered ? "true" : "false") +
                      ", \"device\": " + (st.plugged ? "true" : "false") + ",\n \"pins\": [";
    const char *sep = "";
    for (int i = 0; i < board::kPins; ++i) {
        const board::Pin &p = st.pins[i];
        if (!all && !in_use(p, names.of[i]))
            continue;
        out += std::string(sep) + "\n  {\"pin\": " + std::to_string(i) + ", \"name\": " +
               (names.of[i].empty() ? "null" : json_string(names.of[i])) + ", \"driven\": " + std::to_string(p.driven) +
               ", \"external\": " + (p.external < 0 ? "null" : std::to_string(p.external)) + ", \"level\": " +
               std::to_string(p.level()) + "}";
        sep = ",";
    }
    out += "],\n \"pwm\": [";
    for (int c = 0; c < board::kChannels; ++c) {
        const board::Pwm &p = st.pwm[c];
        out += std::string(c ? ", " : "") + "{\"channel\": " + std::to_string(c) + ", \"running\": " +
               (p.running ? "true" : "false") + ", \"cr\": " + std::to_string(p.cr) + ", \"dcr\": " +
               std::to_string(p.dcr) + ", \"pcr\": " + std::to_string(p.pcr) + "}";
    }
    out += "],\n \"requests\": " + std::to_string(st.requests) + ", \"fault_armed\": " +
           (st.fault_armed ? "true" : "false") + "}\n";
    std::fputs(out.c_str(), stdout);
}

void print_status(bool all)
{
    board::Status st = board::status();
    board::pin_names::Names names = shown_names();
    // The folder is the user's choice, but its name may hold anything.
    std::printf("board %s\n", text::excerpt(board::dir(), std::string::npos).c_str());
    std::printf("power %s\n", st.powered ? "on" : "off");
    std::printf("device GPI1: %s\n", st.plugged ? "present" : "absent");
    for (int i = 0; i < board::kPins; ++i) {
        const board::Pin &p = st.pins[i];
        // level= first, as it always was; what made it follows.
        if (all || in_use(p, names.of[i]))
            std::printf("pin %d level=%d driven=%d external=%s%s%s\n", i, p.level(), p.driven,
                        external_text(p).c_str(), names.of[i].empty() ? "" : " name=", names.of[i].c_str());
    }
    for (int c = 0; c < board::kChannels; ++c) {
        const board::Pwm &p = st.pwm[c];
        std::printf("pwm %d running=%u cr=%u dcr=%u pcr=%u\n", c, p.running, p.cr, p.dcr, p.pcr);
    }
    std::printf("requests %llu\n", static_cast<unsigned long long>(st.requests));
    if (st.fault_armed)
        std::printf("fault armed for the next request\n");
    for (const board::OpenHandles &h : board::open_handles())
        std::printf("handles pid=%d open=%u%s\n", h.pid, h.count, h.alive ? "" : " (process ended)");
    board::serial::Choice next = board::serial::next_start();
    std::printf("serial debug port %s (this start)\n", board::serial_port_on() ? "on" : "off");
    std::printf("serial debug port at the next boot: %s (%s)\n", next.on ? "on" : "off",
                next.why.c_str());
}

}  // namespace

namespace board_tool {

Run define_status(CLI::App &app)
{
    auto all = std::make_shared<bool>(false), json = std::make_shared<bool>(false);
    app.footer("Each pin in use (every pin with --all) with the level it is driven to, the one\n"
               "applied from outside and the one that results; the PWM channels, the driver\n"
               "handles each process holds open and the serial debug port (this start and\n"
               "the next).");
    app.add_flag("--all", *all, "every pin, not only those in use");
    app.add_flag("--json", *json, "the same as JSON, for scripts");
    return [all, json] {
        if (*json)
            print_status_json(*all);
        else
            print_status(*all);
        return 0;
    };
}

}  // namespace board_tool
