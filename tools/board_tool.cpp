// board: look at and change the simulated board in BOARD_DIR.
#include "board.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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
    "\n"
    "The board lives in the folder BOARD_DIR names (default: ~/.local/state/ceboard/default).\n"
    "Exit status: 0 done, 1 the board could not be used, 2 bad arguments.\n";

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
    }
}
