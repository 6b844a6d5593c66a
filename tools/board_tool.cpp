// board: look at and change the simulated board in BOARD_DIR.
#include "board.h"
#include "device_files.h"
#include "file_util.h"
#include "registry_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <climits>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char kUsage[] =
    "usage: board COMMAND [ARGS]\n"
    "\n"
    "  status                  pins, PWM channels, power and the device\n"
    "  reset                   a fresh default board\n"
    "  input PIN 0|1|release   apply an external level to PIN (0-63), or take it away\n"
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
    "  boot [--programs DIR]   power on and run each shortcut in \\Windows\\Startup, as\n"
    "                          the shell does; \\Windows\\NAME.exe is the program NAME in\n"
    "                          DIR (default: device/ in the folder this tool is in,\n"
    "                          where the build puts the device's own programs)\n"
    "\n"
    "The board lives in the folder BOARD_DIR names; when BOARD_DIR is unset, in\n"
    "$XDG_STATE_HOME/ceboard/default (XDG_STATE_HOME defaults to ~/.local/state).\n"
    "A folder that does not exist yet is created, with a fresh default board.\n"
    "The device's files are in BOARD_DIR/fs and its registry in\n"
    "BOARD_DIR/registry.reg.  'reset' also writes the default registry and files,\n"
    "with the start-up shortcut \\Windows\\Startup\\Velmorra.lnk.\n"
    "\n"
    "Exit status: 0 done, 1 the board could not be used or the KEY to unprotect\n"
    "was not protected, 2 bad arguments.\n";

int usage_error(const std::string &what)
{
    std::fprintf(stderr, "board: %s\n(see 'board --help')\n", what.c_str());
    return 2;
}

bool parse_pin(const char *s, int *pin)
{
    errno = 0;
    char *end = nullptr;
    long v = std::strtol(s, &end, 10);
    if (errno || end == s || *end || v < 0 || v >= board::kPins)
        return false;
    *pin = static_cast<int>(v);
    return true;
}

void print_status()
{
    board::Status st = board::status();
    std::printf("board %s\n", board::dir().c_str());
    std::printf("power %s\n", st.powered ? "on" : "off");
    std::printf("device GPI1: %s\n", st.plugged ? "present" : "absent");
    for (int i = 0; i < board::kPins; ++i) {
        const board::Pin &p = st.pins[i];
        if (p.touched)
            std::printf("pin %d level=%d\n", i, p.level());
    }
    for (int c = 0; c < board::kChannels; ++c) {
        const board::Pwm &p = st.pwm[c];
        std::printf("pwm %d running=%u cr=%u dcr=%u pcr=%u\n", c, p.running, p.cr, p.dcr, p.pcr);
    }
    std::printf("requests %llu\n", static_cast<unsigned long long>(st.requests));
    if (st.fault_armed)
        std::printf("fault armed for the next request\n");
}

bool ends_with_folded(const std::string &s, const std::string &tail)
{
    return s.size() >= tail.size() &&
           board::reg::same_name(s.substr(s.size() - tail.size()), tail);
}

std::string own_folder()
{
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return ".";
    std::string self(buf, static_cast<size_t>(n));
    return self.substr(0, self.rfind('/'));
}

// The device's own programs, apart from the tools and tests built beside
// this tool: only they may run as \Windows\NAME.exe.
std::string device_programs()
{
    return own_folder() + "/device";
}

// How a shortcut's target maps to a host program.
enum class Lookup { Found, NotAProgram, Refused };

// The host program that is the device's \Windows\NAME.exe: NAME (or
// NAME.exe) in the programs folder, matched without regard to case.  NAME
// must be a name the device's files allow, with no "..": a target such as
// \Windows\../../usr/bin/id.exe never reaches outside the folder.  Only a
// regular file we may run is a program.
Lookup find_program(const std::string &target, const std::string &programs, std::string *program)
{
    const std::string windows = "\\Windows\\";
    if (target.size() <= windows.size() || !board::reg::same_name(target.substr(0, windows.size()), windows))
        return Lookup::NotAProgram;
    std::string name = target.substr(windows.size());
    if (!board::files::valid_name(name) || name.find("..") != std::string::npos)
        return Lookup::Refused;
    if (!ends_with_folded(name, ".exe"))
        return Lookup::NotAProgram;
    std::string base = name.substr(0, name.size() - 4);
    for (const std::string &candidate : {base, name}) {
        std::string found = board::files::match(programs, candidate);
        if (found.empty())
            continue;
        std::string path = programs + "/" + found;
        struct stat st;
        if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0) {
            *program = path;
            return Lookup::Found;
        }
    }
    return Lookup::NotAProgram;
}

