// board registry and board ras: the board's registry file, the keys
// programs may not change, and the RAS devices.
#include "board/board.h"
#include "board/registry_file.h"
#include "board_commands.h"
#include "cli.h"
#include "common/text.h"

#include <cstdio>
#include <memory>
#include <string>

namespace {

int print_registry()
{
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

int protect(const std::string &prog, const std::string &given, bool on)
{
    // One trailing backslash is dropped, as the registry calls drop it.
    std::string key = given;
    if (!key.empty() && key.back() == '\\')
        key.pop_back();
    // Only what the registry calls could name: the same checks, and the
    // name echoed short and escaped, however long or strange it is.
    std::string root = key.substr(0, key.find('\\'));
    if (!board::reg::is_root(root))
        return cli::usage_error(prog, "KEY must start with a root key such as HKEY_CURRENT_USER, not '" +
                                          text::excerpt(given) + "'");
    if (const char *fault = board::reg::key_path_fault(key)) {
        std::string why = fault;
        if (why.find("an empty name") != std::string::npos || why.find("a control character") != std::string::npos)
            why = "KEY has an empty name or a control character in it";
        else
            why = "KEY is no key the registry can hold (" + why + ")";
        return cli::usage_error(prog, why + ": '" + text::excerpt(given) + "'");
    }
    if (!board::reg::set_protected(key, on) && !on) {
        std::fprintf(stderr, "board: %s is not protected (see 'board registry protected')\n",
                     text::excerpt(key, 200).c_str());
        return 1;
    }
    return 0;
}

}  // namespace

namespace board_tool {

Run define_registry(CLI::App &app)
{
    app.require_subcommand(0, 1);
    app.footer("Without a command, prints the registry file (.reg text); exit 1 when it is\n"
               "damaged (said on stderr).");
    CLI::App *listed = app.add_subcommand("protected", "the protected keys, one a line");
    auto key = std::make_shared<std::string>();
    CLI::App *on = app.add_subcommand("protect", "programs may no longer create, change or delete KEY or anything below it");
    CLI::App *off = app.add_subcommand("unprotect", "take that protection away again (exit 1 when KEY is not protected)");
    for (CLI::App *sub : {on, off})
        sub->add_option("KEY", *key, "a key, such as HKEY_CURRENT_USER\\ControlPanel\\Comm")->required();
    return [listed, on, off, key] {
        if (listed->parsed()) {
            for (const std::string &k : board::reg::protected_keys())
                std::printf("%s\n", k.c_str());
            return 0;
        }
        if (on->parsed() || off->parsed())
            return protect(cli::path_of(on->parsed() ? *on : *off), *key, on->parsed());
        return print_registry();
    };
}

Run define_ras(CLI::App &app)
{
    app.require_subcommand(1);
    CLI::App *list = app.add_subcommand("list", "the board's RAS devices, present or removed");
    auto name = std::make_shared<std::string>();
    CLI::App *remove = app.add_subcommand("remove", "take the RAS device NAME away");
    CLI::App *restore = app.add_subcommand("restore", "bring it back");
    for (CLI::App *sub : {remove, restore})
        sub->add_option("NAME", *name, "the device's name (\"Serial on USB\")")->required();
    return [list, restore, name] {
        if (list->parsed()) {
            for (const board::RasDevice &d : board::ras_devices())
                std::printf("%-28s %-7s %s\n", d.name.c_str(), d.type.c_str(), d.present ? "present" : "removed");
            return 0;
        }
        if (!board::set_ras_device(*name, restore->parsed()))
        {
            std::fprintf(stderr, "board ras: the board has no RAS device '%s' (see 'board ras list')\n",
                         text::excerpt(*name).c_str());
            return cli::kUsage;
        }
        return 0;
    };
}

}  // namespace board_tool
