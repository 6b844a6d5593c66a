// The one CLI11 set-up of the tools: the help layout (GNU's, which help2man
// reads into the man pages), the parse with its errors said in one line,
// the version, and the check of standard output at the end.
#include "cli.h"

#include "common/text.h"
#include "pin_arg.h"
#include "version.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace cli {
namespace {

constexpr size_t kColumn = 24;  // where descriptions start in the help

// An entry of the help: NAME, then its description from kColumn on; a
// long NAME puts the description on the next line.
std::string row(const std::string &name, const std::string &desc)
{
    std::string out = "  " + name;
    if (desc.empty())
        return out + "\n";
    if (out.size() + 2 > kColumn)
        out += "\n" + std::string(kColumn, ' ');
    else
        out += std::string(kColumn - out.size(), ' ');
    for (char c : desc) {
        out += c;
        if (c == '\n')
            out += std::string(kColumn, ' ');
    }
    return out + "\n";
}

bool shown(const CLI::Option *o) { return !o->get_group().empty(); }

std::string value_name(const CLI::Option *o)
{
    std::string t = o->get_type_name();
    return t.substr(0, t.find(':'));  // a choice's list is in the description
}

class Layout : public CLI::Formatter {
public:
    std::string make_help(const CLI::App *app, std::string, CLI::AppFormatMode) const override
    {
        std::string out = "Usage: " + path_of(*app);
        std::vector<const CLI::Option *> opts =
            app->get_options([](const CLI::Option *o) { return o->nonpositional() && shown(o); });
        std::vector<const CLI::Option *> args =
            app->get_options([](const CLI::Option *o) { return o->get_positional() && shown(o); });
        std::vector<const CLI::App *> subs;
        for (const CLI::App *s : const_cast<CLI::App *>(app)->get_subcommands([](CLI::App *) { return true; }))
            if (!s->get_group().empty())
                subs.push_back(s);
        if (opts.size() > 1)  // more than --help
            out += " [OPTIONS]";
        if (!subs.empty())
            out += app->get_require_subcommand_min() ? " COMMAND" : " [COMMAND]";
        for (const CLI::Option *a : args) {
            std::string n = a->get_name() + (a->get_items_expected_max() > 1 ? "..." : "");
            out += " " + (a->get_required() ? n : "[" + n + "]");
        }
        out += "\n";
        if (!app->get_description().empty())
            out += app->get_description() + "\n";
        if (!args.empty()) {
            out += "\nArguments:\n";
            for (const CLI::Option *a : args)
                out += row(a->get_name(), a->get_description());
        }
        if (!subs.empty()) {
            out += "\nCommands:\n";
            for (const CLI::App *s : subs)
                out += row(s->get_name(), s->get_description());
        }
        if (!opts.empty()) {
            out += "\nOptions:\n";
            for (const CLI::Option *o : opts) {
                std::string names;
                for (const std::string &s : o->get_snames())
                    names += (names.empty() ? "-" : ", -") + s;
                for (const std::string &l : o->get_lnames())
                    names += (names.empty() ? "--" : ", --") + l;
                if (o->get_expected_max() != 0)
                    names += (o->get_lnames().empty() ? " " : "=") + value_name(o);
                out += row(names, o->get_description());
            }
        }
        // A command takes its parent's footer when it has none of its own:
        // that one is the parent's to tell.
        const CLI::App *parent = app->get_parent();
        if (!app->get_footer().empty() && !(parent && parent->get_footer() == app->get_footer()))
            out += "\n" + app->get_footer() + "\n";
        return out;
    }
};

// The deepest app the parse reached: the one a message or a help is of.
CLI::App *reached(CLI::App &app)
{
    for (CLI::App *s : app.get_subcommands())
        if (s->parsed())
            return reached(*s);
    return &app;
}

bool asked_help(CLI::App &app)
{
    const CLI::Option *h = app.get_help_ptr();
    return h && h->count() > 0;
}

// A CLI11 error in the words of the tools' other messages.
std::string said(CLI::App &at, const CLI::ParseError &e)
{
    if (dynamic_cast<const UsageError *>(&e))
        return e.what();
    if (dynamic_cast<const CLI::RequiredError *>(&e)) {
        // What it did not know took the place of what is missing.
        std::vector<std::string> left = at.remaining(false);
        std::string first = left.empty() ? std::string() : left.front();
        if (first.size() > 1 && first[0] == '-')
            return "unknown option '" + text::excerpt(first) + "'";
        if (at.get_require_subcommand_min() && at.get_subcommands().empty())
            return first.empty() ? "a command is needed" : "unknown command '" + text::excerpt(first) + "'";
        for (const CLI::Option *o : at.get_options())
            if (o->get_required() && o->count() == 0)
                return o->get_name() + " is missing";
    }
    if (dynamic_cast<const CLI::ExtrasError *>(&e)) {
        std::vector<std::string> extra = at.remaining(false);
        std::string first = extra.empty() ? std::string() : extra.front();
        bool has_commands = !at.get_subcommands([](CLI::App *) { return true; }).empty();
        if (has_commands && at.get_subcommands().empty() && !first.empty() && first[0] != '-')
            return "unknown command '" + text::excerpt(first) + "'";
        if (first.size() > 1 && first[0] == '-')
            return "unknown option '" + text::excerpt(first) + "'";
        if (at.get_options([](const CLI::Option *o) { return o->get_positional(); }).empty())
            return "takes no arguments, not '" + text::excerpt(first) + "'";
        return "one argument too many: '" + text::excerpt(first) + "'";
    }
    std::string what = e.what();
    if (dynamic_cast<const CLI::ArgumentMismatch *>(&e)) {
        // "--programs: 1 required DIR missing"
        size_t colon = what.find(": ");
        size_t req = what.find(" required ");
        size_t miss = what.rfind(" missing");
        if (colon != std::string::npos && req != std::string::npos && miss != std::string::npos && req < miss)
            return what.substr(0, colon) + " needs a value: " + what.substr(req + 10, miss - req - 10);
    }
    if (!what.empty())
        what[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(what[0])));
    return text::excerpt(what, 200);
}

