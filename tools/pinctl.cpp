// pinctl: drive, read and power off through kestrin's three exports.
#include "gpio/kestrin.h"

#include "board/board.h"
#include "common/text.h"
#include "decimal.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char kUsage[] =
    "usage: pinctl set PIN LEVEL   drive PIN low (LEVEL 0) or high (LEVEL 1)\n"
    "       pinctl get PIN         print PIN's level (0 or 1)\n"
    "       pinctl poweroff        ask the board to power off\n"
    "\n"
    "PIN is a decimal number from 0 to 63.  The board is the one in BOARD_DIR (the\n"
    "simulated board on a host); when unset, $XDG_STATE_HOME/ceboard/default\n"
    "(XDG_STATE_HOME defaults to ~/.local/state).  A folder that does not exist\n"
    "yet is created, with a fresh default board.\n"
    "Exit status: 0 done, 1 the driver failed the call, 2 bad arguments.\n";

int usage_error(const std::string &what)
{
    std::fprintf(stderr, "pinctl: %s\n%s", what.c_str(), kUsage);
    return 2;
}

// A pin the board has; "010" is pin 10, as 'board' reads it.  A pin out of
// range is refused here, as 'board input' refuses it, rather than sent to
// the driver.
bool parse_pin(const char *s, LONG *pin, int *status)
{
    uint64_t v;
    if (tools::decimal(s, 0, board::kPins - 1, &v)) {
        *pin = static_cast<LONG>(v);
        return true;
    }
    *status = usage_error("PIN must be a pin number " + tools::decimal_range(0, board::kPins - 1) +
                          ", not '" + text::excerpt(s) + "'");
    return false;
}

// One command; pin receives the pin it works on.
int command(int argc, char **argv, LONG &pin)
{
    const char *cmd = argv[1];
    LONG level = 0;
    int status = 0;
    if (!std::strcmp(cmd, "set")) {
        if (argc != 4)
            return usage_error("set takes PIN and LEVEL");
        if (!parse_pin(argv[2], &pin, &status))
            return status;
        uint64_t v;
        if (!tools::decimal(argv[3], 0, 1, &v))
            return usage_error("LEVEL must be 0 or 1, not '" + text::excerpt(argv[3]) + "'");
        level = static_cast<LONG>(v);
        if (!gpio_setPin(pin, level)) {
            std::fprintf(stderr, "pinctl: cannot set pin %d (error %u)\n", static_cast<int>(pin),
                         GetLastError());
            return 1;
        }
        return 0;
    }
    if (!std::strcmp(cmd, "get")) {
        if (argc != 3)
            return usage_error("get takes PIN");
        if (!parse_pin(argv[2], &pin, &status))
            return status;
        if (!gpio_getPin(pin, &level)) {
            std::fprintf(stderr, "pinctl: cannot read pin %d (error %u)\n", static_cast<int>(pin),
                         GetLastError());
            return 1;
        }
        std::printf("%d\n", level != 0 ? 1 : 0);
        return 0;
    }
    if (!std::strcmp(cmd, "poweroff")) {
        if (argc != 2)
            return usage_error("poweroff takes no arguments");
        gpio_gwesPowerOffSystem();
        return 0;
    }
    return usage_error("unknown command '" + text::excerpt(cmd) + "'");
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc >= 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h"))) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc < 2)
        return usage_error("a command is needed");
    LONG pin = 0;
    try {
        return command(argc, argv, pin);
    } catch (const ce_fault &f) {
        // A fault the driver raised inside the request: kestrin has closed
        // its handle and let it through to us.
        std::fprintf(stderr, "pinctl: the driver faulted on pin %d (exception 0x%08X)\n",
                     static_cast<int>(pin), f.code);
        return 1;
    }
}
