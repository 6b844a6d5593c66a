// board: look at and change the simulated board in BOARD_DIR.  The
// command line of every sub-command that has no file of its own (watch,
// record and play have theirs); it is to be split as those commands move
// to one option parser.
#include "board/board.h"
#include "board_play.h"
#include "board_record.h"
#include "board_serve.h"
#include "board_watch.h"
#include "board/boot.h"
#include "board/device_files.h"
#include "board/file_util.h"
#include "board/pin_names.h"
#include "board/registry_file.h"
#include "board/serial.h"
#include "pin_arg.h"
#include "sync_client.h"
#include "common/ce_errors.h"
#include "common/text.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <csignal>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kUsage[] =
    "usage: board COMMAND [ARGS]\n"
    "\n"
    "  status [--all] [--json] pins, PWM channels, power, the device, the driver\n"
    "                          handles each process holds open and the serial\n"
    "                          debug port (this start and the next); each pin in\n"
    "                          use (every pin with --all) with the level it is\n"
    "                          driven to, the one applied from outside and the\n"
    "                          one that results; --json the same for scripts\n"
    "  reset                   a fresh default board (pin names dropped too)\n"
    "  input PIN 0|1|release   apply an external level to PIN (0-63), or take it away\n"
    "  name PIN NAME           name PIN: the name shows in status, watch and record\n"
    "                          and serves wherever a PIN is taken (1-32 of A-Z a-z\n"
    "                          0-9 _ . -, starting with a letter or _)\n"
    "  unname PIN              take PIN's name away\n"
    "  unplug                  the device GPI1: is absent\n"
    "  plug                    the device GPI1: is present\n"
    "  fault                   the driver raises a fault on its next request\n"
    "  registry                print the board's registry file (.reg text)\n"
    "  registry protected      the protected keys, one a line\n"
    "  registry protect KEY    programs may no longer create, change or delete KEY\n"
    "                          or anything below it (HKEY_CURRENT_USER\\ControlPanel\\Comm)\n"
    "  registry unprotect KEY  take that protection away again (KEY itself must be\n"
    "                          protected: exit 1 otherwise)\n"
    "  ras list                the board's RAS devices, present or removed\n"
    "  ras remove NAME         take the RAS device NAME away (\"Serial on USB\")\n"
    "  ras restore NAME        bring it back\n"
    "  files readonly PATH [on|off]\n"
    "                          show, set or clear the read-only attribute of the\n"
    "                          device file PATH (\\Windows\\Startup\\Velmorra.lnk): a\n"
    "                          read-only file cannot be deleted (error 5)\n"
    "  boot [--programs DIR]   power on, switch the serial debug port as\n"
    "                          HKEY_LOCAL_MACHINE\\Debug \"dbgSerial\" says (1 on, 0 off,\n"
    "                          not set: the image's default, on), and run each\n"
    "                          shortcut in \\Windows\\Startup, as the shell does;\n"
    "                          \\Windows\\NAME.exe is the program NAME in DIR (default:\n"
    "                          device/ in the folder this tool is in, where the\n"
    "                          build puts the device's own programs)\n"
    "  serial [--follow]       what went out on the serial debug port (the last 64 KiB);\n"
    "                          --follow keeps printing what comes, until Ctrl-C\n"
    "  sync                    whether the desktop connection would come up: the entry\n"
    "                          HKEY_CURRENT_USER\\ControlPanel\\Comm \"Cnct\" names, looked\n"
    "                          up in the phone book, and its device (exit 0 connected,\n"
    "                          1 not, with the reason)\n"
    "  record FILE.vcd [--duration MS] [--timescale 1ns|1us|1ms] [--logic-only] [PIN...]\n"
    "                          capture pins, PWM channels (and the output they make),\n"
    "                          power and presence as a Value Change Dump for waveform\n"
    "                          viewers, until Ctrl-C ('board record --help')\n"
    "  play FILE.vcd [--map WIRE=PIN]... [--speed X] [--loop] [--release]\n"
    "                          drive pins from outside along a Value Change Dump's\n"
    "                          timeline, as 'input' does ('board play --help')\n"
    "  serve                   serve GPI1: to desktop builds under Wine until Ctrl-C\n"
    "                          (see 'board serve --help')\n"
    "  wine [--] PROGRAM [ARG...]  run a Windows program under Wine on the board\n"
    "  hold on|off             for tests: every request waits in the driver (a\n"
    "                          minute at most) until 'hold off'\n"
    "  watch [PIN...] [OPTIONS]\n"
    "                          one line for each change on the board as it happens,\n"
    "                          until Ctrl-C (see 'board watch --help')\n"
    "\n"
    "The board lives in the folder BOARD_DIR names; when BOARD_DIR is unset, in\n"
    "$XDG_STATE_HOME/ceboard/default (XDG_STATE_HOME defaults to ~/.local/state).\n"
    "A folder that does not exist yet is created, with a fresh default board.\n"
    "The device's files are in BOARD_DIR/fs and its registry in\n"
    "BOARD_DIR/registry.reg.  'reset' also writes the default registry and files,\n"
    "with the start-up shortcut \\Windows\\Startup\\Velmorra.lnk.  While the serial\n"
    "debug port is on, the debug output of every program also goes to\n"
    "BOARD_DIR/serial.log; a value Dovrel writes takes effect at the next boot.\n"
    "\n"
    "Exit status: 0 done, 1 the board could not be used, the KEY to unprotect\n"
    "was not protected, the device file is missing or no regular file, a\n"
    "start-up shortcut could not be read, or the desktop connection would not\n"
    "come up, 2 bad arguments.\n";