// Runs one program as the shell would, in its own process on this board.
void run_program(const std::string &target, const std::string &program)
{
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid < 0) {
        std::printf("boot: cannot start %s: %s\n", target.c_str(), std::strerror(errno));
        return;
    }
    if (pid == 0) {
        execl(program.c_str(), program.c_str(), static_cast<char *>(nullptr));
        std::fprintf(stderr, "boot: cannot run %s: %s\n", program.c_str(), std::strerror(errno));
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status))
        std::printf("boot: %s exited with code %d\n", target.c_str(), WEXITSTATUS(status));
    else
        std::printf("boot: %s ended by signal %d\n", target.c_str(), WTERMSIG(status));
}

int boot(const std::string &programs)
{
    board::set_power(true);
    board::trace("boot");
    // The programs run on this board whatever folder they start in.
    char board_dir[PATH_MAX];
    if (!realpath(board::dir().c_str(), board_dir))
        throw board::Error{"cannot find the board folder " + board::dir()};
    setenv("BOARD_DIR", board_dir, 1);
    const std::string startup = "\\Windows\\Startup";
    for (const std::string &name : board::files::list(startup)) {
        std::string shortcut = startup + "\\" + name;
        board::files::Found f = board::files::resolve(shortcut);
        std::string text, target, program;
        bool exists;
        if (f.error || f.is_dir || !ends_with_folded(name, ".lnk"))
            continue;
        if (!board::file_util::read_file(f.host, &text, &exists) || !board::files::shortcut_target(text, &target)) {
            std::printf("boot: %s is not a shortcut\n", shortcut.c_str());
            continue;
        }
        Lookup found = find_program(target, programs, &program);
        if (found == Lookup::Refused) {
            std::printf("boot: %s (%s) refused: not a program name the device allows\n",
                        target.c_str(), shortcut.c_str());
            continue;
        }
        if (found == Lookup::NotAProgram) {
            std::printf("boot: %s (%s) is not a program in %s\n", target.c_str(), shortcut.c_str(),
                        programs.c_str());
            continue;
        }
        std::printf("boot: running %s (%s)\n", target.c_str(), shortcut.c_str());
        run_program(target, program);
    }
    return 0;
}

int registry(const std::vector<std::string> &args)
{
    if (args.size() == 1) {
        std::string text;
        bool exists;
        std::string file = board::reg::file_path();
        if (!board::file_util::read_file(file, &text, &exists))
            throw board::Error{"cannot read " + file + ": " + std::strerror(errno)};
        if (!exists)
            text = board::reg::serialise(board::reg::default_hive());
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
        std::string root = key.substr(0, key.find('\\'));
        if (!board::reg::is_root(root))
            return usage_error("KEY must start with a root key such as HKEY_CURRENT_USER, not '" +
                               args[2] + "'");
        if (!board::reg::valid_key_path(key))
            return usage_error("KEY has an empty name or a control character in it: '" + args[2] +
                               "'");
        bool on = args[1] == "protect";
        if (!board::reg::set_protected(key, on) && !on) {
            std::fprintf(stderr, "board: %s is not protected (see 'board registry protected')\n",
                         key.c_str());
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

int run(const std::vector<std::string> &args)
{
    const std::string &cmd = args[0];
    auto no_args = [&]() { return args.size() == 1; };
    if (cmd == "status" && no_args()) {
        print_status();
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
    } else if (cmd == "boot") {
        if (args.size() == 1)
            return boot(device_programs());
        if (args.size() == 3 && args[1] == "--programs") {
            struct stat st;
            if (stat(args[2].c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
                return usage_error("--programs takes a folder; '" + args[2] + "' is not one");
            return boot(args[2]);
        }
        return usage_error("boot takes nothing or --programs DIR");
    } else if (cmd == "input") {
        int pin;
        if (args.size() != 3)
            return usage_error("input takes PIN and 0, 1 or release");
        if (!parse_pin(args[1].c_str(), &pin))
            return usage_error("PIN must be a pin number from 0 to 63, not '" + args[1] + "'");
        const std::string &l = args[2];
        if (l != "0" && l != "1" && l != "release")
            return usage_error("the level must be 0, 1 or release, not '" + l + "'");
        board::set_input(pin, l == "release" ? -1 : l == "1");
    } else if (cmd == "status" || cmd == "reset" || cmd == "unplug" || cmd == "plug" ||
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
