// board input, name and unname: a level applied to a pin from outside, and
// the names pins go by.
#include "board/board.h"
#include "board/pin_names.h"
#include "board_commands.h"
#include "cli.h"
#include "common/text.h"
#include "pin_arg.h"

#include <memory>
#include <string>

namespace {

const char kPinHelp[] = "a pin: its number, 0 to 63, or the name 'board name' gave it";

struct Args {
    int pin = -1;
    std::string text;  // the level, or the name
};

}  // namespace

namespace board_tool {

Run define_input(CLI::App &app)
{
    auto a = std::make_shared<Args>();
    app.add_option("PIN", a->pin, kPinHelp)->required()->transform(cli::pin(std::make_shared<tools::PinReader>()));
    app.add_option("LEVEL", a->text, "0 or 1, or release to take the level away")
        ->required()
        ->check(cli::one_of("LEVEL", {"0", "1", "release"}));
    return [a] {
        board::set_input(a->pin, a->text == "release" ? -1 : a->text == "1");
        return 0;
    };
}

Run define_name(CLI::App &app)
{
    auto a = std::make_shared<Args>();
    app.footer("The name shows in status, watch and record and serves wherever a PIN is\n"
               "taken: 1 to 32 of A-Z a-z 0-9 _ . -, starting with a letter or _.");
    app.add_option("PIN", a->pin, kPinHelp)->required()->transform(cli::pin(std::make_shared<tools::PinReader>()));
    app.add_option("NAME", a->text, "the pin's name")->required()->check([](const std::string &name) -> std::string {
        if (const char *fault = board::pin_names::name_fault(name))
            throw cli::UsageError("'" + text::excerpt(name) + "' is no pin name: " + fault);
        return "";
    });
    return [a] {
        board::pin_names::set(a->pin, a->text);
        return 0;
    };
}

Run define_unname(CLI::App &app)
{
    auto a = std::make_shared<Args>();
    app.add_option("PIN", a->pin, kPinHelp)->required()->transform(cli::pin(std::make_shared<tools::PinReader>()));
    return [a] {
        board::pin_names::set(a->pin, std::string());
        return 0;
    };
}

}  // namespace board_tool