int usage_error(const std::string &what)
{
    std::fprintf(stderr, "board: %s\n(see 'board --help')\n", what.c_str());
    return 2;
}

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

// Prints each step of the boot as it happens, so that what a program
// prints comes after the line saying it runs.
int boot(const std::string &programs)
{
    using board::boot::Step;
    board::boot::Options options;
    options.programs = programs;
    board::boot::Outcome outcome = board::boot::run(options, [](const Step &s) {
        if (s.kind == Step::Kind::Ran && s.error)
            std::fprintf(stderr, "boot: cannot run %s: %s\n",
                         text::excerpt(s.program, std::string::npos).c_str(), std::strerror(s.error));
        std::printf("%s\n", board::boot::line(s).c_str());
        std::fflush(stdout);
    });
    return outcome.failed() ? 1 : 0;
}

int registry(const std::vector<std::string> &args)
{
    if (args.size() == 1) {
        std::string file = board::reg::file_path();
        std::string text = board::reg::file_text();
        std::fwrite(text.data(), 1, text.size(), stdout);  // all of it, a zero byte too
        try {
            board::reg::parse(text, file);
        } catch (const board::reg::Damaged &d) {
            std::fprintf(stderr, "board: registry file %s\n", d.what().c_str());
            return 1;
        }
        return 0;
    }
    if (args.size() == 2 && args[1] == "protected") {
        for (const std::string &key : board::reg::protected_keys())
            std::printf("%s\n", key.c_str());
        return 0;
    }
    if (args.size() == 3 && (args[1] == "protect" || args[1] == "unprotect")) {
        // One trailing backslash is dropped, as the registry calls drop it.
        std::string key = args[2];
        if (!key.empty() && key.back() == '\\')
            key.pop_back();
        // Only what the registry calls could name: the same checks, and the
        // name echoed short and escaped, however long or strange it is.
        std::string root = key.substr(0, key.find('\\'));
        if (!board::reg::is_root(root))
            return usage_error("KEY must start with a root key such as HKEY_CURRENT_USER, not '" +
                               text::excerpt(args[2]) + "'");
        if (const char *fault = board::reg::key_path_fault(key)) {
            std::string why = fault;
            if (why.find("an empty name") != std::string::npos ||
                why.find("a control character") != std::string::npos)
                why = "KEY has an empty name or a control character in it";
            else
                why = "KEY is no key the registry can hold (" + why + ")";
            return usage_error(why + ": '" + text::excerpt(args[2]) + "'");
        }
        bool on = args[1] == "protect";
        if (!board::reg::set_protected(key, on) && !on) {
            std::fprintf(stderr, "board: %s is not protected (see 'board registry protected')\n",
                         text::excerpt(key, 200).c_str());
            return 1;
        }
        return 0;
    }
    return usage_error("registry takes nothing, protected, protect KEY or unprotect KEY");
}

