// pinctl: drive, read and power off through kestrin's three exports.
#include "gpio/kestrin.h"

#include "board/board.h"
#include "common/text.h"
#include "cli.h"
#include "pin_arg.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kFooter[] =
    "PIN is a decimal number from 0 to 63, or a name given with 'board name'.\n"
    "'pinctl COMMAND --help' tells more of each.  Nothing is driven unless every\n"
    "argument is good; the pins are set in the order given.\n"
    "The board is the one in BOARD_DIR (the simulated board on a host); when\n"
    "unset, $XDG_STATE_HOME/ceboard/default (XDG_STATE_HOME defaults to\n"
    "~/.local/state).  A folder that does not exist yet is created, with a\n"
    "fresh default board.\n"
    "Exit status: 0 done, 1 the driver failed the call or the output could not be\n"
    "written, 2 bad arguments.";

int usage_error(const std::string &what) { return cli::usage_error("pinctl set", what); }

struct Write {
    LONG pin;
    LONG level;
};

// LEVEL: 0 or 1 only; any other number once drove the pin high.
bool parse_level(const std::string &s, LONG *level)
{
    uint64_t v;
    if (!tools::decimal(s, 0, 1, &v))
        return false;
    *level = static_cast<LONG>(v);
    return true;
}

// The writes the arguments ask for: PIN=LEVEL..., or the one PIN LEVEL.
// A pin out of range is refused here, as 'board input' refuses it, rather
// than sent to the driver.
int parse_writes(const std::vector<std::string> &args, std::vector<Write> *writes)
{
    tools::PinReader pins;
    std::string error;
    auto one = [&](const std::string &pin, const std::string &level) {
        Write w;
        int p;
        if (!pins.read(pin, &p, &error))
            return usage_error(error);
        w.pin = p;
        if (!parse_level(level, &w.level))
            return usage_error("LEVEL must be 0 or 1, not '" + text::excerpt(level) + "'");
        writes->push_back(w);
        return 0;
    };
    if (args.size() == 2 && args[0].find('=') == std::string::npos && args[1].find('=') == std::string::npos)
        return one(args[0], args[1]);
    if (args.empty())
        return usage_error("takes PIN=LEVEL... or PIN LEVEL");
    for (const std::string &a : args) {
        size_t eq = a.find('=');
        if (eq == std::string::npos)
            return usage_error("takes PIN=LEVEL... or PIN LEVEL, not '" + text::excerpt(a) + "' among them");
        if (int status = one(a.substr(0, eq), a.substr(eq + 1)))
            return status;
    }
    return 0;
}

int set(const std::vector<std::string> &args, bool active_low, LONG &pin)
{
    std::vector<Write> writes;
    if (int status = parse_writes(args, &writes))
        return status;
    for (const Write &w : writes) {
        pin = w.pin;
        if (!gpio_setPin(w.pin, active_low ? !w.level : w.level)) {
            std::fprintf(stderr, "pinctl: cannot set pin %d (error %u)\n", static_cast<int>(w.pin),
                         GetLastError());
            return 1;
        }
    }
    return 0;
}

int get(const std::vector<int> &chosen, bool active_low, LONG &pin)
{
    std::string line;
    for (LONG p : chosen) {
        pin = p;
        LONG level = 0;
        if (!gpio_getPin(p, &level)) {
            std::fprintf(stderr, "pinctl: cannot read pin %d (error %u)\n", static_cast<int>(p),
                         GetLastError());
            return 1;
        }
        line += std::string(line.empty() ? "" : " ") + ((level != 0) != active_low ? "1" : "0");
    }
    std::printf("%s\n", line.c_str());
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    CLI::App app{"Drives and reads the board's pins through kestrin.", "pinctl"};
    cli::set_up(app);
    app.footer(kFooter);
    app.require_subcommand(1);
    std::vector<std::string> set_args;
    std::vector<int> get_pins;
    bool set_low = false, get_low = false;
    CLI::App *set_cmd = app.add_subcommand("set", "drive pins low (0) or high (1)");
    set_cmd->add_option("PIN=LEVEL", set_args, "a pin (0-63 or its name) and its level, 0 or 1;\n"
                                               "or one PIN and its LEVEL as two arguments")
        ->required();
    set_cmd->add_flag("-l,--active-low", set_low, "the pins are active low: LEVEL 1 drives them low");
    CLI::App *get_cmd = app.add_subcommand("get", "print the pins' levels, 0 or 1, on one line");
    get_cmd->add_option("PIN", get_pins, "a pin (0-63 or its name)")
        ->required()
        ->transform(cli::pin(std::make_shared<tools::PinReader>()));
    get_cmd->add_flag("-l,--active-low", get_low, "the pins are active low: a low pin prints 1");
    CLI::App *off_cmd = app.add_subcommand("poweroff", "ask the board to power off");
    for (CLI::App *sub : {set_cmd, get_cmd, off_cmd})
        sub->footer("PIN is a decimal number from 0 to 63 or a name given with 'board name'.\n"
                    "Exit status: 0 done, 1 the driver failed the call, 2 bad arguments.");
    LONG pin = 0;
    try {
        if (std::optional<int> done = cli::parse(app, argc, argv))
            return *done;
        if (set_cmd->parsed())
            return set(set_args, set_low, pin);
        if (get_cmd->parsed())
            return cli::finish("pinctl get", get(get_pins, get_low, pin));
        gpio_gwesPowerOffSystem();
        return 0;
    } catch (const board::Error &e) {
        return cli::failed("pinctl", e.message);
    } catch (const ce_fault &f) {
        // A fault the driver raised inside the request: kestrin has closed
        // its handle and let it through to us.
        std::fprintf(stderr, "pinctl: the driver faulted on pin %d (exception 0x%08X)\n",
                     static_cast<int>(pin), f.code);
        return 1;
    }
}