// "board (boardutils) 1.0.0", the form help2man reads.
std::string version_line(const CLI::App &app) { return app.get_name() + " (boardutils) " + version() + "\n"; }

int print(const std::string &prog, const std::string &text)
{
    std::fputs(text.c_str(), stdout);
    return finish(prog, kDone);
}

}  // namespace

void set_up(CLI::App &app)
{
    app.formatter(std::make_shared<Layout>());
    app.set_help_flag("-h,--help", "print this help and exit");
    app.add_flag("--version", "print the version and exit");
}

std::string path_of(const CLI::App &app)
{
    std::string path = app.get_name();
    for (const CLI::App *p = app.get_parent(); p; p = p->get_parent())
        path = p->get_name() + " " + path;
    return path;
}

std::optional<int> parse(CLI::App &app, int argc, const char *const *argv)
{
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &) {
        CLI::App *at = reached(app);
        return print(path_of(*at), at->help());
    } catch (const CLI::ParseError &e) {
        // The help wins over an argument it was given with: the checks run
        // before CLI11 looks at --help.
        CLI::App *at = reached(app);
        if (asked_help(*at))
            return print(path_of(*at), at->help());
        if (at == &app && app.count("--version"))
            return print(app.get_name(), version_line(app));
        return usage_error(path_of(*at), said(*at, e));
    }
    if (app.count("--version"))
        return print(app.get_name(), version_line(app));
    return std::nullopt;
}

int usage_error(const std::string &prog, const std::string &what)
{
    std::fprintf(stderr, "%s: %s (see '%s --help')\n", prog.c_str(), what.c_str(), prog.c_str());
    return kUsage;
}

int failed(const std::string &prog, const std::string &what)
{
    std::fprintf(stderr, "%s: %s\n", prog.c_str(), what.c_str());
    return kFailed;
}

// The reason of the first failed write, when a flush saw it; -1: a write
// failed earlier, its reason gone.
int g_write_errno = 0;

bool flush_out()
{
    bool earlier = std::ferror(stdout);
    if (std::fflush(stdout) != 0 && !g_write_errno)
        g_write_errno = errno ? errno : -1;
    if (earlier && !g_write_errno)
        g_write_errno = -1;
    return !g_write_errno;
}

int finish(const std::string &prog, int status)
{
    if (flush_out())
        return status;
    return failed(prog, std::string("cannot write the output") +
                            (g_write_errno > 0 ? std::string(": ") + std::strerror(g_write_errno) : ""));
}

std::string number_refused(const std::string &name, const std::string &what, uint64_t lo, uint64_t hi,
                           const std::string &s)
{
    return name + " must be " + what + " " + tools::decimal_range(static_cast<int64_t>(lo), static_cast<int64_t>(hi)) +
           ", not '" + text::excerpt(s) + "'";
}

CLI::Validator number(const std::string &name, const std::string &what, uint64_t lo, uint64_t hi)
{
    return CLI::Validator(
        [=](std::string &s) -> std::string {
            uint64_t v;
            if (!tools::decimal(s, lo, hi, &v))
                throw UsageError(number_refused(name, what, lo, hi, s));
            s = std::to_string(v);  // CLI11 would read a leading 0 as octal
            return "";
        },
        "", "");
}

CLI::Validator one_of(const std::string &name, std::vector<std::string> words)
{
    std::string listed;
    for (size_t i = 0; i < words.size(); ++i)
        listed += (i == 0 ? "" : i + 1 == words.size() ? " or " : ", ") + words[i];
    return CLI::Validator(
        [=](std::string &s) -> std::string {
            for (const std::string &w : words)
                if (s == w)
                    return "";
            throw UsageError(name + " must be " + listed + ", not '" + text::excerpt(s) + "'");
        },
        "", "");
}

CLI::Validator pin(std::shared_ptr<tools::PinReader> reader)
{
    return CLI::Validator(
        [reader](std::string &s) -> std::string {
            int p;
            std::string error;
            if (!reader->read(s, &p, &error))
                throw UsageError(error);
            s = std::to_string(p);
            return "";
        },
        "", "");
}

}  // namespace cli
