// board files readonly PATH [on|off]: the read-only attribute of a device
// file, which is the host file's owner-write bit, read and changed on the
// file itself, never through a link.
#include "board/device_files.h"
#include "board_commands.h"
#include "cli.h"
#include "common/ce_errors.h"
#include "common/text.h"

#include <cstdio>
#include <memory>
#include <string>

namespace {

struct Args {
    std::string path, set;  // set: "on", "off" or "" to show it
};

int readonly(const std::string &prog, const Args &a)
{
    const std::string &path = a.path;
    board::files::Found f = board::files::resolve(path);
    if (f.error == ce_error::kInvalidName || f.error == ce_error::kFilenameTooLong)
        return cli::usage_error(prog, "'" + text::excerpt(path) +
                                          "' is no device path (such as \\Windows\\Startup\\Velmorra.lnk)");
    if (f.error == ce_error::kGenFailure) {
        std::fprintf(stderr, "board: %s\n", f.why.c_str());
        return 1;
    }
    if (!f.error && f.is_dir) {
        std::fprintf(stderr, "board: %s is a folder; only files take the read-only mark here\n", path.c_str());
        return 1;
    }
    bool on = false;
    uint32_t error = f.error;
    if (!error)
        error = !a.set.empty() ? board::files::set_read_only(f.host, a.set == "on")
                               : board::files::read_only(f.host, &on);
    if (error) {
        const char *why = error == ce_error::kFileNotFound   ? "no such file"
                          : error == ce_error::kPathNotFound ? "a folder on its way is missing"
                                       : "not a regular file of the device (a link, or a special file)";
        std::fprintf(stderr, "board: %s: %s (error %u)\n", path.c_str(), why, error);
        return 1;
    }
    if (a.set.empty())
        std::printf("%s\n", on ? "on" : "off");
    return 0;
}

}  // namespace

namespace board_tool {

Run define_files(CLI::App &app)
{
    app.require_subcommand(1);
    CLI::App *ro = app.add_subcommand("readonly", "show, set or clear the read-only attribute of a device file");
    ro->footer("A read-only file cannot be deleted (error 5).\n"
               "Exit status: 0 done, 1 the file is missing or no regular file of the device,\n"
               "2 bad arguments.");
    auto a = std::make_shared<Args>();
    ro->add_option("PATH", a->path, "the device path, such as \\Windows\\Startup\\Velmorra.lnk")->required();
    ro->add_option("STATE", a->set, "on or off; without it, the attribute is printed")
        ->check(cli::one_of("STATE", {"on", "off"}));
    return [ro, a] { return readonly(cli::path_of(*ro), *a); };
}

}  // namespace board_tool