int ras(const std::vector<std::string> &args)
{
    if (args.size() == 2 && args[1] == "list") {
        for (const board::RasDevice &d : board::ras_devices())
            std::printf("%-28s %-7s %s\n", d.name.c_str(), d.type.c_str(),
                        d.present ? "present" : "removed");
        return 0;
    }
    if (args.size() == 3 && (args[1] == "remove" || args[1] == "restore")) {
        if (!board::set_ras_device(args[2], args[1] == "restore"))
            return usage_error("the board has no RAS device '" + args[2] + "' (see 'board ras list')");
        return 0;
    }
    return usage_error("ras takes list, remove NAME or restore NAME");
}

// What 'board serial' prints at most: the port's output is never held whole.
constexpr size_t kSerialShown = 64 * 1024;

volatile sig_atomic_t g_stop = 0;
void on_stop(int) { g_stop = 1; }

void put(std::string_view text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

// Prints what comes out on the port until Ctrl-C, from the offset end of
// the file open at fd (-1: none yet).  A file that was emptied or replaced
// ('board reset') is followed from its start.
int follow_serial(int fd, long long end)
{
    struct sigaction sa {};
    sa.sa_handler = on_stop;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    const std::string path = board::serial::file_path();
    std::string chunk(kSerialShown, '\0');
    while (!g_stop) {
        struct stat now, held;
        bool there = lstat(path.c_str(), &now) == 0;
        // Removed (its number may already be another file's), replaced or cut.
        if (fd >= 0 && (fstat(fd, &held) != 0 || !there || held.st_nlink == 0 ||
                        held.st_ino != now.st_ino || held.st_dev != now.st_dev ||
                        held.st_size < end)) {
            close(fd);
            fd = -1;
        }
        if (fd < 0 && there) {
            fd = board::serial::open_for_reading();
            end = 0;
        }
        ssize_t n = 0;
        if (fd >= 0) {
            n = pread(fd, &chunk[0], chunk.size(), end);
            if (n > 0) {
                // From the window itself: a huge line going by is not copied
                // a window at a time.
                put(std::string_view(chunk).substr(0, static_cast<size_t>(n)));
                end += n;
            }
        }
        if (n <= 0) {
            struct timespec pause = {0, 100 * 1000 * 1000};
            nanosleep(&pause, nullptr);
        }
    }
    if (fd >= 0)
        close(fd);
    return 0;
}

int serial_cmd(const std::vector<std::string> &args)
{
    bool follow = args.size() == 2 && args[1] == "--follow";
    if (args.size() != 1 && !follow)
        return usage_error("serial takes nothing or --follow");
    int fd = board::serial::open_for_reading();
    long long end = 0;
    if (fd >= 0) {
        put(board::serial::tail_of(fd, kSerialShown, &end));
        if (!follow)
            close(fd);
    }
    return follow ? follow_serial(fd, end) : 0;
}

int sync_cmd()
{
    SyncVerdict v = sync_verdict();
    std::printf("%s\n", v.line.c_str());
    return v.connected ? 0 : 1;
}

// files readonly PATH [on|off]: the attribute is the host file's owner-write
// bit, read and changed on the file itself, never through a link.
int files(const std::vector<std::string> &args)
{
    if (args.size() < 3 || args.size() > 4 || args[1] != "readonly")
        return usage_error("files takes readonly PATH, optionally followed by on or off");
    const std::string &path = args[2];
    if (args.size() == 4 && args[3] != "on" && args[3] != "off")
        return usage_error("readonly takes on or off, not '" + args[3] + "'");
    board::files::Found f = board::files::resolve(path);
    if (f.error == ce_error::kInvalidName || f.error == ce_error::kFilenameTooLong)
        return usage_error("'" + path + "' is no device path (such as \\Windows\\Startup\\Velmorra.lnk)");
    if (f.error == ce_error::kGenFailure) {
        std::fprintf(stderr, "board: %s\n", f.why.c_str());
        return 1;
    }
    if (!f.error && f.is_dir) {
        std::fprintf(stderr, "board: %s is a folder; only files take the read-only mark here\n",
                     path.c_str());
        return 1;
    }
    bool on = false;
    uint32_t error = f.error;
    if (!error)
        error = args.size() == 4 ? board::files::set_read_only(f.host, args[3] == "on")
                                 : board::files::read_only(f.host, &on);
    if (error) {
        const char *why = error == ce_error::kFileNotFound   ? "no such file"
                          : error == ce_error::kPathNotFound ? "a folder on its way is missing"
                                       : "not a regular file of the device (a link, or a special file)";
        std::fprintf(stderr, "board: %s: %s (error %u)\n", path.c_str(), why, error);
        return 1;
    }
    if (args.size() == 3)
        std::printf("%s\n", on ? "on" : "off");
    return 0;
}

int run(const std::vector<std::string> &args)
{
    const std::string &cmd = args[0];
    auto no_args = [&]() { return args.size() == 1; };
    if (cmd == "status") {
        bool all = false, json = false;
        for (size_t i = 1; i < args.size(); ++i) {
            if (args[i] == "--all")
                all = true;
            else if (args[i] == "--json")
                json = true;
            else
                return usage_error("status takes --all and --json, not '" + text::excerpt(args[i]) + "'");
        }
        if (json)
            print_status_json(all);
        else
            print_status(all);
    } else if (cmd == "name" || cmd == "unname") {
        bool naming = cmd == "name";
        if (args.size() != (naming ? 3u : 2u))
            return usage_error(naming ? "name takes PIN and NAME" : "unname takes PIN");
        int pin;
        std::string error;
        if (!tools::PinReader().read(args[1], &pin, &error))
            return usage_error(error);
        if (naming) {
            if (const char *fault = board::pin_names::name_fault(args[2]))
                return usage_error("'" + text::excerpt(args[2]) + "' is no pin name: " + fault);
        }
        board::pin_names::set(pin, naming ? args[2] : std::string());
    } else if (cmd == "reset" && no_args()) {
        board::reset();
    } else if (cmd == "unplug" && no_args()) {
        board::set_plugged(false);
    } else if (cmd == "plug" && no_args()) {
        board::set_plugged(true);
    } else if (cmd == "fault" && no_args()) {
        board::arm_fault();
    } else if (cmd == "registry") {
        return registry(args);
    } else if (cmd == "ras") {
        return ras(args);
    } else if (cmd == "files") {
        return files(args);
    } else if (cmd == "serial") {
        return serial_cmd(args);
    } else if (cmd == "watch") {
        return board_watch(std::vector<std::string>(args.begin() + 1, args.end()));
    } else if (cmd == "serve" || cmd == "wine") {
        std::vector<std::string> rest(args.begin() + 1, args.end());
        return cmd == "serve" ? board_serve(rest) : board_wine(rest);
    } else if (cmd == "hold" && args.size() == 2 && (args[1] == "on" || args[1] == "off")) {
        board::hold_requests(args[1] == "on");
    } else if (cmd == "sync") {
        if (!no_args())
            return usage_error("sync takes no arguments");
        return sync_cmd();
    } else if (cmd == "record") {
        return record_command(args);
    } else if (cmd == "play") {
        return play_command(args);
    } else if (cmd == "boot") {
        if (args.size() == 1)
            return boot(std::string());
        if (args.size() == 3 && args[1] == "--programs") {
            struct stat st;
            if (stat(args[2].c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
                return usage_error("--programs takes a folder; '" + args[2] + "' is not one");
            return boot(args[2]);
        }
        return usage_error("boot takes nothing or --programs DIR");
    } else if (cmd == "input") {
        int pin;
        std::string error;
        if (args.size() != 3)
            return usage_error("input takes PIN and 0, 1 or release");
        if (!tools::PinReader().read(args[1], &pin, &error))
            return usage_error(error);
        const std::string &l = args[2];
        if (l != "0" && l != "1" && l != "release")
            return usage_error("the level must be 0, 1 or release, not '" + l + "'");
        board::set_input(pin, l == "release" ? -1 : l == "1");
    } else if (cmd == "reset" || cmd == "unplug" || cmd == "plug" ||
               cmd == "fault") {
        return usage_error(cmd + " takes no arguments");
    } else {
        return usage_error("unknown command '" + cmd + "'");
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty())
        return usage_error("a command is needed");
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    try {
        return run(args);
    } catch (const board::Error &e) {
        std::fprintf(stderr, "board: %s\n", e.message.c_str());
        return 1;
    } catch (const board::reg::Damaged &d) {
        std::fprintf(stderr, "board: registry file %s\n", d.what().c_str());
        return 1;
    }
}
